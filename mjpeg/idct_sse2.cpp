// Inverse DCT with SSE2. Same arithmetic as the scalar transform in
// idct.cpp, lane by lane, so the bytes are the same: products with the 1/512
// constants (exact 32-bit results), arithmetic shifts by 9, the symmetric
// final rounding and the clamp.
#include <emmintrin.h>

#include "mjpeg/mjpeg_internal.h"
#include "mjpeg/idct_pass.h"
#include "platform/cpu_features.h"

// The AVX2 path runs only where the platform allows 256-bit registers (see
// platform/cpu_features.h); SSE2 needs nothing.
bool MjpegCpuHasAvx2() { return CpuHasAvx2(); }

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

// The final rounding and +128 on eight 16-bit values that already carry
// +2056 (8 for the rounding, 128 x 16): v >= 0 gives (v + 8) / 16 and v < 0
// gives (v - 8) / 16 (truncating), which is (v + 8 - 1) >> 4 for v < 0, so
// one is taken off below 2056 before the arithmetic shift. Values that were
// saturated from 32 bits (or on the addition) give the same byte as the
// originals: all lie far outside 0..255, and the saturating steps keep them
// on their side.
inline __m128i FinalRound16Sse2(__m128i biased) {
  const __m128i negative = _mm_cmpgt_epi16(_mm_set1_epi16(2056), biased);
  return _mm_srai_epi16(_mm_adds_epi16(biased, negative), 4);
}

}  // namespace

namespace {

inline __m128i PairConstant(int lo, int hi) {
  return _mm_set1_epi32(static_cast<int>((static_cast<unsigned>(hi) << 16) | (static_cast<unsigned>(lo) & 0xFFFF)));
}

// The 8-point pass with the paired products as 16 x 16 -> 32 bit
// multiply-adds (pXY: x_X in the low, x_Y in the high half of each lane;
// constants scaled by `scale`). Every product and sum is the 32-bit value of
// the scalar code, so the results are equal while the inputs fit in 16 bits.
template <int scale>
inline void PairPassSse2(__m128i p04, __m128i p26, __m128i p17, __m128i p35, __m128i y[8]) {
  const __m128i a = _mm_srai_epi32(_mm_madd_epi16(p04, PairConstant(362 * scale, 362 * scale)), 9);
  const __m128i b = _mm_srai_epi32(_mm_madd_epi16(p04, PairConstant(362 * scale, -362 * scale)), 9);
  const __m128i c = _mm_srai_epi32(_mm_madd_epi16(p26, PairConstant(473 * scale, 196 * scale)), 9);
  const __m128i d = _mm_srai_epi32(_mm_madd_epi16(p26, PairConstant(196 * scale, -473 * scale)), 9);
  const __m128i p = _mm_srai_epi32(_mm_madd_epi16(p17, PairConstant(502 * scale, 100 * scale)), 9);
  const __m128i r = _mm_srai_epi32(_mm_madd_epi16(p17, PairConstant(100 * scale, -502 * scale)), 9);
  const __m128i q = _mm_srai_epi32(_mm_madd_epi16(p35, PairConstant(426 * scale, 284 * scale)), 9);
  const __m128i t = _mm_srai_epi32(_mm_madd_epi16(p35, PairConstant(-284 * scale, 426 * scale)), 9);
  const __m128i e0 = _mm_add_epi32(a, c), e3 = _mm_sub_epi32(a, c);
  const __m128i e1 = _mm_add_epi32(b, d), e2 = _mm_sub_epi32(b, d);
  const __m128i o0 = _mm_add_epi32(p, q), o3 = _mm_add_epi32(r, t);
  const __m128i pq = _mm_sub_epi32(p, q), rt = _mm_sub_epi32(r, t);
  const __m128i u = _mm_srai_epi32(Sse2Ops::Mul(_mm_add_epi32(pq, rt), 362), 9);
  const __m128i v = _mm_srai_epi32(Sse2Ops::Mul(_mm_sub_epi32(pq, rt), 362), 9);
  y[0] = _mm_add_epi32(e0, o0);
  y[7] = _mm_sub_epi32(e0, o0);
  y[1] = _mm_add_epi32(e1, u);
  y[6] = _mm_sub_epi32(e1, u);
  y[2] = _mm_add_epi32(e2, v);
  y[5] = _mm_sub_epi32(e2, v);
  y[3] = _mm_add_epi32(e3, o3);
  y[4] = _mm_sub_epi32(e3, o3);
}

// Two 32-bit vectors whose values fit in 16 bits as lane pairs.
inline __m128i PairLanesSse2(__m128i low, __m128i high) {
  return _mm_or_si128(_mm_and_si128(low, _mm_set1_epi32(0xFFFF)), _mm_slli_epi32(high, 16));
}

// Largest coefficient magnitude for which every column-pass output fits in
// 16 bits (each output is at most about 6.35 x 4 x the largest magnitude).
constexpr int kRowPassPairLimit = 1289;

}  // namespace

void IdctSse2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  __m128i rows[8];
  for (int k = 0; k < 8; ++k) rows[k] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(coefficients + 8 * k));
  // Column pass, lanes are columns: lo = columns 0-3, hi = columns 4-7.
  __m128i lo[8], hi[8];
  PairPassSse2<4>(_mm_unpacklo_epi16(rows[0], rows[4]), _mm_unpacklo_epi16(rows[2], rows[6]),
                  _mm_unpacklo_epi16(rows[1], rows[7]), _mm_unpacklo_epi16(rows[3], rows[5]), lo);
  PairPassSse2<4>(_mm_unpackhi_epi16(rows[0], rows[4]), _mm_unpackhi_epi16(rows[2], rows[6]),
                  _mm_unpackhi_epi16(rows[1], rows[7]), _mm_unpackhi_epi16(rows[3], rows[5]), hi);
  // Transpose so that lanes are rows: a[m] = column m of rows 0-3,
  // b[m] = column m of rows 4-7.
  __m128i a[8] = {lo[0], lo[1], lo[2], lo[3], hi[0], hi[1], hi[2], hi[3]};
  __m128i b[8] = {lo[4], lo[5], lo[6], lo[7], hi[4], hi[5], hi[6], hi[7]};
  Transpose4(a[0], a[1], a[2], a[3]);
  Transpose4(a[4], a[5], a[6], a[7]);
  Transpose4(b[0], b[1], b[2], b[3]);
  Transpose4(b[4], b[5], b[6], b[7]);
  // Row pass, lanes are rows: multiply-adds when the column results are
  // known to fit in 16 bits, 32-bit multiplies otherwise.
  __m128i largest = rows[0], smallest = rows[0];
  for (int k = 1; k < 8; ++k) {
    largest = _mm_max_epi16(largest, rows[k]);
    smallest = _mm_min_epi16(smallest, rows[k]);
  }
  const __m128i outside = _mm_or_si128(_mm_cmpgt_epi16(largest, _mm_set1_epi16(kRowPassPairLimit)),
                                       _mm_cmpgt_epi16(_mm_set1_epi16(-kRowPassPairLimit), smallest));
  if (_mm_movemask_epi8(outside) == 0) {
    PairPassSse2<1>(PairLanesSse2(a[0], a[4]), PairLanesSse2(a[2], a[6]), PairLanesSse2(a[1], a[7]),
                    PairLanesSse2(a[3], a[5]), a);
    PairPassSse2<1>(PairLanesSse2(b[0], b[4]), PairLanesSse2(b[2], b[6]), PairLanesSse2(b[1], b[7]),
                    PairLanesSse2(b[3], b[5]), b);
  } else {
    Pass<Sse2Ops>(a);
    Pass<Sse2Ops>(b);
  }
  // Back to rows: a[0..3] transposed give rows 0-3 of columns 0-3, and so on.
  Transpose4(a[0], a[1], a[2], a[3]);
  Transpose4(a[4], a[5], a[6], a[7]);
  Transpose4(b[0], b[1], b[2], b[3]);
  Transpose4(b[4], b[5], b[6], b[7]);
  for (int row = 0; row < 8; ++row) {
    const __m128i words = _mm_packs_epi32(row < 4 ? a[row] : b[row - 4], row < 4 ? a[row + 4] : b[row]);
    const __m128i rounded = FinalRound16Sse2(_mm_adds_epi16(words, _mm_set1_epi16(2056)));
    const __m128i bytes = _mm_packus_epi16(rounded, rounded);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + row * stride), bytes);
  }
}


void IdctCornerSse2(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  LONG column0[8], odd[8];
  CornerTerms(coefficients, column0, odd);
  // The terms go into vectors from registers: loading vectors from arrays
  // just written element by element would stall on the stores.
  const __m128i left = _mm_setr_epi32(odd[0], odd[1], odd[2], odd[3]);
  const __m128i right = _mm_setr_epi32(odd[4], odd[5], odd[6], odd[7]);
  for (int n = 0; n < 8; n += 2) {
    // The even parts, with the rounding bias of FinalRound16Sse2 (far below
    // 2^31 - 2056: it cannot overflow).
    const __m128i first = _mm_set1_epi32(((column0[n] * 362) >> 9) + 2056);
    const __m128i second = _mm_set1_epi32(((column0[n + 1] * 362) >> 9) + 2056);
    const __m128i words0 = _mm_packs_epi32(_mm_add_epi32(first, left), _mm_add_epi32(first, right));
    const __m128i words1 = _mm_packs_epi32(_mm_add_epi32(second, left), _mm_add_epi32(second, right));
    const __m128i bytes = _mm_packus_epi16(FinalRound16Sse2(words0), FinalRound16Sse2(words1));
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out), bytes);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(out + stride), _mm_unpackhi_epi64(bytes, bytes));
    out += 2 * stride;
  }
}
