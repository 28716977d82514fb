// AVX2 twin of the noise filter's row kernels (noise_filter.h): 16 pixels at
// a time, the same bytes as the portable code, which finishes each row.
#include <immintrin.h>

#include "effects/noise_filter.h"

// Only the code below is compiled for AVX2 (the headers above keep their
// own options, so no shared inline function gets an AVX2 body).
#include "platform/target_avx2.h"

namespace {

// Odd bytes of the 16 pixels starting at byte p, as 16-bit lanes.
inline __m256i Odd16(const UCHAR* p) {
  return _mm256_srli_epi16(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)), 8);
}
inline __m256i Load16(const USHORT* p) { return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(p)); }

}  // namespace

VOID NoiseFilterRowAvx2(const NoiseRow& row) {
  const __m256i twelve = _mm256_set1_epi16(12);
  const __m256i divide = _mm256_set1_epi16(short(5243));  // x / 25 = (x * 5243) >> 17 for x < 6388
  const __m256i limitH = _mm256_set1_epi16(80);
  const __m256i limitV = _mm256_set1_epi16(64);
  const __m256i high = _mm256_set1_epi16(-256);
  // The row's pointers in locals: the stores below could otherwise alias them.
  const USHORT* t = row.sums;
  USHORT* const previousRow = row.previous;
  const UCHAR* const above = row.above;
  const UCHAR* const below = row.below;
  const UCHAR* const in = row.in;
  UCHAR* const out = row.out;
  const ULONG w = row.w;
  __m256i carry = _mm256_set1_epi16(-1);  // smoothness of the previous block (pixel 1: smooth)
  ULONG i = 2;
  // Loads reach t[i + 17] and byte 2 * i + 33 of the rows: i + 18 <= w.
  for (; i + 18 <= w; i += 16) {
    const __m256i t0 = Load16(t + i - 2), t1 = Load16(t + i - 1), t2 = Load16(t + i);
    const __m256i t3 = Load16(t + i + 1), t4 = Load16(t + i + 2);
    const UCHAR* a = above + 2 * i;
    const UCHAR* b = below + 2 * i;
    // The two vertical profiles' difference, from the differences of the rows.
    const __m256i d = _mm256_add_epi16(
        _mm256_add_epi16(_mm256_sub_epi16(Odd16(a - 2), Odd16(b - 2)), _mm256_sub_epi16(Odd16(a + 2), Odd16(b + 2))),
        _mm256_slli_epi16(_mm256_sub_epi16(Odd16(a), Odd16(b)), 1));
    const __m256i ok = _mm256_and_si256(_mm256_cmpgt_epi16(limitH, _mm256_abs_epi16(_mm256_sub_epi16(t1, t3))),
                                        _mm256_cmpgt_epi16(limitV, _mm256_abs_epi16(d)));
    __m256i sum = _mm256_add_epi16(_mm256_add_epi16(t0, t1), _mm256_add_epi16(t2, t3));
    sum = _mm256_add_epi16(_mm256_add_epi16(sum, t4), twelve);
    const __m256i mean = _mm256_srli_epi16(_mm256_mulhi_epu16(sum, divide), 1);
    // Smooth, the pixel before smooth (lanes moved up by one across the
    // halves, the previous block's last lane entering), and the pixel above.
    __m256i* previous = reinterpret_cast<__m256i*>(previousRow + i);
    const __m256i before = _mm256_alignr_epi8(ok, _mm256_permute2x128_si256(carry, ok, 0x21), 14);
    const __m256i replace = _mm256_and_si256(_mm256_and_si256(ok, before), _mm256_loadu_si256(previous));
    _mm256_storeu_si256(previous, ok);
    carry = ok;
    const __m256i pixels = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(in + 2 * i));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 2 * i),
                        _mm256_blendv_epi8(pixels, _mm256_slli_epi16(mean, 8), _mm256_and_si256(replace, high)));
  }
  const ULONG left = ULONG(_mm256_extract_epi16(carry, 15));
  NoiseFilterPixels(row, i, left);
}

VOID NoiseColumnSumsAvx2(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG w) {
  ULONG i = 0;
  for (; i + 16 <= w; i += 16) {
    __m256i* p = reinterpret_cast<__m256i*>(t + i);
    _mm256_storeu_si256(p, _mm256_sub_epi16(_mm256_add_epi16(_mm256_loadu_si256(p), Odd16(add + 2 * i)),
                                            Odd16(drop + 2 * i)));
  }
  NoiseColumnSums(t, add, drop, i, w);
}

#include "platform/target_end.h"
