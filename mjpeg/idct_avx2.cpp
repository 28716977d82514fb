// Inverse DCT and interleave for processors with AVX2 (chosen at run time).
// The whole file is compiled for AVX2; nothing here runs unless the
// processor reported it.
#include <immintrin.h>

#include "mjpeg/mjpeg_internal.h"

// Only the code below is compiled for AVX2 (the headers above keep their
// own options, so no shared inline function gets an AVX2 body).
#if defined(__clang__)
#pragma clang attribute push(__attribute__((target("avx2"))), apply_to = function)
#elif defined(__GNUC__)
#pragma GCC push_options
#pragma GCC target("avx2")
#endif

#include "mjpeg/idct_pass.h"

namespace {

struct Avx2Ops {
  static __m256i Add(__m256i a, __m256i b) { return _mm256_add_epi32(a, b); }
  static __m256i Sub(__m256i a, __m256i b) { return _mm256_sub_epi32(a, b); }
  static __m256i Shr9(__m256i a) { return _mm256_srai_epi32(a, 9); }
  static __m256i Mul(__m256i a, int c) { return _mm256_mullo_epi32(a, _mm256_set1_epi32(c)); }
};

inline void Transpose8(__m256i r[8]) {
  const __m256i t0 = _mm256_unpacklo_epi32(r[0], r[1]), t1 = _mm256_unpackhi_epi32(r[0], r[1]);
  const __m256i t2 = _mm256_unpacklo_epi32(r[2], r[3]), t3 = _mm256_unpackhi_epi32(r[2], r[3]);
  const __m256i t4 = _mm256_unpacklo_epi32(r[4], r[5]), t5 = _mm256_unpackhi_epi32(r[4], r[5]);
  const __m256i t6 = _mm256_unpacklo_epi32(r[6], r[7]), t7 = _mm256_unpackhi_epi32(r[6], r[7]);
  const __m256i u0 = _mm256_unpacklo_epi64(t0, t2), u1 = _mm256_unpackhi_epi64(t0, t2);
  const __m256i u2 = _mm256_unpacklo_epi64(t1, t3), u3 = _mm256_unpackhi_epi64(t1, t3);
  const __m256i u4 = _mm256_unpacklo_epi64(t4, t6), u5 = _mm256_unpackhi_epi64(t4, t6);
  const __m256i u6 = _mm256_unpacklo_epi64(t5, t7), u7 = _mm256_unpackhi_epi64(t5, t7);
  r[0] = _mm256_permute2x128_si256(u0, u4, 0x20);
  r[1] = _mm256_permute2x128_si256(u1, u5, 0x20);
  r[2] = _mm256_permute2x128_si256(u2, u6, 0x20);
  r[3] = _mm256_permute2x128_si256(u3, u7, 0x20);
  r[4] = _mm256_permute2x128_si256(u0, u4, 0x31);
  r[5] = _mm256_permute2x128_si256(u1, u5, 0x31);
  r[6] = _mm256_permute2x128_si256(u2, u6, 0x31);
  r[7] = _mm256_permute2x128_si256(u3, u7, 0x31);
}

inline __m256i FinalRoundAvx2(__m256i v) {
  const __m256i rounded = _mm256_srli_epi32(_mm256_add_epi32(_mm256_abs_epi32(v), _mm256_set1_epi32(8)), 4);
  return _mm256_add_epi32(_mm256_sign_epi32(rounded, v), _mm256_set1_epi32(128));
}

}  // namespace

void IdctAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  __m256i x[8];
  for (int k = 0; k < 8; ++k)
    x[k] = _mm256_slli_epi32(
        _mm256_cvtepi16_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * k))), 2);
  Pass<Avx2Ops>(x);  // lanes are columns
  Transpose8(x);
  Pass<Avx2Ops>(x);  // lanes are rows
  Transpose8(x);
  for (int k = 0; k < 8; ++k) x[k] = FinalRoundAvx2(x[k]);
  // Rows 0..3 and 4..7 to bytes: packs interleave the 128-bit halves, the
  // permute puts each row's eight bytes together.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int half = 0; half < 2; ++half) {
    const __m256i* r = x + 4 * half;
    const __m256i w01 = _mm256_packs_epi32(r[0], r[1]);
    const __m256i w23 = _mm256_packs_epi32(r[2], r[3]);
    const __m256i bytes = _mm256_permutevar8x32_epi32(_mm256_packus_epi16(w01, w23), order);
    UCHAR* o = out + 4 * half * stride;
    const __m128i rows01 = _mm256_castsi256_si128(bytes);
    const __m128i rows23 = _mm256_extracti128_si256(bytes, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o), rows01);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + stride), _mm_unpackhi_epi64(rows01, rows01));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 2 * stride), rows23);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(o + 3 * stride), _mm_unpackhi_epi64(rows23, rows23));
  }
}

void InterleaveRowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out,
                                         ULONG pairs) {
  ULONG i = 0;
  // 32 pixel pairs -> 128 output bytes. The unpacks work within 128-bit
  // halves, so the inputs are arranged to match.
  for (; i + 32 <= pairs; i += 32) {
    const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i));
    const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i + 32));
    const __m256i u = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + i)),
                                               _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i v = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + i)),
                                               _MM_SHUFFLE(3, 1, 2, 0));
    // uvLow: U0..7 V0..7 interleaved | U8..15 V8..15; uvHigh: pairs 16..31.
    const __m256i uvLow = _mm256_unpacklo_epi8(u, v);
    const __m256i uvHigh = _mm256_unpackhi_epi8(u, v);
    const __m256i a = _mm256_unpacklo_epi8(y0, uvLow);   // pairs 0-3 | 8-11
    const __m256i b = _mm256_unpackhi_epi8(y0, uvLow);   // pairs 4-7 | 12-15
    const __m256i c = _mm256_unpacklo_epi8(y1, uvHigh);  // pairs 16-19 | 24-27
    const __m256i d = _mm256_unpackhi_epi8(y1, uvHigh);  // pairs 20-23 | 28-31
    __m256i* o = reinterpret_cast<__m256i*>(out + 4 * i);
    _mm256_storeu_si256(o + 0, _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(a, b, 0x31));
    _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(c, d, 0x31));
  }
  InterleaveRowSse2(y + 2 * i, cb + i, cr + i, out + 4 * i, pairs - i);
}

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
