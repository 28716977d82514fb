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
  const UCHAR* q = t->QuarterClampPointer;
  EXPECT_EQ(q[-2048], 0);
  EXPECT_EQ(q[-1], 0);
  EXPECT_EQ(q[1019], 254);
  EXPECT_EQ(q[1022], 255);
  EXPECT_EQ(q[1023], 255);
  EXPECT_EQ(q[3071], 255);
  const UCHAR* c = t->ClampPointer;
  EXPECT_EQ(c, &t->clamp[kClampOrigin]);
  EXPECT_EQ(c[-256], 0);
  EXPECT_EQ(c[-1], 0);
  EXPECT_EQ(c[0], 0);
  EXPECT_EQ(c[200], 200);
  EXPECT_EQ(c[255], 255);
  EXPECT_EQ(c[767], 255);
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
