// Pieces shared by the x86 twins of the pixel-format conversions'
// row kernels: conversions_sse2.cpp (SSE2, always present, and SSSE3, with
// the choice of kernels per instruction set), conversions_avx2.cpp and
// conversions_avx512.cpp (AVX-512 F, BW, VBMI), each run only behind a
// runtime check of the processor. Every kernel gives exactly the bytes of
// the scalar rows in pipeline/conversions.cpp.
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
#pragma once

#include "pipeline/conversion_kernels.h"

#if defined(__x86_64__) || defined(__i386__)
#define UVCCAM_CONVERSIONS_X86 1

#include <immintrin.h>

#define UVC_TARGET_SSSE3 __attribute__((target("ssse3")))
#define UVC_TARGET_AVX2 __attribute__((target("avx2")))
#define UVC_TARGET_AVX512 __attribute__((target("avx512f,avx512bw,avx512vbmi")))

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

// The kernels of each instruction set (the choice among them is in
// conversions_sse2.cpp).
SIZE_T Rgb24RowSse2(UCHAR* d, const UCHAR* s, SIZE_T groups);
SIZE_T I420RowPairSse2(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v, const UCHAR* row0,
                       const UCHAR* row1, SIZE_T groups);
SIZE_T SwapGroupsSse2(UCHAR* d, const UCHAR* s, SIZE_T groups);
UVC_TARGET_SSSE3 SIZE_T Rgb24RowSsse3(UCHAR* d, const UCHAR* s, SIZE_T groups);
UVC_TARGET_AVX2 SIZE_T Rgb24RowAvx2(UCHAR* d, const UCHAR* s, SIZE_T groups);
UVC_TARGET_AVX2 SIZE_T I420RowPairAvx2(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v,
                                       const UCHAR* row0, const UCHAR* row1, SIZE_T groups);
UVC_TARGET_AVX2 SIZE_T SwapGroupsAvx2(UCHAR* d, const UCHAR* s, SIZE_T groups);
UVC_TARGET_AVX512 SIZE_T Rgb24RowAvx512(UCHAR* d, const UCHAR* s, SIZE_T groups);
UVC_TARGET_AVX512 SIZE_T I420RowPairAvx512(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v,
                                           const UCHAR* row0, const UCHAR* row1, SIZE_T groups);
UVC_TARGET_AVX512 SIZE_T SwapGroupsAvx512(UCHAR* d, const UCHAR* s, SIZE_T groups);

#endif  // x86
