// Each routine of the scaler against the numbers its definition pins and
// against the direct models, in both byte orders and on every code path.
#include "scaler_models.h"

namespace scaler_test {
namespace {

TEST(ScalerCopyAndCrop, CopyCentreCropAndMovedRows) {
  Bytes src = RandomFrame(64, 6, 1);
  EXPECT_EQ(ScaleEveryWay(src, 64, 6, 64, 6), src);
  Bytes big = RandomFrame(1280, 960, 2);
  Bytes crop = ScaleEveryWay(big, 1280, 960, 1280, 720);
  EXPECT_TRUE(std::equal(crop.begin(), crop.end(), big.begin() + 307200));
  // 640x480 -> 1280x720: rows 60..419 move up inside the source (the rest
  // stays), then double.
  Bytes in = RandomFrame(640, 480, 3), moved = in;
  Bytes out = Scale(moved, 640, 480, 1280, 720, 1), cropped(in.begin() + 60 * 1280, in.begin() + 420 * 1280);
  EXPECT_TRUE(std::equal(cropped.begin(), cropped.end(), moved.begin()) &&
              std::equal(moved.begin() + 360 * 1280, moved.end(), in.begin() + 360 * 1280));
  EXPECT_EQ(out, ScaleEveryWay(cropped, 640, 360, 1280, 720));
}

// Every output byte is the mean of its four source bytes, in every group,
// also where the width is not a multiple of the vector step.
TEST(ScalerHalver, BoxOfFourBytes) {
  for (auto [w, h] : {std::pair<size_t, size_t>{640, 480}, {4, 7}, {12, 7}, {44, 7}, {90, 7}}) {
    const Bytes s = RandomFrame(w, h, w);
    const Bytes o = ScaleEveryWay(s, w, h, w / 2, h / 2);
    for (size_t r = 0; r < h / 2; ++r)
      for (size_t g = 0; g < w / 4; ++g)
        for (int b = 0; b < 4; ++b) {
          const UCHAR* x = &s[2 * w * 2 * r + 8 * g];
          const UCHAR* y = x + 2 * w;
          const int i0 = (b & 1) ? b : b * 2, i1 = (b & 1) ? b + 4 : b * 2 + 2;
          ASSERT_EQ(o[w * r + 4 * g + b], (x[i0] + x[i1] + y[i0] + y[i1]) >> 2) << w << " row " << r;
        }
  }
}

TEST(ScalerDoubler, MatchesModel) {
  const ULONG sizes[][2] = {{2, 1}, {2, 2}, {4, 3}, {18, 5}, {26, 4}, {40, 9}, {66, 3}, {176, 144}, {320, 240}};
  for (auto& s : sizes) {
    Bytes src = RandomFrame(s[0], s[1], s[0] * 7 + s[1]);
    Bytes model = DoublerModel(src, s[0], s[1]);
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(ScaleEveryWay(src, s[0], s[1], 2 * s[0], 2 * s[1]), model) << s[0] << "x" << s[1];
  }
}

TEST(ScalerRunEnlargers, FiveFourAndEightFiveMatchModel) {
  const ULONG cases[][4] = {{5, 4, 640, 480}, {5, 4, 320, 240}, {5, 4, 8, 4}, {5, 4, 16, 8},
                            {5, 4, 72, 12},   {8, 5, 640, 480}, {8, 5, 20, 10}, {8, 5, 40, 20},
                            {8, 5, 100, 30}};
  for (auto [num, den, w, h] : cases) {
    Bytes src = RandomFrame(w, h, w * num + h);
    EXPECT_EQ(ScaleEveryWay(src, w, h, w * num / den, h * num / den), EnlargeModel(src, w, h, num, den))
        << w << "x" << h << " by " << num << "/" << den;
  }
}

// 6:5 keeps the left columns and the top rows the output holds.
TEST(ScalerRunEnlargers, SixFiveWithCrop) {
  for (auto [w, h] : {std::pair<ULONG, ULONG>{640, 480}, {320, 240}}) {
    Bytes src = RandomFrame(w, h, w);
    EXPECT_EQ(ScaleEveryWay(src, w, h, w * 11 / 10, h * 6 / 5), Enlarge6of5Model(src, w, w * 11 / 10, h * 6 / 5));
  }
}

TEST(ScalerGeneral, PlansOfTheAddedSizes) {
  struct Case { ULONG iw, ih, ow, oh, dx, dy, fill, computed, filled; };
  const Case cases[] = {
      {1280, 720, 1920, 1080, 42, 42, 0, 960, 0}, {320, 240, 176, 144, 116, 106, 1, 87, 0},
      {640, 480, 1280, 1024, 32, 30, 2, 638, 3},  {640, 480, 1600, 1200, 25, 25, 0, 800, 0},
      {640, 480, 2048, 1536, 20, 20, 3, 1021, 4}, {640, 480, 2560, 1920, 16, 16, 3, 1277, 4},
  };
  for (const Case& c : cases) {
    GeneralScalingPlan gp;
    ASSERT_TRUE(PlanGeneralScaling(c.iw, c.ih, c.ow, c.oh, &gp));
    EXPECT_EQ(std::vector({gp.dx, gp.dy, gp.fillGroups, gp.groupsComputed, gp.rowsFilled}),
              std::vector({c.dx, c.dy, c.fill, c.computed, c.filled})) << c.ow << "x" << c.oh;
    Bytes src = RandomFrame(c.iw, c.ih, c.ow);
    Bytes out = ScaleEveryWay(src, c.iw, c.ih, c.ow, c.oh);
    EXPECT_EQ(out, GeneralModel(src, c.iw, c.ih, c.ow, c.oh)) << c.ow << "x" << c.oh;
    const size_t row = 2 * c.ow;
    for (ULONG k = c.oh - c.filled; k < c.oh; ++k)
      EXPECT_TRUE(std::equal(out.begin() + k * row, out.begin() + (k + 1) * row, out.begin() + (k - 1) * row));
  }
}

// Pairs near a fixed route that it cannot take safely go the general way:
// 640x480 -> 704x480 (6:5 always writes 576 rows), 640x520 -> 704x576, 5:4
// by ratio with 482 rows (would write three rows past the frame), and an
// enlargement beyond the last chroma sample, where that sample is held.
TEST(ScalerGeneral, PairsBesideTheFixedRoutes) {
  for (Pair p : {Pair{640, 480, 704, 480}, {640, 520, 704, 576}, {640, 482, 800, 602}, {160, 120, 1280, 960}}) {
    Bytes src = RandomFrame(p.iw, p.ih, p.ih);
    Bytes out = ScaleEveryWay(src, p.iw, p.ih, p.ow, p.oh);
    EXPECT_EQ(out, GeneralModel(src, p.iw, p.ih, p.ow, p.oh)) << p.iw << "x" << p.ih << "->" << p.ow;
    if (p.ow == 1280) { EXPECT_EQ(out[2 * 1280 - 1], src[2 * 160 - 1]); }  // last V of row 0
  }
  for (size_t col : {624u, 625u}) {  // output pixel 1599 of 1600 sits at 624 + 39/64
    Bytes src(2 * 640 * 480, 0);
    for (size_t r = 0; r < 480; ++r) src[2 * (640 * r + col)] = 255;
    Bytes out = Scale(src, 640, 480, 1600, 1200, 1);
    EXPECT_EQ(Luma(out, 1600, 10, 1599), col == 624 ? (25 * 255 + 32) >> 6 : (39 * 255 + 32) >> 6);
  }
}

}  // namespace
}  // namespace scaler_test
