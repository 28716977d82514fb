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

struct Model {
  const Frame& s;
  int w, h, lo;  // lo: byte offset of the luma in a pixel
  long Y(int x, int y) const { return s[(size_t(y) * w + x) * 2 + lo]; }
  long C(int x, int y) const { return s[(size_t(y) * w + x) * 2 + 1 - lo]; }

  // Runs pixel(x, y, luma&, chroma&) over the frame.
  template <typename F> Frame Each(F pixel) const {
    Frame d(s.size());
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        uint8_t luma, chroma;
        pixel(x, y, luma, chroma);
        d[(size_t(y) * w + x) * 2 + lo] = luma;
        d[(size_t(y) * w + x) * 2 + 1 - lo] = chroma;
      }
    return d;
  }

  Frame Emboss() const {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = c = y == 0 ? 128 : y == h - 1 ? 192 : 128;
      if (y > 0 && y < h - 1 && x > 0 && x < w - 1)
        l = Sat(192 + Y(x + 1, y - 1) + Y(x + 1, y) + Y(x + 1, y + 1) + Y(x, y + 1) -
                Y(x - 1, y - 1) - Y(x - 1, y) - Y(x - 1, y + 1) - Y(x, y - 1));
    });
  }

  Frame EdgeDetect() const {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      l = 0;
      c = (y == 0 || y == h - 1) ? 0 : 128;
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
  Frame Texture(int tw, int th) const {
    long run = w / tw > 0 ? (w / tw) * tw : w;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      long p = long(y) * w + x;
      l = Sat(Y(x, y) + kTextureSamples[(p / run) % th][(p % run) % tw] - 204);
      c = uint8_t(C(x, y));
    });
  }

  // Each block repeats its top-left pair: Y0 twice, that pair's U and V.
  Frame Mosaic(int bw, int bh) const {
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      int x0 = x - x % bw, y0 = y - y % bh;
      l = uint8_t(Y(x0, y0));
      c = uint8_t(C(x0 + (x - x0) % 2, y0));
    });
  }

  // Right-half pair k shows left pair pairs-1-k with its lumas exchanged;
  // the middle pair of an odd pair count and a lone last pixel stay.
  Frame MirrorHalf() const {
    int pairs = w / 2, half = pairs / 2;
    return Each([&](int x, int y, uint8_t& l, uint8_t& c) {
      int k = x / 2, i = x % 2, from = x, lumaFrom = x;
      if (x < 2 * pairs && k >= pairs - half) {
        from = 2 * (pairs - 1 - k) + i;
        lumaFrom = 2 * (pairs - 1 - k) + 1 - i;
      }
      l = uint8_t(Y(lumaFrom, y));
      c = uint8_t(C(from, y));
    });
  }
};

}  // namespace reference
