// The luma curve's byte lookup, 64 frame bytes at a time, for processors
// with AVX-512 VBMI (chosen at run time through EffectsUseAvx512Vbmi).
#pragma once

#include "platform/wdk.h"

// Replaces every luma byte of `frame` (the even bytes when lumaFirst is 1,
// the odd ones otherwise) by curve[value] over the first `bytes` bytes
// rounded down to a multiple of 64; returns how many bytes it did. The
// chroma bytes stay as they are.
SIZE_T ApplyLumaCurveAvx512(UCHAR* frame, SIZE_T bytes, const UCHAR curve[256], ULONG lumaFirst);
