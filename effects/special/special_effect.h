// The special-effect selector: runs the selected numbered effect from a
// source frame into a destination frame of the same size.
#pragma once

#include "effects/special/special_effect_record.h"
#include "pipeline/color_tables.h"

// Format codes of packed 4:2:2 frames.
constexpr ULONG kFormatCodeLumaFirst = 3;   // Y0 U Y1 V (YUY2, decoded MJPEG)
constexpr ULONG kFormatCodeChromaFirst = 4; // U Y0 V Y1 (UYVY)

// Returns 1 when the selected effect (1..12) wrote `destination`, 0 when no
// effect is selected (0 or above 12) and nothing was written.
LONG ApplySpecialEffect(SpecialEffectRecord* record, UCHAR* destination, const UCHAR* source,
                        UCHAR* workBuffer, const ColorTables* colorTables, ULONG width,
                        ULONG height, ULONG formatCode);
