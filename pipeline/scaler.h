// Frame scaler: resizes one packed 4:2:2 frame (YUY2 or UYVY byte order) from
// the camera's frame size to the size the application negotiated.
#pragma once

#include "platform/wdk.h"

// Scales `source` (2 * inW * inH bytes) into `destination` (2 * outW * outH
// bytes); the two must not overlap. `clampPointer` is entry 0 of the clamp
// table (indexes -256 .. 767). `lumaFirst` is 1 for YUY2 order, 0 for UYVY.
// For 640x480 -> 1280x720 the source rows 60..419 are moved up to rows
// 0..359 before scaling. Reads only the source frame and writes only the
// destination frame for every size pair; pairs that cannot be scaled safely
// leave the destination as it was. Always returns 1.
LONG ScaleFrame(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst);
