#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>

#include "effects/cpu_features.h"
#include "effects/image_filters.h"
#include "frames.h"
#include "platform/host/host_control.h"

using namespace fx;

namespace {

// ---- reference models, written per output sample from the formulas ----

int Lerp(int a, int b, int f) { return (a * (64 - f) + b * f + 32) >> 6; }

Frame ReferenceZoom(const Frame& src, uint32_t w, uint32_t h, int f, int x0, int y0, Order o) {
  auto hsample = [&](uint32_t row, size_t outByte) -> int {
    const uint32_t pixel = uint32_t(outByte / 2);
    const bool luma = (outByte & 1) == (o.lumaFirst ? 0u : 1u);
    if (luma) {
      const int pos = int(pixel) * f, i = x0 + (pos >> 6), ph = pos & 63;
      const int a = src[o.Luma(w, i, row)];
      return ph ? Lerp(a, src[o.Luma(w, i + 1, row)], ph) : a;
    }
    const int c = (outByte % 4) >= 2 ? 1 : 0;
    const int m = int(pixel / 2), pos = m * f, j = x0 / 2 + (pos >> 6), ph = pos & 63;
    const int a = src[o.Chroma(w, 2 * j, row, c)];
    return ph ? Lerp(a, src[o.Chroma(w, 2 * j + 2, row, c)], ph) : a;
  };
  Frame dst = MakeFrame(w, h);
  for (uint32_t j = 0; j < h; ++j) {
    const int pos = int(j) * f, r = y0 + (pos >> 6), ph = pos & 63;
    for (size_t b = 0; b < size_t(w) * 2; ++b) {
      const int a = hsample(r, b);
      dst[j * w * 2 + b] = uint8_t(ph ? Lerp(a, hsample(r + 1, b), ph) : a);
    }
  }
  return dst;
}

Frame ReferenceChromaSmoothing(const Frame& src, uint32_t w, uint32_t h, Order o) {
  Frame dst = src;
  const uint32_t n = w / 2;
  for (uint32_t k = 0; h >= 8 && k <= (h - 8) / 2; ++k) {
    for (int c = 0; c < 2; ++c) {
      auto colSum = [&](uint32_t m) {
        int s = 0;
        for (uint32_t r = 2 * k; r <= 2 * k + 6; r += 2) s += src[o.Chroma(w, 2 * m, r, c)];
        return s;
      };
      for (uint32_t m = 0; m < n; ++m) {
        const bool inner = m >= 1 && m + 3 <= n;
        const int v = inner ? (colSum(m - 1) + colSum(m) + colSum(m + 1) + colSum(m + 2)) >> 4
                            : colSum(m) >> 2;
        dst[o.Chroma(w, 2 * m, 2 * k + 3, c)] = dst[o.Chroma(w, 2 * m, 2 * k + 4, c)] = uint8_t(v);
      }
    }
  }
  return dst;
}

Frame ReferenceNoiseFilter(const Frame& src, uint32_t w, uint32_t h) {
  Frame dst = src;
  std::vector<int> colFlag(w, 1);
  auto odd = [&](uint32_t r, int q) { return int(src[size_t(r) * w * 2 + q]); };
  for (uint32_t r = 2; r + 3 <= h; ++r) {
    int rowFlag = 1;
    for (uint32_t p = 4; p + 6 <= 2 * w; p += 2) {
      auto T = [&](int q) {
        int s = 0;
        for (uint32_t rr = r - 2; rr <= r + 2; ++rr) s += odd(rr, q);
        return s;
      };
      auto V = [&](uint32_t rr) { return odd(rr, p - 1) + 2 * odd(rr, p + 1) + odd(rr, p + 3); };
      const int q = int(p) + 1;
      const bool smooth = std::abs(T(q - 2) - T(q + 2)) < 80 && std::abs(V(r - 1) - V(r + 1)) < 64;
      if (smooth && rowFlag && colFlag[p / 2])
        dst[size_t(r) * w * 2 + q] = uint8_t((T(q - 4) + T(q - 2) + T(q) + T(q + 2) + T(q + 4) + 12) / 25);
      rowFlag = colFlag[p / 2] = smooth;
    }
  }
  return dst;
}

// Smooth random frame: neighbouring samples differ a little, so the noise
// filter's tests pass at some places and fail at others.
Frame GentleFrame(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame f(size_t(w) * 2 * h);
  for (size_t i = 0; i < f.size(); ++i) f[i] = uint8_t(100 + (i / 7) % 20 + rng() % 12);
  return f;
}

class Filters : public ::testing::TestWithParam<bool> {
 protected:
  Order order() const { return GetParam() ? kYuy2 : kUyvy; }
  ULONG lumaFirst() const { return GetParam() ? 1 : 0; }
  void SetUp() override { host::PoolReset(); }
  void TearDown() override {
    host::PoolReset();
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  }
};

// ---- zoom window ----

TEST_P(Filters, ZoomWindowAtFactor64IsAnExactCopy) {
  for (auto [w, h] : {std::pair{640u, 480u}, {6u, 1u}, {2u, 2u}}) {
    const Frame src = RandomFrame(w, h, w);
    Frame dst(src.size(), 1);
    EXPECT_EQ(ZoomWindow(dst.data(), src.data(), w, h, 64, 0, 0, lumaFirst()), 1);
    EXPECT_EQ(dst, src);
    // Factors above 64 and any origin still mean the whole frame.
    EXPECT_EQ(ZoomWindow(dst.data(), src.data(), w, h, 500, 37, -9, lumaFirst()), 1);
    EXPECT_EQ(dst, src);
  }
}

TEST_P(Filters, ZoomWindowMatchesTheBilinearModel) {
  // Both the SSSE3 and the per-byte paths (where the processor has SSSE3).
  for (ULONG simd : {1u, 0u}) {
  EffectsAllowSsse3 = simd;
  std::mt19937 rng(42);
  for (int trial = 0; trial < 80; ++trial) {
    const uint32_t w = 2 + 2 * (rng() % (trial < 60 ? 60 : 400)), h = 1 + rng() % 50;
    const int f = 1 + int(rng() % 64);
    const int x = int(rng() % (w + 8)) - 4, y = int(rng() % (h + 8)) - 4;
    const Frame src = RandomFrame(w, h, trial);
    Frame dst(src.size());
    ZoomWindow(dst.data(), src.data(), w, h, f, x, y, lumaFirst());
    auto origin = [f](int v, uint32_t size) {
      const int bound = std::max(0, int(((64 - f) * size) >> 6) - 2);
      return std::max(0, std::min(v, bound)) & ~1;
    };
    ASSERT_EQ(dst, ReferenceZoom(src, w, h, f, origin(x, w), origin(y, h), order()))
        << w << "x" << h << " f=" << f << " at " << x << "," << y << " simd " << simd;
  }
  }
  EffectsAllowSsse3 = 1;
}

TEST_P(Filters, ZoomWindowOriginIsClampedAndNeverNegative) {
  const uint32_t w = 64, h = 48;
  const Frame src = RandomFrame(w, h, 5);
  Frame a(src.size()), b(src.size());
  // Factor 32 at (w, h): origin (w/2 - 2, h/2 - 2), rounded down to even.
  ZoomWindow(a.data(), src.data(), w, h, 32, w, h, lumaFirst());
  ZoomWindow(b.data(), src.data(), w, h, 32, w / 2 - 2, h / 2 - 2, lumaFirst());
  EXPECT_EQ(a, b);
  EXPECT_EQ(a[order().Luma(w, 0, 0)], src[order().Luma(w, 30, 22)]);
  ZoomWindow(a.data(), src.data(), w, h, 32, -100, -3, lumaFirst());
  ZoomWindow(b.data(), src.data(), w, h, 32, 0, 0, lumaFirst());
  EXPECT_EQ(a, b);
  // Factor 32 at 0/0 enlarges the top-left quarter two times.
  EXPECT_EQ(a[order().Luma(w, 2, 2)], src[order().Luma(w, 1, 1)]);
  EXPECT_EQ(a[order().Luma(w, 3, 2)], Lerp(src[order().Luma(w, 1, 1)], src[order().Luma(w, 2, 1)], 32));
}

// ---- chroma smoothing ----

TEST_P(Filters, ChromaSmoothingMatchesTheBoxModel) {
  for (auto [w, h] : {std::pair{16u, 12u}, {6u, 9u}, {2u, 8u}, {4u, 20u}, {40u, 7u}, {64u, 20u},
                     {36u, 12u}, {102u, 15u}, {640u, 10u}}) {
    const Frame src = RandomFrame(w, h, w * 31 + h);
    Frame dst(src.size(), 3);
    EXPECT_EQ(ChromaSmoothing(dst.data(), src.data(), w, h, lumaFirst()), 1);
    ASSERT_EQ(dst, ReferenceChromaSmoothing(src, w, h, order())) << w << "x" << h;
  }
}

// ---- auto contrast ----

TEST_P(Filters, AutoContrastStretchesSixteenTo235) {
  const uint32_t w = 220, h = 64;  // luma 16..235, each value equally often
  Frame f = MakeFrame(w, h, 128);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) f[order().Luma(w, x, y)] = uint8_t(16 + x);
  AutoContrast(f.data(), Tables().ClampPointer, lumaFirst(), w, h);
  // 1/64 of the pixels is 220 samples: lo = 19 (4 values of 64 samples), hi = 232.
  const uint32_t lo = 19, hi = (232 + 765) >> 2;
  for (uint32_t v = 0; v < lo; ++v) EXPECT_EQ(LumaCurve[v], 0) << v;
  for (uint32_t v = hi; v < 256; ++v) EXPECT_EQ(LumaCurve[v], 255) << v;
  const int step = 522240 / int(hi - lo);
  for (uint32_t v = lo; v < hi; ++v) EXPECT_EQ(LumaCurve[v], ((v - lo) * step) >> 11) << v;
  EXPECT_LT(LumaCurve[hi - 1], 255);
  // Mapping touches luma only.
  Frame mapped = f;
  ApplyLumaCurve(mapped.data(), w, h, lumaFirst());
  EXPECT_EQ(mapped[order().Luma(w, 100, 3)], LumaCurve[116]);
  EXPECT_EQ(mapped[order().Chroma(w, 100, 3, 0)], 128);
}

TEST_P(Filters, AutoContrastKeepsTheCurveForTinyFrames) {
  Frame f = MakeFrame(8, 4, 200);  // 32 pixels: threshold 0
  for (int v = 0; v < 256; ++v) LumaCurve[v] = uint8_t(v ^ 0x5A);
  AutoContrast(f.data(), Tables().ClampPointer, lumaFirst(), 8, 4);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(LumaCurve[v], uint8_t(v ^ 0x5A));
}

// ---- noise filter ----

TEST_P(Filters, NoiseFilterMatchesTheModel) {
  for (auto [w, h] : {std::pair{32u, 24u}, {6u, 5u}, {10u, 40u}, {4u, 9u}, {50u, 4u}}) {
    const Frame src = GentleFrame(w, h, w + h);
    Frame dst(src.size(), 0);
    EXPECT_EQ(NoiseFilter(dst.data(), src.data(), w, h), 1);
    ASSERT_EQ(dst, ReferenceNoiseFilter(src, w, h)) << w << "x" << h;
  }
  // The gentle frame is smoothed somewhere, and a noisy one left somewhere.
  const Frame src = GentleFrame(32, 24, 1);
  Frame dst(src.size());
  NoiseFilter(dst.data(), src.data(), 32, 24);
  EXPECT_NE(dst, src);
}

TEST_P(Filters, WithoutMemoryTheSourceIsCopied) {
  const uint32_t w = 32, h = 24;
  const Frame src = GentleFrame(w, h, 2);
  for (int failNth : {0, 2}) {  // every allocation; the second sum array
    Frame a(src.size(), 3), b(src.size(), 3), c(src.size(), 3);
    failNth ? host::PoolFailNth(failNth) : host::PoolFailTag(kTagBuffer);
    EXPECT_EQ(ChromaSmoothing(a.data(), src.data(), w, h, lumaFirst()), 0);
    if (!failNth) {
      EXPECT_EQ(NoiseFilter(b.data(), src.data(), w, h), 0);
      EXPECT_EQ(ZoomWindow(c.data(), src.data(), w, h, 20, 3, 3, lumaFirst()), 0);
      EXPECT_EQ(b, src);
      EXPECT_EQ(c, src);
    }
    EXPECT_EQ(a, src);
    host::PoolReset();
  }
}

// ---- bad-pixel correction ----

class BadPixels : public Filters {
 protected:
  void SetUp() override {
    Filters::SetUp();
    std::fill(&BadPixelTable[0][0], &BadPixelTable[0][0] + 4 * 2048, 0);
    BadPixelTableFrame = {};
  }
  void Run(Frame& f, uint32_t w, uint32_t h, ULONG phase) {
    BadPixelCorrection(f.data(), Tables().ClampPointer, w, h, phase, kBadPixelMargin, !lumaFirst());
  }
};

TEST_P(BadPixels, UniformFrameHasNoDefects) {
  const uint32_t w = 64, h = 48;
  Frame f = MakeFrame(w, h, 100);
  for (ULONG phase = 0; phase < 4; ++phase) Run(f, w, h, phase);
  EXPECT_EQ(f, MakeFrame(w, h, 100));
  for (int b = 0; b < 4; ++b) EXPECT_EQ(BadPixelTable[b][0], 0) << b;
}

TEST_P(BadPixels, BrightSampleInBandTwoIsFoundAndRepairedUntilRescanned) {
  const uint32_t w = 64, h = 48, bx = 31, by = 30;  // band 2 is rows 24..35
  auto sensor = [&] {  // every frame from the sensor carries the defect
    Frame f = MakeFrame(w, h, 100);
    f[order().Luma(w, bx, by)] = 255;
    return f;
  };
  Frame f = sensor();
  Run(f, w, h, 0);  // band 2 not scanned yet: nothing to repair from
  EXPECT_EQ(f[order().Luma(w, bx, by)], 255);
  f = sensor();
  Run(f, w, h, 2);
  EXPECT_EQ(f[order().Luma(w, bx, by)], 100);
  ASSERT_EQ(BadPixelTable[2][0], 1);
  EXPECT_EQ(BadPixelTable[2][2], by - 24);
  EXPECT_EQ(BadPixelTable[2][3], order().Luma(w, bx, by) - by * w * 2);
  for (ULONG phase : {3u, 0u, 1u}) {
    f = sensor();
    Run(f, w, h, phase);
    EXPECT_EQ(f, MakeFrame(w, h, 100)) << phase;
  }
  // Once the defect is gone, the rescan of band 2 empties its list.
  f = MakeFrame(w, h, 100);
  Run(f, w, h, 2);
  EXPECT_EQ(BadPixelTable[2][0], 0);
}

// Reference bad-pixel correction for frames of 4 rows or more, written from
// the band rules with its own lists.
struct ReferenceBadPixels {
  std::vector<std::vector<std::pair<int, int>>> lists = std::vector<std::vector<std::pair<int, int>>>(4);
  void Run(Frame& f, int w, int h, int phase, int lumaOffset) {
    const int q = h / 4, stride = 2 * w;
    const int first[4] = {1, q, 2 * q, 3 * q}, count[4] = {q - 1, q, q, h - 3 * q - 1};
    auto at = [&](int r, int c) -> uint8_t& { return f[size_t(r) * stride + c]; };
    for (int b = 0; b < 4; ++b) {
      if (b != phase) {
        for (auto [r, c] : lists[b]) {
          const int y = first[b] + r;
          at(y, c) = uint8_t((at(y - 1, c) + at(y + 1, c) + at(y, c - 2) + at(y, c + 2)) / 4);
        }
        continue;
      }
      lists[b].clear();
      for (int r = 0; r < count[b]; ++r) {
        const int y = first[b] + r;
        for (int c = lumaOffset; c + 4 < stride; c += 4) {
          int old[3][4];
          for (int dy = 0; dy < 3; ++dy)
            for (int k = 0; k < 4; ++k) old[dy][k] = at(y - 1 + dy, c + 2 * k);
          for (int t = 1; t <= 2; ++t) {
            int lo = 255, hi = 0;
            for (int dy = 0; dy < 3; ++dy)
              for (int k = t - 1; k <= t + 1; ++k)
                if (dy != 1 || k != t) lo = std::min(lo, old[dy][k]), hi = std::max(hi, old[dy][k]);
            const int v = old[1][t];
            if (v < std::max(lo - 12, 0) || v > std::min(hi + 12, 255)) {
              at(y, c + 2 * t) = uint8_t((old[0][t] + old[2][t] + at(y, c + 2 * t - 2) + old[1][t + 1]) / 4);
              lists[b].push_back({r, c + 2 * t});
              if (lists[b].size() == 1023) goto done;
            }
          }
        }
      }
    done:;
    }
  }
};

TEST_P(BadPixels, MatchesTheBandModelOnNoisyFrames) {
  std::mt19937 rng(3);
  for (auto [w, h] : {std::pair{64, 48}, {100, 30}, {38, 17}, {640, 40}}) {
    ReferenceBadPixels reference;
    std::fill(&BadPixelTable[0][0], &BadPixelTable[0][0] + 4 * 2048, 0);
    for (int frame = 0; frame < 9; ++frame) {
      Frame f = GentleFrame(w, h, frame);
      for (int k = 0; k < w * h / 40; ++k) f[rng() % f.size()] = uint8_t(rng());
      Frame expect = f;
      Run(f, w, h, frame % 4);
      reference.Run(expect, w, h, frame % 4, lumaFirst() ? 0 : 1);
      ASSERT_EQ(f, expect) << w << "x" << h << " frame " << frame;
      for (int b = 0; b < 4; ++b) {
        ASSERT_EQ(BadPixelTable[b][0], reference.lists[b].size());
        for (size_t k = 0; k < reference.lists[b].size(); ++k) {
          ASSERT_EQ(BadPixelTable[b][2 * k + 2], reference.lists[b][k].first);
          ASSERT_EQ(BadPixelTable[b][2 * k + 3], reference.lists[b][k].second);
        }
      }
    }
  }
}

TEST_P(BadPixels, ListsNeverReachOutsideANewFrameSize) {
  // Fill band 3's list at a large size, then run a small frame.
  const uint32_t w = 64, h = 64;
  Frame big = RandomFrame(w, h, 1);
  Run(big, w, h, 3);
  ASSERT_GT(BadPixelTable[3][0], 0);
  const uint32_t sw = 8, sh = 8;
  Frame small = MakeFrame(sw, sh, 100);
  Run(small, sw, sh, 0);  // repairs bands 1..3 from lists of the big frame
  EXPECT_EQ(small, MakeFrame(sw, sh, 100));
  EXPECT_EQ(BadPixelTable[3][0], 0);
}

TEST_P(BadPixels, ListHoldsAtMost1023Entries) {
  const uint32_t w = 512, h = 64;  // band 1 (rows 16..31): isolated spikes
  Frame f = MakeFrame(w, h, 100);
  for (uint32_t y = 16; y < 32; y += 2)
    for (uint32_t x = 1; x + 1 < w; x += 2) f[order().Luma(w, x, y)] = 250;
  Run(f, w, h, 1);
  EXPECT_EQ(BadPixelTable[1][0], 1023);
  // 255 spikes per row: the 1023rd is (5, 24); the scan ends there.
  EXPECT_EQ(f[order().Luma(w, 1, 16)], 100);
  EXPECT_EQ(f[order().Luma(w, 5, 24)], 100);
  EXPECT_EQ(f[order().Luma(w, 7, 24)], 250);
  EXPECT_EQ(BadPixelTable[1][2 * 1023], 24 - 16);
}

TEST_P(BadPixels, FirstAndLastRowsAreNeverTouched) {
  for (uint32_t h = 1; h <= 9; ++h) {
    const uint32_t w = 10;
    Frame f = RandomFrame(w, h, h);
    const Frame before = f;
    for (ULONG phase = 0; phase < 8; ++phase) Run(f, w, h, phase);
    EXPECT_TRUE(std::equal(f.begin(), f.begin() + w * 2, before.begin())) << h;
    EXPECT_TRUE(std::equal(f.end() - w * 2, f.end(), before.end() - w * 2)) << h;
    if (h <= 2) {
      EXPECT_EQ(f, before);
    }
  }
}

// ---- every routine on random sizes with exactly sized buffers ----

TEST_P(Filters, RandomSizesStayInsideTheirFrames) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    const uint32_t w = 1 + rng() % 70, h = 1 + rng() % 40;  // odd widths included
    const Frame src = RandomFrame(w, h, trial);
    Frame dst(src.size(), 0xEE);
    ZoomWindow(dst.data(), src.data(), w, h, int(rng() % 70) - 3, int(rng() % 99) - 20,
               int(rng() % 99) - 20, lumaFirst());
    if (w % 2) {
      EXPECT_EQ(dst, src);  // widths that are not whole macro-pixels: copied
    }
    ChromaSmoothing(dst.data(), src.data(), w, h, lumaFirst());
    NoiseFilter(dst.data(), src.data(), w, h);
    Frame f = src;
    BadPixelCorrection(f.data(), Tables().ClampPointer, w, h, rng() % 4, kBadPixelMargin, !lumaFirst());
    AutoContrast(f.data(), Tables().ClampPointer, lumaFirst(), w, h);
    ApplyLumaCurve(f.data(), w, h, lumaFirst());
    if (w % 2) {
      EXPECT_EQ(f, src);  // in place: left alone
    }
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Filters, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Yuy2" : "Uyvy"; });
INSTANTIATE_TEST_SUITE_P(BothOrders, BadPixels, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Yuy2" : "Uyvy"; });

}  // namespace
