// The special-effect selector: runs the selected numbered effect from a
// source frame into a destination frame of the same size.
#pragma once

#include "effects/special/special_effect_record.h"
#include "media/color_tables.h"

// Format codes of packed 4:2:2 frames.
constexpr ULONG kFormatCodeLumaFirst = 3;   // Y0 U Y1 V (YUY2, decoded MJPEG)
constexpr ULONG kFormatCodeChromaFirst = 4; // U Y0 V Y1 (UYVY)

// Returns 1 when the selected effect wrote the whole of `destination`
// (2 x width x height bytes), so the chain continues from it. Returns 0 and
// writes nothing when no effect is selected (0 or above 12), when the
// selected effect is not ready (effects 2 and 7 while an overlay is on, 7
// and 10 without their per-stream set-up for this frame size, 3 and 4
// without their temporary memory), or when the call
// cannot be served (a null pointer, a zero or unaddressable size, a format
// code other than 3 or 4); the chain then continues from `source`.
// `workBuffer` and `colorTables` are not read by the per-pixel effects.
LONG ApplySpecialEffect(SpecialEffectRecord* record, UCHAR* destination, const UCHAR* source,
                        UCHAR* workBuffer, const ColorTables* colorTables, ULONG width,
                        ULONG height, ULONG formatCode);
