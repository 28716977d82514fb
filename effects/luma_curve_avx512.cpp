// AVX-512 VBMI twin of the luma curve's loop: the 256-byte curve sits in
// four registers, two-source byte permutes look up 128 entries each (seven
// index bits), the index's top bit picks between them, and a fixed mask
// keeps the chroma bytes.
#include "effects/luma_curve_avx512.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

__attribute__((target("avx512f,avx512bw,avx512vbmi"))) SIZE_T ApplyLumaCurveAvx512(UCHAR* frame, SIZE_T bytes,
                                                                                const UCHAR curve[256],
                                                                                ULONG lumaFirst) {
  const __m512i t0 = _mm512_loadu_si512(curve), t1 = _mm512_loadu_si512(curve + 64);
  const __m512i t2 = _mm512_loadu_si512(curve + 128), t3 = _mm512_loadu_si512(curve + 192);
  const __mmask64 luma = lumaFirst ? 0x5555555555555555ull : 0xAAAAAAAAAAAAAAAAull;
  SIZE_T i = 0;
  for (; i + 64 <= bytes; i += 64) {
    const __m512i v = _mm512_loadu_si512(frame + i);
    const __m512i low = _mm512_permutex2var_epi8(t0, v, t1);
    const __m512i high = _mm512_permutex2var_epi8(t2, v, t3);
    const __m512i mapped = _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high);
    _mm512_storeu_si512(frame + i, _mm512_mask_blend_epi8(luma, v, mapped));
  }
  return i;
}

#else
SIZE_T ApplyLumaCurveAvx512(UCHAR*, SIZE_T, const UCHAR*, ULONG) { return 0; }
#endif
