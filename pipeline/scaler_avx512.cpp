// AVX-512 twin of the sharpening doubler's row-pair kernel (scaler_avx2.cpp),
// built for that target only and run only after the processor check: 32
// source pixels per step, and one two-source byte permute per 64 output
// bytes puts luma and chroma into the frame's order. Gives exactly the bytes
// of the per-sample code; the tests compare it by masking the switch below.
#include "pipeline/scaler_kernels.h"
#include "platform/cpu_features.h"

#if defined(UVCCAM_SCALER_AVX2)
#include <immintrin.h>
#endif

ULONG ScalerAllowAvx512 = 1;

bool ScalerUseAvx512() {
#if defined(UVCCAM_SCALER_AVX2)
  return ReadULongNoFence(&ScalerAllowAvx512) != 0 && CpuHasAvx512Vbmi();
#else
  return false;
#endif
}

#if defined(UVCCAM_SCALER_AVX2)

#define UVCCAM_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

UVCCAM_AVX512 inline __m512i Load64(const UCHAR* p) { return _mm512_loadu_si512(p); }

UVCCAM_AVX512 inline __m512i Lumas(const UCHAR* p, ULONG lumaFirst) {
  const __m512i v = Load64(p);
  return lumaFirst ? _mm512_and_si512(v, _mm512_set1_epi16(0x00FF)) : _mm512_srli_epi16(v, 8);
}
UVCCAM_AVX512 inline __m512i Chromas(const UCHAR* p, ULONG lumaFirst) {
  const __m512i v = Load64(p);
  return lumaFirst ? _mm512_srli_epi16(v, 8) : _mm512_and_si512(v, _mm512_set1_epi16(0x00FF));
}

UVCCAM_AVX512 inline __m512i Add(__m512i a, __m512i b) { return _mm512_add_epi16(a, b); }
UVCCAM_AVX512 inline __m512i Shr(__m512i a, unsigned n) { return _mm512_srli_epi16(a, n); }

// 3c - ((x + y + z + w) >> 1), still 16-bit (the pack saturates it).
UVCCAM_AVX512 inline __m512i Sharpened(__m512i c, __m512i x, __m512i y, __m512i z, __m512i w) {
  return _mm512_sub_epi16(Add(c, Add(c, c)), Shr(Add(Add(x, y), Add(z, w)), 1));
}

// Output byte order of 32 groups from L = pack(even, odd luma) and C =
// pack(even-group chroma, odd-group chroma): per 128-bit lane l the packs
// hold groups 8l .. 8l + 7.
struct GroupOrder {
  __m512i low, high;  // output bytes 0..63 and 64..127
};

UVCCAM_AVX512 GroupOrder MakeGroupOrder(ULONG lumaFirst) {
  alignas(64) UCHAR index[128];
  for (ULONG group = 0; group < 32; ++group) {
    const ULONG l = group / 8, t = group % 8;
    const UCHAR even = UCHAR(16 * l + t), odd = UCHAR(16 * l + 8 + t);
    const UCHAR c0 = UCHAR(64 + 16 * l + (t & 1) * 8 + (t / 2) * 2);
    const UCHAR bytes[4] = {even, c0, odd, UCHAR(c0 + 1)};
    for (ULONG i = 0; i < 4; ++i) index[4 * group + i] = bytes[lumaFirst ? i : i ^ 1];
  }
  return GroupOrder{_mm512_load_si512(index), _mm512_load_si512(index + 64)};
}

UVCCAM_AVX512 inline void StoreRow(UCHAR* o, __m512i even, __m512i odd, __m512i ce, __m512i co,
                                   const GroupOrder& order) {
  const __m512i l = _mm512_packus_epi16(even, odd), c = _mm512_packus_epi16(ce, co);
  _mm512_storeu_si512(o, _mm512_permutex2var_epi8(l, order.low, c));
  _mm512_storeu_si512(o + 64, _mm512_permutex2var_epi8(l, order.high, c));
}

UVCCAM_AVX512 inline void RowPairChunk(const UCHAR* prev, const UCHAR* row, const UCHAR* next,
                                       UCHAR* out0, UCHAR* out1, ULONG g, ULONG lumaFirst,
                                       const GroupOrder& order) {
  const SIZE_T s = 2 * static_cast<SIZE_T>(g);
  const __m512i p = Lumas(prev + s, lumaFirst), pp = Lumas(prev + s + 2, lumaFirst);
  const __m512i c = Lumas(row + s, lumaFirst), cm = Lumas(row + s - 2, lumaFirst),
                cp = Lumas(row + s + 2, lumaFirst);
  const __m512i n = Lumas(next + s, lumaFirst), nm = Lumas(next + s - 2, lumaFirst),
                np = Lumas(next + s + 2, lumaFirst);
  const __m512i up = Add(p, c), upp = Add(pp, cp);
  const __m512i dn = Add(c, n), dnm = Add(cm, nm), dnp = Add(cp, np);
  // Bilinear rows 2i - 1 (a), 2i (b), 2i + 1 (d), 2i + 2 (e).
  const __m512i aEven = Shr(up, 1), aOdd = Shr(Add(up, upp), 2);
  const __m512i bOdd = Shr(Add(c, cp), 1), bOddM = Shr(Add(cm, c), 1);
  const __m512i dEven = Shr(dn, 1), dEvenP = Shr(dnp, 1);
  const __m512i dOdd = Shr(Add(dn, dnp), 2), dOddM = Shr(Add(dnm, dn), 2);
  const __m512i eOdd = Shr(Add(n, np), 1);
  const __m512i k0 = Chromas(row + s, lumaFirst), k1 = Chromas(row + s + 4, lumaFirst);
  const __m512i m0 = Add(k0, Chromas(next + s, lumaFirst));
  const __m512i m1 = Add(k1, Chromas(next + s + 4, lumaFirst));
  StoreRow(out0 + 4 * static_cast<SIZE_T>(g), Sharpened(c, bOddM, bOdd, aEven, dEven),
           Sharpened(bOdd, c, cp, aOdd, dOdd), k0, Shr(Add(k0, k1), 1), order);
  StoreRow(out1 + 4 * static_cast<SIZE_T>(g), Sharpened(dEven, dOddM, dOdd, c, n),
           Sharpened(dOdd, dEven, dEvenP, bOdd, eOdd), Shr(m0, 1), Shr(Add(m0, m1), 2), order);
}

}  // namespace

UVCCAM_AVX512 ULONG DoublerRowPairAvx512(const UCHAR* prev, const UCHAR* row, const UCHAR* next,
                                         UCHAR* out0, UCHAR* out1, ULONG g, ULONG endGroup,
                                         ULONG lumaFirst) {
  if (endGroup < g + 32) return g;
  const GroupOrder order = MakeGroupOrder(lumaFirst);
  for (; g + 32 <= endGroup; g += 32) RowPairChunk(prev, row, next, out0, out1, g, lumaFirst, order);
  // The last chunk ends at endGroup, over groups done before (same bytes).
  if (g < endGroup) RowPairChunk(prev, row, next, out0, out1, endGroup - 32, lumaFirst, order);
  return endGroup;
}

#endif  // UVCCAM_SCALER_AVX2
