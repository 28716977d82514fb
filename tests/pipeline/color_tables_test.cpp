#include <gtest/gtest.h>

#include <memory>

#include "media/color_tables.h"

namespace {

class ColorTablesTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildColorTables(t.get()); }
  std::unique_ptr<ColorTables> t = std::make_unique<ColorTables>();
};

// The YCbCr-to-RGB terms are checked for every colour against the formulas by
// the conversion tests; here the clamp tables and the RGB-to-YCbCr terms.
TEST_F(ColorTablesTest, ClampAndRgbToYccTables) {
  auto clamp = [](int v) { return v < 0 ? 0 : v > 255 ? 255 : v; };
  for (int i = -2048; i < 3072; ++i) ASSERT_EQ(t->QuarterClampPointer[i], clamp(i >> 2)) << i;
  ASSERT_EQ(t->ClampPointer, &t->clamp[kClampOrigin]);
  for (int i = -256; i < 768; ++i) ASSERT_EQ(t->ClampPointer[i], clamp(i)) << i;
  EXPECT_EQ(t->rgbToYccTerm[kYFromR][255], 1225 * 255);
  EXPECT_EQ(t->rgbToYccTerm[kCbFromG][10], -13570);
  EXPECT_EQ(t->rgbToYccTerm[kCrFromB][1], -333);
  // Each row of the YCbCr matrix sums to 4096 (luma) or 0 (chroma).
  for (int row = 0; row < 3; ++row) {
    LONG sum = t->rgbToYccTerm[row * 3][1] + t->rgbToYccTerm[row * 3 + 1][1] +
               t->rgbToYccTerm[row * 3 + 2][1];
    EXPECT_EQ(sum, row == 0 ? 4096 : 0) << row;
  }
}

}  // namespace
