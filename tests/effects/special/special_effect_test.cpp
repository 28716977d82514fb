// The selector as the effect chain calls it, every built effect against the
// pixel-by-pixel model in both byte orders, and worked cases at the sizes and
// values where the effects' rules change: borders, saturation, tile choice.
#include "effects/special/special_effect.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "reference_effects.h"

namespace {

using reference::Frame;
using reference::Model;

constexpr ULONG kBuilt[] = {1, 5, 6, 8, 9, 11, 12};

// The per-pixel effects read neither the work buffer nor the colour tables.
LONG Effect(ULONG effect, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG code) {
  SpecialEffectRecord record{};
  record.specialEffect = effect;
  return ApplySpecialEffect(&record, dst, src, nullptr, nullptr, w, h, code);
}

// The effect applied by the driver to a destination that starts as `garbage`.
Model Apply(const Model& p, ULONG effect, uint8_t garbage = 0x5A) {
  Model out(p.w, p.h, p.lo, garbage);
  const ULONG code = p.lo ? kFormatCodeChromaFirst : kFormatCodeLumaFirst;
  EXPECT_EQ(Effect(effect, out.s.data(), p.s.data(), p.w, p.h, code), 1);
  return out;
}

Frame Expected(ULONG effect, Model m) {
  // Tile: 32 x 24 when the width is a multiple of 32, else 20 x 15 when the
  // width is a multiple of 20 or the height of 15, else 16 x 12. Mosaic
  // blocks: 8 x 6 at widths 160 and 440, 10 x 8 at 320, else 16 x 12.
  const int tw = m.w % 32 == 0 ? 32 : (m.w % 20 == 0 || m.h % 15 == 0) ? 20 : 16;
  const int bw = (m.w == 160 || m.w == 440) ? 8 : m.w == 320 ? 10 : 16;
  switch (effect) {
    case 1: for (auto& x : m.s) x = uint8_t(255 - x); return m.s;
    case 5: return m.Emboss();
    case 6: return m.EdgeDetect();
    case 8: return m.Texture(tw, tw * 3 / 4);
    case 9: return m.Mosaic(bw, bw == 10 ? 8 : bw * 3 / 4);
    case 12: return m.MirrorHalf();
  }
  return m.s;  // 11: copy
}

TEST(SpecialEffectSelector, NoEffectOrUnusableCallWritesNothingAndReturnsZero) {
  Frame src(2 * 8 * 4, 77), dst(src.size(), 5);
  UCHAR* const d = dst.data();
  const UCHAR* const s = src.data();
  const ULONG yuyv = kFormatCodeLumaFirst;
  // 0 and above 12 select nothing; 2, 7 and 10 without their held frame,
  // warp tables or lens are not ready.
  for (ULONG n : {0u, 2u, 7u, 10u, 13u, 0xFFFFFFFFu}) EXPECT_EQ(Effect(n, d, s, 8, 4, yuyv), 0) << n;
  // An unknown byte order, a zero or unaddressable size, a null frame.
  for (ULONG n : kBuilt)
    EXPECT_EQ(Effect(n, d, s, 8, 4, 5) + Effect(n, d, s, 0, 4, yuyv) + Effect(n, d, s, 8, 0, yuyv) +
                  Effect(n, d, s, ~0u, ~0u, yuyv) + Effect(n, nullptr, s, 8, 4, yuyv) +
                  Effect(n, d, nullptr, 8, 4, yuyv),
              0) << n;
  EXPECT_EQ(dst, Frame(src.size(), 5));
  EXPECT_EQ(ApplySpecialEffect(nullptr, d, s, nullptr, nullptr, 8, 4, yuyv), 0);
}

// Parameter: the luma offset, 0 for Y0 U Y1 V, 1 for U Y0 V Y1.
class PixelEffects : public ::testing::TestWithParam<int> {};
INSTANTIATE_TEST_SUITE_P(BothOrders, PixelEffects, ::testing::Values(0, 1));

// Random contents at random sizes (odd widths, heights of 1 and 2) and at
// camera sizes. Buffers are exactly frame-sized and the destination starts
// as garbage: a byte touched outside the frame trips the address sanitizer,
// a byte left unwritten or wrong shows as a mismatch.
TEST_P(PixelEffects, EveryEffectMatchesTheModel) {
  std::mt19937 rng(20261206);
  std::vector<std::pair<int, int>> sizes = {
      {1, 1}, {2, 1}, {1, 3}, {3, 2}, {5, 5}, {6, 4}, {7, 3}, {10, 3}, {17, 5}, {18, 4},
      {19, 3}, {33, 3}, {160, 13}, {320, 17}, {440, 13}, {176, 144}, {424, 240}, {640, 480},
      {1280, 720}, {1280, 1024}};
  for (int i = 0; i < 60; ++i) sizes.push_back({1 + int(rng() % 90), 1 + int(rng() % 40)});
  for (auto [w, h] : sizes) {
    Model src(w, h, GetParam(), 0);
    for (auto& b : src.s) b = uint8_t(rng());
    for (ULONG n : kBuilt)
      ASSERT_TRUE(Apply(src, n, uint8_t(rng())).s == Expected(n, src)) << "effect " << n << " " << w << "x" << h;
  }
}

TEST_P(PixelEffects, EdgesOfGreyAndSaturatedSums) {
  // Edges of grey: luma 0; chroma 0 on the top and bottom rows, 128 between.
  Model edges(64, 9, GetParam(), 0);
  for (int i = 64; i < 64 * 8; ++i) edges.C(i % 64, i / 64) = 128;
  EXPECT_TRUE(Apply(Model(64, 9, GetParam(), 128), 6).s == edges.s);
  // Luma and chroma 255 right of column 20, 0 left of it: sums far outside
  // the clamp table's -256..767 must saturate.
  Model rise(40, 5, GetParam(), 0), fall(40, 5, GetParam(), 255);
  for (int y = 0; y < 5; ++y)
    for (int x = 21; x < 40; ++x) rise.Y(x, y) = rise.C(x, y) = 255, fall.Y(x, y) = fall.C(x, y) = 0;
  Model re = Apply(rise, 5), fe = Apply(fall, 5), rd = Apply(rise, 6), fd = Apply(fall, 6);
  // Emboss: 192 + 3 * 255, 192 - 3 * 255, flat. Edges: |Gx| = 4 * 255;
  // chroma 128 + 2 * 510, 128 - 2 * 510, and all six terms 255 cancel.
  EXPECT_EQ(std::vector<int>({re.Y(20, 2), fe.Y(20, 2), re.Y(10, 2), rd.Y(20, 2), rd.C(19, 2), fd.C(19, 2),
                              rd.C(23, 2)}),
            std::vector<int>({255, 0, 192, 255, 255, 0, 128}));
  Model dot(5, 3, GetParam(), 0);
  dot.Y(2, 2) = 50;  // the pixel below (2, 1): plus for x = 1, 2, minus for x = 3
  Model dd = Apply(dot, 5);
  EXPECT_EQ(std::vector<int>({dd.Y(1, 1), dd.Y(2, 1), dd.Y(3, 1)}), std::vector<int>({242, 242, 142}));
}

TEST_P(PixelEffects, TextureTileAndRowsFollowTheFrameSize) {
  // {frame width, height, pixel x, y, sample x, y}. Luma 100 everywhere:
  // the pixel shows 100 + sample - 204.
  const int cases[][6] = {
      // 1280 x 1024: the 32 x 24 tile; the 16 rows after the 42 whole tile
      // rows continue with tile rows 0..15 instead of keeping stale bytes.
      {1280, 1024, 33, 0, 1, 0}, {1280, 1024, 33, 23, 1, 23}, {1280, 1024, 33, 24, 1, 0},
      {1280, 1024, 33, 1007, 1, 23}, {1280, 1024, 33, 1008, 1, 0}, {1280, 1024, 33, 1023, 1, 15},
      // 176 x 144: the 16 x 12 corner, 11 x 12 tiles.
      {176, 144, 175, 11, 15, 11}, {176, 144, 175, 12, 15, 0}, {176, 144, 175, 143, 15, 11},
      {100, 30, 99, 29, 19, 14},  // width a multiple of 20: 20 x 15
      // 424 x 240 picks 20 x 15 by its height; runs of 420 pixels drift 4
      // pixels per frame row: pixel 424 is walk row 1, column 4; pixel
      // 101759 = 242 * 420 + 119.
      {424, 240, 420, 0, 0, 1}, {424, 240, 0, 1, 4, 1}, {424, 240, 423, 239, 19, 242 % 15},
      {10, 13, 9, 12, 9, 0}};  // narrower than a tile: runs of 10
  for (const auto& c : cases) {
    Model out = Apply(Model(c[0], c[1], GetParam(), 100), 8);
    EXPECT_EQ(out.Y(c[2], c[3]), 100 + kTextureSamples[c[5]][c[4]] - 204) << c[0] << "x" << c[1] << " " << c[2];
    EXPECT_EQ(out.C(c[2], c[3]), 100);
  }
}

TEST(TextureSamples, RangeMeansAndGrain) {
  const auto [lo, hi] = std::minmax_element(&kTextureSamples[0][0], &kTextureSamples[0][0] + 32 * 24);
  EXPECT_EQ(*lo, 131);
  EXPECT_EQ(*hi, 255);
  long sum[3] = {}, diff = 0;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) {
      const int v = kTextureSamples[y][x];
      sum[0] += v, sum[1] += (x < 20 && y < 15) ? v : 0, sum[2] += (x < 16 && y < 12) ? v : 0;
      if (x > 0) diff += std::abs(v - kTextureSamples[y][x - 1]);
    }
  EXPECT_EQ(sum[0], 205 * 32 * 24);            // tile A: mean exactly 205
  EXPECT_NEAR(sum[1] / 300.0, 205.0, 2.0);     // tile B: the 20 x 15 corner
  EXPECT_NEAR(sum[2] / 192.0, 205.0, 2.0);     // tile C: the 16 x 12 corner
  EXPECT_GT(diff / (24 * 31), 10);             // a grain, not a flat field
}

}  // namespace
