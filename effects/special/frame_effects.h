// The special effects that rebuild the picture from pieces of the frame:
// the 3 x 3 photo grid (2), mirrored tiles (3) and the breathing stretch (4).
// Frames are packed 4:2:2 (two bytes per pixel, rows of width * 2 bytes);
// `lumaOffset` is 0 for Y0 U Y1 V and 1 for U Y0 V Y1. Each returns 1 when it
// wrote the whole destination and 0 when it wrote nothing.
#pragma once

#include "effects/special/special_effect_record.h"
#include "platform/wdk.h"

// Milliseconds of the system tick count (tick count x time increment / 10^4).
ULONG SystemTimeMs();

// Effect 2. The held frame is the record's overlay bitmap buffer; the live
// picture enters it one cell per second (`nowMs`), and the destination always
// shows it. Needs 2 x w x h bytes of held frame; otherwise writes nothing.
LONG PhotoGridFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                    ULONG lumaOffset, ULONG nowMs);

// Effect 3. Half-resolution copies of the frame laid out in overlapping
// blocks of 26 pixels and 26 rows, mirrored at the right and bottom ends.
// Frames too small for the blocks (under 38 x 44 pixels) are copied.
LONG MirroredTilesFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaOffset);

// Effect 4's animation, shared by every device for the life of the driver.
struct BreathingAnimation {
  ULONG horizontal;  // 1 = the horizontal step is animated, 0 = the vertical
  ULONG stepX;       // 1/64
  ULONG stepY;
  ULONG shrinking;
};
extern BreathingAnimation BreathingState;

// Effect 4: advances the animation, then magnifies the frame about its centre
// by 64 / step in each direction. Writes nothing when its two row buffers
// cannot be allocated.
LONG BreathingStretchFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaOffset);
