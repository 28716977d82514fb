// Test frames for the effect routines: exactly sized byte vectors (so the
// address sanitizer sees any access past a frame), pixel accessors in both
// byte orders, and a colour table built once.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/color_tables.h"

namespace fx {

using Frame = std::vector<uint8_t>;

inline Frame MakeFrame(uint32_t w, uint32_t h, uint8_t fill = 0) {
  return Frame(size_t(w) * 2 * h, fill);
}

inline Frame RandomFrame(uint32_t w, uint32_t h, uint32_t seed) {
  std::mt19937 rng(seed);
  Frame f(size_t(w) * 2 * h);
  for (auto& b : f) b = uint8_t(rng());
  return f;
}

// Byte offsets inside a macro-pixel for one byte order.
struct Order {
  bool lumaFirst;
  size_t Luma(uint32_t w, uint32_t x, uint32_t y) const {
    return (size_t(y) * w + x) * 2 + (lumaFirst ? 0 : 1);
  }
  // Chroma of the macro-pixel holding pixel x: c = 0 for U, 1 for V.
  size_t Chroma(uint32_t w, uint32_t x, uint32_t y, int c) const {
    return (size_t(y) * w + (x & ~1u)) * 2 + (lumaFirst ? 1 : 0) + 2 * c;
  }
};

constexpr Order kYuy2{true};
constexpr Order kUyvy{false};

inline const ColorTables& Tables() {
  static ColorTables* t = [] {
    auto* p = new ColorTables;
    BuildColorTables(p);
    return p;
  }();
  return *t;
}

}  // namespace fx
