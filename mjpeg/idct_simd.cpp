// Inverse DCT and interleave, vector versions. Same arithmetic as the scalar
// transform in idct.cpp, lane by lane on 32-bit integers, so the bytes are
// the same: products with the 1/512 constants (exact 32-bit multiplies),
// arithmetic shifts by 9, the symmetric final rounding and the clamp.
#include <immintrin.h>

#include "mjpeg/mjpeg_internal.h"
#include "mjpeg/idct_pass.h"

bool MjpegCpuHasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

namespace {

// ---- SSE2: four lanes ------------------------------------------------------

struct Sse2Ops {
  static __m128i Add(__m128i a, __m128i b) { return _mm_add_epi32(a, b); }
  static __m128i Sub(__m128i a, __m128i b) { return _mm_sub_epi32(a, b); }
  static __m128i Shr9(__m128i a) { return _mm_srai_epi32(a, 9); }
  // Low 32 bits of each lane's product (SSE2 has only the 32 x 32 -> 64
  // multiply of lanes 0 and 2).
  static __m128i Mul(__m128i a, int c) {
    const __m128i k = _mm_set1_epi32(c);
    const __m128i even = _mm_mul_epu32(a, k);
    const __m128i odd = _mm_mul_epu32(_mm_srli_epi64(a, 32), k);
    return _mm_unpacklo_epi32(_mm_shuffle_epi32(even, _MM_SHUFFLE(0, 0, 2, 0)),
                              _mm_shuffle_epi32(odd, _MM_SHUFFLE(0, 0, 2, 0)));
  }
};

inline void Transpose4(__m128i& r0, __m128i& r1, __m128i& r2, __m128i& r3) {
  const __m128i t0 = _mm_unpacklo_epi32(r0, r1), t1 = _mm_unpacklo_epi32(r2, r3);
  const __m128i t2 = _mm_unpackhi_epi32(r0, r1), t3 = _mm_unpackhi_epi32(r2, r3);
  r0 = _mm_unpacklo_epi64(t0, t1);
  r1 = _mm_unpackhi_epi64(t0, t1);
  r2 = _mm_unpacklo_epi64(t2, t3);
  r3 = _mm_unpackhi_epi64(t2, t3);
}

// (v + 8) / 16 for v >= 0, (v - 8) / 16 otherwise, truncating: the magnitude
// rounded, the sign put back.
inline __m128i FinalRoundSse2(__m128i v) {
  const __m128i sign = _mm_srai_epi32(v, 31);
  const __m128i magnitude = _mm_sub_epi32(_mm_xor_si128(v, sign), sign);
  const __m128i rounded = _mm_srli_epi32(_mm_add_epi32(magnitude, _mm_set1_epi32(8)), 4);
  return _mm_add_epi32(_mm_sub_epi32(_mm_xor_si128(rounded, sign), sign), _mm_set1_epi32(128));
}

}  // namespace

void IdctSse2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  // lo[k] / hi[k]: row k of the block, columns 0-3 / 4-7, times 4.
  __m128i lo[8], hi[8];
  const __m128i zero = _mm_setzero_si128();
  for (int k = 0; k < 8; ++k) {
    const __m128i row = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * k));
    const __m128i sign = _mm_cmpgt_epi16(zero, row);
    lo[k] = _mm_slli_epi32(_mm_unpacklo_epi16(row, sign), 2);
    hi[k] = _mm_slli_epi32(_mm_unpackhi_epi16(row, sign), 2);
  }
  // Column pass: lanes are columns.
  Pass<Sse2Ops>(lo);
  Pass<Sse2Ops>(hi);
  // Transpose so that lanes are rows: a[m] = column m of rows 0-3,
  // b[m] = column m of rows 4-7.
  __m128i a[8] = {lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]};
  __m128i b[8] = {lo[4], lo[5], lo[6], lo[7], hi[4], hi[5], hi[6], hi[7]};
  Transpose4(a[0], a[1], a[2], a[3]);
  Transpose4(a[4], a[5], a[6], a[7]);
  Transpose4(b[0], b[1], b[2], b[3]);
  Transpose4(b[4], b[5], b[6], b[7]);
  // Row pass: lanes are rows.
  Pass<Sse2Ops>(a);
  Pass<Sse2Ops>(b);
  // Back to rows: a[0..3] transposed give rows 0-3 of columns 0-3, and so on.
  Transpose4(a[0], a[1], a[2], a[3]);
  Transpose4(a[4], a[5], a[6], a[7]);
  Transpose4(b[0], b[1], b[2], b[3]);
  Transpose4(b[4], b[5], b[6], b[7]);
  for (int row = 0; row < 8; ++row) {
    const __m128i left = FinalRoundSse2(row < 4 ? a[row] : b[row - 4]);
    const __m128i right = FinalRoundSse2(row < 4 ? a[row + 4] : b[row]);
    const __m128i words = _mm_packs_epi32(left, right);
    const __m128i bytes = _mm_packus_epi16(words, words);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + row * stride), bytes);
  }
}

