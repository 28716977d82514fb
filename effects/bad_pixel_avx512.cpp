// AVX-512 (F, BW) twin of the bad-pixel scan's quick test
// (bad_pixel_avx512.h): the SSE2 test's minimum and maximum of the eight
// neighbours, on 32 luma samples at a time.
#include "effects/bad_pixel_avx512.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

SIZE_T SkipCleanLumaAvx512(const UCHAR* up, const UCHAR* row, const UCHAR* dn, SIZE_T c, SIZE_T end,
                           LONG margin) {
  const __m512i luma = _mm512_set1_epi16(0x00FF);
  const __m512i marginVector = _mm512_set1_epi16(short(margin));
  auto load = [&luma](const UCHAR* p) { return _mm512_and_si512(_mm512_loadu_si512(p), luma); };
  for (; c + 68 <= end; c += 64) {
    const __m512i s = load(row + c + 2);
    __m512i a = load(up + c), b = load(row + c);
    __m512i lo = _mm512_min_epi16(a, b), hi = _mm512_max_epi16(a, b);
    a = load(dn + c);
    b = load(up + c + 2);
    lo = _mm512_min_epi16(lo, _mm512_min_epi16(a, b));
    hi = _mm512_max_epi16(hi, _mm512_max_epi16(a, b));
    a = load(dn + c + 2);
    b = load(up + c + 4);
    lo = _mm512_min_epi16(lo, _mm512_min_epi16(a, b));
    hi = _mm512_max_epi16(hi, _mm512_max_epi16(a, b));
    a = load(row + c + 4);
    b = load(dn + c + 4);
    lo = _mm512_min_epi16(lo, _mm512_min_epi16(a, b));
    hi = _mm512_max_epi16(hi, _mm512_max_epi16(a, b));
    // s + margin < lo or s > hi + margin: s stands out.
    const __mmask32 out = _mm512_cmplt_epi16_mask(_mm512_add_epi16(s, marginVector), lo) |
                          _mm512_cmpgt_epi16_mask(s, _mm512_add_epi16(hi, marginVector));
    if (out != 0) break;
  }
  return c;
}

#include "platform/target_end.h"

#else
SIZE_T SkipCleanLumaAvx512(const UCHAR*, const UCHAR*, const UCHAR*, SIZE_T c, SIZE_T, LONG) { return c; }
#endif
