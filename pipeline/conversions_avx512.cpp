// AVX-512 (F, BW, VBMI) twins of the pixel-format conversions' row kernels
// (see conversion_simd.h), compiled for that target only and chosen only
// when the processor has it.
#include "pipeline/conversion_simd.h"

#if defined(UVCCAM_CONVERSIONS_X86)

namespace {

// Byte permutations for 64 pixels: the RGB24 interleave from
// x = packus(B, G) of pixels 0..31 and y = the same of pixels 32..63 (one
// two-source permutation per output vector), with red merged from
// z = packus(R 0..31, R 32..63) under a mask; and the even / odd bytes of
// two vectors (luma / chroma of YUY2, U / V of interleaved chroma).
struct Avx512Tables {
  alignas(64) unsigned char blueGreen[3][64] = {};
  alignas(64) unsigned char red[3][64] = {};
  alignas(64) unsigned char even[64] = {};
  alignas(64) unsigned char odd[64] = {};
  unsigned long long redMask[3] = {};
  // The 16-byte word shuffles repeated in the four 128-bit lanes.
  alignas(64) unsigned char dupFirst[64] = {};
  alignas(64) unsigned char dupSecond[64] = {};
  alignas(64) unsigned char swapPair[64] = {};
  alignas(64) unsigned char swapBytes[64] = {};
  constexpr Avx512Tables() {
    for (int i = 0; i < 64; ++i) {
      dupFirst[i] = (unsigned char)(kDupFirst[i % 16] + 16 * (i / 16));
      dupSecond[i] = (unsigned char)(kDupSecond[i % 16] + 16 * (i / 16));
      swapPair[i] = (unsigned char)(kSwapPair[i % 16] + 16 * (i / 16));
      swapBytes[i] = (unsigned char)(kSwapBytes[i % 16] + 16 * (i / 16));
    }
    for (int k = 0; k < 192; ++k) {
      const int p = k / 3, channel = k % 3, o = k / 64, at = k % 64;
      const int q = p % 32;
      if (channel < 2) {
        // packus per 128-bit lane j: 8 bytes of the first source (pixels
        // 8j..8j+7), then 8 of the second.
        blueGreen[o][at] = (unsigned char)(16 * (q / 8) + 8 * channel + q % 8 + (p >= 32 ? 64 : 0));
      } else {
        red[o][at] = (unsigned char)(16 * (q / 8) + (p >= 32 ? 8 : 0) + q % 8);
        redMask[o] |= 1ull << at;
      }
    }
    for (int i = 0; i < 64; ++i) {
      even[i] = (unsigned char)(2 * i);
      odd[i] = (unsigned char)(2 * i + 1);
    }
  }
};
constexpr Avx512Tables kAvx512;

UVC_TARGET_AVX512 inline __m512i Load64(const unsigned char* p) { return _mm512_load_si512(p); }

UVC_TARGET_AVX512 inline void RgbTermsAvx512(__m512i v, __m512i* b, __m512i* g, __m512i* r) {
  const __m512i ys = _mm512_sub_epi16(_mm512_maddubs_epi16(v, _mm512_set1_epi32(kLumaTimes32)), _mm512_set1_epi16(16 * 32));
  const __m512i cs = _mm512_sub_epi16(_mm512_maddubs_epi16(v, _mm512_set1_epi32(kChromaTimes32)), _mm512_set1_epi16(128 * 32));
  const __m512i luma = _mm512_mulhrs_epi16(ys, _mm512_set1_epi16(kLumaC));
  const __m512i blueRed = _mm512_mulhrs_epi16(cs, _mm512_set1_epi32(PairEpi16(kCbBlueC, kCrRedC)));
  const __m512i greens = _mm512_mulhrs_epi16(cs, _mm512_set1_epi32(PairEpi16(kCbGreenC, kCrGreenC)));
  const __m512i blue = _mm512_shuffle_epi8(blueRed, Load64(kAvx512.dupFirst));
  const __m512i red = _mm512_shuffle_epi8(blueRed, Load64(kAvx512.dupSecond));
  const __m512i green = _mm512_add_epi16(greens, _mm512_shuffle_epi8(greens, Load64(kAvx512.swapPair)));
  *b = _mm512_srai_epi16(_mm512_add_epi16(luma, blue), 2);
  *g = _mm512_srai_epi16(_mm512_add_epi16(luma, green), 2);
  *r = _mm512_srai_epi16(_mm512_add_epi16(luma, red), 2);
}

// Average of two byte vectors, rounded down.
UVC_TARGET_AVX512 inline __m512i FloorAverage(__m512i a, __m512i b) {
  return _mm512_sub_epi8(_mm512_avg_epu8(a, b), _mm512_and_si512(_mm512_xor_si512(a, b), _mm512_set1_epi8(1)));
}

}  // namespace

UVC_TARGET_AVX512 SIZE_T Rgb24RowAvx512(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  for (; g + 32 <= groups; g += 32) {
    __m512i b0, g0, r0, b1, g1, r1;
    RgbTermsAvx512(_mm512_loadu_si512(s + 4 * g), &b0, &g0, &r0);
    RgbTermsAvx512(_mm512_loadu_si512(s + 4 * g + 64), &b1, &g1, &r1);
    const __m512i x = _mm512_packus_epi16(b0, g0);
    const __m512i y = _mm512_packus_epi16(b1, g1);
    const __m512i z = _mm512_packus_epi16(r0, r1);
    for (int o = 0; o < 3; ++o) {
      __m512i out = _mm512_permutex2var_epi8(x, Load64(kAvx512.blueGreen[o]), y);
      out = _mm512_mask_permutexvar_epi8(out, kAvx512.redMask[o], Load64(kAvx512.red[o]), z);
      _mm512_storeu_si512(d + 6 * g + 64 * o, out);
    }
  }
  return g;
}

UVC_TARGET_AVX512 SIZE_T I420RowPairAvx512(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v,
                                           const UCHAR* row0, const UCHAR* row1, SIZE_T groups) {
  SIZE_T g = 0;
  const __m512i even = Load64(kAvx512.even);
  const __m512i odd = Load64(kAvx512.odd);
  for (; g + 64 <= groups; g += 64) {
    const UCHAR* s0 = row0 + 4 * g;
    const UCHAR* s1 = row1 + 4 * g;
    __m512i chroma[2];
    for (int half = 0; half < 2; ++half) {
      const __m512i a0 = _mm512_loadu_si512(s0 + 128 * half);
      const __m512i a1 = _mm512_loadu_si512(s0 + 128 * half + 64);
      const __m512i b0 = _mm512_loadu_si512(s1 + 128 * half);
      const __m512i b1 = _mm512_loadu_si512(s1 + 128 * half + 64);
      _mm512_storeu_si512(luma0 + 2 * g + 64 * half, _mm512_permutex2var_epi8(a0, even, a1));
      _mm512_storeu_si512(luma1 + 2 * g + 64 * half, _mm512_permutex2var_epi8(b0, even, b1));
      chroma[half] = FloorAverage(_mm512_permutex2var_epi8(a0, odd, a1), _mm512_permutex2var_epi8(b0, odd, b1));
    }
    _mm512_storeu_si512(u + g, _mm512_permutex2var_epi8(chroma[0], even, chroma[1]));
    _mm512_storeu_si512(v + g, _mm512_permutex2var_epi8(chroma[0], odd, chroma[1]));
  }
  return g;
}

UVC_TARGET_AVX512 SIZE_T SwapGroupsAvx512(UCHAR* d, const UCHAR* s, SIZE_T groups) {
  SIZE_T g = 0;
  const __m512i swap = Load64(kAvx512.swapBytes);
  for (; g + 64 <= groups; g += 64) {
    __m512i x[4];
    for (int i = 0; i < 4; ++i) x[i] = _mm512_loadu_si512(s + 4 * g + 64 * i);
    for (int i = 0; i < 4; ++i) _mm512_storeu_si512(d + 4 * g + 64 * i, _mm512_shuffle_epi8(x[i], swap));
  }
  return g;
}

#endif  // x86
