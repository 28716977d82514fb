// The selector as the effect chain calls it, and every built per-pixel effect
// against a pixel-by-pixel model (every output byte computed on its own from
// the source) in both byte orders, at random and camera sizes: the sizes
// where tile choice and runs change, borders and saturated sums among them.
#include "effects/special/special_effect.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "effects/special/texture_tiles.h"

namespace {

using Frame = std::vector<uint8_t>;
inline uint8_t Sat(long v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// A packed 4:2:2 frame; lo is the byte offset of the luma in a pixel (0 for
// Y0 U Y1 V, 1 for U Y0 V Y1), the chroma byte the pixel carries the other.
struct Model {
  int w, h, lo;
  Frame s;
  Model(int width, int height, int lumaOffset, uint8_t fill)
      : w(width), h(height), lo(lumaOffset), s(size_t(2) * width * height, fill) {}
  uint8_t& Y(int x, int y) { return s[(size_t(y) * w + x) * 2 + lo]; }
  uint8_t& C(int x, int y) { return s[(size_t(y) * w + x) * 2 + 1 - lo]; }

  // A new frame from pixel(x, y, luma&, chroma&) for every pixel.
  template <typename F> Frame Each(F pixel) {
    Frame d(s.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pixel(x, y, d[(size_t(y) * w + x) * 2 + lo], d[(size_t(y) * w + x) * 2 + 1 - lo]);
    return d;
  }

  Frame Emboss() {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = c = y == 0 ? 128 : y == h - 1 ? 192 : 128;
      if (y > 0 && y < h - 1 && x > 0 && x < w - 1)
        l = Sat(192 + Y(x + 1, y - 1) + Y(x + 1, y) + Y(x + 1, y + 1) + Y(x, y + 1) -
                Y(x - 1, y - 1) - Y(x - 1, y) - Y(x - 1, y + 1) - Y(x, y - 1));
    });
  }

  Frame EdgeDetect() {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = 0, c = (y == 0 || y == h - 1) ? 0 : 128;
      if (y == 0 || y == h - 1 || x < 2 || x > w - 3) return;
      long gx = 2 * Y(x - 1, y) - 2 * Y(x + 1, y) + Y(x - 1, y - 1) + Y(x - 1, y + 1) -
                Y(x + 1, y - 1) - Y(x + 1, y + 1);
      long gy = 2 * Y(x, y - 1) - 2 * Y(x, y + 1) + Y(x - 1, y - 1) + Y(x + 1, y - 1) -
                Y(x - 1, y + 1) - Y(x + 1, y + 1);
      l = Sat(std::labs(gx) + std::labs(gy) - 32);
      c = Sat(128 + 2 * (C(x + 2, y) + C(x, y + 1) + C(x + 2, y + 1) - C(x - 2, y) -
                         C(x, y - 1) - C(x - 2, y - 1)));
    });
  }

  // Pixel p (counted from the frame start) takes the sample at walk row
  // p / run, column p % run; a run is the widest whole number of tiles in a
  // frame row, or the frame width when not even one tile fits.
  Frame Texture(int tw, int th) {
    long run = w / tw > 0 ? (w / tw) * tw : w;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      long p = long(y) * w + x;
      l = Sat(Y(x, y) + kTextureSamples[(p / run) % th][(p % run) % tw] - 204);
      c = C(x, y);
    });
  }

  // Each block (of an even width) repeats its top-left pair: Y0 twice, that
  // pair's U and V.
  Frame Mosaic(int bw, int bh) {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = Y(x - x % bw, y - y % bh), c = C(x - x % bw + x % 2, y - y % bh);
    });
  }

  // Right-half pair k shows left pair pairs-1-k with its lumas exchanged;
  // the middle pair of an odd pair count and a lone last pixel stay.
  Frame MirrorHalf() {
    const int pairs = w / 2, half = pairs / 2;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      const bool mirrored = x < 2 * pairs && x / 2 >= pairs - half;
      const int from = mirrored ? 2 * (pairs - 1 - x / 2) + x % 2 : x;
      l = Y(mirrored ? from ^ 1 : x, y), c = C(from, y);
    });
  }
};

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

}  // namespace
