// The effect chain: the ordered image effects run on every camera frame at
// the camera's size, and the whole-frame routines it calls (special colours,
// flip, mirror, zoom presets, rotation). Frames are packed 4:2:2, two bytes
// per pixel, rows of width * 2 bytes. `lumaFirst` is 1 for Y0 U Y1 V (YUY2,
// decoded MJPEG) and 0 for U Y0 V Y1 (UYVY); format codes 3 and 4 name the
// same two orders.
#pragma once

#include "effects/effect_state.h"
#include "effects/image_filters.h"
#include "media/color_tables.h"
#include "platform/wdk.h"
#include "media/frame_format.h"

// Runs the enabled effects on `input` (w x h = the input size of
// frameFormat), handing the image between `input` and `effectBuffer` for the
// steps that write a new frame. Both buffers and `workBuffer` hold at least
// w * h * 2 bytes. Returns 1 when the finished frame is in effectBuffer, 0
// when it is in input.
LONG ApplyEffects(UCHAR* input, UCHAR* workBuffer, UCHAR* effectBuffer,
                  const ColorTables* colorTables, const FrameFormat* frameFormat,
                  EffectState* effectState);

// Fixed chroma treatments, in place: 0 none, 1 grey (128/128), 2 (64/160),
// 3 (192/64), 4 inverted chroma, 5 (128/48); other values change nothing.
VOID ApplySpecialColor(UCHAR* frame, ULONG w, ULONG h, ULONG mode, ULONG formatCode);

// Turns the frame upside down, in place.
VOID FlipVertical(UCHAR* frame, ULONG w, ULONG h, ULONG formatCode);

// Mirrors every row, in place: macro-pixels change places and the two luma
// samples of each change places; chroma moves with its macro-pixel.
VOID MirrorHorizontal(UCHAR* frame, ULONG w, ULONG h, ULONG lumaFirst);

// Fixed centre zoom: presets 1..5 show 55, 46, 37, 28, 19 / 64 of the frame.
// Any other preset gives dst an unchanged copy. Returns ZoomWindow's result.
LONG ZoomPreset(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG preset, ULONG lumaFirst);

// Rotation, src -> dst: 1 quarter turn clockwise, 2 half turn, 3 quarter turn
// counter-clockwise. The quarter turns rotate the centred square of side
// min(w, h) (even, on a macro-pixel boundary) and leave the rest black.
// Frames that are not whole macro-pixels are copied. Returns 1 when dst was
// written, 0 for another mode or dst = src (nothing written).
LONG RotateFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG mode, ULONG uyvy);
