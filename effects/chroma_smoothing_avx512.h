// AVX-512 (F, BW, VBMI) twins of chroma smoothing's two inner loops
// (ChromaSmoothing in image_filters.h), used only when EffectsUseAvx512Vbmi().
// su and sv hold, per macro-pixel, the sums of U and V over the four source
// rows of the current row pair; uOffset is the byte of U in a macro-pixel
// (0 or 1), V two bytes after it.
#pragma once

#include "platform/wdk.h"

// Writes macro-pixels 1 .. of the row pair (row0, row1) in blocks of 32
// while the box (sums m - 1 .. m + 2, (sum) >> 4) stays inside the row:
// chroma from the box, luma from the source rows in0, in1. Returns the first
// macro-pixel not written (1 when none was).
ULONG ChromaBoxAvx512(UCHAR* row0, UCHAR* row1, const UCHAR* in0, const UCHAR* in1, const USHORT* su,
                      const USHORT* sv, ULONG n, ULONG uOffset);

// Moves the sums down two rows, adding row `add` and taking row `drop`, in
// blocks of 32 macro-pixels; returns the first macro-pixel not done.
ULONG ChromaSumsAvx512(USHORT* su, USHORT* sv, const UCHAR* add, const UCHAR* drop, ULONG n, ULONG uOffset);
