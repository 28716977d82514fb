// Each routine of the scaler against the numbers its definition pins and
// against the direct models, in both byte orders and on both code paths.
#include <gtest/gtest.h>

#include "scaler_models.h"

namespace scaler_test {
namespace {

const ScalerCodePath kPaths[] = {kScalerPlain, kScalerSse2, kScalerVector};

// Scales a YUY2 frame on both paths and in UYVY order too; all must agree.
Bytes ScaleEveryWay(Bytes src, ULONG inW, ULONG inH, ULONG outW, ULONG outH) {
  Bytes first;
  for (ScalerCodePath path : kPaths) {
    Bytes s = src;
    Bytes y = Scale(s, inW, inH, outW, outH, 1, path);
    Bytes su = Swap(src);
    Bytes u = Scale(su, inW, inH, outW, outH, 0, path);
    EXPECT_EQ(Swap(u), y) << "UYVY differs " << inW << "x" << inH << "->" << outW << "x" << outH;
    if (first.empty()) first = y;
    EXPECT_EQ(y, first) << "paths differ " << inW << "x" << inH << "->" << outW << "x" << outH;
  }
  return first;
}

TEST(ScalerCopyAndCrop, CopyCentreCropAndMovedRows) {
  Bytes src = RandomFrame(64, 6, 1);
  EXPECT_EQ(ScaleEveryWay(src, 64, 6, 64, 6), src);

  Bytes big = RandomFrame(1280, 960, 2);
  Bytes crop = ScaleEveryWay(big, 1280, 960, 1280, 720);
  EXPECT_TRUE(std::equal(crop.begin(), crop.end(), big.begin() + 307200));

  // 640x480 -> 1280x720: rows 60..419 move up inside the source, then double.
  for (ULONG lumaFirst : {0u, 1u}) {
    Bytes in = RandomFrame(640, 480, 3);
    Bytes moved = in;
    Bytes out = Scale(moved, 640, 480, 1280, 720, lumaFirst);
    EXPECT_TRUE(std::equal(moved.begin(), moved.begin() + 360 * 1280, in.begin() + 60 * 1280));
    EXPECT_TRUE(std::equal(moved.begin() + 360 * 1280, moved.end(), in.begin() + 360 * 1280));
    Bytes cropped(moved.begin(), moved.begin() + 360 * 1280);
    Bytes doubled = Scale(cropped, 640, 360, 1280, 720, lumaFirst);
    EXPECT_EQ(out, doubled);
  }
}

TEST(ScalerHalver, BoxOfFourBytes) {
  Bytes src = RandomFrame(640, 480, 4);
  Bytes out = ScaleEveryWay(src, 640, 480, 320, 240);
  EXPECT_EQ(out[0], (src[0] + src[2] + src[1280] + src[1282]) >> 2);
  EXPECT_EQ(out[1], (src[1] + src[5] + src[1281] + src[1285]) >> 2);
  EXPECT_EQ(out[2], (src[4] + src[6] + src[1284] + src[1286]) >> 2);
  EXPECT_EQ(out[3], (src[3] + src[7] + src[1283] + src[1287]) >> 2);
  // Every group of a frame whose width is not a multiple of the vector step.
  for (ULONG w : {4u, 12u, 44u, 90u}) {
    Bytes s = RandomFrame(w, 7, w);
    Bytes o = ScaleEveryWay(s, w, 7, w / 2, 3);
    for (size_t r = 0; r < 3; ++r)
      for (size_t g = 0; g < w / 4; ++g)
        for (int b = 0; b < 4; ++b) {
          const UCHAR* x = &s[2 * w * 2 * r + 8 * g];
          const UCHAR* y = x + 2 * w;
          const int i0 = (b & 1) ? b : b * 2, i1 = (b & 1) ? b + 4 : b * 2 + 2;
          EXPECT_EQ(o[2 * (w / 2) * r + 4 * g + b], (x[i0] + x[i1] + y[i0] + y[i1]) >> 2);
        }
  }
}

TEST(ScalerDoubler, FlatGreyStaysFlat) {
  Bytes src(2 * 320 * 240);
  for (size_t i = 0; i < src.size(); i += 4) {
    src[i] = src[i + 2] = 128;
    src[i + 1] = static_cast<UCHAR>(i / 4 % 7 * 20);
    src[i + 3] = 90;
  }
  Bytes out = ScaleEveryWay(src, 320, 240, 640, 480);
  for (size_t i = 0; i < out.size(); i += 2) ASSERT_EQ(out[i], 128) << i;
  EXPECT_EQ(out[1], src[1]);                        // copied
  EXPECT_EQ(out[5], (src[1] + src[5]) >> 1);        // averaged
  EXPECT_EQ(out[3], 90);
}

TEST(ScalerDoubler, SharpenedSpot) {
  const size_t w = 16, h = 8;
  Bytes src(2 * w * h, 0);
  src[2 * (4 * w + 6)] = 200;  // luma (4, 6)
  Bytes out = ScaleEveryWay(src, w, h, 2 * w, 2 * h);
  const size_t W = 2 * w;
  EXPECT_EQ(Luma(out, W, 8, 12), 255);  // 3*200 - 200
  EXPECT_EQ(Luma(out, W, 8, 11), 150);  // bilinear 100 beside it
  EXPECT_EQ(Luma(out, W, 8, 13), 150);
  EXPECT_EQ(Luma(out, W, 7, 12), 150);
  EXPECT_EQ(Luma(out, W, 8, 10), 0);    // -50
  EXPECT_EQ(Luma(out, W, 6, 12), 0);
}

TEST(ScalerDoubler, ReadsResultsThroughTheClampTable) {
  // A table that maps every index to its low bits shows which entry each
  // sample read: 3*200 - 200 = 400 reads entry 400.
  Bytes table(1024);
  for (int i = -256; i < 768; ++i) table[i + 256] = static_cast<UCHAR>(i & 0xFF);
  const size_t w = 32, h = 4;
  Bytes src(2 * w * h, 0);
  src[2 * (1 * w + 12)] = 200;
  for (ScalerCodePath path : kPaths) {
    Bytes out(2 * 4 * w * h, 0);
    ScaleFrameOnPath(out.data(), src.data(), w, h, 2 * w, 2 * h, table.data() + 256, 1, path);
    EXPECT_EQ(Luma(out, 2 * w, 2, 24), 400 & 0xFF) << path;
    EXPECT_EQ(Luma(out, 2 * w, 2, 22), (-50) & 0xFF) << path;
  }
}

TEST(ScalerDoubler, MatchesModel) {
  const ULONG sizes[][2] = {{2, 1}, {2, 2}, {4, 3}, {18, 5}, {26, 4}, {40, 9}, {66, 3}, {176, 144}};
  for (auto& s : sizes) {
    Bytes src = RandomFrame(s[0], s[1], s[0] * 7 + s[1]);
    Bytes model = DoublerModel(src, s[0], s[1]);
    ASSERT_FALSE(model.empty());
    EXPECT_EQ(ScaleEveryWay(src, s[0], s[1], 2 * s[0], 2 * s[1]), model) << s[0] << "x" << s[1];
  }
}

TEST(ScalerRunEnlargers, FiveFourAndEightFiveMatchModel) {
  const ULONG five[][2] = {{640, 480}, {320, 240}, {8, 4}, {16, 8}, {72, 12}};
  for (auto& s : five) {
    Bytes src = RandomFrame(s[0], s[1], s[0] + s[1]);
    Bytes out = ScaleEveryWay(src, s[0], s[1], s[0] * 5 / 4, s[1] * 5 / 4);
    EXPECT_EQ(out, EnlargeModel(src, s[0], s[1], 5, 4)) << s[0] << "x" << s[1];
  }
  const ULONG eight[][2] = {{640, 480}, {20, 10}, {40, 20}, {100, 30}};
  for (auto& s : eight) {
    Bytes src = RandomFrame(s[0], s[1], s[0] * 3 + s[1]);
    Bytes out = ScaleEveryWay(src, s[0], s[1], s[0] * 8 / 5, s[1] * 8 / 5);
    EXPECT_EQ(out, EnlargeModel(src, s[0], s[1], 8, 5)) << s[0] << "x" << s[1];
  }
  // A pinned sample: output luma 1 of row 0 at 5:4 is T1/5[s0] + T4/5[s1].
  Bytes src = RandomFrame(640, 480, 9);
  Bytes out = Scale(src, 640, 480, 800, 600, 1);
  EXPECT_EQ(out[2], kScalerWeights.t1of5[src[0]] + kScalerWeights.t4of5[src[2]]);
  EXPECT_EQ(out[2 * 799], src[2 * 639]);  // last output of a row is the last input
}

TEST(ScalerRunEnlargers, SixFiveWithCrop) {
  Bytes src = RandomFrame(640, 480, 10);
  Bytes out = ScaleEveryWay(src, 640, 480, 704, 576);
  EXPECT_EQ(out, Enlarge6of5Model(src, 640, 704, 576));
  for (size_t r : {0u, 3u}) {
    EXPECT_EQ(Luma(out, 704, r, 702), Luma(src, 640, r, 585));
    EXPECT_EQ(Luma(out, 704, r, 703), (Luma(src, 640, r, 585) + 3 * Luma(src, 640, r, 586)) >> 2);
  }
  EXPECT_TRUE(std::equal(out.end() - 1408, out.end(), out.end() - 2816));  // row 575 = row 574
  Bytes changed = src;  // input columns 587..639 are not used
  for (size_t r = 0; r < 480; ++r)
    for (size_t c = 2 * 588; c < 1280; ++c) changed[1280 * r + c] ^= 0x5A;
  EXPECT_EQ(Scale(changed, 640, 480, 704, 576, 1), out);

  Bytes small = RandomFrame(320, 240, 11);
  EXPECT_EQ(ScaleEveryWay(small, 320, 240, 352, 288), Enlarge6of5Model(small, 320, 352, 288));
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
    EXPECT_EQ(gp.dx, c.dx);
    EXPECT_EQ(gp.dy, c.dy);
    EXPECT_EQ(gp.fillGroups, c.fill) << c.ow;
    EXPECT_EQ(gp.groupsComputed, c.computed);
    EXPECT_EQ(gp.rowsFilled, c.filled) << c.oh;
    Bytes src = RandomFrame(c.iw, c.ih, c.ow);
    Bytes out = ScaleEveryWay(src, c.iw, c.ih, c.ow, c.oh);
    EXPECT_EQ(out, GeneralModel(src, c.iw, c.ih, c.ow, c.oh)) << c.ow << "x" << c.oh;
    const size_t row = 2 * c.ow;
    for (ULONG k = c.oh - c.filled; k < c.oh; ++k)
      EXPECT_TRUE(std::equal(out.begin() + k * row, out.begin() + (k + 1) * row, out.begin() + (k - 1) * row));
  }
}

TEST(ScalerGeneral, LastColumnOf1600ReadsColumns624And625) {
  for (size_t col : {624u, 625u}) {
    Bytes src(2 * 640 * 480, 0);
    for (size_t r = 0; r < 480; ++r) src[2 * (640 * r + col)] = 255;
    Bytes out = Scale(src, 640, 480, 1600, 1200, 1);
    // Output pixel 1599 sits at 624 + 39/64.
    EXPECT_EQ(Luma(out, 1600, 10, 1599), col == 624 ? (25 * 255 + 32) >> 6 : (39 * 255 + 32) >> 6);
  }
}

TEST(ScalerDispatch, RoutesByExactSizes) {
  // 176x144 -> 352x288 doubles (inW is not 320); 640x480 -> 704x480 cannot
  // take the 6:5 route (it always writes 576 rows) and is scaled generally.
  Bytes src = RandomFrame(176, 144, 12);
  EXPECT_EQ(Scale(src, 176, 144, 352, 288, 1), DoublerModel(src, 176, 144));
  Bytes vga = RandomFrame(640, 480, 13);
  EXPECT_EQ(ScaleEveryWay(vga, 640, 480, 704, 480), GeneralModel(vga, 640, 480, 704, 480));
  Bytes tall = RandomFrame(640, 520, 15);
  EXPECT_EQ(ScaleEveryWay(tall, 640, 520, 704, 576), GeneralModel(tall, 640, 520, 704, 576));
  // 5:4 by ratio with 482 rows would write three rows past the frame.
  Bytes odd = RandomFrame(640, 482, 14);
  EXPECT_EQ(ScaleEveryWay(odd, 640, 482, 800, 602), GeneralModel(odd, 640, 482, 800, 602));
}

}  // namespace
}  // namespace scaler_test
