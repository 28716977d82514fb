#include <cstdlib>

#include "effects/cpu_features.h"
#include "frames.h"

using namespace fx;

namespace {

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

class Filters : public BothOrders {
 protected:
  void Correct(Frame& f, uint32_t w, uint32_t h, ULONG phase) {
    BadPixelCorrection(f.data(), Tables().ClampPointer, w, h, phase, kBadPixelMargin, !lumaFirst());
  }
};

TEST_P(Filters, ZoomWindowMatchesTheBilinearModel) {
  // AVX-512, SSSE3 and per-byte paths; factors outside 1..64 are limited (64 up: a copy).
  for (ULONG simd : {2u, 1u, 0u}) {
    EffectsAllowAvx512 = simd == 2;
    EffectsAllowSsse3 = simd != 0;
    std::mt19937 rng(42);
    for (int trial = 0; trial < 80; ++trial) {
      const uint32_t w = 2 + 2 * (rng() % (trial < 60 ? 60 : 400)), h = 1 + rng() % 50;
      const int f = int(rng() % 72) - 3, fm = std::clamp(f, 1, 64);
      const int x = int(rng() % (w + 8)) - 4, y = int(rng() % (h + 8)) - 4;
      const Frame src = RandomFrame(w, h, trial);
      Frame dst(src.size());
      EXPECT_EQ(ZoomWindow(dst.data(), src.data(), w, h, f, x, y, lumaFirst()), 1);
      auto origin = [fm](int v, uint32_t size) {
        const int bound = std::max(0, int(((64 - fm) * size) >> 6) - 2);
        return std::max(0, std::min(v, bound)) & ~1;
      };
      ASSERT_EQ(dst, ReferenceBilinear(src, w, h, w, h, fm, fm, origin(x, w), origin(y, h), order()))
          << w << "x" << h << " f=" << f << " at " << x << "," << y << " simd " << simd;
    }
  }
  EffectsAllowSsse3 = EffectsAllowAvx512 = 1;
}

// With the AVX-512 twins, the AVX2 twins and with both masked (SSE2 and
// per-pixel code).
TEST_P(Filters, ChromaSmoothingAndNoiseFilterMatchTheirModels) {
  for (ULONG wide : {2u, 1u, 0u}) {
    EffectsAllowAvx512 = wide == 2;
    EffectsAllowAvx2 = wide != 0;
    for (auto [w, h] : {std::pair{16u, 12u}, {6u, 9u}, {2u, 8u}, {4u, 20u}, {40u, 7u}, {64u, 20u}, {36u, 12u},
                       {102u, 15u}, {640u, 10u}, {32u, 24u}, {6u, 5u}, {10u, 40u}, {50u, 4u}, {84u, 9u}}) {
      const Frame src = RandomFrame(w, h, w * 31 + h), gentle = GentleFrame(w, h, w + h);
      Frame smoothed(src.size(), 3), filtered(src.size(), 0);
      EXPECT_EQ(ChromaSmoothing(smoothed.data(), src.data(), w, h, lumaFirst()), 1);
      ASSERT_EQ(smoothed, ReferenceChromaSmoothing(src, w, h, order())) << w << "x" << h << " wide " << wide;
      EXPECT_EQ(NoiseFilter(filtered.data(), gentle.data(), w, h), 1);
      ASSERT_EQ(filtered, ReferenceNoiseFilter(gentle, w, h)) << w << "x" << h << " wide " << wide;
      if (w == 32) { EXPECT_NE(filtered, gentle); }  // the gentle frame is smoothed somewhere
    }
  }
  EffectsAllowAvx2 = EffectsAllowAvx512 = 1;
}

// Chroma smoothing failing its second sum array frees the first; the zoom
// window without memory. Both copy the source (the chain's no-memory case
// covers the first sum array and the noise filter).
TEST_P(Filters, WithoutMemoryTheSourceIsCopied) {
  const Frame src = GentleFrame(32, 24, 2);
  Frame a(src.size(), 3), c(src.size(), 3);
  host::PoolFailNth(2);
  EXPECT_TRUE(ChromaSmoothing(a.data(), src.data(), 32, 24, lumaFirst()) == 0 && a == src);
  host::PoolFailTag(kTagBuffer);
  EXPECT_TRUE(ZoomWindow(c.data(), src.data(), 32, 24, 20, 3, 3, lumaFirst()) == 0 && c == src);
}

TEST_P(Filters, AutoContrastStretchesSixteenTo235) {
  // Tiny frames (32 pixels: threshold 0) keep the curve.
  for (int v = 0; v < 256; ++v) LumaCurve[v] = uint8_t(v ^ 0x5A);
  AutoContrast(MakeFrame(8, 4, 200).data(), Tables().ClampPointer, lumaFirst(), 8, 4);
  for (int v = 0; v < 256; ++v) ASSERT_EQ(LumaCurve[v], uint8_t(v ^ 0x5A));

  // Luma 16..235, each value equally often: 1/64 of the pixels is 3.44
  // values, so lo = 19 and hi = 232. The large frame counts in more than one
  // round of the 16-bit partial histograms.
  const uint32_t lo = 19, hi = (232 + 765) >> 2;
  const int step = 522240 / int(hi - lo);
  for (auto [w, h] : {std::pair{220u, 64u}, {880u, 640u}}) {
    Frame f = MakeFrame(w, h, 128);
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) f[order().Luma(w, x, y)] = uint8_t(16 + x % 220);
    std::fill(LumaCurve, LumaCurve + 256, 0);
    AutoContrast(f.data(), Tables().ClampPointer, lumaFirst(), w, h);
    for (uint32_t v = 0; v < 256; ++v)
      ASSERT_EQ(LumaCurve[v], v < lo ? 0 : v >= hi ? 255 : ((v - lo) * step) >> 11) << v << " " << w;
    EXPECT_LT(LumaCurve[hi - 1], 255);
  }
  const uint32_t w = 220, h = 64;
  Frame f = MakeFrame(w, h, 128);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) f[order().Luma(w, x, y)] = uint8_t(16 + x);
  // Mapping touches luma only.
  ApplyLumaCurve(f.data(), w, h, lumaFirst());
  EXPECT_EQ(f[order().Luma(w, 100, 3)], LumaCurve[116]);
  EXPECT_EQ(f[order().Chroma(w, 100, 3, 0)], 128);
}

// The luma curve on the wide path and without it: every luma byte mapped,
// chroma kept, tails shorter than a 64-byte group included.
TEST_P(Filters, LumaCurveMapsLumaOnlyOnEveryPath) {
  std::mt19937 rng(11);
  for (int v = 0; v < 256; ++v) LumaCurve[v] = uint8_t(rng());
  const std::pair<uint32_t, uint32_t> sizes[] = {{2, 1}, {30, 1}, {34, 3}, {64, 48}, {70, 5}};
  for (ULONG wide : {1u, 0u}) {
    EffectsAllowAvx512 = wide;
    for (const auto& [w, h] : sizes) {
      const Frame src = RandomFrame(w, h, int(w * h));
      Frame f = src, expected = src;
      for (size_t i = lumaFirst() ? 0 : 1; i < expected.size(); i += 2) expected[i] = LumaCurve[src[i]];
      ApplyLumaCurve(f.data(), w, h, lumaFirst());
      EXPECT_EQ(f, expected) << w << "x" << h << " wide " << wide;
    }
  }
  EffectsAllowAvx512 = 1;
}

// Finding and repairing by band is the model's test below; here a new frame
// size clears the lists, so none reaches outside the new frame.
TEST_P(Filters, BadPixelListsClearWhenTheSizeChanges) {
  Frame f = MakeFrame(64, 48, 100), small = MakeFrame(8, 8, 100);
  f[order().Luma(64, 31, 30)] = 255;  // band 2 is rows 24..35
  Correct(f, 64, 48, 2);
  ASSERT_EQ(BadPixelTable[2][0], 1);
  Correct(small, 8, 8, 0);
  EXPECT_TRUE(small == MakeFrame(8, 8, 100) && BadPixelTable[2][0] == 0);
}

// Reference bad-pixel correction (4 rows or more) from the band rules, with its own lists.
struct ReferenceBadPixels {
  std::vector<std::pair<int, int>> lists[4];
  void Run(Frame& f, int w, int h, int phase, int lumaOffset) {
    const int q = h / 4, stride = 2 * w, first[4] = {1, q, 2 * q, 3 * q}, count[4] = {q - 1, q, q, h - 3 * q - 1};
    auto at = [&](int r, int c) -> uint8_t& { return f[size_t(r) * stride + c]; };
    // The mean of the four neighbours (the left one already repaired).
    auto repair = [&](int y, int c) { at(y, c) = uint8_t((at(y - 1, c) + at(y + 1, c) + at(y, c - 2) + at(y, c + 2)) / 4); };
    for (int b = 0; b < 4; ++b) {
      if (b != phase) {
        for (auto [r, c] : lists[b]) repair(first[b] + r, c);
        continue;
      }
      lists[b].clear();
      for (int r = 0; r < count[b]; ++r) {
        const int y = first[b] + r;
        for (int c = lumaOffset; c + 4 < stride; c += 4) {
          int old[3][4];  // the neighbourhood as it was before this pair was repaired
          for (int dy = 0; dy < 3; ++dy)
            for (int k = 0; k < 4; ++k) old[dy][k] = at(y - 1 + dy, c + 2 * k);
          for (int t = 1; t <= 2 && lists[b].size() < 1023; ++t) {
            int lo = 255, hi = 0;
            for (int dy = 0; dy < 3; ++dy)
              for (int k = t - 1; k <= t + 1; ++k)
                if (dy != 1 || k != t) lo = std::min(lo, old[dy][k]), hi = std::max(hi, old[dy][k]);
            if (old[1][t] < std::max(lo - 12, 0) || old[1][t] > std::min(hi + 12, 255)) {
              repair(y, c + 2 * t);
              lists[b].push_back({r, c + 2 * t});
            }
          }
        }
      }
    }
  }
};

// With the AVX-512 quick test and with AVX-512 masked (SSE2 quick test).
TEST_P(Filters, BadPixelMatchesTheBandModelOnNoisyFrames) {
  std::mt19937 rng(3);
  for (ULONG wide : {1u, 0u}) {
    EffectsAllowAvx512 = wide;
    for (auto [w, h] : {std::pair{64, 48}, {100, 30}, {38, 17}, {640, 40}}) {
      ReferenceBadPixels reference;
      ClearBadPixelLists();
      for (int frame = 0; frame < 9; ++frame) {
        Frame f = GentleFrame(w, h, frame);
        for (int k = 0; k < w * h / 40; ++k) f[rng() % f.size()] = uint8_t(rng());
        Frame expect = f;
        Correct(f, w, h, frame % 4);
        reference.Run(expect, w, h, frame % 4, lumaFirst() ? 0 : 1);
        ASSERT_EQ(f, expect) << w << "x" << h << " frame " << frame << " wide " << wide;
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
  EffectsAllowAvx512 = 1;
}

TEST_P(Filters, BadPixelListHoldsAtMost1023Entries) {
  const uint32_t w = 512, h = 64;  // band 1 (rows 16..31): isolated spikes
  Frame f = MakeFrame(w, h, 100);
  for (uint32_t y = 16; y < 32; y += 2)
    for (uint32_t x = 1; x + 1 < w; x += 2) f[order().Luma(w, x, y)] = 250;
  Correct(f, w, h, 1);
  EXPECT_EQ(BadPixelTable[1][0], 1023);
  // 255 spikes per row: the 1023rd is (5, 24); the scan ends there.
  EXPECT_EQ(f[order().Luma(w, 1, 16)], 100);
  EXPECT_EQ(f[order().Luma(w, 5, 24)], 100);
  EXPECT_EQ(f[order().Luma(w, 7, 24)], 250);
  EXPECT_EQ(BadPixelTable[1][2 * 1023], 24 - 16);
}

// Every routine on random sizes with exactly sized buffers.
TEST_P(Filters, RandomSizesStayInsideTheirFrames) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    const uint32_t w = 1 + rng() % 70, h = 1 + rng() % 40;  // odd widths included
    const Frame src = RandomFrame(w, h, trial);
    Frame zoomed(src.size(), 0xEE), smoothed = zoomed, filtered = zoomed, f = src;
    const size_t row = size_t(w) * 2;
    ZoomWindow(zoomed.data(), src.data(), w, h, int(rng() % 70) - 3, int(rng() % 99) - 20,
               int(rng() % 99) - 20, lumaFirst());
    ChromaSmoothing(smoothed.data(), src.data(), w, h, lumaFirst());
    NoiseFilter(filtered.data(), src.data(), w, h);
    for (ULONG phase = rng() % 4, k = 0; k < 5; ++k) Correct(f, w, h, (phase + k) % 4);
    // Bad-pixel correction never touches the first and last rows.
    EXPECT_TRUE(std::equal(f.begin(), f.begin() + row, src.begin()) && std::equal(f.end() - row, f.end(), src.end() - row));
    AutoContrast(f.data(), Tables().ClampPointer, lumaFirst(), w, h);
    ApplyLumaCurve(f.data(), w, h, lumaFirst());
    if (w % 2) {  // not whole macro-pixels: copied, or left alone in place
      EXPECT_TRUE(zoomed == src && smoothed == src && filtered == src && f == src) << w;
    }
  }
}

FX_BOTH_ORDERS(Filters);

}  // namespace
