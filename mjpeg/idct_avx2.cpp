// Inverse DCT for processors with AVX2 (chosen at run time).
// The whole file is compiled for AVX2; nothing here runs unless the
// processor reported it.
#include <immintrin.h>

#include "mjpeg/mjpeg_internal.h"

// Only the code below is compiled for AVX2 (the headers above keep their
// own options, so no shared inline function gets an AVX2 body).
#include "platform/target_avx2.h"

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

// Column order of the column pass's lanes: the row pass pairs columns 0
// and 4, 1 and 7, 2 and 6, 3 and 5, so each pair shares a 128-bit half, next
// to each other.
constexpr int kLaneColumn[8] = {0, 4, 1, 7, 2, 6, 3, 5};

// The byte shuffle that puts a row of eight coefficients (broadcast to both
// halves) in kLaneColumn order: columns 0 4 1 7 in the low half, 2 6 3 5 in
// the high half.
inline __m256i ColumnOrder() {
  return _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 14, 15, 0, 1, 8, 9, 2, 3, 14, 15,       // 0 4 1 7
                          4, 5, 12, 13, 6, 7, 10, 11, 4, 5, 12, 13, 6, 7, 10, 11);  // 2 6 3 5
}

// Coefficient rows `low` and `high` as lane pairs, lane j = column
// kLaneColumn[j].
inline __m256i PairRows(const SHORT* coefficients, int low, int high, __m256i order) {
  const __m128i* rows = reinterpret_cast<const __m128i*>(coefficients);
  const __m256i l = _mm256_broadcastsi128_si256(_mm_loadu_si128(rows + low));
  const __m256i h = _mm256_broadcastsi128_si256(_mm_loadu_si128(rows + high));
  return _mm256_unpacklo_epi16(_mm256_shuffle_epi8(l, order), _mm256_shuffle_epi8(h, order));
}

// Largest coefficient magnitude for which every column-pass output fits in
// 16 bits: each output is at most about 6.35 x 4 x the largest magnitude.
constexpr int kRowPassPairLimit = 1289;

// The column-pass results (x[n] = row n, lanes in kLaneColumn order), known
// to fit in 16 bits, as the row pass's lane pairs with lane n = row n:
// columns (0, 4), (2, 6), (1, 7) and (3, 5).
inline void RowPairs(const __m256i x[8], __m256i* p04, __m256i* p26, __m256i* p17, __m256i* p35) {
  // Per 128-bit half, two rows: (r: 0|4, 1|7, r': 0|4, 1|7) and (r: 2|6, 3|5, ...).
  const __m256i q02 = _mm256_packs_epi32(x[0], x[2]), q13 = _mm256_packs_epi32(x[1], x[3]);
  const __m256i q46 = _mm256_packs_epi32(x[4], x[6]), q57 = _mm256_packs_epi32(x[5], x[7]);
  // Rows 0 1 0 1 (first pair type), rows 0 1 0 1 (second)...
  const __m256i a01 = _mm256_unpacklo_epi32(q02, q13), a23 = _mm256_unpackhi_epi32(q02, q13);
  const __m256i a45 = _mm256_unpacklo_epi32(q46, q57), a67 = _mm256_unpackhi_epi32(q46, q57);
  // Rows 0-3 of one pair type per half.
  const __m256i lowFirst = _mm256_unpacklo_epi64(a01, a23), lowSecond = _mm256_unpackhi_epi64(a01, a23);
  const __m256i highFirst = _mm256_unpacklo_epi64(a45, a67), highSecond = _mm256_unpackhi_epi64(a45, a67);
  *p04 = _mm256_permute2x128_si256(lowFirst, highFirst, 0x20);
  *p26 = _mm256_permute2x128_si256(lowFirst, highFirst, 0x31);
  *p17 = _mm256_permute2x128_si256(lowSecond, highSecond, 0x20);
  *p35 = _mm256_permute2x128_si256(lowSecond, highSecond, 0x31);
}

// Stores eight 8-byte rows; y[m] = output column m, lane n = row n.
inline void StoreColumns(const __m256i y[8], UCHAR* out, ULONG stride) {
  // Bytes of columns 0-3 (then 4-7), rows 0-3 in the low half and 4-7 in
  // the high half, column by column.
  const __m256i w01 = FinalRound16Avx2(_mm256_packs_epi32(y[0], y[1]));
  const __m256i w23 = FinalRound16Avx2(_mm256_packs_epi32(y[2], y[3]));
  const __m256i w45 = FinalRound16Avx2(_mm256_packs_epi32(y[4], y[5]));
  const __m256i w67 = FinalRound16Avx2(_mm256_packs_epi32(y[6], y[7]));
  // Each 4 x 4 byte square from column-major to row-major.
  const __m256i transpose =
      _mm256_setr_epi8(0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3, 7, 11, 15, 0, 4, 8, 12, 1, 5, 9, 13, 2, 6, 10, 14, 3,
                       7, 11, 15);
  const __m256i left = _mm256_shuffle_epi8(_mm256_packus_epi16(w01, w23), transpose);
  const __m256i right = _mm256_shuffle_epi8(_mm256_packus_epi16(w45, w67), transpose);
  // Whole rows: 0 1 | 4 5 and 2 3 | 6 7.
  const __m256i rows0145 = _mm256_unpacklo_epi32(left, right);
  const __m256i rows2367 = _mm256_unpackhi_epi32(left, right);
  const __m128i r01 = _mm256_castsi256_si128(rows0145), r45 = _mm256_extracti128_si256(rows0145, 1);
  const __m128i r23 = _mm256_castsi256_si128(rows2367), r67 = _mm256_extracti128_si256(rows2367, 1);
  // 8-byte stores at any alignment (the high halves through the
  // unaligned-safe high-half store of the float unit).
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out), r01);
  _mm_storeh_pi(reinterpret_cast<__m64*>(out + stride), _mm_castsi128_ps(r01));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 2 * stride), r23);
  _mm_storeh_pi(reinterpret_cast<__m64*>(out + 3 * stride), _mm_castsi128_ps(r23));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 4 * stride), r45);
  _mm_storeh_pi(reinterpret_cast<__m64*>(out + 5 * stride), _mm_castsi128_ps(r45));
  _mm_storel_epi64(reinterpret_cast<__m128i*>(out + 6 * stride), r67);
  _mm_storeh_pi(reinterpret_cast<__m64*>(out + 7 * stride), _mm_castsi128_ps(r67));
}

}  // namespace

void IdctAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  // Column pass (lanes are columns, in kLaneColumn order): multiply-adds
  // straight from the 16-bit coefficients.
  const __m256i order = ColumnOrder();
  const __m256i p04 = PairRows(coefficients, 0, 4, order), p26 = PairRows(coefficients, 2, 6, order);
  const __m256i p17 = PairRows(coefficients, 1, 7, order), p35 = PairRows(coefficients, 3, 5, order);
  __m256i x[8];
  PairPass<4>(p04, p26, p17, p35, x);
  // Row pass (lanes are rows). Multiply-adds again when the column results
  // are known to fit in 16 bits, full 32-bit multiplies otherwise.
  const __m256i largest = _mm256_max_epu16(_mm256_max_epu16(_mm256_abs_epi16(p04), _mm256_abs_epi16(p26)),
                                           _mm256_max_epu16(_mm256_abs_epi16(p17), _mm256_abs_epi16(p35)));
  const __m256i excess = _mm256_subs_epu16(largest, _mm256_set1_epi16(kRowPassPairLimit));
  __m256i y[8];
  if (_mm256_testz_si256(excess, excess)) {
    __m256i r04, r26, r17, r35;
    RowPairs(x, &r04, &r26, &r17, &r35);
    PairPass<1>(r04, r26, r17, r35, y);
  } else {
    Transpose8(x);  // x[j] = column kLaneColumn[j], lane n = row n
    for (int j = 0; j < 8; ++j) y[kLaneColumn[j]] = x[j];
    Pass<Avx2Ops>(y);
  }
  StoreColumns(y, out, stride);
}

namespace {

// Largest |C00| + |C01| + |C10| for which the corner sums below fit in 16
// bits: each even part and each odd part stays within -11200..11200, their
// sums within -22400..22400 (the rounding adds its bias with saturation, as
// for the full transform).
constexpr LONG kCornerWordLimit = 4000;

// The terms of IdctCornerScalar as vectors: lanes 0-3 hold the p, u, v, r
// terms of `low`, lanes 4-7 those of `high` (see CornerTerms). Below the
// corner limit every term and every input fits in 16 bits, so each product
// is a multiply-add of 16-bit words with the other word's factor 0 (or the
// pair p, r for u and v): the same 32-bit values as the scalar products.
inline __m256i OddTerms(LONG low, LONG high) {
  const __m256i x = _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_set1_epi32(low)), _mm_set1_epi32(high), 1);
  // p, r, p, r per half.
  const __m256i pr =
      _mm256_srai_epi32(_mm256_madd_epi16(x, _mm256_setr_epi32(502, 100, 502, 100, 502, 100, 502, 100)), 9);
  // Words (p, r) in every lane; p x 512 and r x 512 shifted by 9 are p and r.
  const __m256i pairs = _mm256_packs_epi32(pr, pr);
  return _mm256_srai_epi32(_mm256_madd_epi16(pairs, _mm256_setr_epi16(512, 0, 362, 362, 362, -362, 0, 512, 512, 0, 362,
                                                                      362, 362, -362, 0, 512)),
                           9);
}

// (base + t0, base + t1, base + t2, base + t3, base - t3, ..., base - t0)
inline __m256i Mirrored(__m128i base, __m128i t) {
  const __m128i reversed = _mm_shuffle_epi32(t, _MM_SHUFFLE(0, 1, 2, 3));
  return _mm256_inserti128_si256(_mm256_castsi128_si256(_mm_add_epi32(base, t)), _mm_sub_epi32(base, reversed), 1);
}

}  // namespace

void IdctCornerAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  const LONG c00 = coefficients[0], c01 = coefficients[1], c10 = coefficients[8];
  const LONG size = (c00 < 0 ? -c00 : c00) + (c01 < 0 ? -c01 : c01) + (c10 < 0 ? -c10 : c10);
  if (size > kCornerWordLimit) {
    IdctAvx2(coefficients, out, stride);
    return;
  }
  // Column 0 of the column pass (from C00 and C10) in lanes 0-3 and the
  // constant column's odd terms (from C01) in lanes 4-7.
  const __m256i terms = OddTerms(c10 * 4, (c01 * 4 * 362) >> 9);
  const __m256i column0 = Mirrored(_mm_set1_epi32((c00 * 4 * 362) >> 9), _mm256_castsi256_si128(terms));
  const __m256i odd = Mirrored(_mm_setzero_si128(), _mm256_extracti128_si256(terms, 1));
  // Row n's even part; sample (n, m) = even[n] + odd[m], in 16-bit words.
  const __m256i even = _mm256_srai_epi32(_mm256_madd_epi16(column0, _mm256_set1_epi32(362)), 9);
  const __m256i oddWords = _mm256_packs_epi32(odd, odd);  // odd[0..3] odd[0..3] | odd[4..7] odd[4..7]
  // Both halves: odd[0..7].
  const __m256i oddRow = _mm256_permute4x64_epi64(oddWords, _MM_SHUFFLE(2, 0, 2, 0));
  for (int n = 0; n < 8; n += 4) {
    // Words: even[n] x 8 | even[n + 1] x 8, then n + 2 and n + 3.
    const __m256i e01 = _mm256_permutevar8x32_epi32(even, _mm256_setr_epi32(n, n, n, n, n + 1, n + 1, n + 1, n + 1));
    const __m256i e23 =
        _mm256_permutevar8x32_epi32(even, _mm256_setr_epi32(n + 2, n + 2, n + 2, n + 2, n + 3, n + 3, n + 3, n + 3));
    const __m256i rows01 = FinalRound16Avx2(_mm256_add_epi16(_mm256_packs_epi32(e01, e01), oddRow));
    const __m256i rows23 = FinalRound16Avx2(_mm256_add_epi16(_mm256_packs_epi32(e23, e23), oddRow));
    // Bytes: rows n, n + 2 | rows n + 1, n + 3.
    const __m256i bytes = _mm256_packus_epi16(rows01, rows23);
    const __m128i first = _mm256_castsi256_si128(bytes), second = _mm256_extracti128_si256(bytes, 1);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), first);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), second);
    _mm_storeh_pi(reinterpret_cast<__m64*>(out + 2 * stride), _mm_castsi128_ps(first));
    _mm_storeh_pi(reinterpret_cast<__m64*>(out + 3 * stride), _mm_castsi128_ps(second));
    out += 4 * stride;
  }
}

#include "platform/target_end.h"
