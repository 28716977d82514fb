// Row kernels behind the pixel-format conversions, one set per instruction
// set, and entry points that force a given set (tests compare every set
// with the scalar code; benchmarks measure each). Driver code calls only
// the functions of pipeline/conversions.h.
#pragma once

#include "media/color_tables.h"
#include "platform/wdk.h"

enum ConversionIsa : int {
  kIsaScalar = 0,
  kIsaSse2 = 1,    // always present on x64
  kIsaSsse3 = 2,   // byte shuffles, rounding multiply
  kIsaAvx2 = 3,
  kIsaAvx512 = 4,  // AVX-512 F, BW and VBMI
};

// Highest instruction set of the list that this processor supports.
ConversionIsa ConversionIsaSupported();

// The conversions of pipeline/conversions.h with the instruction set chosen
// by the caller; a set the processor lacks falls back to the best it has.
VOID ConvertYuy2ToI420Isa(ConversionIsa isa, UCHAR* destination, const UCHAR* source, ULONG width,
                          ULONG height);
VOID ConvertYuy2ToRgb24Isa(ConversionIsa isa, const ColorTables* colorTables, UCHAR* destination,
                           const UCHAR* source, ULONG width, ULONG height);
VOID SwapYuy2ToUyvyIsa(ConversionIsa isa, UCHAR* destination, const UCHAR* source,
                       SIZE_T byteCount);

// Vector row kernels. Each handles a leading run of whole 4-byte groups
// (2 pixels) and returns how many it did; the caller finishes the rest with
// the scalar code.
//  I420 row pair: luma of two rows, averaged U and V.
//  RGB24 row: 3 bytes per pixel, left to right.
//  Swap: 4-byte groups.
struct ConversionKernels {
  SIZE_T (*i420RowPair)(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v, const UCHAR* row0,
                        const UCHAR* row1, SIZE_T groups);
  SIZE_T (*rgb24Row)(UCHAR* destination, const UCHAR* source, SIZE_T groups);
  SIZE_T (*swapGroups)(UCHAR* destination, const UCHAR* source, SIZE_T groups);
};

// Kernels of one instruction set; null members where the set has none.
// Defined in pipeline/conversions_sse2.cpp (empty on other processors).
ConversionKernels ConversionKernelsFor(ConversionIsa isa);
