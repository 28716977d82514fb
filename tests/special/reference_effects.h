// Pixel-by-pixel models of the per-pixel special effects, written for
// clarity: every output byte is computed on its own from the source. The
// driver's effects must produce exactly these bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "effects/special/texture_tiles.h"

namespace reference {

using Frame = std::vector<uint8_t>;

struct Layout {
  int width, height, lumaOffset;
  size_t Luma(int x, int y) const { return (size_t(y) * width + x) * 2 + lumaOffset; }
  size_t Chroma(int x, int y) const { return (size_t(y) * width + x) * 2 + 1 - lumaOffset; }
};

inline uint8_t Sat(long v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

inline Frame Emboss(const Frame& s, Layout f) {
  Frame d(s.size());
  auto Y = [&](int x, int y) { return long(s[f.Luma(x, y)]); };
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      uint8_t luma = 128, chroma = 128;
      if (y == 0) {
        luma = chroma = 128;
      } else if (y == f.height - 1) {
        luma = chroma = 192;
      } else if (x > 0 && x < f.width - 1) {
        luma = Sat(192 + Y(x + 1, y - 1) + Y(x + 1, y) + Y(x + 1, y + 1) + Y(x, y + 1) -
                   Y(x - 1, y - 1) - Y(x - 1, y) - Y(x - 1, y + 1) - Y(x, y - 1));
      }
      d[f.Luma(x, y)] = luma;
      d[f.Chroma(x, y)] = chroma;
    }
  return d;
}

inline Frame EdgeDetect(const Frame& s, Layout f) {
  Frame d(s.size());
  auto Y = [&](int x, int y) { return long(s[f.Luma(x, y)]); };
  auto C = [&](int x, int y) { return long(s[f.Chroma(x, y)]); };
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      uint8_t luma = 0, chroma = 128;
      if (y == 0 || y == f.height - 1) {
        chroma = 0;
      } else if (x >= 2 && x <= f.width - 3) {
        long gx = 2 * Y(x - 1, y) - 2 * Y(x + 1, y) + Y(x - 1, y - 1) + Y(x - 1, y + 1) -
                  Y(x + 1, y - 1) - Y(x + 1, y + 1);
        long gy = 2 * Y(x, y - 1) - 2 * Y(x, y + 1) + Y(x - 1, y - 1) + Y(x + 1, y - 1) -
                  Y(x - 1, y + 1) - Y(x + 1, y + 1);
        luma = Sat(std::labs(gx) + std::labs(gy) - 32);
        chroma = Sat(128 + 2 * (C(x + 2, y) + C(x, y + 1) + C(x + 2, y + 1) - C(x - 2, y) -
                                C(x, y - 1) - C(x - 2, y - 1)));
      }
      d[f.Luma(x, y)] = luma;
      d[f.Chroma(x, y)] = chroma;
    }
  return d;
}

// Pixel p of the frame (counted from the start) lies at walk row p / run and
// walk column p % run, where a run is the widest whole number of tiles that
// fits in a frame row (the frame width when not even one tile fits).
inline Frame Texture(const Frame& s, Layout f, int tileWidth, int tileHeight) {
  Frame d(s.size());
  long run = (f.width / tileWidth) * tileWidth;
  if (run == 0) run = f.width;
  for (long p = 0; p < long(f.width) * f.height; ++p) {
    int t = kTextureSamples[(p / run) % tileHeight][(p % run) % tileWidth];
    d[2 * p + f.lumaOffset] = Sat(long(s[2 * p + f.lumaOffset]) + t - 204);
    d[2 * p + 1 - f.lumaOffset] = s[2 * p + 1 - f.lumaOffset];
  }
  return d;
}

inline Frame Mosaic(const Frame& s, Layout f, int blockWidth, int blockHeight) {
  Frame d(s.size());
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      int x0 = x - x % blockWidth, y0 = y - y % blockHeight;
      uint8_t luma = s[f.Luma(x0, y0)];
      // The block's colour pair: the U of pixel x0, the V of pixel x0 + 1.
      uint8_t u = s[f.Chroma(x0, y0)];
      uint8_t v = x0 + 1 < f.width ? s[f.Chroma(x0 + 1, y0)] : 0;
      d[f.Luma(x, y)] = luma;
      d[f.Chroma(x, y)] = (x - x0) % 2 == 0 ? u : v;
    }
  return d;
}

inline Frame MirrorHalf(const Frame& s, Layout f) {
  Frame d(s.size());
  int pairs = f.width / 2, half = pairs / 2;
  for (int y = 0; y < f.height; ++y)
    for (int x = 0; x < f.width; ++x) {
      int k = x / 2, i = x % 2, from = x, lumaFrom = x;
      if (x < 2 * pairs && k >= pairs - half) {
        int partner = pairs - 1 - k;  // the left-half pair mirrored here
        from = 2 * partner + i;       // chroma stays in its position in the pair
        lumaFrom = 2 * partner + 1 - i;  // the two lumas change places
      }
      d[f.Luma(x, y)] = s[f.Luma(lumaFrom, y)];
      d[f.Chroma(x, y)] = s[f.Chroma(from, y)];
    }
  return d;
}

}  // namespace reference
