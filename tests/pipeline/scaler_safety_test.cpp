// Frame bounds for every size pair and refused line buffers. The vector
// kernels are checked through the code paths agreeing on every route.
#include <gtest/gtest.h>

#include "platform/host/host_control.h"
#include "scaler_models.h"

namespace scaler_test {
namespace {

TEST(ScalerBounds, KnownOverrunsOfTheFixedRoutes) {
  const Pair pairs[] = {
      {640, 400, 704, 576}, {640, 480, 704, 500}, {320, 100, 352, 288}, {320, 240, 352, 300},
      {640, 520, 704, 576}, {640, 482, 800, 602}, {644, 480, 805, 600}, {652, 480, 815, 600},
      {650, 480, 1040, 768}, {640, 485, 1024, 776}, {660, 480, 1056, 768}, {6, 4, 7, 5},
      {4, 4, 5, 5}, {10, 10, 16, 16}, {8, 2, 10, 2}, {2, 3, 3, 4},
      {640, 480, 2560, 1920}, {160, 120, 1280, 960}, {40, 30, 2560, 1920}, {2, 2, 128, 128},
      {2, 1, 4, 2}, {2, 1, 6, 3}, {1, 1, 2, 2}, {3, 5, 6, 10}, {2, 1, 1, 0}, {1, 1, 1, 1},
      {0, 0, 0, 0}, {0, 4, 0, 8}, {4, 0, 8, 0}, {4, 4, 0, 0}, {8, 8, 600, 2}, {3, 3, 5, 7},
      {1280, 960, 1280, 720}, {640, 480, 1280, 720}, {5, 3, 2, 1}, {7, 9, 3, 4},
  };
  uint32_t seed = 1;
  for (const Pair& p : pairs) ScaleEveryWay(RandomFrame(p.iw, p.ih, seed++), p.iw, p.ih, p.ow, p.oh);
  // Pairs outside every routine write nothing.
  for (Pair p : {Pair{2, 1, 6, 3}, {4, 4, 1, 1}, {4, 4, 2, 1}, {1, 1, 1000, 1000}, {8, 8, 601, 20},
                 {2, 2, 300, 300}, {4, 1, 9, 9}}) {
    EXPECT_EQ(ScaleEveryWay(RandomFrame(p.iw, p.ih, 5), p.iw, p.ih, p.ow, p.oh), Bytes(2 * size_t(p.ow) * p.oh, 0xA5));
  }
}

// Every ratio over a sweep of widths (vector steps and their tails), then
// random pairs around the fixed routes and anywhere.
TEST(ScalerBounds, ManySizePairs) {
  std::vector<Pair> pairs;
  for (ULONG w = 2; w <= 80; w += 2)
    for (ULONG h : {1u, 2u, 3u, 6u}) pairs.push_back({w, h, 2 * w, 2 * h});
  for (ULONG w = 4; w <= 100; w += 3) pairs.push_back({w, 5, w / 2, 2});
  for (ULONG w = 8; w <= 168; w += 8) pairs.push_back({w, 8, w * 5 / 4, 10});
  for (ULONG w = 20; w <= 220; w += 20) pairs.push_back({w, 20, w * 8 / 5, 32});
  std::mt19937 rng(20261206);
  auto pick = [&](ULONG lo, ULONG hi) { return std::uniform_int_distribution<ULONG>(lo, hi)(rng); };
  for (int i = 0; i < 150; ++i) pairs.push_back({pick(2, 121), pick(2, 61), 2 * pick(1, 150), pick(1, 120)});
  for (int i = 0; i < 1500; ++i) {
    const ULONG iw = pick(0, 90), ih = pick(0, 40);
    Pair p{iw, ih, 0, 0};
    const ULONG kind = pick(0, 12), ratios[4][2] = {{1, 2}, {2, 1}, {5, 4}, {8, 5}};
    if (kind < 4) {
      p = {iw, ih, iw * ratios[kind][0] / ratios[kind][1], ih * ratios[kind][0] / ratios[kind][1]};
    } else if (kind == 4) {  // around the 6:5 routes
      p.iw = pick(0, 1) ? 320 : 640, p.ow = p.iw == 320 ? 352 : 704, p.ih = pick(230, 490), p.oh = pick(280, 580);
    } else {
      p.ow = kind == 5 ? pick(0, 400) : pick(0, 12), p.oh = kind == 5 ? pick(0, 200) : pick(0, 6);
    }
    pairs.push_back(p);
  }
  uint32_t seed = 100;
  for (const Pair& p : pairs) {
    ScaleEveryWay(RandomFrame(p.iw, p.ih, seed++), p.iw, p.ih, p.ow, p.oh);
    if (HasFailure()) return;
  }
}

class ScalerLineBuffers : public ::testing::Test {
 protected:
  void SetUp() override { host::PoolReset(); }
  void TearDown() override {
    EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 0u) << host::PoolLeakReport();
    host::PoolReset();
  }
};

// All buffers refused: nothing written (640x480 -> 1280x720 still moves its
// rows), unbuffered routines work. One refused: an enlarger leaves only that
// plane (luma, then chroma in its order) unwritten; the doubler writes nothing.
TEST_F(ScalerLineBuffers, RefusedBuffers) {
  const Pair buffered[] = {{320, 240, 640, 480}, {640, 480, 800, 600}, {640, 480, 1024, 768},
                           {640, 480, 704, 576}, {1280, 720, 1920, 1080}, {640, 480, 1280, 720}};
  host::PoolFailTag(kTagBuffer);
  for (ScalerCodePath path : kPaths)
    for (const Pair& p : buffered) {
      const Bytes src = RandomFrame(p.iw, p.ih, 8);
      Bytes s = src;
      EXPECT_EQ(Scale(s, p.iw, p.ih, p.ow, p.oh, 1, path), Bytes(2 * size_t(p.ow) * p.oh, 0xA5)) << p.ow;
      if (p.ow == 1280) { EXPECT_TRUE(std::equal(s.begin(), s.begin() + 1280, src.begin() + 60 * 1280)); }
    }
  Bytes src = RandomFrame(64, 8, 9);
  EXPECT_EQ(Scale(src, 64, 8, 64, 8, 1), src);
  Bytes half = Scale(src, 64, 8, 32, 4, 1);
  EXPECT_EQ(half[0], (src[0] + src[2] + src[128] + src[130]) >> 2);
  EXPECT_GT(host::PoolStats(kTagBuffer).failures, 0u);

  for (Pair p : {Pair{640, 480, 800, 600}, {40, 20, 64, 32}, {320, 240, 352, 288}}) {
    const bool sixFive = p.ow == 352;
    const int planeOrder[3] = {0, sixFive ? 3 : 1, sixFive ? 1 : 3};  // YUY2 positions
    Bytes src = RandomFrame(p.iw, p.ih, 10);
    host::PoolReset();
    const Bytes full = Scale(src, p.iw, p.ih, p.ow, p.oh, 1);
    for (int n = 1; n <= 6; ++n)
      for (ScalerCodePath path : {kScalerPlain, kScalerVector}) {
        host::PoolReset();
        host::PoolFailNth(n);
        Bytes out = Scale(src, p.iw, p.ih, p.ow, p.oh, 1, path);
        const int skipped = planeOrder[(n - 1) / 2];
        for (size_t i = 0; i < out.size(); ++i) {
          const int pos = (i % 4 == 2) ? 0 : int(i % 4);
          ASSERT_EQ(out[i], pos == skipped ? 0xA5 : full[i]) << p.ow << " n " << n << " byte " << i;
        }
      }
  }
  for (int n = 1; n <= 3; ++n) {
    host::PoolReset();
    host::PoolFailNth(n);
    Bytes src = RandomFrame(32, 8, 11);
    EXPECT_EQ(Scale(src, 32, 8, 64, 16, 0), Bytes(2 * 64 * 16, 0xA5));
  }
}

}  // namespace
}  // namespace scaler_test
