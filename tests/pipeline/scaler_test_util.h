// Scaler test helpers: exactly sized random frames, an exactly sized clamp
// table, byte-order swapping, and one size pair run every way.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

#include "pipeline/scaler.h"
#include "pipeline/scaler_kernels.h"
#include "tests/effects/frames.h"

namespace scaler_test {

using Bytes = std::vector<UCHAR>;
struct Pair { ULONG iw, ih, ow, oh; };

const ScalerCodePath kPaths[] = {kScalerPlain, kScalerSse2, kScalerVector};

using fx::RandomFrame;

// Clamp table -256 .. 767 on its own heap block: a read outside it is caught.
inline const UCHAR* ClampPointer() {
  static const Bytes table = [] {
    Bytes t(1024);
    for (int i = -256; i < 768; ++i) t[i + 256] = static_cast<UCHAR>(i < 0 ? 0 : i > 255 ? 255 : i);
    return t;
  }();
  return table.data() + 256;
}

// YUY2 <-> UYVY: swap the two bytes of every pixel.
inline Bytes Swap(const Bytes& f) {
  Bytes s(f.size());
  for (size_t i = 0; i + 1 < f.size(); i += 2) s[i] = f[i + 1], s[i + 1] = f[i];
  return s;
}

// Runs the scaler into an exactly sized destination pre-filled with `fill`.
inline Bytes Scale(Bytes& src, ULONG inW, ULONG inH, ULONG outW, ULONG outH, ULONG lumaFirst,
                   ScalerCodePath path = kScalerVector, UCHAR fill = 0xA5) {
  Bytes dst(2 * size_t(outW) * outH, fill);
  const LONG r = ScaleFrameOnPath(dst.data(), src.data(), inW, inH, outW, outH, ClampPointer(),
                                  lumaFirst, path);
  if (r != 1) dst.clear();
  return dst;
}

inline int Luma(const Bytes& f, size_t w, size_t row, size_t col) { return f[2 * (row * w + col)]; }

// Scales a YUY2 frame on every path in both byte orders, exactly sized: the
// paths agree, UYVY gives the swapped result, the source stays (640x480 ->
// 1280x720 moves rows 60..419 up alike). Returns the YUY2 result.
inline Bytes ScaleEveryWay(const Bytes& src, ULONG iw, ULONG ih, ULONG ow, ULONG oh) {
  SCOPED_TRACE(testing::Message() << iw << "x" << ih << " -> " << ow << "x" << oh);
  const bool movesSource = iw == 640 && ih == 480 && ow == 1280 && oh == 720;
  const Bytes swapped = Swap(src);
  Bytes first, firstU, firstSource, firstSourceU;
  // The vector path twice: AVX2 only (AVX-512 masked), then the widest.
  const std::pair<ScalerCodePath, ULONG> ways[] = {
      {kScalerPlain, 1}, {kScalerSse2, 1}, {kScalerVector, 0}, {kScalerVector, 1}};
  for (auto [path, avx512] : ways) {
    Bytes y = src, u = swapped;
    ScalerAllowAvx512 = avx512;
    const Bytes outY = Scale(y, iw, ih, ow, oh, 1, path), outU = Scale(u, iw, ih, ow, oh, 0, path);
    ScalerAllowAvx512 = 1;
    EXPECT_EQ(outY.size(), 2 * size_t(ow) * oh);  // returned 1
    if (path == kScalerPlain) {
      first = outY, firstU = outU, firstSource = y, firstSourceU = u;
      EXPECT_EQ(Swap(outU), outY) << "UYVY differs";
      if (movesSource) { EXPECT_EQ(Swap(u), y) << "UYVY rows moved differently"; }
    }
    EXPECT_TRUE(outY == first && outU == firstU) << "paths differ: " << path << " avx512 " << avx512;
    EXPECT_TRUE(y == (movesSource ? firstSource : src)) << "source changed on path " << path;
    EXPECT_TRUE(u == (movesSource ? firstSourceU : swapped)) << "source changed on path " << path;
  }
  return first;
}

}  // namespace scaler_test
