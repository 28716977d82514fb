// Shared by the effect tests: exactly sized frames, pixel offsets in both byte
// orders, the colour tables, and a fixture per byte order that checks the pool.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <random>
#include <vector>

#include "platform/host/host_control.h"
#include "tests/effects/chain_state.h"

namespace fx {

using Frame = std::vector<uint8_t>;

inline Frame MakeFrame(uint32_t w, uint32_t h, uint8_t fill = 0) { return Frame(size_t(w) * 2 * h, fill); }

inline Frame RandomFrame(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame f = MakeFrame(w, h);
  for (auto& b : f) b = uint8_t(rng());
  return f;
}

// Smooth random frame: neighbouring samples differ a little, so the filters'
// tests pass at some places and fail at others.
inline Frame GentleFrame(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame f = MakeFrame(w, h);
  for (size_t i = 0; i < f.size(); ++i) f[i] = uint8_t(100 + (i / 7) % 20 + rng() % 12);
  return f;
}

// Byte offsets inside a macro-pixel for one byte order.
struct Order {
  bool lumaFirst;
  size_t Luma(uint32_t w, uint32_t x, uint32_t y) const { return (size_t(y) * w + x) * 2 + !lumaFirst; }
  // Chroma of the macro-pixel holding pixel x: c = 0 for U, 1 for V.
  size_t Chroma(uint32_t w, uint32_t x, uint32_t y, int c) const {
    return (size_t(y) * w + (x & ~1u)) * 2 + lumaFirst + 2 * c;
  }
};

// Bilinear model of an ow x oh window of a w x h frame with steps fx and fy
// (1/64 pixel per output pixel) from (x0, y0): output unit k sits k * f / 64
// units past the origin (pixels for luma, pairs for chroma, x0 / 2 for them),
// rows alike; each sample is the rounded blend of its unit and the next,
// reads past the frame taking its last unit.
inline Frame ReferenceBilinear(const Frame& src, uint32_t w, uint32_t h, uint32_t ow, uint32_t oh, int fx, int fy,
                               int x0, int y0, Order o) {
  auto lerp = [](int a, int b, int f) { return (a * (64 - f) + b * f + 32) >> 6; };
  auto hsample = [&](int row, size_t outByte) {
    const bool luma = (outByte & 1) == !o.lumaFirst;
    const int c = (outByte % 4) >= 2, pos = int(outByte / (luma ? 2 : 4)) * fx;
    const int i = (luma ? x0 : x0 / 2) + (pos >> 6), last = luma ? int(w) - 1 : int(w) / 2 - 1;
    auto at = [&](int k) { return luma ? src[o.Luma(w, std::min(k, last), row)] : src[o.Chroma(w, 2 * std::min(k, last), row, c)]; };
    return lerp(at(i), at(i + 1), pos & 63);
  };
  Frame dst = MakeFrame(ow, oh);
  for (uint32_t j = 0; j < oh; ++j) {
    const int pos = int(j) * fy, r = std::min(y0 + (pos >> 6), int(h) - 1);
    for (size_t b = 0; b < size_t(ow) * 2; ++b)
      dst[j * size_t(ow) * 2 + b] = uint8_t(lerp(hsample(r, b), hsample(std::min(r + 1, int(h) - 1), b), pos & 63));
  }
  return dst;
}

inline void ClearBadPixelLists() {
  std::fill(&BadPixelTable[0][0], &BadPixelTable[0][0] + kBadPixelBands * kBadPixelBandWords, 0);
  BadPixelTableFrame = {};
}

// Parameter: true for YUY2 order (format code 3), false for UYVY (code 4).
class BothOrders : public ::testing::TestWithParam<bool> {
 protected:
  void SetUp() override { host::PoolReset(); ClearBadPixelLists(); }
  void TearDown() override {
    host::PoolReset();
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  }
  Order order() const { return {GetParam()}; }
  ULONG lumaFirst() const { return GetParam() ? 1 : 0; }
  ULONG code() const { return GetParam() ? 3 : 4; }
  // Settings all off, zoom factor 64 (the whole frame).
  static std::unique_ptr<ChainState> Fresh() {
    auto s = std::make_unique<ChainState>();
    s->zoom.zoomFactor = 64;
    return s;
  }
  // A w x h frame in this byte order, output as input.
  FrameFormat Format(uint32_t w, uint32_t h) const {
    FrameFormat f{};
    f.inputWidth = f.outputWidth = w, f.inputHeight = f.outputHeight = h;
    f.inputSubtype = f.outputSubtype = GetParam() ? kSubtypeYuy2 : kSubtypeUyvy;
    return f;
  }
};

}  // namespace fx

#define FX_BOTH_ORDERS(Suite) \
  INSTANTIATE_TEST_SUITE_P(BothOrders, Suite, ::testing::Bool(), \
                           [](const auto& i) { return i.param ? "Yuy2" : "Uyvy"; })
