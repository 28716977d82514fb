// The per-pixel special effects: negative, emboss, edge detection, texture,
// mosaic and mirror half. Each has a plain loop; the inner loops of the busy
// effects also have an SSE2 form that produces exactly the same bytes and
// hands the pixels it cannot cover as a whole vector to the plain loop.
#include "effects/special/pixel_effects.h"

#include <cstring>

#include "effects/special/texture_tiles.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define SPECIAL_EFFECTS_SSE2 1
#endif

namespace {

inline UCHAR Saturate(LONG value) {
  return static_cast<UCHAR>(value < 0 ? 0 : (value > 255 ? 255 : value));
}

inline LONG Abs(LONG value) { return value < 0 ? -value : value; }

#if SPECIAL_EFFECTS_SSE2
// Eight pixels starting at `pixel` of `row`, one 16-bit lane each.
inline __m128i LoadPixels(const UCHAR* row, SIZE_T pixel) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + 2 * pixel));
}
// The luma (or the chroma) byte of each lane, widened to 16 bits: the low
// byte for offset 0, the high byte for offset 1.
inline __m128i ByteOfLane(__m128i lanes, ULONG offset) {
  return offset == 0 ? _mm_and_si128(lanes, _mm_set1_epi16(0x00FF)) : _mm_srli_epi16(lanes, 8);
}
inline __m128i Clamp0To255(__m128i v) {
  return _mm_min_epi16(_mm_max_epi16(v, _mm_setzero_si128()), _mm_set1_epi16(255));
}
inline __m128i AbsLanes(__m128i v) {
  return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v));
}
// Puts a luma and a chroma value (each 0..255 in 16-bit lanes) back into
// packed pixels of the given order.
inline __m128i PackPixels(__m128i luma, __m128i chroma, ULONG lumaOffset) {
  return lumaOffset == 0 ? _mm_or_si128(luma, _mm_slli_epi16(chroma, 8))
                         : _mm_or_si128(chroma, _mm_slli_epi16(luma, 8));
}
inline void StorePixels(UCHAR* row, SIZE_T pixel, __m128i v) {
  _mm_storeu_si128(reinterpret_cast<__m128i*>(row + 2 * pixel), v);
}
#endif

// ---- emboss ----

// Inner pixels first..last (1 <= first, last <= width - 2) of row y, whose
// rows above and below exist.
void EmbossRowPlain(UCHAR* out, const UCHAR* up, const UCHAR* mid, const UCHAR* down,
                    SIZE_T first, SIZE_T last, ULONG lumaOffset) {
  const ULONG l = lumaOffset;
  for (SIZE_T x = first; x <= last; ++x) {
    const SIZE_T left = 2 * (x - 1) + l, here = 2 * x + l, right = 2 * (x + 1) + l;
    const LONG sum = 192 + up[right] + mid[right] + down[right] + down[here] - up[left] -
                     mid[left] - down[left] - up[here];
    out[2 * x + l] = Saturate(sum);
    out[2 * x + 1 - l] = 128;
  }
}

}  // namespace

void NegativeFrame(UCHAR* destination, const UCHAR* source, SIZE_T bytes) {
  SIZE_T i = 0;
#if SPECIAL_EFFECTS_SSE2
  const __m128i ones = _mm_set1_epi8(static_cast<char>(0xFF));
  for (; i + 64 <= bytes; i += 64) {
    const __m128i* s = reinterpret_cast<const __m128i*>(source + i);
    __m128i* d = reinterpret_cast<__m128i*>(destination + i);
    const __m128i a = _mm_loadu_si128(s), b = _mm_loadu_si128(s + 1);
    const __m128i c = _mm_loadu_si128(s + 2), e = _mm_loadu_si128(s + 3);
    _mm_storeu_si128(d, _mm_xor_si128(a, ones));
    _mm_storeu_si128(d + 1, _mm_xor_si128(b, ones));
    _mm_storeu_si128(d + 2, _mm_xor_si128(c, ones));
    _mm_storeu_si128(d + 3, _mm_xor_si128(e, ones));
  }
  for (; i + 16 <= bytes; i += 16) {
    const __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(source + i));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(destination + i), _mm_xor_si128(a, ones));
  }
#endif
  for (; i < bytes; ++i) destination[i] = static_cast<UCHAR>(255 - source[i]);
}

void EmbossFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                 ULONG lumaOffset) {
  const SIZE_T rowBytes = 2 * static_cast<SIZE_T>(width);
  memset(destination, 128, rowBytes);
  if (height < 2) return;
  memset(destination + (height - 1) * rowBytes, 192, rowBytes);
  for (ULONG y = 1; y + 1 < height; ++y) {
    const UCHAR* up = source + (y - 1) * rowBytes;
    const UCHAR* mid = up + rowBytes;
    const UCHAR* down = mid + rowBytes;
    UCHAR* out = destination + y * rowBytes;
    // First and last pixel: Y 128, chroma 128.
    out[0] = 128;
    out[1] = 128;
    out[rowBytes - 2] = 128;
    out[rowBytes - 1] = 128;
    if (width < 3) continue;
    SIZE_T x = 1;
#if SPECIAL_EFFECTS_SSE2
    // Eight pixels x..x+7 read pixels x-1..x+8, all inside the row.
    const __m128i base = _mm_set1_epi16(192);
    const __m128i grey = _mm_set1_epi16(128);
    for (; x + 8 <= width - 1; x += 8) {
      const __m128i ul = ByteOfLane(LoadPixels(up, x - 1), lumaOffset);
      const __m128i uc = ByteOfLane(LoadPixels(up, x), lumaOffset);
      const __m128i ur = ByteOfLane(LoadPixels(up, x + 1), lumaOffset);
      const __m128i ml = ByteOfLane(LoadPixels(mid, x - 1), lumaOffset);
      const __m128i mr = ByteOfLane(LoadPixels(mid, x + 1), lumaOffset);
      const __m128i dl = ByteOfLane(LoadPixels(down, x - 1), lumaOffset);
      const __m128i dc = ByteOfLane(LoadPixels(down, x), lumaOffset);
      const __m128i dr = ByteOfLane(LoadPixels(down, x + 1), lumaOffset);
      const __m128i plus = _mm_add_epi16(_mm_add_epi16(ur, mr), _mm_add_epi16(dr, dc));
      const __m128i minus = _mm_add_epi16(_mm_add_epi16(ul, ml), _mm_add_epi16(dl, uc));
      const __m128i luma = Clamp0To255(_mm_sub_epi16(_mm_add_epi16(base, plus), minus));
      StorePixels(out, x, PackPixels(luma, grey, lumaOffset));
    }
#endif
    EmbossRowPlain(out, up, mid, down, x, width - 2, lumaOffset);
  }
}

namespace {

// ---- edge detection ----

// Inner pixels first..last (2 <= first, last <= width - 3) of a row whose
// rows above and below exist.
void EdgeRowPlain(UCHAR* out, const UCHAR* up, const UCHAR* mid, const UCHAR* down,
                  SIZE_T first, SIZE_T last, ULONG lumaOffset) {
  const ULONG l = lumaOffset, c = 1 - lumaOffset;
  for (SIZE_T x = first; x <= last; ++x) {
    const SIZE_T yl = 2 * (x - 1) + l, yc = 2 * x + l, yr = 2 * (x + 1) + l;
    const LONG gx = 2 * mid[yl] - 2 * mid[yr] + up[yl] + down[yl] - up[yr] - down[yr];
    const LONG gy = 2 * up[yc] - 2 * down[yc] + up[yl] + up[yr] - down[yl] - down[yr];
    out[yc] = Saturate(Abs(gx) + Abs(gy) - 32);
    const SIZE_T cl = 2 * (x - 2) + c, cc = 2 * x + c, cr = 2 * (x + 2) + c;
    const LONG gc = mid[cr] + down[cc] + down[cr] - mid[cl] - up[cc] - up[cl];
    out[cc] = Saturate(128 + 2 * gc);
  }
}

}  // namespace

void EdgeDetectFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                     ULONG lumaOffset) {
  const SIZE_T rowBytes = 2 * static_cast<SIZE_T>(width);
  const ULONG chromaOffset = 1 - lumaOffset;
  memset(destination, 0, rowBytes);
  if (height < 2) return;
  memset(destination + (height - 1) * rowBytes, 0, rowBytes);
  for (ULONG y = 1; y + 1 < height; ++y) {
    const UCHAR* up = source + (y - 1) * rowBytes;
    const UCHAR* mid = up + rowBytes;
    const UCHAR* down = mid + rowBytes;
    UCHAR* out = destination + y * rowBytes;
    SIZE_T x = 2;
    if (width >= 5) {
#if SPECIAL_EFFECTS_SSE2
      // Eight pixels x..x+7 read pixels x-2..x+9, all inside the row.
      const __m128i bias = _mm_set1_epi16(32);
      const __m128i grey = _mm_set1_epi16(128);
      for (; x + 9 <= width - 1; x += 8) {
        const __m128i u0 = LoadPixels(up, x - 2), u1 = LoadPixels(up, x - 1);
        const __m128i u2 = LoadPixels(up, x), u3 = LoadPixels(up, x + 1);
        const __m128i m0 = LoadPixels(mid, x - 2), m1 = LoadPixels(mid, x - 1);
        const __m128i m3 = LoadPixels(mid, x + 1), m4 = LoadPixels(mid, x + 2);
        const __m128i d1 = LoadPixels(down, x - 1), d2 = LoadPixels(down, x);
        const __m128i d3 = LoadPixels(down, x + 1), d4 = LoadPixels(down, x + 2);
        const __m128i yul = ByteOfLane(u1, lumaOffset), yuc = ByteOfLane(u2, lumaOffset);
        const __m128i yur = ByteOfLane(u3, lumaOffset);
        const __m128i yml = ByteOfLane(m1, lumaOffset), ymr = ByteOfLane(m3, lumaOffset);
        const __m128i ydl = ByteOfLane(d1, lumaOffset), ydc = ByteOfLane(d2, lumaOffset);
        const __m128i ydr = ByteOfLane(d3, lumaOffset);
        const __m128i gx = _mm_sub_epi16(
            _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(yml, ymr), 1), _mm_add_epi16(yul, ydl)),
            _mm_add_epi16(yur, ydr));
        const __m128i gy = _mm_sub_epi16(
            _mm_add_epi16(_mm_slli_epi16(_mm_sub_epi16(yuc, ydc), 1), _mm_add_epi16(yul, yur)),
            _mm_add_epi16(ydl, ydr));
        const __m128i luma = Clamp0To255(
            _mm_sub_epi16(_mm_add_epi16(AbsLanes(gx), AbsLanes(gy)), bias));
        const __m128i plus = _mm_add_epi16(
            ByteOfLane(m4, chromaOffset),
            _mm_add_epi16(ByteOfLane(d2, chromaOffset), ByteOfLane(d4, chromaOffset)));
        const __m128i minus = _mm_add_epi16(
            ByteOfLane(m0, chromaOffset),
            _mm_add_epi16(ByteOfLane(u2, chromaOffset), ByteOfLane(u0, chromaOffset)));
        const __m128i chroma =
            Clamp0To255(_mm_add_epi16(grey, _mm_slli_epi16(_mm_sub_epi16(plus, minus), 1)));
        StorePixels(out, x, PackPixels(luma, chroma, lumaOffset));
      }
#endif
      EdgeRowPlain(out, up, mid, down, x, width - 3, lumaOffset);
    }
    // First two and last two pixels: Y 0, chroma 128.
    const SIZE_T border[4] = {0, 1, static_cast<SIZE_T>(width) - 2, static_cast<SIZE_T>(width) - 1};
    for (SIZE_T b : border) {
      if (b >= width) continue;  // width 1: the last two indexes wrap
      out[2 * b + lumaOffset] = 0;
      out[2 * b + chromaOffset] = 128;
    }
  }
}

void TextureFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                  ULONG lumaOffset) {
  const TextureTile tile = ChooseTextureTile(width, height);
  const ULONG chromaOffset = 1 - lumaOffset;
  // The texture is laid in runs of whole tiles; a frame narrower than one
  // tile uses its own width, the first pixels of the tile.
  SIZE_T run = static_cast<SIZE_T>(width / tile.width) * tile.width;
  if (run == 0) run = width;
  const SIZE_T pixels = static_cast<SIZE_T>(width) * height;
  SIZE_T tileRow = 0;
  for (SIZE_T start = 0; start < pixels; start += run) {
    const SIZE_T count = pixels - start < run ? pixels - start : run;
    const UCHAR* samples = kTextureSamples[tileRow];
    const UCHAR* in = source + 2 * start;
    UCHAR* out = destination + 2 * start;
    SIZE_T x = 0;
#if SPECIAL_EFFECTS_SSE2
    // A span of `unit` pixels (a whole number of tiles and of 8-pixel
    // vectors: 32, 40 or 16) starts at tile column 0, so every vector of a
    // span meets the same samples. Each sample's offset is split into its
    // positive and negative part, laid out as packed pixels with 0 on the
    // chroma bytes; adding the one and subtracting the other with unsigned
    // saturation gives exactly the saturated sum.
    const ULONG unit = tile.width == 20 ? 40 : tile.width;
    if (count >= 8) {
      alignas(16) UCHAR raise[2 * 40];
      alignas(16) UCHAR lower[2 * 40];
      for (ULONG j = 0; j < unit; ++j) {
        const LONG offset =
            static_cast<LONG>(samples[j < tile.width ? j : j - tile.width]) - kTextureOffset;
        raise[2 * j + lumaOffset] = static_cast<UCHAR>(offset > 0 ? offset : 0);
        lower[2 * j + lumaOffset] = static_cast<UCHAR>(offset < 0 ? -offset : 0);
        raise[2 * j + chromaOffset] = 0;
        lower[2 * j + chromaOffset] = 0;
      }
      const __m128i* up = reinterpret_cast<const __m128i*>(raise);
      const __m128i* down = reinterpret_cast<const __m128i*>(lower);
      const ULONG vectors = unit / 8;
      for (ULONG v = 0; x + 8 <= count; x += 8) {
        const __m128i p = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 2 * x));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 2 * x),
                         _mm_subs_epu8(_mm_adds_epu8(p, _mm_load_si128(up + v)),
                                       _mm_load_si128(down + v)));
        if (++v == vectors) v = 0;
      }
    }
#endif
    ULONG phase = static_cast<ULONG>(x % tile.width);  // tile column of pixel x
    for (; x < count; ++x) {
      out[2 * x + lumaOffset] =
          Saturate(in[2 * x + lumaOffset] + samples[phase] - kTextureOffset);
      out[2 * x + chromaOffset] = in[2 * x + chromaOffset];
      if (++phase == tile.width) phase = 0;
    }
    if (++tileRow == tile.height) tileRow = 0;
  }
}

void MosaicFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                 ULONG lumaOffset) {
  const MosaicBlock block = MosaicBlockSize(width);
  const SIZE_T rowBytes = 2 * static_cast<SIZE_T>(width);
  for (ULONG band = 0; band < height; band += block.height) {
    const UCHAR* in = source + band * rowBytes;
    UCHAR* first = destination + band * rowBytes;
    // Build the band's row in place in its first destination row.
    for (SIZE_T left = 0; left < rowBytes; left += 2 * block.width) {
      const SIZE_T bytes = rowBytes - left < 2 * block.width ? rowBytes - left : 2 * block.width;
      UCHAR pattern[4];
      const UCHAR luma = in[left + lumaOffset];
      if (lumaOffset == 0) {
        pattern[0] = luma;
        pattern[1] = in[left + 1];
        pattern[2] = luma;
        // A pixel left alone at the end of an odd-width row has no V.
        pattern[3] = bytes >= 4 ? in[left + 3] : 0;
      } else {
        pattern[0] = in[left];
        pattern[1] = luma;
        pattern[2] = bytes >= 4 ? in[left + 2] : 0;
        pattern[3] = luma;
      }
      UCHAR* out = first + left;
      SIZE_T i = 0;
      if (bytes >= 4) {
        ULONG word;
        memcpy(&word, pattern, 4);
        for (; i + 4 <= bytes; i += 4) memcpy(out + i, &word, 4);
      }
      for (; i < bytes; ++i) out[i] = pattern[i & 3];
    }
    const ULONG rows = height - band < block.height ? height - band : block.height;
    for (ULONG r = 1; r < rows; ++r) memcpy(first + r * rowBytes, first, rowBytes);
  }
}

void MirrorHalfFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                     ULONG lumaOffset) {
  const SIZE_T rowBytes = 2 * static_cast<SIZE_T>(width);
  const SIZE_T pairs = width / 2;
  const SIZE_T half = pairs / 2;
  // The bytes that stay: the left half, the middle pair of an odd pair count
  // and the lone pixel of an odd width.
  for (ULONG y = 0; y < height; ++y) {
    const UCHAR* in = source + y * rowBytes;
    UCHAR* out = destination + y * rowBytes;
    memcpy(out, in, 4 * half);
    if (pairs & 1) memcpy(out + 4 * half, in + 4 * half, 4);
    if (width & 1) memcpy(out + 4 * pairs, in + 4 * pairs, 2);
    // Pair k goes to pair pairs-1-k with its two lumas exchanged.
    SIZE_T k = 0;
#if SPECIAL_EFFECTS_SSE2
    const __m128i lowBytes = _mm_set1_epi16(0x00FF);
    const __m128i highBytes = _mm_set1_epi16(static_cast<short>(0xFF00));
    for (; k + 4 <= half; k += 4) {
      __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * k));
      v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));  // reverse the four pairs
      // Exchange the luma bytes of the two 16-bit lanes of each pair.
      const __m128i luma = _mm_and_si128(v, lumaOffset == 0 ? lowBytes : highBytes);
      const __m128i chroma = _mm_andnot_si128(lumaOffset == 0 ? lowBytes : highBytes, v);
      const __m128i swapped = _mm_shufflehi_epi16(
          _mm_shufflelo_epi16(luma, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
      _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 4 * (pairs - k - 4)),
                       _mm_or_si128(chroma, swapped));
    }
#endif
    for (; k < half; ++k) {
      const UCHAR* p = in + 4 * k;
      UCHAR* q = out + 4 * (pairs - 1 - k);
      q[lumaOffset] = p[lumaOffset + 2];
      q[1 - lumaOffset] = p[1 - lumaOffset];
      q[lumaOffset + 2] = p[lumaOffset];
      q[3 - lumaOffset] = p[3 - lumaOffset];
    }
  }
}
