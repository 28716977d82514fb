// The selector as the effect chain calls it, and every built effect against
// the pixel-by-pixel model in both byte orders.
#include "effects/special/special_effect.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "reference_effects.h"

namespace {

using reference::Frame;

LONG RunEffect(ULONG effect, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG code) {
  static ColorTables tables = [] { ColorTables t; BuildColorTables(&t); return t; }();
  SpecialEffectRecord record{};
  record.specialEffect = effect;
  return ApplySpecialEffect(&record, dst, src, nullptr, &tables, w, h, code);
}

Frame Expected(ULONG effect, const Frame& src, int w, int h, ULONG code) {
  reference::Model m{src, w, h, code == kFormatCodeLumaFirst ? 0 : 1};
  // Tile: 32 x 24 when the width is a multiple of 32, else 20 x 15 when the
  // width is a multiple of 20 or the height of 15, else 16 x 12. Mosaic
  // blocks: 8 x 6 at widths 160 and 440, 10 x 8 at 320, else 16 x 12.
  const int tw = w % 32 == 0 ? 32 : (w % 20 == 0 || h % 15 == 0) ? 20 : 16;
  const int bw = (w == 160 || w == 440) ? 8 : w == 320 ? 10 : 16;
  Frame d(src);
  switch (effect) {
    case 1: for (auto& x : d) x = uint8_t(255 - x); return d;
    case 5: return m.Emboss();
    case 6: return m.EdgeDetect();
    case 8: return m.Texture(tw, tw * 3 / 4);
    case 9: return m.Mosaic(bw, bw == 10 ? 8 : bw * 3 / 4);
    case 12: return m.MirrorHalf();
  }
  return d;  // 11: copy
}

constexpr ULONG kBuilt[] = {1, 5, 6, 8, 9, 11, 12};

TEST(SpecialEffectSelector, NoEffectOrUnusableCallWritesNothingAndReturnsZero) {
  Frame src(2 * 8 * 4, 77), dst(src.size(), 5);
  // 0 and above 12 select nothing; 2, 3, 4, 7 and 10 are not built yet.
  for (ULONG n : {0u, 2u, 3u, 4u, 7u, 10u, 13u, 0xFFFFFFFFu})
    EXPECT_EQ(RunEffect(n, dst.data(), src.data(), 8, 4, kFormatCodeLumaFirst), 0) << n;
  for (ULONG n : kBuilt) {
    EXPECT_EQ(RunEffect(n, dst.data(), src.data(), 8, 4, 5), 0) << n;  // unknown byte order
    EXPECT_EQ(RunEffect(n, dst.data(), src.data(), 0, 4, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(RunEffect(n, dst.data(), src.data(), 8, 0, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(RunEffect(n, dst.data(), src.data(), ~0u, ~0u, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(RunEffect(n, nullptr, src.data(), 8, 4, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(RunEffect(n, dst.data(), nullptr, 8, 4, kFormatCodeLumaFirst), 0) << n;
  }
  EXPECT_EQ(dst, Frame(src.size(), 5));
  EXPECT_EQ(ApplySpecialEffect(nullptr, dst.data(), src.data(), nullptr, nullptr, 8, 4, 3), 0);
}

// Random contents at random sizes (odd widths, heights of 1 and 2) and at
// camera sizes. Buffers are exactly frame-sized and the destination starts
// as garbage: a byte touched outside the frame trips the address sanitizer,
// a byte left unwritten or wrong shows as a mismatch.
TEST(SpecialEffectSelector, EveryEffectMatchesTheModelInBothOrders) {
  std::mt19937 rng(20261206);
  std::vector<std::pair<int, int>> sizes = {
      {1, 1}, {2, 1}, {1, 3}, {3, 2}, {5, 5}, {6, 4}, {7, 3}, {10, 3}, {17, 5}, {18, 4},
      {19, 3}, {33, 3}, {160, 13}, {320, 17}, {440, 13}, {176, 144}, {424, 240}, {640, 480},
      {1280, 720}, {1280, 1024}};
  for (int i = 0; i < 60; ++i) sizes.push_back({1 + int(rng() % 90), 1 + int(rng() % 40)});
  for (auto [w, h] : sizes)
    for (ULONG code : {kFormatCodeLumaFirst, kFormatCodeChromaFirst}) {
      Frame src(size_t(2) * w * h);
      for (auto& b : src) b = uint8_t(rng());
      for (ULONG n : kBuilt) {
        Frame dst(src.size(), uint8_t(rng()));
        ASSERT_EQ(RunEffect(n, dst.data(), src.data(), w, h, code), 1);
        ASSERT_TRUE(dst == Expected(n, src, w, h, code))
            << "effect " << n << " " << w << "x" << h << " code " << code;
      }
    }
}

}  // namespace
