// AVX-512 VBMI twin of the row warp's packing. For 32 output pixels (16
// pairs, 64 bytes) the column table gives the source pixels; they lie in a
// window of at most 256 source bytes unless the rate is small. Byte offsets
// of each pixel's Y, U and V inside the window are worked out in 16-bit
// lanes, and two byte permutes of those offsets give two index vectors:
//   first:  Y(a), U(a), Y(b), V(a)   (in the frame's byte order)
//   second: Y(a), U(b), Y(b), V(b)
// for output pixels a = 2k and b = 2k + 1. Permuting the window bytes by
// both and taking the rounded mean gives Y(a), the U mean, Y(b), the V mean,
// the bytes of the per-pixel code. Black pixels (index w) are blended in
// before the mean, so a black and a coloured pixel share their chroma as
// there. Both rows of a table entry use the same index vectors.
#include "effects/special/row_warp_avx512.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#define UVCCAM_VBMI __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

// Widest row the 16-bit offset lanes hold.
constexpr ULONG kMaxVectorWidth = 16384;

// `bytes` bytes from p (all 64 when there are that many), zeros after them.
UVCCAM_VBMI inline __m512i LoadUpTo(const UCHAR* p, LONG bytes) {
  if (bytes >= 64) return _mm512_loadu_si512(p);
  if (bytes <= 0) return _mm512_setzero_si512();
  return _mm512_maskz_loadu_epi8((__mmask64(1) << bytes) - 1, p);
}

// What one run of 32 pixels needs for each of its rows.
struct Chunk {
  __m512i index1, index2;  // window byte of every output byte, both vectors
  __mmask64 high1, high2;  // bytes from the window's second 128 bytes
  __mmask64 dark1, dark2;  // bytes of black pixels
  __mmask64 store;         // bytes inside the row
  bool wide;               // the window is 256 bytes, not 128
};

// One row's 64 output bytes from the window at s (`left` bytes to the row's
// end).
UVCCAM_VBMI inline void PermuteRow(UCHAR* out, const UCHAR* s, LONG left, const Chunk& c,
                                   __m512i black) {
  const __m512i w0 = LoadUpTo(s, left), w1 = LoadUpTo(s + 64, left - 64);
  __m512i p1 = _mm512_permutex2var_epi8(w0, c.index1, w1);
  __m512i p2 = _mm512_permutex2var_epi8(w0, c.index2, w1);
  if (c.wide) {
    const __m512i w2 = LoadUpTo(s + 128, left - 128), w3 = LoadUpTo(s + 192, left - 192);
    p1 = _mm512_mask_blend_epi8(c.high1, p1, _mm512_permutex2var_epi8(w2, c.index1, w3));
    p2 = _mm512_mask_blend_epi8(c.high2, p2, _mm512_permutex2var_epi8(w2, c.index2, w3));
  }
  p1 = _mm512_mask_blend_epi8(c.dark1, p1, black);
  p2 = _mm512_mask_blend_epi8(c.dark2, p2, black);
  _mm512_mask_storeu_epi8(out, c.store, _mm512_avg_epu8(p1, p2));
}

}  // namespace

UVCCAM_VBMI ULONG RowWarpAvx512(UCHAR* out0, UCHAR* out1, const UCHAR* in0, const UCHAR* in1,
                                const USHORT* columns, ULONG w, ULONG lumaOffset) {
  if (w > kMaxVectorWidth || w < 2 || (w & 1) != 0) return 0;
  // Index patterns over (32 luma offsets | 32 chroma offset pairs U, V),
  // both as 16-bit lanes whose low bytes hold the offsets.
  alignas(64) UCHAR first[64], second[64];
  for (ULONG k = 0; k < 16; ++k) {
    const UCHAR ya = UCHAR(4 * k), yb = UCHAR(4 * k + 2), ua = UCHAR(64 + 4 * k);
    const UCHAR a[4] = {ya, ua, yb, UCHAR(ua + 1)}, b[4] = {ya, UCHAR(ua + 2), yb, UCHAR(ua + 3)};
    // U-first bytes are U, Y0, V, Y1: the same four with each pair swapped.
    for (ULONG i = 0; i < 4; ++i) {
      first[4 * k + i] = a[lumaOffset ? i ^ 1 : i];
      second[4 * k + i] = b[lumaOffset ? i ^ 1 : i];
    }
  }
  const __m512i pattern1 = _mm512_load_si512(first), pattern2 = _mm512_load_si512(second);
  const __m512i black = _mm512_set1_epi32(lumaOffset ? 0x00800080 : int(0x80008000u));
  const __m512i vw = _mm512_set1_epi16(short(w));
  const __m512i one = _mm512_set1_epi16(1);
  const __m512i lastPair = _mm512_set1_epi16(short(w / 2 - 1));
  const __m512i yOffset = _mm512_set1_epi16(short(lumaOffset));
  const __m512i uOffset = _mm512_set1_epi16(short(1 - lumaOffset));
  const __m512i vOffset = _mm512_set1_epi16(short(3 - lumaOffset));
  const __m512i limit128 = _mm512_set1_epi16(128), limit256 = _mm512_set1_epi16(256);
  const LONG rowBytes = LONG(2 * w);
  ULONG n = 0;
  for (; n < w; n += 32) {
    const ULONG count = w - n < 32 ? w - n : 32;
    const __mmask32 valid = count == 32 ? ~__mmask32(0) : (__mmask32(1) << count) - 1;
    const __mmask64 store = count == 32 ? ~__mmask64(0) : (__mmask64(1) << (2 * count)) - 1;
    // Pixels past the row's end read as black and are not stored.
    const __m512i c = _mm512_mask_loadu_epi16(vw, valid, columns + n);
    const __mmask32 dark = _mm512_cmpeq_epi16_mask(c, vw);
    if (dark == ~__mmask32(0)) {
      _mm512_mask_storeu_epi8(out0 + 2 * SIZE_T(n), store, black);
      if (out1 != nullptr) _mm512_mask_storeu_epi8(out1 + 2 * SIZE_T(n), store, black);
      continue;
    }
    // The window starts at the pair of the first shown pixel.
    const ULONG lead = ULONG(__builtin_ctz(~dark));
    const ULONG base = 4 * (ULONG(columns[n + lead]) >> 1);
    const __m512i vbase = _mm512_set1_epi16(short(base));
    const __m512i y = _mm512_sub_epi16(_mm512_add_epi16(_mm512_add_epi16(c, c), yOffset), vbase);
    const __m512i nextPair = _mm512_min_epu16(_mm512_srli_epi16(_mm512_add_epi16(c, one), 1), lastPair);
    const __m512i u = _mm512_sub_epi16(_mm512_add_epi16(_mm512_slli_epi16(nextPair, 2), uOffset), vbase);
    const __m512i v = _mm512_sub_epi16(
        _mm512_add_epi16(_mm512_slli_epi16(_mm512_srli_epi16(c, 1), 2), vOffset), vbase);
    // Every shown pixel's bytes inside the window (an index below the first
    // one wraps to a large offset and is caught too).
    const __m512i reach = _mm512_max_epu16(_mm512_max_epu16(y, u), v);
    if ((_mm512_cmpge_epu16_mask(reach, limit256) & ~dark) != 0) break;
    const bool wide = (_mm512_cmpge_epu16_mask(reach, limit128) & ~dark) != 0;
    const __m512i chromas = _mm512_or_si512(u, _mm512_slli_epi16(v, 8));
    const __m512i index1 = _mm512_permutex2var_epi8(y, pattern1, chromas);
    const __m512i index2 = _mm512_permutex2var_epi8(y, pattern2, chromas);
    __mmask64 dark1 = 0, dark2 = 0;
    if (dark != 0) {
      const __m512i flags = _mm512_movm_epi16(dark);
      dark1 = _mm512_movepi8_mask(_mm512_permutex2var_epi8(flags, pattern1, flags));
      dark2 = _mm512_movepi8_mask(_mm512_permutex2var_epi8(flags, pattern2, flags));
    }
    const __mmask64 high1 = _mm512_movepi8_mask(index1), high2 = _mm512_movepi8_mask(index2);
    const Chunk chunk{index1, index2, high1, high2, dark1, dark2, store, wide};
    PermuteRow(out0 + 2 * SIZE_T(n), in0 + base, rowBytes - LONG(base), chunk, black);
    if (out1 != nullptr) PermuteRow(out1 + 2 * SIZE_T(n), in1 + base, rowBytes - LONG(base), chunk, black);
  }
  return n < w ? n : w;
}

#else
ULONG RowWarpAvx512(UCHAR*, UCHAR*, const UCHAR*, const UCHAR*, const USHORT*, ULONG, ULONG) {
  return 0;
}
#endif
