// AVX2 twins of the frame scaler's vector kernels (scaler_sse2.cpp), built
// for that target only and run only after the processor check. Each gives
// exactly the bytes of the per-sample code; the tests compare the paths by
// masking processor features.
#include <cstring>

#include "pipeline/scaler_kernels.h"
#include "platform/cpu_features.h"

#if defined(UVCCAM_SCALER_AVX2)
#include <immintrin.h>
#endif

bool ScalerCpuHasAvx2() {
#if defined(UVCCAM_SCALER_AVX2)
  return CpuHasAvx2();
#else
  return false;
#endif
}

#if defined(UVCCAM_SCALER_AVX2)

namespace {

UVCCAM_AVX2 inline __m256i Load32(const UCHAR* p) {
  return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p));
}
UVCCAM_AVX2 inline void Store32(UCHAR* p, __m256i v) {
  _mm256_storeu_si256(reinterpret_cast<__m256i*>(p), v);
}
UVCCAM_AVX2 inline __m256i Low32(__m256i x) { return _mm256_and_si256(x, _mm256_set1_epi16(0x00FF)); }
UVCCAM_AVX2 inline __m256i High32(__m256i x) { return _mm256_srli_epi16(x, 8); }

UVCCAM_AVX2 inline __m256i WeightLanes32(__m256i x, int k, int n) {
  const __m256i v = _mm256_add_epi16(_mm256_mullo_epi16(x, _mm256_set1_epi16(static_cast<short>(2 * k))),
                                     _mm256_set1_epi16(static_cast<short>(n)));
  if (n == 8) return _mm256_srli_epi16(v, 4);
  return _mm256_mulhi_epu16(v, _mm256_set1_epi16(6554));
}

}  // namespace

UVCCAM_AVX2 SIZE_T PairRowAvx2(PairOp op, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count) {
  SIZE_T i = 0;
  const PairOpShape& s = kPairOpShapes[op];
  const __m256i zero = _mm256_setzero_si256();
  if (op == kPair1_1Rounded) {
    for (; i + 32 <= count; i += 32) Store32(out + i, _mm256_avg_epu8(Load32(a + i), Load32(b + i)));
  } else if (op == kPair1_1) {
    const __m256i one = _mm256_set1_epi8(1);
    for (; i + 32 <= count; i += 32) {
      const __m256i x = Load32(a + i), y = Load32(b + i);
      const __m256i odd = _mm256_and_si256(_mm256_xor_si256(x, y), one);
      Store32(out + i, _mm256_sub_epi8(_mm256_avg_epu8(x, y), odd));
    }
  } else if (s.table) {
    for (; i + 32 <= count; i += 32) {
      const __m256i x = Load32(a + i), y = Load32(b + i);
      const __m256i lo = _mm256_add_epi16(WeightLanes32(_mm256_unpacklo_epi8(x, zero), s.wa, s.n),
                                          WeightLanes32(_mm256_unpacklo_epi8(y, zero), s.wb, s.n));
      const __m256i hi = _mm256_add_epi16(WeightLanes32(_mm256_unpackhi_epi8(x, zero), s.wa, s.n),
                                          WeightLanes32(_mm256_unpackhi_epi8(y, zero), s.wb, s.n));
      Store32(out + i, _mm256_packus_epi16(lo, hi));
    }
  } else {
    const __m256i wa = _mm256_set1_epi16(s.wa), wb = _mm256_set1_epi16(s.wb);
    const __m256i bias = _mm256_set1_epi16(s.bias);
    const __m128i shift = _mm_cvtsi32_si128(s.shift);
    for (; i + 32 <= count; i += 32) {
      const __m256i x = Load32(a + i), y = Load32(b + i);
      __m256i lo = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpacklo_epi8(x, zero), wa),
                                    _mm256_mullo_epi16(_mm256_unpacklo_epi8(y, zero), wb));
      __m256i hi = _mm256_add_epi16(_mm256_mullo_epi16(_mm256_unpackhi_epi8(x, zero), wa),
                                    _mm256_mullo_epi16(_mm256_unpackhi_epi8(y, zero), wb));
      lo = _mm256_srl_epi16(_mm256_add_epi16(lo, bias), shift);
      hi = _mm256_srl_epi16(_mm256_add_epi16(hi, bias), shift);
      Store32(out + i, _mm256_packus_epi16(lo, hi));
    }
  }
  return i;
}

UVCCAM_AVX2 SIZE_T BlendRowAvx2(ULONG f, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count) {
  SIZE_T i = 0;
  // (64 - f) * a + f * b as one multiply-add of interleaved bytes.
  const __m256i w = _mm256_set1_epi16(static_cast<short>((f << 8) | (64 - f)));
  const __m256i bias = _mm256_set1_epi16(32);
  if (f == 64) {  // the weight 64 does not fit a signed byte
    for (; i + 32 <= count; i += 32) Store32(out + i, Load32(b + i));
    return i;
  }
  for (; i + 32 <= count; i += 32) {
    const __m256i x = Load32(a + i), y = Load32(b + i);
    __m256i lo = _mm256_maddubs_epi16(_mm256_unpacklo_epi8(x, y), w);
    __m256i hi = _mm256_maddubs_epi16(_mm256_unpackhi_epi8(x, y), w);
    lo = _mm256_srli_epi16(_mm256_add_epi16(lo, bias), 6);
    hi = _mm256_srli_epi16(_mm256_add_epi16(hi, bias), 6);
    Store32(out + i, _mm256_packus_epi16(lo, hi));
  }
  return i;
}

namespace {

UVCCAM_AVX2 inline __m256i PairSums32(const UCHAR* p, __m256i order, __m256i ones) {
  return _mm256_maddubs_epi16(_mm256_shuffle_epi8(Load32(p), order), ones);
}

}  // namespace

// Box halver: each output byte is the sum of a byte pair in both rows; the
// shuffle puts every pair side by side in output order.
UVCCAM_AVX2 ULONG HalveRowAvx2(const UCHAR* row0, const UCHAR* row1, UCHAR* out, ULONG groups,
                               ULONG lumaFirst) {
  const __m256i order = lumaFirst
      ? _mm256_setr_epi8(0, 2, 1, 5, 4, 6, 3, 7, 8, 10, 9, 13, 12, 14, 11, 15,
                         0, 2, 1, 5, 4, 6, 3, 7, 8, 10, 9, 13, 12, 14, 11, 15)
      : _mm256_setr_epi8(0, 4, 1, 3, 2, 6, 5, 7, 8, 12, 9, 11, 10, 14, 13, 15,
                         0, 4, 1, 3, 2, 6, 5, 7, 8, 12, 9, 11, 10, 14, 13, 15);
  const __m256i ones = _mm256_set1_epi8(1);
  ULONG k = 0;
  for (; k + 8 <= groups; k += 8) {
    const UCHAR* x = row0 + 8 * static_cast<SIZE_T>(k);
    const UCHAR* y = row1 + 8 * static_cast<SIZE_T>(k);
    const __m256i s0 = _mm256_srli_epi16(
        _mm256_add_epi16(PairSums32(x, order, ones), PairSums32(y, order, ones)), 2);
    const __m256i s1 = _mm256_srli_epi16(
        _mm256_add_epi16(PairSums32(x + 32, order, ones), PairSums32(y + 32, order, ones)), 2);
    Store32(out + 4 * static_cast<SIZE_T>(k),
            _mm256_permute4x64_epi64(_mm256_packus_epi16(s0, s1), _MM_SHUFFLE(3, 1, 2, 0)));
  }
  return k;
}

UVCCAM_AVX2 ULONG DoublerLumaRowAvx2(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out,
                                     ULONG lumaFirst) {
  ULONG j = 0;
  const bool oneRow = p == q;
  for (; j + 17 <= inW; j += 16) {
    const UCHAR* a = p + 2 * static_cast<SIZE_T>(j);
    const UCHAR* b = q + 2 * static_cast<SIZE_T>(j);
    __m256i v = Load32(a), w = Load32(a + 2);
    v = lumaFirst ? Low32(v) : High32(v);
    w = lumaFirst ? Low32(w) : High32(w);
    __m256i even, odd;
    if (oneRow) {  // (2y + 2y') >> 2 == (y + y') >> 1
      even = v;
      odd = _mm256_srli_epi16(_mm256_add_epi16(v, w), 1);
    } else {
      __m256i v2 = Load32(b), w2 = Load32(b + 2);
      v = _mm256_add_epi16(v, lumaFirst ? Low32(v2) : High32(v2));
      w = _mm256_add_epi16(w, lumaFirst ? Low32(w2) : High32(w2));
      even = _mm256_srli_epi16(v, 1);
      odd = _mm256_srli_epi16(_mm256_add_epi16(v, w), 2);
    }
    Store32(out + 2 * static_cast<SIZE_T>(j),
            _mm256_packus_epi16(_mm256_unpacklo_epi16(even, odd), _mm256_unpackhi_epi16(even, odd)));
  }
  return j;
}

namespace {

UVCCAM_AVX2 inline __m256i GeneralLuma8(const UCHAR* s, ULONG p0, __m256i vdx, __m256i maxIndex,
                                        ULONG lumaFirst) {
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i t = _mm256_mullo_epi32(
      _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(p0)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
      vdx);
  __m256i idx = _mm256_srli_epi32(_mm256_sub_epi32(_mm256_max_epu32(t, one), one), 6);
  const __m256i f = _mm256_sub_epi32(t, _mm256_slli_epi32(idx, 6));
  // Computed pixels never reach past sample inW - 2; the bound keeps every
  // load inside the row regardless.
  idx = _mm256_min_epu32(idx, maxIndex);
  __m256i v = _mm256_i32gather_epi32(reinterpret_cast<const int*>(s), _mm256_add_epi32(idx, idx), 1);
  if (!lumaFirst) v = _mm256_srli_epi32(v, 8);
  v = _mm256_and_si256(v, _mm256_set1_epi32(0x00FF00FF));
  const __m256i w = _mm256_or_si256(_mm256_sub_epi32(_mm256_set1_epi32(64), f), _mm256_slli_epi32(f, 16));
  return _mm256_srli_epi32(_mm256_add_epi32(_mm256_madd_epi16(v, w), _mm256_set1_epi32(32)), 6);
}

// Four chroma groups: 8 bytes gathered at each group's first chroma sample,
// the pairs (c0, c1) of both components weighted by (64 - f, f).
UVCCAM_AVX2 inline __m256i GeneralChroma4(const UCHAR* s, __m128i byteOffsets, __m128i f4,
                                          __m256i pick) {
  __m256i g = _mm256_i32gather_epi64(reinterpret_cast<const long long*>(s), byteOffsets, 1);
  g = _mm256_shuffle_epi8(g, pick);
  const __m256i f = _mm256_cvtepu32_epi64(f4);
  __m256i w = _mm256_or_si256(_mm256_sub_epi64(_mm256_set1_epi64x(64), f), _mm256_slli_epi64(f, 8));
  w = _mm256_or_si256(w, _mm256_slli_epi64(w, 16));
  __m256i r = _mm256_srli_epi16(_mm256_add_epi16(_mm256_maddubs_epi16(g, w), _mm256_set1_epi16(32)), 6);
  r = _mm256_shuffle_epi32(r, _MM_SHUFFLE(3, 1, 2, 0));
  return _mm256_permute4x64_epi64(r, _MM_SHUFFLE(3, 1, 2, 0));  // 4 groups in the low half
}

}  // namespace

UVCCAM_AVX2 ULONG GeneralRowAvx2(const UCHAR* s, ULONG inW, ULONG dx, ULONG groups, UCHAR* out,
                                 ULONG lumaFirst) {
  if (inW < 4) return 0;
  const ULONG lastChroma = inW / 2 - 1;
  const __m256i vdx = _mm256_set1_epi32(static_cast<int>(dx));
  const __m256i maxIndex = _mm256_set1_epi32(static_cast<int>(inW - 2));
  const __m256i one = _mm256_set1_epi32(1);
  const __m256i pick = lumaFirst
      ? _mm256_setr_epi8(1, 5, 3, 7, -128, -128, -128, -128, 9, 13, 11, 15, -128, -128, -128, -128,
                         1, 5, 3, 7, -128, -128, -128, -128, 9, 13, 11, 15, -128, -128, -128, -128)
      : _mm256_setr_epi8(0, 4, 2, 6, -128, -128, -128, -128, 8, 12, 10, 14, -128, -128, -128, -128,
                         0, 4, 2, 6, -128, -128, -128, -128, 8, 12, 10, 14, -128, -128, -128, -128);
  const __m256i weave = lumaFirst
      ? _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                         0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15)
      : _mm256_setr_epi8(8, 0, 9, 1, 10, 2, 11, 3, 12, 4, 13, 5, 14, 6, 15, 7,
                         8, 0, 9, 1, 10, 2, 11, 3, 12, 4, 13, 5, 14, 6, 15, 7);
  ULONG g = 0;
  for (; g + 8 <= groups; g += 8) {
    const ULONGLONG tLast = static_cast<ULONGLONG>(g + 7) * dx;
    const ULONGLONG ciLast = tLast ? (tLast - 1) / 64 : 0;
    if (ciLast + 1 > lastChroma) break;  // the rest holds the last chroma sample
    const __m256i t = _mm256_mullo_epi32(
        _mm256_add_epi32(_mm256_set1_epi32(static_cast<int>(g)), _mm256_setr_epi32(0, 1, 2, 3, 4, 5, 6, 7)),
        vdx);
    const __m256i ci = _mm256_srli_epi32(_mm256_sub_epi32(_mm256_max_epu32(t, one), one), 6);
    const __m256i f = _mm256_sub_epi32(t, _mm256_slli_epi32(ci, 6));
    const __m256i off = _mm256_slli_epi32(ci, 2);
    const __m256i ca = GeneralChroma4(s, _mm256_castsi256_si128(off), _mm256_castsi256_si128(f), pick);
    const __m256i cb = GeneralChroma4(s, _mm256_extracti128_si256(off, 1), _mm256_extracti128_si256(f, 1), pick);
    const __m256i chroma = _mm256_permute2x128_si256(ca, cb, 0x20);
    const __m256i la = GeneralLuma8(s, 2 * g, vdx, maxIndex, lumaFirst);
    const __m256i lb = GeneralLuma8(s, 2 * g + 8, vdx, maxIndex, lumaFirst);
    const __m256i luma = _mm256_permute4x64_epi64(_mm256_packus_epi32(la, lb), _MM_SHUFFLE(3, 1, 2, 0));
    Store32(out + 4 * static_cast<SIZE_T>(g), _mm256_shuffle_epi8(_mm256_packus_epi16(luma, chroma), weave));
  }
  return g;
}

namespace {

template <int kMode>
UVCCAM_AVX2 inline __m256i SharpenLanes32(__m256i c, __m256i l, __m256i r, __m256i a, __m256i b) {
  if (kMode == kDoublerLastRow)
    return _mm256_sub_epi16(_mm256_add_epi16(c, c), _mm256_srli_epi16(_mm256_add_epi16(l, r), 1));
  __m256i n;
  if (kMode == kDoublerTopRow) {
    n = _mm256_add_epi16(_mm256_srli_epi16(_mm256_add_epi16(l, r), 1), b);
  } else {
    n = _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(l, r), _mm256_add_epi16(a, b)), 1);
  }
  return _mm256_sub_epi16(_mm256_mullo_epi16(c, _mm256_set1_epi16(3)), n);
}

// 16 output groups per step. kTwoRows: the chroma averages source rows p and q.
template <int kMode, bool kTwoRows>
UVCCAM_AVX2 ULONG DoublerRowAvx2(const UCHAR* above, const UCHAR* center, const UCHAR* below,
                                 const UCHAR* p, const UCHAR* q, UCHAR* out, ULONG g, ULONG endGroup,
                                 ULONG lumaFirst) {
  const __m256i zero = _mm256_setzero_si256();
  for (; g + 16 <= endGroup; g += 16) {
    const SIZE_T c0 = 2 * static_cast<SIZE_T>(g);
    const __m256i c = Load32(center + c0), l = Load32(center + c0 - 1), r = Load32(center + c0 + 1);
    const __m256i a = Load32(above + c0), b = Load32(below + c0);
    const __m256i ylo = SharpenLanes32<kMode>(
        _mm256_unpacklo_epi8(c, zero), _mm256_unpacklo_epi8(l, zero), _mm256_unpacklo_epi8(r, zero),
        _mm256_unpacklo_epi8(a, zero), _mm256_unpacklo_epi8(b, zero));
    const __m256i yhi = SharpenLanes32<kMode>(
        _mm256_unpackhi_epi8(c, zero), _mm256_unpackhi_epi8(l, zero), _mm256_unpackhi_epi8(r, zero),
        _mm256_unpackhi_epi8(a, zero), _mm256_unpackhi_epi8(b, zero));
    const __m256i luma = _mm256_packus_epi16(ylo, yhi);
    __m256i w0 = Load32(p + c0), w1 = Load32(p + c0 + 4);
    w0 = lumaFirst ? High32(w0) : Low32(w0);
    w1 = lumaFirst ? High32(w1) : Low32(w1);
    __m256i even, odd;
    if (kTwoRows) {
      const __m256i x0 = Load32(q + c0), x1 = Load32(q + c0 + 4);
      w0 = _mm256_add_epi16(w0, lumaFirst ? High32(x0) : Low32(x0));
      w1 = _mm256_add_epi16(w1, lumaFirst ? High32(x1) : Low32(x1));
      even = _mm256_srli_epi16(w0, 1);
      odd = _mm256_srli_epi16(_mm256_add_epi16(w0, w1), 2);
    } else {  // (2s + 2s') >> 2 == (s + s') >> 1
      even = w0;
      odd = _mm256_srli_epi16(_mm256_add_epi16(w0, w1), 1);
    }
    const __m256i chroma =
        _mm256_packus_epi16(_mm256_unpacklo_epi32(even, odd), _mm256_unpackhi_epi32(even, odd));
    const __m256i lo = lumaFirst ? _mm256_unpacklo_epi8(luma, chroma) : _mm256_unpacklo_epi8(chroma, luma);
    const __m256i hi = lumaFirst ? _mm256_unpackhi_epi8(luma, chroma) : _mm256_unpackhi_epi8(chroma, luma);
    UCHAR* o = out + 4 * static_cast<SIZE_T>(g);
    Store32(o, _mm256_permute2x128_si256(lo, hi, 0x20));
    Store32(o + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
  }
  return g;
}

}  // namespace


UVCCAM_AVX2 ULONG DoublerOutputRowAvx2(int mode, const UCHAR* above, const UCHAR* center, const UCHAR* below,
                           const UCHAR* p, const UCHAR* q, UCHAR* out, ULONG firstGroup,
                           ULONG endGroup, ULONG lumaFirst) {
  const bool two = p != q;
  if (mode == kDoublerTopRow) {
    return two ? DoublerRowAvx2<kDoublerTopRow, true>(above, center, below, p, q, out,
                                                      firstGroup, endGroup, lumaFirst)
               : DoublerRowAvx2<kDoublerTopRow, false>(above, center, below, p, q, out,
                                                       firstGroup, endGroup, lumaFirst);
  }
  if (mode == kDoublerMiddleRow) {
    return two ? DoublerRowAvx2<kDoublerMiddleRow, true>(above, center, below, p, q, out,
                                                         firstGroup, endGroup, lumaFirst)
               : DoublerRowAvx2<kDoublerMiddleRow, false>(above, center, below, p, q, out,
                                                          firstGroup, endGroup, lumaFirst);
  }
  return two ? DoublerRowAvx2<kDoublerLastRow, true>(above, center, below, p, q, out, firstGroup,
                                                     endGroup, lumaFirst)
             : DoublerRowAvx2<kDoublerLastRow, false>(above, center, below, p, q, out, firstGroup,
                                                      endGroup, lumaFirst);
}

namespace {

// Luma of 16 pixels from 32 packed bytes, as 16-bit lanes.
UVCCAM_AVX2 inline __m256i LumaOf(const UCHAR* p, ULONG lumaFirst) {
  const __m256i v = Load32(p);
  return lumaFirst ? Low32(v) : High32(v);
}
UVCCAM_AVX2 inline __m256i ChromaOf(const UCHAR* p, ULONG lumaFirst) {
  const __m256i v = Load32(p);
  return lumaFirst ? High32(v) : Low32(v);
}

// 3c - n, still 16-bit (the pack saturates it).
UVCCAM_AVX2 inline __m256i Sharpened(__m256i c, __m256i n) {
  return _mm256_sub_epi16(_mm256_add_epi16(c, _mm256_add_epi16(c, c)), n);
}

// (x + y + z + w) >> 1: the neighbour term of a middle row.
UVCCAM_AVX2 inline __m256i Half(__m256i x, __m256i y, __m256i z, __m256i w) {
  return _mm256_srli_epi16(_mm256_add_epi16(_mm256_add_epi16(x, y), _mm256_add_epi16(z, w)), 1);
}

// 16 output groups of one row: luma samples `even` and `odd` (16-bit lanes
// per source pixel), chroma `ce` / `co` (U, V word per source pair) of the
// even and odd groups. The packs saturate and hold groups 0-7 in the low
// lane, 8-15 in the high one; the shuffles put each lane's luma and chroma
// in group order, the unpack weaves them.
UVCCAM_AVX2 inline void StoreGroups(UCHAR* o, __m256i even, __m256i odd, __m256i ce, __m256i co,
                                    ULONG lumaFirst) {
  const __m256i lumaOrder = _mm256_setr_epi8(0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15,
                                             0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15);
  const __m256i chromaOrder = _mm256_setr_epi8(0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15,
                                               0, 1, 8, 9, 2, 3, 10, 11, 4, 5, 12, 13, 6, 7, 14, 15);
  const __m256i luma = _mm256_shuffle_epi8(_mm256_packus_epi16(even, odd), lumaOrder);
  const __m256i chroma = _mm256_shuffle_epi8(_mm256_packus_epi16(ce, co), chromaOrder);
  const __m256i lo = lumaFirst ? _mm256_unpacklo_epi8(luma, chroma) : _mm256_unpacklo_epi8(chroma, luma);
  const __m256i hi = lumaFirst ? _mm256_unpackhi_epi8(luma, chroma) : _mm256_unpackhi_epi8(chroma, luma);
  Store32(o, _mm256_permute2x128_si256(lo, hi, 0x20));
  Store32(o + 32, _mm256_permute2x128_si256(lo, hi, 0x31));
}

}  // namespace

// Output rows 2i and 2i + 1 (both middle rows) from source rows i - 1, i and
// i + 1 in one pass: the four bilinear rows they read (2i - 1 .. 2i + 2) are
// made in registers, so the vertical sums of a source row serve both rows
// and no bilinear row goes through memory. Output group g is source pixel
// g: its even luma sample is the pixel's, its odd one lies between g and
// g + 1.
UVCCAM_AVX2 ULONG DoublerRowPairAvx2(const UCHAR* prev, const UCHAR* row, const UCHAR* next,
                                     UCHAR* out0, UCHAR* out1, ULONG g, ULONG endGroup,
                                     ULONG lumaFirst) {
  for (; g + 16 <= endGroup; g += 16) {
    const SIZE_T s = 2 * static_cast<SIZE_T>(g);
    const __m256i p = LumaOf(prev + s, lumaFirst), pp = LumaOf(prev + s + 2, lumaFirst);
    const __m256i c = LumaOf(row + s, lumaFirst), cm = LumaOf(row + s - 2, lumaFirst),
                  cp = LumaOf(row + s + 2, lumaFirst);
    const __m256i n = LumaOf(next + s, lumaFirst), nm = LumaOf(next + s - 2, lumaFirst),
                  np = LumaOf(next + s + 2, lumaFirst);
    const __m256i up = _mm256_add_epi16(p, c), upp = _mm256_add_epi16(pp, cp);
    const __m256i dn = _mm256_add_epi16(c, n), dnm = _mm256_add_epi16(cm, nm),
                  dnp = _mm256_add_epi16(cp, np);
    // Bilinear rows: 2i - 1 (a), 2i (b), 2i + 1 (d), 2i + 2 (e); odd
    // samples of pixel g (o) and g - 1 (om).
    const __m256i aEven = _mm256_srli_epi16(up, 1), aOdd = _mm256_srli_epi16(_mm256_add_epi16(up, upp), 2);
    const __m256i bOdd = _mm256_srli_epi16(_mm256_add_epi16(c, cp), 1),
                  bOddM = _mm256_srli_epi16(_mm256_add_epi16(cm, c), 1);
    const __m256i dEven = _mm256_srli_epi16(dn, 1), dEvenP = _mm256_srli_epi16(dnp, 1);
    const __m256i dOdd = _mm256_srli_epi16(_mm256_add_epi16(dn, dnp), 2),
                  dOddM = _mm256_srli_epi16(_mm256_add_epi16(dnm, dn), 2);
    const __m256i eOdd = _mm256_srli_epi16(_mm256_add_epi16(n, np), 1);
    const __m256i even0 = Sharpened(c, Half(bOddM, bOdd, aEven, dEven));
    const __m256i odd0 = Sharpened(bOdd, Half(c, cp, aOdd, dOdd));
    const __m256i even1 = Sharpened(dEven, Half(dOddM, dOdd, c, n));
    const __m256i odd1 = Sharpened(dOdd, Half(dEven, dEvenP, bOdd, eOdd));
    // Chroma: row 2i takes source row i, row 2i + 1 the mean of rows i and
    // i + 1; odd groups lie between two source pairs.
    const __m256i k0 = ChromaOf(row + s, lumaFirst), k1 = ChromaOf(row + s + 4, lumaFirst);
    const __m256i m0 = _mm256_add_epi16(k0, ChromaOf(next + s, lumaFirst));
    const __m256i m1 = _mm256_add_epi16(k1, ChromaOf(next + s + 4, lumaFirst));
    UCHAR* o0 = out0 + 4 * static_cast<SIZE_T>(g);
    UCHAR* o1 = out1 + 4 * static_cast<SIZE_T>(g);
    StoreGroups(o0, even0, odd0, k0, _mm256_srli_epi16(_mm256_add_epi16(k0, k1), 1), lumaFirst);
    StoreGroups(o1, even1, odd1, _mm256_srli_epi16(m0, 1),
                _mm256_srli_epi16(_mm256_add_epi16(m0, m1), 2), lumaFirst);
  }
  return g;
}

#endif  // UVCCAM_SCALER_AVX2
