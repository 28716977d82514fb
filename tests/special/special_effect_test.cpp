// The selector and the effects as the effect chain sees them: numbers, return
// values, both byte orders, every byte of exactly sized frames.
#include "effects/special/special_effect.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "effects/special/pixel_effects.h"
#include "reference_effects.h"

namespace {

using reference::Frame;
using reference::Layout;

class SpecialEffectTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildColorTables(tables.get()); }

  LONG Run(ULONG effect, Frame& dst, const Frame& src, int w, int h, ULONG code) {
    record.specialEffect = effect;
    return ApplySpecialEffect(&record, dst.data(), src.data(), nullptr, tables.get(), ULONG(w),
                              ULONG(h), code);
  }

  // The model's bytes for an effect, with the tile and block sizes that the
  // frame size selects.
  static Frame Expected(ULONG effect, const Frame& src, Layout f) {
    switch (effect) {
      case 1: {
        Frame d(src);
        for (auto& b : d) b = uint8_t(255 - b);
        return d;
      }
      case 5: return reference::Emboss(src, f);
      case 6: return reference::EdgeDetect(src, f);
      case 8: {
        TextureTile t = ChooseTextureTile(ULONG(f.width), ULONG(f.height));
        return reference::Texture(src, f, int(t.width), int(t.height));
      }
      case 9: {
        MosaicBlock b = MosaicBlockSize(ULONG(f.width));
        return reference::Mosaic(src, f, int(b.width), int(b.height));
      }
      case 11: return src;
      case 12: return reference::MirrorHalf(src, f);
    }
    return {};
  }

  SpecialEffectRecord record{};
  std::unique_ptr<ColorTables> tables = std::make_unique<ColorTables>();
};

Frame RandomFrame(std::mt19937& rng, size_t bytes) {
  Frame f(bytes);
  for (auto& b : f) b = uint8_t(rng());
  return f;
}

constexpr ULONG kBuilt[] = {1, 5, 6, 8, 9, 11, 12};
constexpr ULONG kOrders[] = {kFormatCodeLumaFirst, kFormatCodeChromaFirst};

TEST_F(SpecialEffectTest, NumbersWithoutAnEffectWriteNothingAndReturnZero) {
  Frame src(2 * 8 * 4, 77), dst(src.size(), 5);
  // 0 and above 12 select nothing; 2, 3, 4, 7 and 10 are not built yet.
  for (ULONG n : {0u, 2u, 3u, 4u, 7u, 10u, 13u, 0xFFFFFFFFu}) {
    EXPECT_EQ(Run(n, dst, src, 8, 4, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(dst, Frame(src.size(), 5)) << n;
  }
}

TEST_F(SpecialEffectTest, UnusableCallsPassTheFrameOn) {
  Frame src(2 * 8 * 4, 77), dst(src.size(), 5);
  for (ULONG n : kBuilt) {
    EXPECT_EQ(Run(n, dst, src, 8, 4, 0), 0) << n;  // unknown byte order
    EXPECT_EQ(Run(n, dst, src, 8, 4, 5), 0) << n;
    EXPECT_EQ(Run(n, dst, src, 0, 4, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(Run(n, dst, src, 8, 0, kFormatCodeLumaFirst), 0) << n;
    // A size whose byte count cannot be addressed.
    EXPECT_EQ(Run(n, dst, src, 0xFFFFFFFF, 0xFFFFFFFF, kFormatCodeLumaFirst), 0) << n;
    record.specialEffect = n;
    EXPECT_EQ(ApplySpecialEffect(&record, nullptr, src.data(), nullptr, tables.get(), 8, 4,
                                 kFormatCodeLumaFirst), 0);
    EXPECT_EQ(ApplySpecialEffect(&record, dst.data(), nullptr, nullptr, tables.get(), 8, 4,
                                 kFormatCodeLumaFirst), 0);
    EXPECT_EQ(dst, Frame(src.size(), 5)) << n;
  }
  EXPECT_EQ(ApplySpecialEffect(nullptr, dst.data(), src.data(), nullptr, tables.get(), 8, 4,
                               kFormatCodeLumaFirst), 0);
}

TEST_F(SpecialEffectTest, NegativeInvertsEveryByte) {
  Frame zeros(2 * 6 * 3, 0), dst(zeros.size(), 9);
  ASSERT_EQ(Run(1, dst, zeros, 6, 3, kFormatCodeLumaFirst), 1);
  EXPECT_EQ(dst, Frame(zeros.size(), 255));
  Frame grey(zeros.size(), 128);
  ASSERT_EQ(Run(1, dst, grey, 6, 3, kFormatCodeChromaFirst), 1);
  EXPECT_EQ(dst, Frame(zeros.size(), 127));
}

// Every built effect against the pixel-by-pixel model, in both byte orders,
// on random contents and sizes (odd widths and heights of 1 and 2
// included). The buffers are exactly frame-sized and the destination starts
// as garbage, so a byte read or written outside the frame trips the address
// sanitizer and a byte left unwritten shows as a mismatch.
TEST_F(SpecialEffectTest, EveryEffectMatchesTheModelOnRandomSizes) {
  std::mt19937 rng(20261206);
  std::vector<std::pair<int, int>> sizes = {{1, 1}, {2, 1}, {1, 3}, {3, 2}, {4, 3}, {5, 5},
                                            {6, 4}, {7, 3}, {9, 4}, {10, 3}, {11, 4},
                                            {17, 5}, {18, 4}, {19, 3}, {33, 3}, {160, 7},
                                            {320, 9}, {440, 7}, {176, 13}};
  for (int i = 0; i < 60; ++i) sizes.push_back({1 + int(rng() % 90), 1 + int(rng() % 40)});
  for (auto [w, h] : sizes) {
    for (ULONG code : kOrders) {
      Layout f{w, h, code == kFormatCodeLumaFirst ? 0 : 1};
      Frame src = RandomFrame(rng, size_t(2) * w * h);
      for (ULONG n : kBuilt) {
        Frame dst = RandomFrame(rng, src.size());
        ASSERT_EQ(Run(n, dst, src, w, h, code), 1);
        ASSERT_EQ(dst, Expected(n, src, f)) << "effect " << n << " " << w << "x" << h
                                           << " code " << code;
      }
    }
  }
}

// The sizes cameras deliver, in both orders: the vector paths run over whole
// rows here, with their tails.
TEST_F(SpecialEffectTest, EveryEffectMatchesTheModelAtCameraSizes) {
  std::mt19937 rng(7);
  for (auto [w, h] : std::vector<std::pair<int, int>>{
           {160, 120}, {176, 144}, {320, 240}, {352, 288}, {424, 240}, {640, 480},
           {800, 600}, {1280, 720}, {1280, 1024}}) {
    for (ULONG code : kOrders) {
      Layout f{w, h, code == kFormatCodeLumaFirst ? 0 : 1};
      Frame src = RandomFrame(rng, size_t(2) * w * h);
      for (ULONG n : {5u, 6u, 8u, 9u, 12u}) {
        Frame dst(src.size(), 0xA5);
        ASSERT_EQ(Run(n, dst, src, w, h, code), 1);
        ASSERT_TRUE(dst == Expected(n, src, f)) << "effect " << n << " " << w << "x" << h
                                                << " code " << code;
      }
    }
  }
}

}  // namespace
