// Pixel-by-pixel models of the per-pixel special effects: every output byte
// computed on its own from the source. The driver must produce these bytes.
#pragma once

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "effects/special/texture_tiles.h"

namespace reference {

using Frame = std::vector<uint8_t>;
inline uint8_t Sat(long v) { return uint8_t(v < 0 ? 0 : v > 255 ? 255 : v); }

// A packed 4:2:2 frame; lo is the byte offset of the luma in a pixel (0 for
// Y0 U Y1 V, 1 for U Y0 V Y1), the chroma byte the pixel carries the other.
struct Model {
  int w, h, lo;
  Frame s;
  Model(int width, int height, int lumaOffset, uint8_t fill)
      : w(width), h(height), lo(lumaOffset), s(size_t(2) * width * height, fill) {}
  uint8_t& Y(int x, int y) { return s[(size_t(y) * w + x) * 2 + lo]; }
  uint8_t& C(int x, int y) { return s[(size_t(y) * w + x) * 2 + 1 - lo]; }

  // A new frame from pixel(x, y, luma&, chroma&) for every pixel.
  template <typename F> Frame Each(F pixel) {
    Frame d(s.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) pixel(x, y, d[(size_t(y) * w + x) * 2 + lo], d[(size_t(y) * w + x) * 2 + 1 - lo]);
    return d;
  }

  Frame Emboss() {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = c = y == 0 ? 128 : y == h - 1 ? 192 : 128;
      if (y > 0 && y < h - 1 && x > 0 && x < w - 1)
        l = Sat(192 + Y(x + 1, y - 1) + Y(x + 1, y) + Y(x + 1, y + 1) + Y(x, y + 1) -
                Y(x - 1, y - 1) - Y(x - 1, y) - Y(x - 1, y + 1) - Y(x, y - 1));
    });
  }

  Frame EdgeDetect() {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = 0, c = (y == 0 || y == h - 1) ? 0 : 128;
      if (y == 0 || y == h - 1 || x < 2 || x > w - 3) return;
      long gx = 2 * Y(x - 1, y) - 2 * Y(x + 1, y) + Y(x - 1, y - 1) + Y(x - 1, y + 1) -
                Y(x + 1, y - 1) - Y(x + 1, y + 1);
      long gy = 2 * Y(x, y - 1) - 2 * Y(x, y + 1) + Y(x - 1, y - 1) + Y(x + 1, y - 1) -
                Y(x - 1, y + 1) - Y(x + 1, y + 1);
      l = Sat(std::labs(gx) + std::labs(gy) - 32);
      c = Sat(128 + 2 * (C(x + 2, y) + C(x, y + 1) + C(x + 2, y + 1) - C(x - 2, y) -
                         C(x, y - 1) - C(x - 2, y - 1)));
    });
  }

  // Pixel p (counted from the frame start) takes the sample at walk row
  // p / run, column p % run; a run is the widest whole number of tiles in a
  // frame row, or the frame width when not even one tile fits.
  Frame Texture(int tw, int th) {
    long run = w / tw > 0 ? (w / tw) * tw : w;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      long p = long(y) * w + x;
      l = Sat(Y(x, y) + kTextureSamples[(p / run) % th][(p % run) % tw] - 204);
      c = C(x, y);
    });
  }

  // Each block (of an even width) repeats its top-left pair: Y0 twice, that
  // pair's U and V.
  Frame Mosaic(int bw, int bh) {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = Y(x - x % bw, y - y % bh), c = C(x - x % bw + x % 2, y - y % bh);
    });
  }

  // Right-half pair k shows left pair pairs-1-k with its lumas exchanged;
  // the middle pair of an odd pair count and a lone last pixel stay.
  Frame MirrorHalf() {
    const int pairs = w / 2, half = pairs / 2;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      const bool mirrored = x < 2 * pairs && x / 2 >= pairs - half;
      const int from = mirrored ? 2 * (pairs - 1 - x / 2) + x % 2 : x;
      l = Y(mirrored ? from ^ 1 : x, y), c = C(from, y);
    });
  }
};

}  // namespace reference
