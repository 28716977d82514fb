// Conversions from YUY2 written from their definitions, independent of the
// driver's colour tables and kernels: the oracle for the conversion tests
// and for frames delivered through the capture pin.
#pragma once

#include <cstddef>
#include <vector>

namespace reference_conversions {

using Bytes = std::vector<unsigned char>;

// Reference arithmetic written from the definitions, independent of the
// colour tables: terms R(c * (x - k)) rounded half away from zero, summed
// and read through the quarter clamp.
inline int Term(int c, int x, int k) {
  const int n = c * (x - k);
  return n >= 0 ? (n + 512) / 1024 : -((-n + 512) / 1024);
}
inline unsigned char Quarter(int s) { return s < 0 ? 0 : s < 1024 ? static_cast<unsigned char>(s >> 2) : 255; }
inline void RefPixel(unsigned char* d, int y, int u, int v) {
  const int l = Term(4769, y, 16);
  d[0] = Quarter(l + Term(8262, u, 128));
  d[1] = Quarter(l + Term(-1606, u, 128) + Term(-3330, v, 128));
  d[2] = Quarter(l + Term(6537, v, 128));
}
inline Bytes RefRgb24(const Bytes& s, size_t w, size_t h) {
  Bytes d(3 * w * h);
  for (size_t r = 0; r < h; ++r) {
    const unsigned char* row = s.data() + 2 * w * r;
    unsigned char* out = d.data() + 3 * w * (h - 1 - r);
    for (size_t x = 0; x < w; ++x) {
      size_t g = x / 2 * 4;  // the pixel's group; odd widths: see below
      int u = 128, v = 128;
      if (g + 3 < 2 * w) u = row[g + 1], v = row[g + 3];
      else if (w >= 3) u = row[g - 3], v = row[g - 1];  // last pixel of an odd row
      RefPixel(out + 3 * x, row[2 * x], u, v);
    }
  }
  return d;
}
// `d` starts as the caller's destination, so unwritten bytes stay visible.
inline Bytes RefI420(Bytes d, const Bytes& s, size_t w, size_t h) {
  if (h < 2) return d;
  const size_t cw = w / 2, u0 = w * h, v0 = 5 * w * h / 4;
  for (size_t r = 0; r + 1 < h; r += 2) {
    for (size_t x = 0; x < w; ++x) {
      d[r * w + x] = s[2 * (r * w + x)];
      d[(r + 1) * w + x] = s[2 * ((r + 1) * w + x)];
    }
    for (size_t c = 0; c < cw; ++c) {
      const unsigned char* p = &s[2 * r * w + 4 * c];
      d[u0 + r / 2 * cw + c] = static_cast<unsigned char>((p[1] + p[2 * w + 1]) >> 1);
      d[v0 + r / 2 * cw + c] = static_cast<unsigned char>((p[3] + p[2 * w + 3]) >> 1);
    }
  }
  return d;
}

}  // namespace reference_conversions
