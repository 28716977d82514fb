// AVX-512 (F, BW) twin of the noise filter's row kernels (noise_filter.h):
// 32 pixels at a time with the smoothness flags in mask registers, so the
// flag of the pixel before is a one-bit shift. The same bytes as the
// portable code, which finishes each row.
#include "effects/noise_filter.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

namespace {

// Odd bytes of the 32 pixels starting at byte p, as 16-bit lanes.
inline __m512i Odd32(const UCHAR* p) { return _mm512_srli_epi16(_mm512_loadu_si512(p), 8); }
inline __m512i Load32(const USHORT* p) { return _mm512_loadu_si512(p); }

}  // namespace

VOID NoiseFilterRowAvx512(const NoiseRow& row) {
  const __m512i twelve = _mm512_set1_epi16(12);
  const __m512i divide = _mm512_set1_epi16(short(5243));  // x / 25 = (x * 5243) >> 17 for x < 6388
  const __m512i limitH = _mm512_set1_epi16(80);
  const __m512i limitV = _mm512_set1_epi16(64);
  const __m512i even = _mm512_set1_epi16(0x00FF);
  // The row's pointers in locals: the stores below could otherwise alias them.
  const USHORT* t = row.sums;
  USHORT* const previousRow = row.previous;
  const UCHAR* const above = row.above;
  const UCHAR* const below = row.below;
  const UCHAR* const in = row.in;
  UCHAR* const out = row.out;
  const ULONG w = row.w;
  __mmask32 carry = 1;  // smoothness of the pixel before the block (pixel 1: smooth)
  ULONG i = 2;
  // Loads reach t[i + 33] and byte 2 * i + 65 of the rows: i + 34 <= w.
  for (; i + 34 <= w; i += 32) {
    const __m512i t0 = Load32(t + i - 2), t1 = Load32(t + i - 1), t2 = Load32(t + i);
    const __m512i t3 = Load32(t + i + 1), t4 = Load32(t + i + 2);
    const UCHAR* a = above + 2 * i;
    const UCHAR* b = below + 2 * i;
    // The two vertical profiles' difference, from the differences of the rows.
    const __m512i d = _mm512_add_epi16(
        _mm512_add_epi16(_mm512_sub_epi16(Odd32(a - 2), Odd32(b - 2)), _mm512_sub_epi16(Odd32(a + 2), Odd32(b + 2))),
        _mm512_slli_epi16(_mm512_sub_epi16(Odd32(a), Odd32(b)), 1));
    const __mmask32 ok = _mm512_cmplt_epi16_mask(_mm512_abs_epi16(_mm512_sub_epi16(t1, t3)), limitH) &
                         _mm512_cmplt_epi16_mask(_mm512_abs_epi16(d), limitV);
    __m512i sum = _mm512_add_epi16(_mm512_add_epi16(t0, t1), _mm512_add_epi16(t2, t3));
    sum = _mm512_add_epi16(_mm512_add_epi16(sum, t4), twelve);
    const __m512i mean = _mm512_srli_epi16(_mm512_mulhi_epu16(sum, divide), 1);
    // Smooth, the pixel before smooth, and the pixel above smooth.
    USHORT* previous = previousRow + i;
    const __mmask32 up = _mm512_movepi16_mask(_mm512_loadu_si512(previous));
    const __mmask32 replace = ok & ((ok << 1) | carry) & up;
    _mm512_storeu_si512(previous, _mm512_movm_epi16(ok));
    carry = ok >> 31;
    const __m512i pixels = _mm512_loadu_si512(in + 2 * i);
    const __m512i smoothed = _mm512_or_si512(_mm512_and_si512(pixels, even), _mm512_slli_epi16(mean, 8));
    _mm512_storeu_si512(out + 2 * i, _mm512_mask_blend_epi16(replace, pixels, smoothed));
  }
  NoiseFilterPixels(row, i, carry);
}

VOID NoiseColumnSumsAvx512(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG w) {
  ULONG i = 0;
  for (; i + 32 <= w; i += 32) {
    _mm512_storeu_si512(t + i, _mm512_sub_epi16(_mm512_add_epi16(Load32(t + i), Odd32(add + 2 * i)),
                                                Odd32(drop + 2 * i)));
  }
  NoiseColumnSums(t, add, drop, i, w);
}

#include "platform/target_end.h"

#else
VOID NoiseFilterRowAvx512(const NoiseRow& row) { NoiseFilterPixels(row, 2, 1); }
VOID NoiseColumnSumsAvx512(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG w) { NoiseColumnSums(t, add, drop, 0, w); }
#endif
