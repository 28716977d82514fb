// Inverse DCT for processors with AVX2 (chosen at run time).
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

// The final rounding and +128 on sixteen 16-bit values saturated from the
// 32-bit results: (v + 8) / 16 for v >= 0, (v - 8) / 16 (truncating) for
// v < 0, which is (v + 2056 - [v < 0]) >> 4 with the +128 folded in. Values
// beyond the 16-bit range, saturated on the way, lie far outside 0..255 and
// still land on the same side.
inline __m256i FinalRound16Avx2(__m256i v) {
  const __m256i bias = _mm256_set1_epi16(2056);
  const __m256i biased = _mm256_adds_epi16(v, bias);
  return _mm256_srai_epi16(_mm256_adds_epi16(biased, _mm256_cmpgt_epi16(bias, biased)), 4);
}

// Both 16-bit halves of a multiply-add constant: lane pairs (lo, hi).
inline __m256i PairConstant(int lo, int hi) {
  return _mm256_set1_epi32(static_cast<int>((static_cast<unsigned>(hi) << 16) | (static_cast<unsigned>(lo) & 0xFFFF)));
}

// The 8-point pass with the paired products done by 16 x 16 -> 32 bit
// multiply-adds: pXY holds x_X in the low and x_Y in the high half of each
// 32-bit lane, the constants are scaled by `scale` (4 in the column pass,
// whose inputs are the coefficients times 4). Each product and each sum is
// the same 32-bit value the scalar code computes, so the results are equal
// as long as the inputs fit in 16 bits.
template <int scale>
inline void PairPass(__m256i p04, __m256i p26, __m256i p17, __m256i p35, __m256i y[8]) {
  const __m256i a = _mm256_srai_epi32(_mm256_madd_epi16(p04, PairConstant(362 * scale, 362 * scale)), 9);
  const __m256i b = _mm256_srai_epi32(_mm256_madd_epi16(p04, PairConstant(362 * scale, -362 * scale)), 9);
  const __m256i c = _mm256_srai_epi32(_mm256_madd_epi16(p26, PairConstant(473 * scale, 196 * scale)), 9);
  const __m256i d = _mm256_srai_epi32(_mm256_madd_epi16(p26, PairConstant(196 * scale, -473 * scale)), 9);
  const __m256i p = _mm256_srai_epi32(_mm256_madd_epi16(p17, PairConstant(502 * scale, 100 * scale)), 9);
  const __m256i r = _mm256_srai_epi32(_mm256_madd_epi16(p17, PairConstant(100 * scale, -502 * scale)), 9);
  const __m256i q = _mm256_srai_epi32(_mm256_madd_epi16(p35, PairConstant(426 * scale, 284 * scale)), 9);
  const __m256i t = _mm256_srai_epi32(_mm256_madd_epi16(p35, PairConstant(-284 * scale, 426 * scale)), 9);
  const __m256i e0 = _mm256_add_epi32(a, c), e3 = _mm256_sub_epi32(a, c);
  const __m256i e1 = _mm256_add_epi32(b, d), e2 = _mm256_sub_epi32(b, d);
  const __m256i o0 = _mm256_add_epi32(p, q), o3 = _mm256_add_epi32(r, t);
  const __m256i pq = _mm256_sub_epi32(p, q), rt = _mm256_sub_epi32(r, t);
  const __m256i k362 = _mm256_set1_epi32(362);
  const __m256i u = _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_add_epi32(pq, rt), k362), 9);
  const __m256i v = _mm256_srai_epi32(_mm256_mullo_epi32(_mm256_sub_epi32(pq, rt), k362), 9);
  y[0] = _mm256_add_epi32(e0, o0);
  y[7] = _mm256_sub_epi32(e0, o0);
  y[1] = _mm256_add_epi32(e1, u);
  y[6] = _mm256_sub_epi32(e1, u);
  y[2] = _mm256_add_epi32(e2, v);
  y[5] = _mm256_sub_epi32(e2, v);
  y[3] = _mm256_add_epi32(e3, o3);
  y[4] = _mm256_sub_epi32(e3, o3);
}

// Two coefficient rows (8 x 16 bits each) as lane pairs, lane j = column j.
inline __m256i PairRows(__m128i low, __m128i high) {
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_unpacklo_epi16(low, high)),
                                 _mm_unpackhi_epi16(low, high), 1);
}

// Two 32-bit vectors whose values fit in 16 bits as lane pairs.
inline __m256i PairLanes(__m256i low, __m256i high) {
  return _mm256_blend_epi16(low, _mm256_slli_epi32(high, 16), 0xAA);
}

// Largest coefficient magnitude for which every column-pass output fits in
// 16 bits: each output is at most about 6.35 x 4 x the largest magnitude.
constexpr int kRowPassPairLimit = 1289;

}  // namespace

void IdctAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  __m128i rows[8];
  for (int k = 0; k < 8; ++k) rows[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * k));
  // Column pass (lanes are columns): multiply-adds straight from the 16-bit
  // coefficients.
  __m256i x[8];
  PairPass<4>(PairRows(rows[0], rows[4]), PairRows(rows[2], rows[6]), PairRows(rows[1], rows[7]),
              PairRows(rows[3], rows[5]), x);
  Transpose8(x);
  // Row pass (lanes are rows). Multiply-adds again when the column results
  // are known to fit in 16 bits, full 32-bit multiplies otherwise.
  const __m256i r01 = _mm256_inserti128_si256(_mm256_castsi128_si256(rows[0]), rows[1], 1);
  const __m256i r23 = _mm256_inserti128_si256(_mm256_castsi128_si256(rows[2]), rows[3], 1);
  const __m256i r45 = _mm256_inserti128_si256(_mm256_castsi128_si256(rows[4]), rows[5], 1);
  const __m256i r67 = _mm256_inserti128_si256(_mm256_castsi128_si256(rows[6]), rows[7], 1);
  const __m256i largest =
      _mm256_max_epu16(_mm256_max_epu16(_mm256_abs_epi16(r01), _mm256_abs_epi16(r23)),
                       _mm256_max_epu16(_mm256_abs_epi16(r45), _mm256_abs_epi16(r67)));
  const __m256i excess = _mm256_subs_epu16(largest, _mm256_set1_epi16(kRowPassPairLimit));
  if (_mm256_testz_si256(excess, excess)) {
    PairPass<1>(PairLanes(x[0], x[4]), PairLanes(x[2], x[6]), PairLanes(x[1], x[7]), PairLanes(x[3], x[5]), x);
  } else {
    Pass<Avx2Ops>(x);
  }
  Transpose8(x);
  // Rows 0..3 and 4..7 to bytes: packs interleave the 128-bit halves, the
  // permute puts each row's eight bytes together.
  const __m256i order = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (int half = 0; half < 2; ++half) {
    const __m256i* r = x + 4 * half;
    const __m256i w01 = FinalRound16Avx2(_mm256_packs_epi32(r[0], r[1]));
    const __m256i w23 = FinalRound16Avx2(_mm256_packs_epi32(r[2], r[3]));
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

#if defined(__clang__)
#pragma clang attribute pop
#elif defined(__GNUC__)
#pragma GCC pop_options
#endif
