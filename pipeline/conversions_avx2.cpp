// AVX2 twins of the pixel-format conversions' row kernels (see
// conversion_simd.h), compiled for that target only and chosen only when
// the processor has it.
#include "pipeline/conversion_simd.h"

#if defined(UVCCAM_CONVERSIONS_X86)

namespace {

UVC_TARGET_AVX2 inline __m256i Mask256(const signed char* p) {
  return _mm256_broadcastsi128_si256(_mm_load_si128(reinterpret_cast<const __m128i*>(p)));
}

UVC_TARGET_AVX2 inline void RgbTermsAvx2(__m256i v, __m256i* b, __m256i* g, __m256i* r) {
  const __m256i ys = _mm256_sub_epi16(_mm256_maddubs_epi16(v, _mm256_set1_epi32(kLumaTimes32)), _mm256_set1_epi16(16 * 32));
  const __m256i cs = _mm256_sub_epi16(_mm256_maddubs_epi16(v, _mm256_set1_epi32(kChromaTimes32)), _mm256_set1_epi16(128 * 32));
  const __m256i luma = _mm256_mulhrs_epi16(ys, _mm256_set1_epi16(kLumaC));
  const __m256i blueRed = _mm256_mulhrs_epi16(cs, _mm256_set1_epi32(PairEpi16(kCbBlueC, kCrRedC)));
  const __m256i greens = _mm256_mulhrs_epi16(cs, _mm256_set1_epi32(PairEpi16(kCbGreenC, kCrGreenC)));
  const __m256i blue = _mm256_shuffle_epi8(blueRed, Mask256(kDupFirst));
  const __m256i red = _mm256_shuffle_epi8(blueRed, Mask256(kDupSecond));
  const __m256i green = _mm256_add_epi16(greens, _mm256_shuffle_epi8(greens, Mask256(kSwapPair)));
  *b = _mm256_srai_epi16(_mm256_add_epi16(luma, blue), 2);
  *g = _mm256_srai_epi16(_mm256_add_epi16(luma, green), 2);
  *r = _mm256_srai_epi16(_mm256_add_epi16(luma, red), 2);
}

}  // namespace

UVC_TARGET_AVX2 SIZE_T Rgb24RowAvx2(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  for (; g + 16 <= groups; g += 16) {
    // Pixels 0..15 and 16..31; 16-bit lanes hold pixels in order.
    __m256i b0, g0, r0, b1, g1, r1;
    RgbTermsAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * g)), &b0, &g0, &r0);
    RgbTermsAvx2(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(s + 4 * g + 32)), &b1, &g1, &r1);
    // Per 128-bit lane: x = [B G] of pixels 0..7 | 8..15, y = the same for
    // 16..23 | 24..31, z = [R 0..7, R 16..23 | R 8..15, R 24..31].
    const __m256i x = _mm256_packus_epi16(b0, g0);
    const __m256i y = _mm256_packus_epi16(b1, g1);
    const __m256i z = _mm256_packus_epi16(r0, r1);
    // Regroup so that lane 0 holds pixels 0..15 and lane 1 pixels 16..31 in
    // the SSSE3 arrangement.
    const __m256i xx = _mm256_permute2x128_si256(x, y, 0x20);
    const __m256i yy = _mm256_permute2x128_si256(x, y, 0x31);
    const __m256i zz = _mm256_permute4x64_epi64(z, 0xD8);
    const __m256i o0 = _mm256_or_si256(_mm256_shuffle_epi8(xx, Mask256(kPack0X)), _mm256_shuffle_epi8(zz, Mask256(kPack0Z)));
    const __m256i o1 = _mm256_or_si256(_mm256_or_si256(_mm256_shuffle_epi8(xx, Mask256(kPack1X)),
                                                       _mm256_shuffle_epi8(yy, Mask256(kPack1Y))),
                                       _mm256_shuffle_epi8(zz, Mask256(kPack1Z)));
    const __m256i o2 = _mm256_or_si256(_mm256_shuffle_epi8(yy, Mask256(kPack2Y)), _mm256_shuffle_epi8(zz, Mask256(kPack2Z)));
    __m256i* o = reinterpret_cast<__m256i*>(d + 6 * g);
    _mm256_storeu_si256(o, _mm256_permute2x128_si256(o0, o1, 0x20));
    _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(o2, o0, 0x30));
    _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(o1, o2, 0x31));
  }
  return g;
}

UVC_TARGET_AVX2 SIZE_T I420RowPairAvx2(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v,
                                       const UCHAR* row0, const UCHAR* row1, SIZE_T groups) {
  SIZE_T g = 0;
  const __m256i lowByte = _mm256_set1_epi16(0x00FF);
  const __m256i dwordOrder = _mm256_setr_epi32(0, 4, 1, 5, 2, 6, 3, 7);
  for (; g + 32 <= groups; g += 32) {
    const __m256i* s0 = reinterpret_cast<const __m256i*>(row0 + 4 * g);
    const __m256i* s1 = reinterpret_cast<const __m256i*>(row1 + 4 * g);
    __m256i a[4], b[4], c[4];
    for (int i = 0; i < 4; ++i) {
      a[i] = _mm256_loadu_si256(s0 + i);
      b[i] = _mm256_loadu_si256(s1 + i);
      c[i] = _mm256_srli_epi16(_mm256_add_epi16(_mm256_srli_epi16(a[i], 8), _mm256_srli_epi16(b[i], 8)), 1);
    }
    __m256i* y0 = reinterpret_cast<__m256i*>(luma0 + 2 * g);
    __m256i* y1 = reinterpret_cast<__m256i*>(luma1 + 2 * g);
    for (int i = 0; i < 2; ++i) {
      _mm256_storeu_si256(y0 + i, _mm256_permute4x64_epi64(
          _mm256_packus_epi16(_mm256_and_si256(a[2 * i], lowByte), _mm256_and_si256(a[2 * i + 1], lowByte)), 0xD8));
      _mm256_storeu_si256(y1 + i, _mm256_permute4x64_epi64(
          _mm256_packus_epi16(_mm256_and_si256(b[2 * i], lowByte), _mm256_and_si256(b[2 * i + 1], lowByte)), 0xD8));
    }
    const __m256i uv01 = _mm256_packus_epi16(c[0], c[1]);
    const __m256i uv23 = _mm256_packus_epi16(c[2], c[3]);
    const __m256i us = _mm256_packus_epi16(_mm256_and_si256(uv01, lowByte), _mm256_and_si256(uv23, lowByte));
    const __m256i vs = _mm256_packus_epi16(_mm256_srli_epi16(uv01, 8), _mm256_srli_epi16(uv23, 8));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(u + g), _mm256_permutevar8x32_epi32(us, dwordOrder));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(v + g), _mm256_permutevar8x32_epi32(vs, dwordOrder));
  }
  return g;
}

UVC_TARGET_AVX2 SIZE_T SwapGroupsAvx2(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  const __m256i swap = Mask256(kSwapBytes);
  for (; g + 32 <= groups; g += 32) {
    const __m256i* in = reinterpret_cast<const __m256i*>(s + 4 * g);
    __m256i* out = reinterpret_cast<__m256i*>(d + 4 * g);
    __m256i x[4];
    for (int i = 0; i < 4; ++i) x[i] = _mm256_loadu_si256(in + i);
    for (int i = 0; i < 4; ++i) _mm256_storeu_si256(out + i, _mm256_shuffle_epi8(x[i], swap));
  }
  return g;
}

#endif  // x86
