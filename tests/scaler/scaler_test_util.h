// Helpers shared by the scaler tests: exactly sized frames, random content,
// a heap clamp table of exactly 1024 entries, byte-order swapping.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "pipeline/scaler.h"
#include "pipeline/scaler_kernels.h"

namespace scaler_test {

using Bytes = std::vector<UCHAR>;

inline Bytes RandomFrame(size_t w, size_t h, uint32_t seed) {
  Bytes f(2 * w * h);
  std::mt19937 rng(seed);
  for (auto& b : f) b = static_cast<UCHAR>(rng());
  return f;
}

// Clamp table -256 .. 767 on its own heap block, so a read outside it is an
// AddressSanitizer error rather than a read of a neighbouring table.
struct Clamp {
  Bytes table = Bytes(1024);
  Clamp() {
    for (int i = -256; i < 768; ++i) table[i + 256] = static_cast<UCHAR>(i < 0 ? 0 : i > 255 ? 255 : i);
  }
  const UCHAR* pointer() const { return table.data() + 256; }
};

// YUY2 <-> UYVY: swap the two bytes of every pixel.
inline Bytes Swap(const Bytes& f) {
  Bytes s(f.size());
  for (size_t i = 0; i + 1 < f.size(); i += 2) {
    s[i] = f[i + 1];
    s[i + 1] = f[i];
  }
  return s;
}

// Runs the scaler into an exactly sized destination pre-filled with `fill`.
inline Bytes Scale(Bytes& src, ULONG inW, ULONG inH, ULONG outW, ULONG outH, ULONG lumaFirst,
                   ScalerCodePath path = kScalerVector, UCHAR fill = 0xA5) {
  static const Clamp clamp;
  Bytes dst(2 * size_t(outW) * outH, fill);
  const LONG r = ScaleFrameOnPath(dst.data(), src.data(), inW, inH, outW, outH, clamp.pointer(),
                                  lumaFirst, path);
  if (r != 1) dst.clear();
  return dst;
}

inline int Luma(const Bytes& f, size_t w, size_t row, size_t col) { return f[2 * (row * w + col)]; }

}  // namespace scaler_test
