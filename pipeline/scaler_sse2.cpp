// Vector kernels of the frame scaler (SSE2), each with its AVX2 twin in
// scaler_avx2.cpp taken first where the processor has it. Every kernel gives
// exactly the bytes of the per-sample code in the scaler's route files; the
// tests compare the paths over many sizes and random content.
#include <cstring>

#include "pipeline/scaler_kernels.h"

#if defined(UVCCAM_SCALER_SSE2)
#include <emmintrin.h>
#endif

namespace {

inline UCHAR PairByShape(PairOp op, UCHAR a, UCHAR b) {
  const PairOpShape& s = kPairOpShapes[op];
  if (s.table) {
    const ULONG n = s.n;
    return static_cast<UCHAR>((2 * s.wa * a + n) / (2 * n) + (2 * s.wb * b + n) / (2 * n));
  }
  return static_cast<UCHAR>((s.wa * a + s.wb * b + s.bias) >> s.shift);
}

#if defined(UVCCAM_SCALER_SSE2)

inline __m128i Load(const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline void Store(UCHAR* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); }

// Rounded k/n weight of 16-bit lanes (x <= 255): (2kx + n) / (2n).
inline __m128i WeightLanes(__m128i x, int k, int n) {
  const __m128i v = _mm_add_epi16(_mm_mullo_epi16(x, _mm_set1_epi16(static_cast<short>(2 * k))),
                                  _mm_set1_epi16(static_cast<short>(n)));
  if (n == 8) return _mm_srli_epi16(v, 4);
  // n == 5: v <= 2045, and (v * 6554) >> 16 equals v / 10 over that range.
  return _mm_mulhi_epu16(v, _mm_set1_epi16(6554));
}

// Luma or chroma bytes of packed data in 16-bit lanes.
inline __m128i LowBytes(__m128i x) { return _mm_and_si128(x, _mm_set1_epi16(0x00FF)); }
inline __m128i HighBytes(__m128i x) { return _mm_srli_epi16(x, 8); }

#endif

}  // namespace

void VectorPairRow(PairOp op, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count,
                   bool wide) {
  if (op == kPairTakeA) {
    memcpy(out, a, count);
    return;
  }
  SIZE_T i = 0;
#if defined(UVCCAM_SCALER_AVX2)
  if (wide) i = PairRowAvx2(op, a, b, out, count);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  const PairOpShape& s = kPairOpShapes[op];
  const __m128i zero = _mm_setzero_si128();
  if (op == kPair1_1Rounded) {
    for (; i + 16 <= count; i += 16) Store(out + i, _mm_avg_epu8(Load(a + i), Load(b + i)));
  } else if (op == kPair1_1) {
    const __m128i one = _mm_set1_epi8(1);
    for (; i + 16 <= count; i += 16) {
      const __m128i x = Load(a + i), y = Load(b + i);
      const __m128i odd = _mm_and_si128(_mm_xor_si128(x, y), one);
      Store(out + i, _mm_sub_epi8(_mm_avg_epu8(x, y), odd));
    }
  } else if (s.table) {
    for (; i + 16 <= count; i += 16) {
      const __m128i x = Load(a + i), y = Load(b + i);
      const __m128i lo = _mm_add_epi16(WeightLanes(_mm_unpacklo_epi8(x, zero), s.wa, s.n),
                                       WeightLanes(_mm_unpacklo_epi8(y, zero), s.wb, s.n));
      const __m128i hi = _mm_add_epi16(WeightLanes(_mm_unpackhi_epi8(x, zero), s.wa, s.n),
                                       WeightLanes(_mm_unpackhi_epi8(y, zero), s.wb, s.n));
      Store(out + i, _mm_packus_epi16(lo, hi));
    }
  } else {
    const __m128i wa = _mm_set1_epi16(s.wa), wb = _mm_set1_epi16(s.wb);
    const __m128i bias = _mm_set1_epi16(s.bias);
    const __m128i shift = _mm_cvtsi32_si128(s.shift);
    for (; i + 16 <= count; i += 16) {
      const __m128i x = Load(a + i), y = Load(b + i);
      __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(x, zero), wa),
                                 _mm_mullo_epi16(_mm_unpacklo_epi8(y, zero), wb));
      __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(x, zero), wa),
                                 _mm_mullo_epi16(_mm_unpackhi_epi8(y, zero), wb));
      lo = _mm_srl_epi16(_mm_add_epi16(lo, bias), shift);
      hi = _mm_srl_epi16(_mm_add_epi16(hi, bias), shift);
      Store(out + i, _mm_packus_epi16(lo, hi));
    }
  }
#endif
  for (; i < count; ++i) out[i] = PairByShape(op, a[i], b[i]);
}

void VectorBlendRow(ULONG f, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count,
                    bool wide) {
  SIZE_T i = 0;
  if (f == 0) {
    memcpy(out, a, count);
    return;
  }
#if defined(UVCCAM_SCALER_AVX2)
  if (wide) i = BlendRowAvx2(f, a, b, out, count);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  const __m128i zero = _mm_setzero_si128();
  const __m128i wa = _mm_set1_epi16(static_cast<short>(64 - f));
  const __m128i wb = _mm_set1_epi16(static_cast<short>(f));
  const __m128i bias = _mm_set1_epi16(32);
  for (; i + 16 <= count; i += 16) {
    const __m128i x = Load(a + i), y = Load(b + i);
    __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(x, zero), wa),
                               _mm_mullo_epi16(_mm_unpacklo_epi8(y, zero), wb));
    __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(x, zero), wa),
                               _mm_mullo_epi16(_mm_unpackhi_epi8(y, zero), wb));
    lo = _mm_srli_epi16(_mm_add_epi16(lo, bias), 6);
    hi = _mm_srli_epi16(_mm_add_epi16(hi, bias), 6);
    Store(out + i, _mm_packus_epi16(lo, hi));
  }
#endif
  for (; i < count; ++i) out[i] = static_cast<UCHAR>(((64 - f) * a[i] + f * b[i] + 32) >> 6);
}

ULONG VectorHalveRow(const UCHAR* row0, const UCHAR* row1, UCHAR* out, ULONG groups,
                     ULONG lumaFirst, bool wide) {
  ULONG k = 0;
#if defined(UVCCAM_SCALER_AVX2)
  if (wide) k = HalveRowAvx2(row0, row1, out, groups, lumaFirst);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  const __m128i ones = _mm_set1_epi16(1);
  for (; k + 4 <= groups; k += 4) {
    const UCHAR* x = row0 + 8 * static_cast<SIZE_T>(k);
    const UCHAR* y = row1 + 8 * static_cast<SIZE_T>(k);
    const __m128i x0 = Load(x), x1 = Load(x + 16), y0 = Load(y), y1 = Load(y + 16);
    __m128i la, lb, ca, cb;
    if (lumaFirst) {
      la = _mm_add_epi16(LowBytes(x0), LowBytes(y0));
      lb = _mm_add_epi16(LowBytes(x1), LowBytes(y1));
      ca = _mm_add_epi16(HighBytes(x0), HighBytes(y0));
      cb = _mm_add_epi16(HighBytes(x1), HighBytes(y1));
    } else {
      la = _mm_add_epi16(HighBytes(x0), HighBytes(y0));
      lb = _mm_add_epi16(HighBytes(x1), HighBytes(y1));
      ca = _mm_add_epi16(LowBytes(x0), LowBytes(y0));
      cb = _mm_add_epi16(LowBytes(x1), LowBytes(y1));
    }
    // Luma: sums of neighbouring pixels; chroma: sums of neighbouring groups.
    __m128i luma = _mm_packs_epi32(_mm_madd_epi16(la, ones), _mm_madd_epi16(lb, ones));
    ca = _mm_shuffle_epi32(_mm_add_epi16(ca, _mm_srli_si128(ca, 4)), _MM_SHUFFLE(3, 1, 2, 0));
    cb = _mm_shuffle_epi32(_mm_add_epi16(cb, _mm_srli_si128(cb, 4)), _MM_SHUFFLE(3, 1, 2, 0));
    __m128i chroma = _mm_unpacklo_epi64(ca, cb);
    luma = _mm_srli_epi16(luma, 2);
    chroma = _mm_srli_epi16(chroma, 2);
    const __m128i lb8 = _mm_packus_epi16(luma, luma);
    const __m128i cb8 = _mm_packus_epi16(chroma, chroma);
    Store(out + 4 * static_cast<SIZE_T>(k),
          lumaFirst ? _mm_unpacklo_epi8(lb8, cb8) : _mm_unpacklo_epi8(cb8, lb8));
  }
#else
  (void)row0; (void)row1; (void)out; (void)groups; (void)lumaFirst;
#endif
  return k;
}

ULONG VectorDoublerLumaRow(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out,
                           ULONG lumaFirst, bool wide) {
  ULONG j = 0;
#if defined(UVCCAM_SCALER_AVX2)
  if (wide) j = DoublerLumaRowAvx2(p, q, inW, out, lumaFirst);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  // Eight input pixels per step; reads one pixel beyond them.
  for (; j + 9 <= inW; j += 8) {
    const UCHAR* a = p + 2 * static_cast<SIZE_T>(j);
    const UCHAR* b = q + 2 * static_cast<SIZE_T>(j);
    __m128i v, w;
    if (lumaFirst) {
      v = _mm_add_epi16(LowBytes(Load(a)), LowBytes(Load(b)));
      w = _mm_add_epi16(LowBytes(Load(a + 2)), LowBytes(Load(b + 2)));
    } else {
      v = _mm_add_epi16(HighBytes(Load(a)), HighBytes(Load(b)));
      w = _mm_add_epi16(HighBytes(Load(a + 2)), HighBytes(Load(b + 2)));
    }
    const __m128i even = _mm_srli_epi16(v, 1);
    const __m128i odd = _mm_srli_epi16(_mm_add_epi16(v, w), 2);
    Store(out + 2 * static_cast<SIZE_T>(j),
          _mm_packus_epi16(_mm_unpacklo_epi16(even, odd), _mm_unpackhi_epi16(even, odd)));
  }
#else
  (void)p; (void)q; (void)inW; (void)out; (void)lumaFirst;
#endif
  return 2 * j;
}

#if defined(UVCCAM_SCALER_SSE2)
namespace {

template <int kMode>
inline __m128i SharpenLanes(__m128i c, __m128i l, __m128i r, __m128i a, __m128i b) {
  if (kMode == kDoublerLastRow) {
    return _mm_sub_epi16(_mm_add_epi16(c, c), _mm_srli_epi16(_mm_add_epi16(l, r), 1));
  }
  __m128i n;
  if (kMode == kDoublerTopRow) {
    n = _mm_add_epi16(_mm_srli_epi16(_mm_add_epi16(l, r), 1), b);
  } else {
    n = _mm_srli_epi16(_mm_add_epi16(_mm_add_epi16(l, r), _mm_add_epi16(a, b)), 1);
  }
  return _mm_sub_epi16(_mm_add_epi16(c, _mm_add_epi16(c, c)), n);
}

template <int kMode>
void DoublerRowChunks(const UCHAR* above, const UCHAR* center, const UCHAR* below,
                      const UCHAR* p, const UCHAR* q, UCHAR* out, ULONG firstGroup,
                      ULONG endGroup, ULONG lumaFirst) {
  const __m128i zero = _mm_setzero_si128();
  for (ULONG g = firstGroup; g < endGroup; g += 8) {
    const SIZE_T c0 = 2 * static_cast<SIZE_T>(g);
    const __m128i c = Load(center + c0), l = Load(center + c0 - 1), r = Load(center + c0 + 1);
    const __m128i a = Load(above + c0), b = Load(below + c0);
    const __m128i ylo = SharpenLanes<kMode>(
        _mm_unpacklo_epi8(c, zero), _mm_unpacklo_epi8(l, zero), _mm_unpacklo_epi8(r, zero),
        _mm_unpacklo_epi8(a, zero), _mm_unpacklo_epi8(b, zero));
    const __m128i yhi = SharpenLanes<kMode>(
        _mm_unpackhi_epi8(c, zero), _mm_unpackhi_epi8(l, zero), _mm_unpackhi_epi8(r, zero),
        _mm_unpackhi_epi8(a, zero), _mm_unpackhi_epi8(b, zero));
    const __m128i luma = _mm_packus_epi16(ylo, yhi);

    const SIZE_T s0 = 2 * static_cast<SIZE_T>(g);  // byte of source group g / 2
    __m128i w0, w1;
    if (lumaFirst) {
      w0 = _mm_add_epi16(HighBytes(Load(p + s0)), HighBytes(Load(q + s0)));
      w1 = _mm_add_epi16(HighBytes(Load(p + s0 + 4)), HighBytes(Load(q + s0 + 4)));
    } else {
      w0 = _mm_add_epi16(LowBytes(Load(p + s0)), LowBytes(Load(q + s0)));
      w1 = _mm_add_epi16(LowBytes(Load(p + s0 + 4)), LowBytes(Load(q + s0 + 4)));
    }
    const __m128i even = _mm_srli_epi16(w0, 1);
    const __m128i odd = _mm_srli_epi16(_mm_add_epi16(w0, w1), 2);
    const __m128i chroma =
        _mm_packus_epi16(_mm_unpacklo_epi32(even, odd), _mm_unpackhi_epi32(even, odd));
    UCHAR* o = out + 4 * static_cast<SIZE_T>(g);
    if (lumaFirst) {
      Store(o, _mm_unpacklo_epi8(luma, chroma));
      Store(o + 16, _mm_unpackhi_epi8(luma, chroma));
    } else {
      Store(o, _mm_unpacklo_epi8(chroma, luma));
      Store(o + 16, _mm_unpackhi_epi8(chroma, luma));
    }
  }
}

}  // namespace
#endif

ULONG VectorDoublerRowPair(const UCHAR* prev, const UCHAR* row, const UCHAR* next, UCHAR* out0,
                           UCHAR* out1, ULONG firstGroup, ULONG endGroup, ULONG lumaFirst,
                           bool wide) {
#if defined(UVCCAM_SCALER_AVX2)
  if (wide && ScalerUseAvx512() &&
      DoublerRowPairAvx512(prev, row, next, out0, out1, firstGroup, endGroup, lumaFirst) == endGroup)
    return endGroup;
  if (wide && endGroup - firstGroup >= 16) {
    const ULONG done = DoublerRowPairAvx2(prev, row, next, out0, out1, firstGroup, endGroup, lumaFirst);
    // The last chunk ends at endGroup, over groups done before (same bytes).
    if (done < endGroup) DoublerRowPairAvx2(prev, row, next, out0, out1, endGroup - 16, endGroup, lumaFirst);
    return endGroup;
  }
#else
  (void)prev; (void)row; (void)next; (void)out0; (void)out1; (void)endGroup; (void)lumaFirst;
  (void)wide;
#endif
  return firstGroup;
}

ULONG VectorDoublerOutputRow(int mode, const UCHAR* above, const UCHAR* center,
                            const UCHAR* below, const UCHAR* p, const UCHAR* q, UCHAR* out,
                            ULONG firstGroup, ULONG endGroup, ULONG lumaFirst, bool wide) {
#if defined(UVCCAM_SCALER_AVX2)
  if (wide)
    firstGroup = DoublerOutputRowAvx2(mode, above, center, below, p, q, out, firstGroup, endGroup,
                                      lumaFirst);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  switch (mode) {
    case kDoublerTopRow:
      DoublerRowChunks<kDoublerTopRow>(above, center, below, p, q, out, firstGroup, endGroup,
                                       lumaFirst);
      break;
    case kDoublerMiddleRow:
      DoublerRowChunks<kDoublerMiddleRow>(above, center, below, p, q, out, firstGroup, endGroup,
                                          lumaFirst);
      break;
    default:
      DoublerRowChunks<kDoublerLastRow>(above, center, below, p, q, out, firstGroup, endGroup,
                                        lumaFirst);
      break;
  }
  return endGroup;
#else
  (void)mode; (void)above; (void)center; (void)below; (void)p; (void)q; (void)out;
  (void)endGroup; (void)lumaFirst; (void)wide;
  return firstGroup;
#endif
}

#if defined(UVCCAM_SCALER_SSE2)
namespace {

inline ULONG PhaseIndex(ULONG t) { return t ? (t - 1) >> 6 : 0; }

inline int Load4(const UCHAR* p) {
  int v;
  memcpy(&v, p, 4);
  return v;
}

inline LONGLONG Load8(const UCHAR* p) {
  LONGLONG v;
  memcpy(&v, p, 8);
  return v;
}

// Four output groups per step; the sample pairs are fetched with scalar loads.
ULONG GeneralRowSse2(const UCHAR* s, ULONG inW, ULONG dx, ULONG groups, ULONG g, UCHAR* out,
                     ULONG lumaFirst) {
  if (inW < 4) return g;
  const ULONG lastChroma = inW / 2 - 1;
  const ULONG lastPair = inW - 2;
  const __m128i lumaMask = _mm_set1_epi32(0x00FF00FF);
  const __m128i bias = _mm_set1_epi32(32);
  for (; g + 4 <= groups; g += 4) {
    if (PhaseIndex((g + 3) * dx) + 1 > lastChroma) break;
    int lv[8], lw[8];
    for (ULONG k = 0; k < 8; ++k) {
      const ULONG t = (2 * g + k) * dx;
      ULONG i = PhaseIndex(t);
      const ULONG f = t - 64 * i;
      if (i > lastPair) i = lastPair;  // never binds for computed pixels
      lv[k] = Load4(s + 2 * static_cast<SIZE_T>(i));
      lw[k] = static_cast<int>((64 - f) | (f << 16));
    }
    LONGLONG cv[4];
    int cw[4];
    for (ULONG k = 0; k < 4; ++k) {
      const ULONG t = (g + k) * dx;
      const ULONG i = PhaseIndex(t);
      cv[k] = Load8(s + 4 * static_cast<SIZE_T>(i));
      cw[k] = static_cast<int>((64 - (t - 64 * i)) | ((t - 64 * i) << 16));
    }
    __m128i v0 = _mm_setr_epi32(lv[0], lv[1], lv[2], lv[3]);
    __m128i v1 = _mm_setr_epi32(lv[4], lv[5], lv[6], lv[7]);
    if (!lumaFirst) {
      v0 = _mm_srli_epi32(v0, 8);
      v1 = _mm_srli_epi32(v1, 8);
    }
    v0 = _mm_and_si128(v0, lumaMask);
    v1 = _mm_and_si128(v1, lumaMask);
    const __m128i y0 = _mm_srli_epi32(
        _mm_add_epi32(_mm_madd_epi16(v0, _mm_setr_epi32(lw[0], lw[1], lw[2], lw[3])), bias), 6);
    const __m128i y1 = _mm_srli_epi32(
        _mm_add_epi32(_mm_madd_epi16(v1, _mm_setr_epi32(lw[4], lw[5], lw[6], lw[7])), bias), 6);
    const __m128i luma = _mm_packs_epi32(y0, y1);
    // Chroma: per group the 16-bit samples [c0 c1 c0' c1'] of groups i and
    // i + 1, reordered to [c0 c0' c1 c1'] for the multiply-add.
    __m128i c0 = _mm_set_epi64x(cv[1], cv[0]);
    __m128i c1 = _mm_set_epi64x(cv[3], cv[2]);
    c0 = lumaFirst ? _mm_srli_epi16(c0, 8) : _mm_and_si128(c0, _mm_set1_epi16(0x00FF));
    c1 = lumaFirst ? _mm_srli_epi16(c1, 8) : _mm_and_si128(c1, _mm_set1_epi16(0x00FF));
    c0 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c0, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
    c1 = _mm_shufflehi_epi16(_mm_shufflelo_epi16(c1, _MM_SHUFFLE(3, 1, 2, 0)), _MM_SHUFFLE(3, 1, 2, 0));
    const __m128i u0 = _mm_srli_epi32(
        _mm_add_epi32(_mm_madd_epi16(c0, _mm_setr_epi32(cw[0], cw[0], cw[1], cw[1])), bias), 6);
    const __m128i u1 = _mm_srli_epi32(
        _mm_add_epi32(_mm_madd_epi16(c1, _mm_setr_epi32(cw[2], cw[2], cw[3], cw[3])), bias), 6);
    const __m128i chroma = _mm_packs_epi32(u0, u1);
    const __m128i bytes = _mm_packus_epi16(luma, chroma);  // 8 luma, then 8 chroma
    const __m128i high = _mm_srli_si128(bytes, 8);
    Store(out + 4 * static_cast<SIZE_T>(g),
          lumaFirst ? _mm_unpacklo_epi8(bytes, high) : _mm_unpacklo_epi8(high, bytes));
  }
  return g;
}

}  // namespace
#endif

ULONG VectorGeneralRow(const UCHAR* s, ULONG inW, ULONG dx, ULONG groups, UCHAR* out,
                       ULONG lumaFirst, bool wide) {
  ULONG g = 0;
#if defined(UVCCAM_SCALER_AVX2)
  if (wide) g = GeneralRowAvx2(s, inW, dx, groups, out, lumaFirst);
#else
  (void)wide;
#endif
#if defined(UVCCAM_SCALER_SSE2)
  g = GeneralRowSse2(s, inW, dx, groups, g, out, lumaFirst);
#else
  (void)s; (void)inW; (void)dx; (void)groups; (void)out; (void)lumaFirst;
#endif
  return g;
}
