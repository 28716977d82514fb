// AVX-512 (F, BW, VBMI) twin of the rotation's quarter turn (RotateFrame in
// effect_chain.h), used only when EffectsUseAvx512Vbmi().
#pragma once

#include "platform/wdk.h"

// Turns the blocks of 16 source row pairs by 16 macro-pixels of the centred
// square (side s, top-left pixel (cx, ry), cx even) that lie in its first
// (s / 2) & ~15 row pairs and macro-pixels; the rest is the caller's.
// clockwise: source (cx + x, ry + y) -> (cx + s - 1 - y, ry + x), else
// (cx + y, ry + s - 1 - x); both output macro-pixels of a 2 x 2 block take
// the truncated mean of the chroma of the two source macro-pixels.
VOID QuarterTurnBlocksAvx512(UCHAR* dst, const UCHAR* src, ULONG w, ULONG s, ULONG cx, ULONG ry,
                             bool clockwise, ULONG lumaFirst);
