// Row kernels of the noise filter (NoiseFilter in image_filters.h), shared by
// the portable code and its AVX2 twin.
//
// The filter looks at the odd byte of every pixel (the high byte of each
// 16-bit pixel). For an inner pixel i (2 .. w - 3) of row r (2 .. h - 3):
//  - t[i] is the sum of the odd bytes of rows r - 2 .. r + 2 at pixel i;
//  - the pixel is smooth when |t[i - 1] - t[i + 1]| < 80 and the vertical
//    profile (a[i - 1] + 2 a[i] + a[i + 1]) of row r - 1 differs from that of
//    row r + 1 by less than 64;
//  - its odd byte becomes the rounded mean of the 5 x 5 odd bytes,
//    (t[i - 2] + .. + t[i + 2] + 12) / 25, when it is smooth and so were the
//    pixel before it in this row and the same pixel in the row above (pixel 1
//    and the row above row 2 count as smooth).
// Everything else is copied from the source.
#pragma once

#include "platform/wdk.h"

struct NoiseRow {
  UCHAR* out;            // destination row r
  const UCHAR* in;       // source rows r - 1, r, r + 1
  const UCHAR* above;
  const UCHAR* below;
  const USHORT* sums;    // t, w entries
  USHORT* previous;      // smoothness of row r - 1 per pixel (0 or 0xFFFF); becomes row r's
  ULONG w;
};

// Filters pixels [from, w - 3] of the row (SSE2 blocks of 8, then pixel by
// pixel); `left` is the smoothness of pixel from - 1 (nonzero = smooth).
// Writes bytes 2 * from .. 2 * (w - 2) - 1.
VOID NoiseFilterPixels(const NoiseRow& row, ULONG from, ULONG left);

// Moves the 5-row sums down one row: t[i] += odd byte of `add` - odd byte of
// `drop`, for pixels [from, w).
VOID NoiseColumnSums(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG from, ULONG w);

// AVX2 twins: whole blocks of 16 pixels from pixel 2 (from 0 for the sums),
// then the portable code for the rest. Only called when EffectsUseAvx2().
VOID NoiseFilterRowAvx2(const NoiseRow& row);
VOID NoiseColumnSumsAvx2(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG w);

// AVX-512 (F, BW) twins: blocks of 32 pixels, the same way. Only called when
// EffectsUseAvx512Vbmi() (the effects' one AVX-512 switch).
VOID NoiseFilterRowAvx512(const NoiseRow& row);
VOID NoiseColumnSumsAvx512(USHORT* t, const UCHAR* add, const UCHAR* drop, ULONG w);
