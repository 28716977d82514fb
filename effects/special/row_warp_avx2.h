// The row warp's output rows 64 bytes at a time for processors with AVX2
// (chosen at run time through EffectsUseAvx2 when the AVX-512 twin is not).
#pragma once

#include "platform/wdk.h"

// The contract of RowWarpAvx512 (row_warp_avx512.h): the row warp of source
// rows in0 (into out0) and in1 (into out1; out1 may be null) through one
// column table, from pixel `from` (a multiple of 32) on, 32 pixels at a
// time; returns where it stopped at a run whose pixels lie too far apart in
// the source, w when it wrote the rest of the row. Gives exactly the bytes
// of the per-pixel code.
ULONG RowWarpAvx2(UCHAR* out0, UCHAR* out1, const UCHAR* in0, const UCHAR* in1,
                  const USHORT* columns, ULONG w, ULONG lumaOffset, ULONG from);
