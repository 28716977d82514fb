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
