// Auto framing: finds the largest skin-coloured blob of the frame, derives a
// zoom window around it and moves the current window smoothly toward it,
// then enlarges the window to the whole frame with ZoomWindow.
#pragma once

#include "effects/effect_state.h"
#include "platform/wdk.h"

// Looks for a face-sized skin region. Writes the skin mask (one byte per
// frame byte) into workBuffer (w * h * 2 bytes) and uses the state's grids
// and work area. Returns 1 with a window origin in pixels and a zoom in
// 1/64 of the frame (at most 64), or 0 when no acceptable region was found.
LONG DetectFace(const UCHAR* src, ULONG w, ULONG h, UCHAR* workBuffer, AutoFramingState* state,
                ULONG* x, ULONG* y, ULONG* zoom, ULONG lumaFirst);

// One frame of auto framing, src -> dst (always written). The first frame
// after the step was not running starts from the whole frame (zoom 64).
VOID AutoFraming(AutoFramingState* state, UCHAR* workBuffer, const UCHAR* src, UCHAR* dst, ULONG w,
                 ULONG h, ULONG lumaFirst);
