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

// The constants of one row (and byte order) and the work of one run.
struct RowWarper {
  __m512i pattern1, pattern2, black, vw, one, lastPair, yOffset, uOffset, vOffset, limit128, limit256;
  UCHAR* out0;
  UCHAR* out1;
  const UCHAR* in0;
  const UCHAR* in1;
  const USHORT* columns;
  LONG rowBytes;

  UVCCAM_VBMI void Setup(ULONG w, ULONG lumaOffset) {
    // Index patterns over (32 luma offsets | 32 chroma offset pairs U, V),
    // both as 16-bit lanes whose low bytes hold the offsets: pair k takes
    // Y(a) = 4k, Y(b) = 4k + 2, U(a), V(a), U(b), V(b) = 64 + 4k + 0..3;
    // U-first bytes are U, Y0, V, Y1 (each byte pair swapped).
    const __m512i k4 = _mm512_mullo_epi32(_mm512_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15),
                                          _mm512_set1_epi32(0x04040404));
    pattern1 = _mm512_add_epi32(k4, _mm512_set1_epi32(lumaOffset ? 0x02410040 : 0x41024000));
    pattern2 = _mm512_add_epi32(k4, _mm512_set1_epi32(lumaOffset ? 0x02430042 : 0x43024200));
    black = _mm512_set1_epi32(lumaOffset ? 0x00800080 : int(0x80008000u));
    vw = _mm512_set1_epi16(short(w));
    one = _mm512_set1_epi16(1);
    lastPair = _mm512_set1_epi16(short(w / 2 - 1));
    yOffset = _mm512_set1_epi16(short(lumaOffset));
    uOffset = _mm512_set1_epi16(short(1 - lumaOffset));
    vOffset = _mm512_set1_epi16(short(3 - lumaOffset));
    limit128 = _mm512_set1_epi16(128);
    limit256 = _mm512_set1_epi16(256);
    rowBytes = LONG(2 * w);
  }

  // Output pixels n + i for the lanes i of `lanes` (the others are left
  // as they are). False, with nothing written, when their source bytes span
  // more than 256 bytes.
  UVCCAM_VBMI bool Run(ULONG n, __mmask32 lanes) {
    const __mmask64 store = _mm512_movepi8_mask(_mm512_movm_epi16(lanes));
    // Lanes left out read as black and are not stored.
    const __m512i c = _mm512_mask_loadu_epi16(vw, lanes, columns + n);
    const __mmask32 dark = _mm512_cmpeq_epi16_mask(c, vw);
    if (dark == ~__mmask32(0)) {
      _mm512_mask_storeu_epi8(out0 + 2 * SIZE_T(n), store, black);
      if (out1 != nullptr) _mm512_mask_storeu_epi8(out1 + 2 * SIZE_T(n), store, black);
      return true;
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
    if ((_mm512_cmpge_epu16_mask(reach, limit256) & ~dark) != 0) return false;
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
    return true;
  }
};

}  // namespace

// Runs of 32 whose pixels span too much try their halves one by one (the
// rate is under a half, so each half spans half as much).
UVCCAM_VBMI ULONG RowWarpAvx512(UCHAR* out0, UCHAR* out1, const UCHAR* in0, const UCHAR* in1,
                                const USHORT* columns, ULONG w, ULONG lumaOffset, ULONG from) {
  if (w > kMaxVectorWidth || w < 2 || (w & 1) != 0 || (from & 31) != 0) return from;
  RowWarper warper;
  warper.Setup(w, lumaOffset);
  warper.out0 = out0;
  warper.out1 = out1;
  warper.in0 = in0;
  warper.in1 = in1;
  warper.columns = columns;
  ULONG n = from;
  for (; n < w; n += 32) {
    const ULONG count = w - n < 32 ? w - n : 32;
    const __mmask32 valid = count == 32 ? ~__mmask32(0) : (__mmask32(1) << count) - 1;
    if (warper.Run(n, valid)) continue;
    if (!warper.Run(n, valid & 0xFFFFu)) break;
    if (!warper.Run(n, valid & 0xFFFF0000u)) break;  // the first half is written again later
  }
  return n < w ? n : w;
}

#else
ULONG RowWarpAvx512(UCHAR*, UCHAR*, const UCHAR*, const UCHAR*, const USHORT*, ULONG, ULONG,
                    ULONG from) {
  return from;
}
#endif
