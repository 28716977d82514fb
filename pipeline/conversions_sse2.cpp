// SSE2 and SSSE3 row kernels of the pixel-format conversions, and the
// choice of kernels per instruction set (the AVX2 and AVX-512 twins are in
// conversions_avx2.cpp and conversions_avx512.cpp). See conversion_simd.h
// for the arithmetic the kernels share.
#include "pipeline/conversion_simd.h"
#include "platform/cpu_features.h"

#if defined(UVCCAM_CONVERSIONS_X86)

namespace {

// Eight pixels (16 bytes of YUY2) to blue, green and red before the clamp,
// one 16-bit lane per pixel, already divided by 4.
inline void RgbTermsSse2(__m128i v, __m128i* b, __m128i* g, __m128i* r) {
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  const __m128i one = _mm_set1_epi16(1);
  const __m128i ys = _mm_sub_epi16(_mm_slli_epi16(_mm_and_si128(v, lowByte), 7), _mm_set1_epi16(16 * 128));
  const __m128i cs = _mm_sub_epi16(_mm_slli_epi16(_mm_srli_epi16(v, 8), 7), _mm_set1_epi16(128 * 128));
  const __m128i luma =
      _mm_srai_epi16(_mm_add_epi16(_mm_mulhi_epi16(ys, _mm_set1_epi16(kLumaC)), one), 1);
  const __m128i blueRed = _mm_srai_epi16(
      _mm_add_epi16(_mm_mulhi_epi16(cs, _mm_set1_epi32(PairEpi16(kCbBlueC, kCrRedC))), one), 1);
  const __m128i greens = _mm_srai_epi16(
      _mm_add_epi16(_mm_mulhi_epi16(cs, _mm_set1_epi32(PairEpi16(kCbGreenC, kCrGreenC))), one), 1);
  const __m128i blue = _mm_shufflehi_epi16(_mm_shufflelo_epi16(blueRed, 0xA0), 0xA0);
  const __m128i red = _mm_shufflehi_epi16(_mm_shufflelo_epi16(blueRed, 0xF5), 0xF5);
  const __m128i green =
      _mm_add_epi16(greens, _mm_shufflehi_epi16(_mm_shufflelo_epi16(greens, 0xB1), 0xB1));
  *b = _mm_srai_epi16(_mm_add_epi16(luma, blue), 2);
  *g = _mm_srai_epi16(_mm_add_epi16(luma, green), 2);
  *r = _mm_srai_epi16(_mm_add_epi16(luma, red), 2);
}

// Four pixels as B G R 0 in each 32-bit lane, squeezed to 12 bytes at the
// bottom of the vector (the rest zero).
inline __m128i Squeeze4Sse2(__m128i p) {
  const __m128i low3 = _mm_set1_epi64x(0x0000000000FFFFFFll);
  const __m128i high3 = _mm_set1_epi64x(0x0000FFFFFF000000ll);
  const __m128i q =
      _mm_or_si128(_mm_and_si128(p, low3), _mm_and_si128(_mm_srli_epi64(p, 8), high3));
  return _mm_or_si128(_mm_move_epi64(q), _mm_slli_si128(_mm_srli_si128(q, 8), 6));
}

}  // namespace

SIZE_T Rgb24RowSse2(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  const __m128i zero = _mm_setzero_si128();
  for (; g + 8 <= groups; g += 8) {
    __m128i b0, g0, r0, b1, g1, r1;
    RgbTermsSse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * g)), &b0, &g0, &r0);
    RgbTermsSse2(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * g + 16)), &b1, &g1, &r1);
    const __m128i blue = _mm_packus_epi16(b0, b1);
    const __m128i green = _mm_packus_epi16(g0, g1);
    const __m128i red = _mm_packus_epi16(r0, r1);
    const __m128i bgLow = _mm_unpacklo_epi8(blue, green);
    const __m128i bgHigh = _mm_unpackhi_epi8(blue, green);
    const __m128i r0Low = _mm_unpacklo_epi8(red, zero);
    const __m128i r0High = _mm_unpackhi_epi8(red, zero);
    const __m128i c0 = Squeeze4Sse2(_mm_unpacklo_epi16(bgLow, r0Low));
    const __m128i c1 = Squeeze4Sse2(_mm_unpackhi_epi16(bgLow, r0Low));
    const __m128i c2 = Squeeze4Sse2(_mm_unpacklo_epi16(bgHigh, r0High));
    const __m128i c3 = Squeeze4Sse2(_mm_unpackhi_epi16(bgHigh, r0High));
    __m128i* o = reinterpret_cast<__m128i*>(d + 6 * g);
    _mm_storeu_si128(o, _mm_or_si128(c0, _mm_slli_si128(c1, 12)));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_srli_si128(c1, 4), _mm_slli_si128(c2, 8)));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_srli_si128(c2, 8), _mm_slli_si128(c3, 4)));
  }
  return g;
}

SIZE_T I420RowPairSse2(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v, const UCHAR* row0,
                       const UCHAR* row1, SIZE_T groups) {
  SIZE_T g = 0;
  const __m128i lowByte = _mm_set1_epi16(0x00FF);
  for (; g + 16 <= groups; g += 16) {
    const __m128i* s0 = reinterpret_cast<const __m128i*>(row0 + 4 * g);
    const __m128i* s1 = reinterpret_cast<const __m128i*>(row1 + 4 * g);
    __m128i a[4], b[4], c[4];
    for (int i = 0; i < 4; ++i) {
      a[i] = _mm_loadu_si128(s0 + i);
      b[i] = _mm_loadu_si128(s1 + i);
      c[i] = _mm_srli_epi16(_mm_add_epi16(_mm_srli_epi16(a[i], 8), _mm_srli_epi16(b[i], 8)), 1);
    }
    __m128i* y0 = reinterpret_cast<__m128i*>(luma0 + 2 * g);
    __m128i* y1 = reinterpret_cast<__m128i*>(luma1 + 2 * g);
    _mm_storeu_si128(y0, _mm_packus_epi16(_mm_and_si128(a[0], lowByte), _mm_and_si128(a[1], lowByte)));
    _mm_storeu_si128(y0 + 1, _mm_packus_epi16(_mm_and_si128(a[2], lowByte), _mm_and_si128(a[3], lowByte)));
    _mm_storeu_si128(y1, _mm_packus_epi16(_mm_and_si128(b[0], lowByte), _mm_and_si128(b[1], lowByte)));
    _mm_storeu_si128(y1 + 1, _mm_packus_epi16(_mm_and_si128(b[2], lowByte), _mm_and_si128(b[3], lowByte)));
    const __m128i uv01 = _mm_packus_epi16(c[0], c[1]);
    const __m128i uv23 = _mm_packus_epi16(c[2], c[3]);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(u + g),
                     _mm_packus_epi16(_mm_and_si128(uv01, lowByte), _mm_and_si128(uv23, lowByte)));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(v + g),
                     _mm_packus_epi16(_mm_srli_epi16(uv01, 8), _mm_srli_epi16(uv23, 8)));
  }
  return g;
}

SIZE_T SwapGroupsSse2(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  for (; g + 16 <= groups; g += 16) {
    const __m128i* in = reinterpret_cast<const __m128i*>(s + 4 * g);
    __m128i* out = reinterpret_cast<__m128i*>(d + 4 * g);
    __m128i x[4];
    for (int i = 0; i < 4; ++i) x[i] = _mm_loadu_si128(in + i);
    for (int i = 0; i < 4; ++i) {
      _mm_storeu_si128(out + i, _mm_or_si128(_mm_slli_epi16(x[i], 8), _mm_srli_epi16(x[i], 8)));
    }
  }
  return g;
}

// ----------------------------------------------------------------- SSSE3

namespace {

inline __m128i Load16(const signed char* p) { return _mm_load_si128(reinterpret_cast<const __m128i*>(p)); }

UVC_TARGET_SSSE3 inline void RgbTermsSsse3(__m128i v, __m128i* b, __m128i* g, __m128i* r) {
  const __m128i ys = _mm_sub_epi16(_mm_maddubs_epi16(v, _mm_set1_epi32(kLumaTimes32)), _mm_set1_epi16(16 * 32));
  const __m128i cs = _mm_sub_epi16(_mm_maddubs_epi16(v, _mm_set1_epi32(kChromaTimes32)), _mm_set1_epi16(128 * 32));
  const __m128i luma = _mm_mulhrs_epi16(ys, _mm_set1_epi16(kLumaC));
  const __m128i blueRed = _mm_mulhrs_epi16(cs, _mm_set1_epi32(PairEpi16(kCbBlueC, kCrRedC)));
  const __m128i greens = _mm_mulhrs_epi16(cs, _mm_set1_epi32(PairEpi16(kCbGreenC, kCrGreenC)));
  const __m128i blue = _mm_shuffle_epi8(blueRed, Load16(kDupFirst));
  const __m128i red = _mm_shuffle_epi8(blueRed, Load16(kDupSecond));
  const __m128i green = _mm_add_epi16(greens, _mm_shuffle_epi8(greens, Load16(kSwapPair)));
  *b = _mm_srai_epi16(_mm_add_epi16(luma, blue), 2);
  *g = _mm_srai_epi16(_mm_add_epi16(luma, green), 2);
  *r = _mm_srai_epi16(_mm_add_epi16(luma, red), 2);
}

}  // namespace

UVC_TARGET_SSSE3 SIZE_T Rgb24RowSsse3(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  for (; g + 8 <= groups; g += 8) {
    __m128i b0, g0, r0, b1, g1, r1;
    RgbTermsSsse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * g)), &b0, &g0, &r0);
    RgbTermsSsse3(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s + 4 * g + 16)), &b1, &g1, &r1);
    const __m128i x = _mm_packus_epi16(b0, g0);
    const __m128i y = _mm_packus_epi16(b1, g1);
    const __m128i z = _mm_packus_epi16(r0, r1);
    __m128i* o = reinterpret_cast<__m128i*>(d + 6 * g);
    _mm_storeu_si128(o, _mm_or_si128(_mm_shuffle_epi8(x, Load16(kPack0X)), _mm_shuffle_epi8(z, Load16(kPack0Z))));
    _mm_storeu_si128(o + 1, _mm_or_si128(_mm_or_si128(_mm_shuffle_epi8(x, Load16(kPack1X)),
                                                      _mm_shuffle_epi8(y, Load16(kPack1Y))),
                                         _mm_shuffle_epi8(z, Load16(kPack1Z))));
    _mm_storeu_si128(o + 2, _mm_or_si128(_mm_shuffle_epi8(y, Load16(kPack2Y)), _mm_shuffle_epi8(z, Load16(kPack2Z))));
  }
  return g;
}

ConversionIsa ConversionIsaSupported() {
  if (CpuHasAvx512Vbmi()) return kIsaAvx512;
  if (CpuHasAvx2()) return kIsaAvx2;
  if (CpuHasSsse3()) return kIsaSsse3;
  return kIsaSse2;
}

ConversionKernels ConversionKernelsFor(ConversionIsa isa) {
  ConversionKernels k = {nullptr, nullptr, nullptr};
  switch (isa) {
    case kIsaAvx512:
      k = {I420RowPairAvx512, Rgb24RowAvx512, SwapGroupsAvx512};
      break;
    case kIsaAvx2:
      k = {I420RowPairAvx2, Rgb24RowAvx2, SwapGroupsAvx2};
      break;
    case kIsaSsse3:
      k = {I420RowPairSse2, Rgb24RowSsse3, SwapGroupsSse2};
      break;
    case kIsaSse2:
      k = {I420RowPairSse2, Rgb24RowSse2, SwapGroupsSse2};
      break;
    case kIsaScalar:
      break;
  }
  return k;
}

#else  // not x86

ConversionIsa ConversionIsaSupported() { return kIsaScalar; }
ConversionKernels ConversionKernelsFor(ConversionIsa) { return {nullptr, nullptr, nullptr}; }

#endif
