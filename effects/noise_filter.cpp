// Edge-preserving noise filter on packed 4:2:2 frames, one pass over the
// frame: each destination row is written once, from the source row and the
// 5-row sums (see noise_filter.h for the rule). SSE2 works on 8 pixels at a
// time; the AVX2 twin (noise_filter_avx2.cpp) on 16, the AVX-512 twin
// (noise_filter_avx512.cpp) on 32.
#include "effects/noise_filter.h"

#include "effects/cpu_features.h"
#include "effects/image_filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define UVCCAM_NOISE_SSE2 1
#endif

namespace {

inline ULONG Odd(const UCHAR* row, ULONG i) { return row[2 * i + 1]; }

#if UVCCAM_NOISE_SSE2
// Odd bytes of the 8 pixels starting at byte p, as 16-bit lanes.
inline __m128i Odd8(const UCHAR* p) {
  return _mm_srli_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), 8);
}
inline __m128i Load8(const USHORT* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); }
inline __m128i Absolute(__m128i v) { return _mm_max_epi16(v, _mm_sub_epi16(_mm_setzero_si128(), v)); }

// Pixels from `from` while whole blocks of 8 fit before pixel w - 2; *left
// is the smoothness of the pixel before `from` and becomes that of the pixel
// before the first pixel not done, which is returned.
ULONG NoiseFilterBlocksSse2(const NoiseRow& row, ULONG from, ULONG* left) {
  const __m128i twelve = _mm_set1_epi16(12);
  const __m128i divide = _mm_set1_epi16(short(5243));  // x / 25 = (x * 5243) >> 17 for x < 6388
  const __m128i limitH = _mm_set1_epi16(80);
  const __m128i limitV = _mm_set1_epi16(64);
  const __m128i high = _mm_set1_epi16(-256);
  const USHORT* t = row.sums;
  // Smoothness of the previous block: only its last lane is read.
  __m128i carry = _mm_set1_epi16(*left != 0 ? -1 : 0);
  ULONG i = from;
  // Loads reach t[i + 9] and byte 2 * i + 17 of the rows: i + 10 <= w.
  for (; i + 10 <= row.w; i += 8) {
    const __m128i t0 = Load8(t + i - 2), t1 = Load8(t + i - 1), t2 = Load8(t + i);
    const __m128i t3 = Load8(t + i + 1), t4 = Load8(t + i + 2);
    const UCHAR* a = row.above + 2 * i;
    const UCHAR* b = row.below + 2 * i;
    const __m128i va = _mm_add_epi16(_mm_add_epi16(Odd8(a - 2), Odd8(a + 2)), _mm_slli_epi16(Odd8(a), 1));
    const __m128i vb = _mm_add_epi16(_mm_add_epi16(Odd8(b - 2), Odd8(b + 2)), _mm_slli_epi16(Odd8(b), 1));
    const __m128i ok = _mm_and_si128(_mm_cmplt_epi16(Absolute(_mm_sub_epi16(t1, t3)), limitH),
                                     _mm_cmplt_epi16(Absolute(_mm_sub_epi16(va, vb)), limitV));
    __m128i sum = _mm_add_epi16(_mm_add_epi16(t0, t1), _mm_add_epi16(t2, t3));
    sum = _mm_add_epi16(_mm_add_epi16(sum, t4), twelve);
    const __m128i mean = _mm_srli_epi16(_mm_mulhi_epu16(sum, divide), 1);
    // Smooth, the pixel before smooth, and the pixel above smooth.
    __m128i* previous = reinterpret_cast<__m128i*>(row.previous + i);
    const __m128i before = _mm_or_si128(_mm_slli_si128(ok, 2), _mm_srli_si128(carry, 14));
    const __m128i replace = _mm_and_si128(_mm_and_si128(ok, before), _mm_loadu_si128(previous));
    _mm_storeu_si128(previous, ok);
    carry = ok;
    const __m128i pixels = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row.in + 2 * i));
    const __m128i mask = _mm_and_si128(replace, high);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(row.out + 2 * i),
                     _mm_or_si128(_mm_andnot_si128(mask, pixels), _mm_and_si128(mask, _mm_slli_epi16(mean, 8))));
  }
  if (i != from) *left = ULONG(_mm_extract_epi16(carry, 7));
  return i;
}
#endif

}  // namespace

VOID NoiseFilterPixels(const NoiseRow& row, ULONG from, ULONG left) {
  const USHORT* t = row.sums;
#if UVCCAM_NOISE_SSE2
  from = NoiseFilterBlocksSse2(row, from, &left);
#endif
  for (ULONG i = from; i + 3 <= row.w; ++i) {
    const LONG horizontal = LONG(t[i - 1]) - LONG(t[i + 1]);
    const LONG va = LONG(Odd(row.above, i - 1)) + 2 * LONG(Odd(row.above, i)) + LONG(Odd(row.above, i + 1));
    const LONG vb = LONG(Odd(row.below, i - 1)) + 2 * LONG(Odd(row.below, i)) + LONG(Odd(row.below, i + 1));
    const LONG vertical = va - vb;
    const bool smooth = horizontal < 80 && horizontal > -80 && vertical < 64 && vertical > -64;
    row.out[2 * i] = row.in[2 * i];
    row.out[2 * i + 1] =
        smooth && left != 0 && row.previous[i] != 0
            ? UCHAR((ULONG(t[i - 2]) + t[i - 1] + t[i] + t[i + 1] + t[i + 2] + 12) / 25)
            : row.in[2 * i + 1];
    row.previous[i] = smooth ? 0xFFFF : 0;
    left = smooth;
  }
}

VOID NoiseColumnSums(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG from, ULONG w) {
  ULONG i = from;
#if UVCCAM_NOISE_SSE2
  for (; i + 8 <= w; i += 8) {
    __m128i* p = reinterpret_cast<__m128i*>(t + i);
    _mm_storeu_si128(p, _mm_sub_epi16(_mm_add_epi16(_mm_loadu_si128(p), Odd8(add + 2 * i)), Odd8(drop + 2 * i)));
  }
#endif
  for (; i < w; ++i) t[i] = USHORT(t[i] + Odd(add, i) - Odd(drop, i));
}

LONG NoiseFilter(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h) {
  if (dst == nullptr || src == nullptr) return 0;
  if (!PackedFrameUsable(w, h)) {
    if (dst != src) RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  // One block: the smoothness of the row above per pixel, then the 5-row sums.
  USHORT* block = static_cast<USHORT*>(
      ExAllocatePoolWithTag(NonPagedPool, 2 * SIZE_T(w) * sizeof(USHORT), kTagBuffer));
  if (block == nullptr) {
    if (dst != src) RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  const SIZE_T stride = SIZE_T(w) * 2;
  if (h < 5 || w < 6) {
    RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
  } else {
    // Rows 0, 1 and the last two are copied; so are the first and last two
    // pixels of every row.
    RtlCopyMemory(dst, src, 2 * stride);
    RtlCopyMemory(dst + (h - 2) * stride, src + (h - 2) * stride, 2 * stride);
    USHORT* previous = block;
    USHORT* t = block + w;
    for (ULONG i = 0; i < w; ++i) {
      previous[i] = 0xFFFF;
      t[i] = USHORT(Odd(src, i) + Odd(src + stride, i) + Odd(src + 2 * stride, i) +
                    Odd(src + 3 * stride, i) + Odd(src + 4 * stride, i));
    }
    // 2: AVX-512, 1: AVX2, 0: SSE2 and per pixel.
    const ULONG wide = EffectsUseAvx512Vbmi() ? 2 : EffectsUseAvx2() ? 1 : 0;
    for (ULONG r = 2; r + 3 <= h; ++r) {
      const UCHAR* in = src + r * stride;
      if (r > 2) {
        if (wide == 2) {
          NoiseColumnSumsAvx512(t, in + 2 * stride, in - 3 * stride, w);
        } else if (wide == 1) {
          NoiseColumnSumsAvx2(t, in + 2 * stride, in - 3 * stride, w);
        } else {
          NoiseColumnSums(t, in + 2 * stride, in - 3 * stride, 0, w);
        }
      }
      NoiseRow row;
      row.out = dst + r * stride;
      row.in = in;
      row.above = in - stride;
      row.below = in + stride;
      row.sums = t;
      row.previous = previous;
      row.w = w;
      RtlCopyMemory(row.out, in, 4);
      RtlCopyMemory(row.out + stride - 4, in + stride - 4, 4);
      if (wide == 2) {
        NoiseFilterRowAvx512(row);
      } else if (wide == 1) {
        NoiseFilterRowAvx2(row);
      } else {
        NoiseFilterPixels(row, 2, 1);  // pixel 1 counts as smooth
      }
    }
  }
  ExFreePoolWithTag(block, kTagBuffer);
  return 1;
}
