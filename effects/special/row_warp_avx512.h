// The row warp's output rows 64 bytes at a time for processors with
// AVX-512 VBMI (chosen at run time through EffectsUseAvx512Vbmi).
#pragma once

#include "platform/wdk.h"

// Writes the row warp of source rows in0 (into out0) and in1 (into out1;
// out1 may be null) through one column table (w source pixel indices, w =
// black), from pixel `from` (a multiple of 32) on, 32 pixels at a time.
// Stops at the first run of 32 whose pixels lie too far apart in the source
// and returns where it stopped; w when it wrote the rest of the row. Gives
// exactly the bytes of the per-pixel code.
ULONG RowWarpAvx512(UCHAR* out0, UCHAR* out1, const UCHAR* in0, const UCHAR* in1,
                    const USHORT* columns, ULONG w, ULONG lumaOffset, ULONG from);
