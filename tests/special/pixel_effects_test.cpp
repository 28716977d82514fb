// Hand-worked cases of the per-pixel effects: values computed from the
// effects' formulas on small, readable frames, and the size rules (tile and
// block choice) at the frame sizes where they change.
#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <vector>

#include "effects/special/pixel_effects.h"
#include "effects/special/special_effect.h"
#include "effects/special/texture_tiles.h"

namespace {

using Frame = std::vector<uint8_t>;

struct Picture {
  int w, h, lumaOffset;
  Frame bytes;
  Picture(int width, int height, ULONG code, uint8_t fill = 0)
      : w(width), h(height), lumaOffset(code == kFormatCodeLumaFirst ? 0 : 1),
        bytes(size_t(2) * width * height, fill) {}
  uint8_t& Y(int x, int y) { return bytes[(size_t(y) * w + x) * 2 + lumaOffset]; }
  uint8_t& C(int x, int y) { return bytes[(size_t(y) * w + x) * 2 + 1 - lumaOffset]; }
};

// Runs `effect` on `src` into a destination of the same shape, filled with
// `fill` beforehand.
Picture Apply(ULONG effect, Picture& src, ULONG code, uint8_t fill = 0x5A) {
  static ColorTables tables = [] {
    ColorTables t;
    BuildColorTables(&t);
    return t;
  }();
  SpecialEffectRecord record{};
  record.specialEffect = effect;
  Picture dst(src.w, src.h, code, fill);
  EXPECT_EQ(ApplySpecialEffect(&record, dst.bytes.data(), src.bytes.data(), nullptr, &tables,
                               ULONG(src.w), ULONG(src.h), code),
            1);
  return dst;
}

class PixelEffects : public ::testing::TestWithParam<ULONG> {};
INSTANTIATE_TEST_SUITE_P(BothOrders, PixelEffects,
                         ::testing::Values(kFormatCodeLumaFirst, kFormatCodeChromaFirst));

TEST_P(PixelEffects, EdgeDetectionOfUniformGreyIsBlackWithNeutralChroma) {
  const ULONG code = GetParam();
  Picture grey(64, 9, code, 128);
  Picture out = Apply(6, grey, code);
  for (int y = 0; y < out.h; ++y)
    for (int x = 0; x < out.w; ++x) {
      EXPECT_EQ(out.Y(x, y), 0) << x << "," << y;
      // Top and bottom rows are all zero bytes; the rest has chroma 128.
      EXPECT_EQ(out.C(x, y), (y == 0 || y == out.h - 1) ? 0 : 128) << x << "," << y;
    }
}

TEST_P(PixelEffects, EdgeDetectionSaturatesStrongEdges) {
  const ULONG code = GetParam();
  // Luma 255 right of column 20, 0 elsewhere; chroma steps from 0 to 255 at
  // the same column.
  Picture step(40, 5, code);
  for (int y = 0; y < step.h; ++y)
    for (int x = 21; x < step.w; ++x) step.Y(x, y) = step.C(x, y) = 255;
  Picture out = Apply(6, step, code);
  // Column 20: Gx = -4 * 255, Gy = 0 -> 1020 - 32, saturated to 255.
  EXPECT_EQ(out.Y(20, 2), 255);
  // Column 18: no luma neighbour is lit -> 0 - 32, saturated to 0.
  EXPECT_EQ(out.Y(18, 2), 0);
  // Column 19 (odd, carries V): C(21,y), C(21,y+1) are 255 -> 128 + 2 * 510.
  EXPECT_EQ(out.C(19, 2), 255);
  // Column 22: three lit terms added, C(22, y-1) subtracted -> 128 + 2 * 510.
  EXPECT_EQ(out.C(22, 2), 255);
  // Column 23: every chroma term is 255: 128 + 2 * (3 - 3) * 255.
  EXPECT_EQ(out.C(23, 2), 128);
  // A chroma that falls: the mirror image saturates at 0.
  Picture fall(40, 5, code);
  for (int y = 0; y < fall.h; ++y)
    for (int x = 0; x < 21; ++x) fall.C(x, y) = 255;
  EXPECT_EQ(Apply(6, fall, code).C(19, 2), 0);
}

TEST_P(PixelEffects, EmbossBordersAndSaturation) {
  const ULONG code = GetParam();
  Picture step(12, 4, code, 128);
  for (int y = 0; y < step.h; ++y)
    for (int x = 0; x < step.w; ++x) step.Y(x, y) = x > 5 ? 255 : 0;
  Picture out = Apply(5, step, code);
  for (int x = 0; x < 12; ++x) {
    EXPECT_EQ(out.Y(x, 0), 128);
    EXPECT_EQ(out.C(x, 0), 128);
    EXPECT_EQ(out.Y(x, 3), 192);
    EXPECT_EQ(out.C(x, 3), 192);
    EXPECT_EQ(out.C(x, 1), 128);
  }
  EXPECT_EQ(out.Y(0, 1), 128);
  EXPECT_EQ(out.Y(11, 1), 128);
  // Column 5: 192 + 3 * 255 on the right, beyond the clamp table's 767.
  EXPECT_EQ(out.Y(5, 1), 255);
  // Flat areas keep 192 + 0.
  EXPECT_EQ(out.Y(2, 1), 192);
  EXPECT_EQ(out.Y(8, 2), 192);
  // The reverse step goes far below -256 and must give 0.
  for (int y = 0; y < step.h; ++y)
    for (int x = 0; x < step.w; ++x) step.Y(x, y) = x > 5 ? 0 : 255;
  EXPECT_EQ(Apply(5, step, code).Y(5, 1), 0);
  // One weighted example: only the pixel below (x, y+1) is lit, by 50.
  Picture dot(5, 3, code);
  dot.Y(2, 2) = 50;
  EXPECT_EQ(Apply(5, dot, code).Y(2, 1), 242);  // 192 + 50
  EXPECT_EQ(Apply(5, dot, code).Y(3, 1), 142);  // 192 - Y(x-1, y+1)
  EXPECT_EQ(Apply(5, dot, code).Y(1, 1), 242);  // 192 + Y(x+1, y+1)
}

TEST_P(PixelEffects, EmbossOfShortFrames) {
  const ULONG code = GetParam();
  Picture two(6, 2, code, 7);
  Picture out = Apply(5, two, code);
  EXPECT_EQ(Frame(out.bytes.begin(), out.bytes.begin() + 12), Frame(12, 128));
  EXPECT_EQ(Frame(out.bytes.begin() + 12, out.bytes.end()), Frame(12, 192));
  Picture one(6, 1, code, 7);
  EXPECT_EQ(Apply(5, one, code).bytes, Frame(12, 128));
}

TEST_P(PixelEffects, MirrorHalfReversesPairsAndExchangesTheirLumas) {
  const ULONG code = GetParam();
  Picture src(8, 2, code);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 8; ++x) {
      src.Y(x, y) = uint8_t(10 * x + y);
      src.C(x, y) = uint8_t(100 + 10 * x + y);
    }
  Picture out = Apply(12, src, code);
  for (int y = 0; y < 2; ++y) {
    const int lumas[8] = {0, 10, 20, 30, 30, 20, 10, 0};
    // Chroma moves with its pair: U of pair 0 lands in pair 3.
    const int chromas[8] = {100, 110, 120, 130, 120, 130, 100, 110};
    for (int x = 0; x < 8; ++x) {
      EXPECT_EQ(out.Y(x, y), lumas[x] + y) << x;
      EXPECT_EQ(out.C(x, y), chromas[x] + y) << x;
    }
  }
}

// Checks that pixel (x, y) got the texture sample (tx, ty): the source is
// flat luma 100 and chroma 60 + y.
void ExpectTexel(Picture& out, int x, int y, int tx, int ty) {
  EXPECT_EQ(out.Y(x, y), 100 + kTextureSamples[ty][tx] - kTextureOffset)
      << "pixel " << x << "," << y << " sample " << tx << "," << ty;
  EXPECT_EQ(out.C(x, y), 60 + y % 100);
}

Picture FlatForTexture(int w, int h, ULONG code) {
  Picture p(w, h, code, 100);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) p.C(x, y) = uint8_t(60 + y % 100);
  return p;
}

TEST_P(PixelEffects, TextureTileFollowsTheFrameSize) {
  const ULONG code = GetParam();
  // 1280 x 1024: the full 32 x 24 texture; 42 whole tile rows cover rows
  // 0..1007 and the remaining 16 rows continue with tile rows 0..15.
  {
    Picture src = FlatForTexture(1280, 1024, code);
    Picture out = Apply(8, src, code);
    for (int y : {0, 1, 23, 24, 500, 1007, 1008, 1010, 1023})
      for (int x : {0, 5, 31, 32, 639, 1279}) ExpectTexel(out, x, y, x % 32, y % 24);
  }
  // 176 x 144: 16 x 12 corner, 11 tiles across, 12 down.
  {
    Picture src = FlatForTexture(176, 144, code);
    Picture out = Apply(8, src, code);
    for (int y : {0, 11, 12, 143})
      for (int x : {0, 15, 16, 175}) ExpectTexel(out, x, y, x % 16, y % 12);
  }
  // Width a multiple of 20 (not of 32): 20 x 15 corner.
  {
    Picture src = FlatForTexture(100, 30, code);
    Picture out = Apply(8, src, code);
    for (int y : {0, 14, 15, 29})
      for (int x : {0, 19, 20, 99}) ExpectTexel(out, x, y, x % 20, y % 15);
  }
}

TEST_P(PixelEffects, TextureRunsDriftWhenTheWidthIsNotWholeTiles) {
  const ULONG code = GetParam();
  // 424 x 240: height a multiple of 15 selects the 20 x 15 corner, but runs
  // are 420 pixels long, so frame row 1 starts 4 pixels into walk row 1.
  Picture src = FlatForTexture(424, 240, code);
  Picture out = Apply(8, src, code);
  ExpectTexel(out, 419, 0, 19, 0);
  ExpectTexel(out, 420, 0, 0, 1);   // pixel 420 starts walk row 1
  ExpectTexel(out, 423, 0, 3, 1);
  ExpectTexel(out, 0, 1, 4, 1);     // pixel 424
  ExpectTexel(out, 0, 2, 8, 2);     // pixel 848 = 2 * 420 + 8
  // The last pixel: 101759 = 242 * 420 + 119 -> walk row 242 (tile row 2),
  // column 119 (tile column 19); the runs continue to the frame's end.
  ExpectTexel(out, 423, 239, 19, 242 % 15);
  // A frame narrower than one tile uses the tile's first columns per row.
  Picture narrow = FlatForTexture(10, 13, code);
  Picture n = Apply(8, narrow, code);
  for (int y = 0; y < 13; ++y)
    for (int x = 0; x < 10; ++x) ExpectTexel(n, x, y, x, y % 12);
}

TEST_P(PixelEffects, TextureSaturates) {
  const ULONG code = GetParam();
  Picture bright(32, 24, code, 255), dark(32, 24, code, 0);
  Picture b = Apply(8, bright, code), d = Apply(8, dark, code);
  for (int y = 0; y < 24; ++y)
    for (int x = 0; x < 32; ++x) {
      const int t = kTextureSamples[y][x] - kTextureOffset;
      EXPECT_EQ(b.Y(x, y), t > 0 ? 255 : 255 + t);
      EXPECT_EQ(d.Y(x, y), t > 0 ? t : 0);
    }
}

// The block size, found from the output: the colour changes exactly at block
// edges when every source pixel differs from its neighbours.
struct BlockCase {
  int w, h, blockWidth, blockHeight;
};

TEST_P(PixelEffects, MosaicBlockSizesAndColours) {
  const ULONG code = GetParam();
  for (BlockCase c : {BlockCase{440, 30, 8, 6}, BlockCase{160, 24, 8, 6},
                      BlockCase{320, 24, 10, 8}, BlockCase{640, 480, 16, 12},
                      BlockCase{176, 30, 16, 12}}) {
    Picture src(c.w, c.h, code);
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        src.Y(x, y) = uint8_t(x * 7 + y * 13);
        src.C(x, y) = uint8_t(x * 3 + y * 5 + 1);
      }
    Picture out = Apply(9, src, code);
    std::set<std::vector<int>> blocks;
    for (int y = 0; y < c.h; ++y)
      for (int x = 0; x < c.w; ++x) {
        const int x0 = x - x % c.blockWidth, y0 = y - y % c.blockHeight;
        ASSERT_EQ(out.Y(x, y), src.Y(x0, y0)) << c.w << ": " << x << "," << y;
        ASSERT_EQ(out.C(x, y), src.C(x0 + x % 2, y0)) << c.w << ": " << x << "," << y;
        blocks.insert({x0, y0});
      }
    if (c.w == 640) {
      EXPECT_EQ(blocks.size(), 40u * 40u);
    }
  }
}

TEST_P(PixelEffects, MosaicFillsBlocksCutByTheFrameEdge) {
  const ULONG code = GetParam();
  // 100 x 27 with 16 x 12 blocks: six blocks and a 4-pixel block across,
  // two bands and a 3-row band down; the cut block takes its own corner.
  Picture src(100, 27, code);
  for (int y = 0; y < src.h; ++y)
    for (int x = 0; x < src.w; ++x) src.Y(x, y) = uint8_t(x + 3 * y);
  Picture out = Apply(9, src, code);
  for (int y = 24; y < 27; ++y)
    for (int x = 96; x < 100; ++x) EXPECT_EQ(out.Y(x, y), src.Y(96, 24)) << x << "," << y;
}

TEST(TextureSamples, MatchTheStatedTexture) {
  const UCHAR firstRow[32] = {161, 183, 250, 200, 157, 203, 190, 179, 210, 199, 181,
                              221, 204, 165, 223, 216, 198, 210, 240, 230, 193, 224,
                              203, 219, 255, 252, 169, 188, 239, 203, 206, 255};
  for (int x = 0; x < 32; ++x) EXPECT_EQ(kTextureSamples[0][x], firstRow[x]) << x;
  // Range and mean of the whole texture and of its two corners.
  auto Stats = [](int w, int h, int& lo, int& hi) {
    long sum = 0;
    lo = 255;
    hi = 0;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const int v = kTextureSamples[y][x];
        sum += v;
        lo = v < lo ? v : lo;
        hi = v > hi ? v : hi;
      }
    return double(sum) / (w * h);
  };
  int lo, hi;
  EXPECT_DOUBLE_EQ(Stats(32, 24, lo, hi), 205.0);
  EXPECT_EQ(lo, 131);
  EXPECT_EQ(hi, 255);
  EXPECT_NEAR(Stats(20, 15, lo, hi), 205.0, 2.0);
  EXPECT_NEAR(Stats(16, 12, lo, hi), 205.0, 2.0);
  // A texture, not a flat field: neighbouring samples differ on average by
  // several steps, and no row repeats the first.
  long diff = 0;
  for (int y = 1; y < 24; ++y)
    for (int x = 1; x < 32; ++x)
      diff += std::abs(kTextureSamples[y][x] - kTextureSamples[y][x - 1]);
  EXPECT_GT(diff / (23 * 31), 10);
  for (int y = 1; y < 24; ++y)
    EXPECT_NE(Frame(kTextureSamples[y], kTextureSamples[y] + 32),
              Frame(kTextureSamples[0], kTextureSamples[0] + 32));
}

TEST(TextureTileChoice, FirstMatchingRuleWins) {
  auto Is = [](ULONG w, ULONG h, ULONG tw, ULONG th) {
    TextureTile t = ChooseTextureTile(w, h);
    return t.width == tw && t.height == th;
  };
  EXPECT_TRUE(Is(1280, 1024, 32, 24));
  EXPECT_TRUE(Is(640, 480, 32, 24));
  EXPECT_TRUE(Is(160, 120, 32, 24));  // 160 is a multiple of 32 and of 20
  EXPECT_TRUE(Is(180, 100, 20, 15));
  EXPECT_TRUE(Is(424, 240, 20, 15));  // by the height
  EXPECT_TRUE(Is(176, 144, 16, 12));
  EXPECT_TRUE(Is(1, 1, 16, 12));
}

}  // namespace
