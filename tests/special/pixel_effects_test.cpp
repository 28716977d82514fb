// Worked cases of the per-pixel effects at the sizes and values where their
// rules change: tile and block choice, borders, saturation.
#include <gtest/gtest.h>

#include <vector>

#include "effects/special/pixel_effects.h"
#include "effects/special/special_effect.h"
#include "effects/special/texture_tiles.h"

namespace {

struct Picture {
  int w, h, lo;
  std::vector<uint8_t> b;
  Picture(int width, int height, ULONG code, uint8_t fill)
      : w(width), h(height), lo(code == kFormatCodeLumaFirst ? 0 : 1),
        b(size_t(2) * width * height, fill) {}
  uint8_t& Y(int x, int y) { return b[(size_t(y) * w + x) * 2 + lo]; }
  uint8_t& C(int x, int y) { return b[(size_t(y) * w + x) * 2 + 1 - lo]; }
  Picture Apply(ULONG effect) {
    SpecialEffectRecord record{};
    record.specialEffect = effect;
    Picture out(w, h, lo ? kFormatCodeChromaFirst : kFormatCodeLumaFirst, 0x5A);
    EXPECT_EQ(ApplySpecialEffect(&record, out.b.data(), b.data(), nullptr, nullptr, ULONG(w),
                                 ULONG(h), lo ? kFormatCodeChromaFirst : kFormatCodeLumaFirst),
              1);
    return out;
  }
};

class PixelEffects : public ::testing::TestWithParam<ULONG> {};
INSTANTIATE_TEST_SUITE_P(BothOrders, PixelEffects,
                         ::testing::Values(kFormatCodeLumaFirst, kFormatCodeChromaFirst));

TEST_P(PixelEffects, NegativeOfBlackAndEdgesOfGrey) {
  EXPECT_EQ(Picture(6, 3, GetParam(), 0).Apply(1).b, std::vector<uint8_t>(36, 255));
  Picture edges = Picture(64, 9, GetParam(), 128).Apply(6);
  for (int y = 0; y < 9; ++y)
    for (int x = 0; x < 64; ++x) {
      ASSERT_EQ(edges.Y(x, y), 0) << x << "," << y;
      ASSERT_EQ(edges.C(x, y), (y == 0 || y == 8) ? 0 : 128) << x << "," << y;
    }
}

// Luma and chroma 255 right of column 20, 0 left of it: sums far outside the
// clamp table's -256..767 must saturate.
TEST_P(PixelEffects, EmbossAndEdgeSumsSaturate) {
  Picture rise(40, 5, GetParam(), 0), fall(40, 5, GetParam(), 255);
  for (int y = 0; y < 5; ++y)
    for (int x = 21; x < 40; ++x) rise.Y(x, y) = rise.C(x, y) = 255, fall.Y(x, y) = fall.C(x, y) = 0;
  EXPECT_EQ(rise.Apply(5).Y(20, 2), 255);  // 192 + 3 * 255
  EXPECT_EQ(fall.Apply(5).Y(20, 2), 0);    // 192 - 3 * 255
  EXPECT_EQ(rise.Apply(5).Y(10, 2), 192);
  EXPECT_EQ(rise.Apply(6).Y(20, 2), 255);  // |Gx| = 4 * 255
  EXPECT_EQ(rise.Apply(6).C(19, 2), 255);  // 128 + 2 * 510
  EXPECT_EQ(fall.Apply(6).C(19, 2), 0);    // 128 - 2 * 510
  EXPECT_EQ(rise.Apply(6).C(23, 2), 128);  // all six terms 255: they cancel
  Picture dot(5, 3, GetParam(), 0);
  dot.Y(2, 2) = 50;  // the pixel below (2, 1): plus for x = 1, 2, minus for x = 3
  EXPECT_EQ(dot.Apply(5).Y(1, 1), 242);
  EXPECT_EQ(dot.Apply(5).Y(2, 1), 242);
  EXPECT_EQ(dot.Apply(5).Y(3, 1), 142);
}

// Luma 100 everywhere: pixel (x, y) shows 100 + sample(tx, ty) - 204.
void ExpectTexture(int w, int h, ULONG code, int x, int y, int tx, int ty) {
  Picture p(w, h, code, 100);
  Picture out = p.Apply(8);
  EXPECT_EQ(out.Y(x, y), 100 + kTextureSamples[ty][tx] - 204)
      << w << "x" << h << " pixel " << x << "," << y << " sample " << tx << "," << ty;
  EXPECT_EQ(out.C(x, y), 100);
}

TEST_P(PixelEffects, TextureTileAndRowsFollowTheFrameSize) {
  const ULONG c = GetParam();
  // 1280 x 1024: the 32 x 24 tile; the 16 rows after the 42 whole tile rows
  // continue with tile rows 0..15 instead of keeping stale bytes.
  for (int y : {0, 23, 24, 1007, 1008, 1023}) ExpectTexture(1280, 1024, c, 33, y, 1, y % 24);
  // 176 x 144: the 16 x 12 corner, 11 x 12 tiles.
  for (int y : {11, 12, 143}) ExpectTexture(176, 144, c, 175, y, 15, y % 12);
  ExpectTexture(100, 30, c, 99, 29, 19, 14);  // width a multiple of 20: 20 x 15
  // 424 x 240 picks 20 x 15 by its height; runs of 420 pixels drift 4 pixels
  // per frame row: pixel 424 is walk row 1, column 4.
  ExpectTexture(424, 240, c, 420, 0, 0, 1);
  ExpectTexture(424, 240, c, 0, 1, 4, 1);
  ExpectTexture(424, 240, c, 423, 239, 19, 242 % 15);  // 101759 = 242 * 420 + 119
  ExpectTexture(10, 13, c, 9, 12, 9, 0);  // narrower than a tile: runs of 10
}

TEST(TextureSamples, FirstRowRangeAndMean) {
  const int firstRow[32] = {161, 183, 250, 200, 157, 203, 190, 179, 210, 199, 181,
                            221, 204, 165, 223, 216, 198, 210, 240, 230, 193, 224,
                            203, 219, 255, 252, 169, 188, 239, 203, 206, 255};
  for (int x = 0; x < 32; ++x) EXPECT_EQ(kTextureSamples[0][x], firstRow[x]) << x;
  int lo = 255, hi = 0;
  long sum[3] = {}, diff = 0;
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) {
      const int v = kTextureSamples[y][x];
      lo = std::min(lo, v), hi = std::max(hi, v);
      sum[0] += v, sum[1] += (x < 20 && y < 15) ? v : 0, sum[2] += (x < 16 && y < 12) ? v : 0;
      if (x > 0) diff += std::abs(v - kTextureSamples[y][x - 1]);
    }
  EXPECT_EQ(lo, 131);
  EXPECT_EQ(hi, 255);
  EXPECT_EQ(sum[0], 205 * 32 * 24);            // tile A: mean exactly 205
  EXPECT_NEAR(sum[1] / 300.0, 205.0, 2.0);     // tile B: the 20 x 15 corner
  EXPECT_NEAR(sum[2] / 192.0, 205.0, 2.0);     // tile C: the 16 x 12 corner
  EXPECT_GT(diff / (24 * 31), 10);             // a grain, not a flat field
}

}  // namespace
