#include "effects/special/special_effect.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

struct Fixture {
  SpecialEffectRecord record{};
  ColorTables tables{};
  Fixture() { BuildColorTables(&tables); }
  LONG Run(ULONG effect, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG code) {
    record.specialEffect = effect;
    return ApplySpecialEffect(&record, dst, src, nullptr, &tables, w, h, code);
  }
};

TEST(SpecialEffectSelector, NoEffectNumbersLeaveDestinationUntouched) {
  Fixture f;
  std::vector<UCHAR> src(2 * 8 * 4, 77), dst(src.size(), 5);
  for (ULONG n : {0u, 2u, 3u, 4u, 7u, 10u, 13u, 0xFFFFFFFFu}) {
    EXPECT_EQ(f.Run(n, dst.data(), src.data(), 8, 4, kFormatCodeLumaFirst), 0) << n;
    EXPECT_EQ(dst, std::vector<UCHAR>(src.size(), 5)) << n;
  }
}

TEST(SpecialEffectSelector, NegativeAndCopy) {
  Fixture f;
  std::vector<UCHAR> src(2 * 6 * 3), dst(src.size(), 9);
  for (size_t i = 0; i < src.size(); ++i) src[i] = static_cast<UCHAR>(i * 37 + 1);
  ASSERT_EQ(f.Run(1, dst.data(), src.data(), 6, 3, kFormatCodeChromaFirst), 1);
  for (size_t i = 0; i < src.size(); ++i) EXPECT_EQ(dst[i], 255 - src[i]);
  std::vector<UCHAR> zeros(src.size(), 0);
  ASSERT_EQ(f.Run(1, dst.data(), zeros.data(), 6, 3, kFormatCodeLumaFirst), 1);
  EXPECT_EQ(dst, std::vector<UCHAR>(src.size(), 255));
  ASSERT_EQ(f.Run(11, dst.data(), src.data(), 6, 3, kFormatCodeLumaFirst), 1);
  EXPECT_EQ(dst, src);
}

}  // namespace
