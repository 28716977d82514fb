// Vector row kernels of the pixel-format conversions for x86-64: SSE2 (always
// present), SSSE3, AVX2 and AVX-512 (F, BW, VBMI), each behind a runtime
// check of the processor. Every kernel gives exactly the bytes of the scalar
// rows in pipeline/conversions.cpp.
//
// YUY2 -> RGB24 without tables. The colour tables hold, for a byte x and a
// coefficient c, the term R(c * (x - k)) = n / 1024 rounded half away from
// zero, n = c * (x - k). For the five coefficients and the byte range no n
// is an odd multiple of 512, so no half ever arises and the term equals
// floor((n + 512) / 1024). The kernels compute exactly that in 16-bit lanes:
//  - SSE2:  (mulhi(128 * (x - k), c) + 1) >> 1
//           = floor((floor(n / 512) + 1) / 2) = floor((n + 512) / 1024);
//  - SSSE3 and later: mulhrs(32 * (x - k), c) = (32 n + 16384) >> 15
//           = floor((n + 512) / 1024).
// Sums of terms stay within -2048 .. 3071, and the quarter clamp at a sum s
// is min(max(s >> 2, 0), 255): an arithmetic shift and an unsigned
// saturating pack. The tests compare every kernel with the table-driven
// scalar code over every (Y, U, V).
//
// Kernel-mode note: on Windows the AVX and AVX-512 kernels must run inside
// KeSaveExtendedProcessorState / KeRestoreExtendedProcessorState; the host
// build runs in user mode and needs nothing.
#include "pipeline/conversion_kernels.h"
#include "platform/cpu_features.h"

#if defined(__x86_64__) || defined(__i386__)

#include <immintrin.h>

#define UVC_TARGET_SSSE3 __attribute__((target("ssse3")))
#define UVC_TARGET_AVX2 __attribute__((target("avx2")))
#define UVC_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

namespace {

// Coefficients of the five YCbCr-to-RGB terms (centred at 16 for luma and
// 128 for chroma).
constexpr short kLumaC = 4769;
constexpr short kCbBlueC = 8262;
constexpr short kCrRedC = 6537;
constexpr short kCbGreenC = -1606;
constexpr short kCrGreenC = -3330;

// Two 16-bit values, the first in the low half: one per (U, V) word pair.
constexpr int PairEpi16(short low, short high) {
  return int((unsigned(static_cast<unsigned short>(high)) << 16) |
             unsigned(static_cast<unsigned short>(low)));
}

// ------------------------------------------------------------------ SSE2

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

// Byte-shuffle masks that interleave 16 pixels into 48 RGB24 bytes from
// X = [B0..B7 G0..G7], Y = [B8..B15 G8..G15], Z = [R0..R15]. Output vector k
// is the OR of the listed shuffles; -128 clears a byte.
alignas(16) constexpr signed char kPack0X[16] = {0, 8, -128, 1, 9, -128, 2, 10, -128, 3, 11, -128, 4, 12, -128, 5};
alignas(16) constexpr signed char kPack0Z[16] = {-128, -128, 0, -128, -128, 1, -128, -128, 2, -128, -128, 3, -128, -128, 4, -128};
alignas(16) constexpr signed char kPack1X[16] = {13, -128, 6, 14, -128, 7, 15, -128, -128, -128, -128, -128, -128, -128, -128, -128};
alignas(16) constexpr signed char kPack1Y[16] = {-128, -128, -128, -128, -128, -128, -128, -128, 0, 8, -128, 1, 9, -128, 2, 10};
alignas(16) constexpr signed char kPack1Z[16] = {-128, 5, -128, -128, 6, -128, -128, 7, -128, -128, 8, -128, -128, 9, -128, -128};
alignas(16) constexpr signed char kPack2Y[16] = {-128, 3, 11, -128, 4, 12, -128, 5, 13, -128, 6, 14, -128, 7, 15, -128};
alignas(16) constexpr signed char kPack2Z[16] = {10, -128, -128, 11, -128, -128, 12, -128, -128, 13, -128, -128, 14, -128, -128, 15};
// Word shuffles: the first (blue) or second (red) term of each (U, V) pair
// into both lanes of the pair, and the two green terms swapped.
alignas(16) constexpr signed char kDupFirst[16] = {0, 1, 0, 1, 4, 5, 4, 5, 8, 9, 8, 9, 12, 13, 12, 13};
alignas(16) constexpr signed char kDupSecond[16] = {2, 3, 2, 3, 6, 7, 6, 7, 10, 11, 10, 11, 14, 15, 14, 15};
alignas(16) constexpr signed char kSwapBytes[16] = {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14};
alignas(16) constexpr signed char kSwapPair[16] = {2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13};
// Byte weights that turn YUY2 words into 32 * Y or 32 * chroma.
constexpr int kLumaTimes32 = PairEpi16(32, 32) & 0x00FF00FF;        // bytes 32, 0, 32, 0
constexpr int kChromaTimes32 = int(unsigned(kLumaTimes32) << 8);    // bytes 0, 32, 0, 32

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

// ------------------------------------------------------------------ AVX2

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

// --------------------------------------------------------------- AVX-512

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

// Average of two byte vectors, rounded down.
UVC_TARGET_AVX512 inline __m512i FloorAverage(__m512i a, __m512i b) {
  return _mm512_sub_epi8(_mm512_avg_epu8(a, b), _mm512_and_si512(_mm512_xor_si512(a, b), _mm512_set1_epi8(1)));
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

}  // namespace

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
