// Overlay frames and the magnifier: the last step of the effect chain lays a
// picture over the video, read from a 24-bit BMP file per overlay mode and
// frame size in the system directory ("\SystemRoot\system32"). The bitmap
// is converted once to the stream's packed 4:2:2 order and kept in the
// SpecialEffectRecord's overlay bitmap buffer; an overlay pixel whose luma is
// 0 is transparent.
#pragma once

#include "effects/special/special_effect_record.h"
#include "media/color_tables.h"
#include "platform/wdk.h"

// Longest overlay file name, in characters with the terminating zero.
constexpr ULONG kOverlayNameChars = 96;

// Writes the file name of an overlay mode and frame size, zero-terminated,
// into name[0 .. capacity - 1]; the directory is "\SystemRoot\system32".
// Modes: 1 magnifier, 2 aim, 3 Newspaper, 4..20 the numbered frames 1..17,
// 254 SP_AIM. Returns false for any other mode or when the name does not fit.
bool OverlayFileName(ULONG mode, ULONG w, ULONG h, WCHAR* name, ULONG capacity);

// Bottom-up (or top-down) rows of B, G, R pixels, `stride` bytes apart, to
// top-down packed 4:2:2 in the order given by lumaFirst, with the BT.601
// terms of ColorTables. w must be even.
VOID RgbRowsToPacked422(const ColorTables* colorTables, UCHAR* dst, const UCHAR* src, ULONG w,
                        ULONG h, SIZE_T stride, bool bottomUp, ULONG lumaFirst);
// The same for a bottom-up image with rows of exactly w * 3 bytes.
VOID RgbToPacked422(const ColorTables* colorTables, UCHAR* dst, const UCHAR* src, ULONG w,
                    ULONG h, ULONG lumaFirst);

// Reads the overlay file of `mode` at w x h into record->overlayBitmap and
// converts it there to packed 4:2:2 (through workBuffer, w * h * 2 bytes).
// The file must be an uncompressed 24-bit BMP of exactly w x h pixels
// (bottom-up or top-down, any header length, rows padded to 4 bytes) that
// fits the buffer; anything else, a short read or a failed call, is a failed
// load. Returns 1 on success, 0 on failure.
LONG LoadOverlayBitmap(SpecialEffectRecord* record, ULONG mode, UCHAR* workBuffer,
                       const ColorTables* colorTables, ULONG w, ULONG h, ULONG formatCode);

// Compositions, in place on a w x h frame with a bitmap of the same size.
// Keyed: opaque overlay pixels replace the frame's luma and their
// macro-pixel's chroma. Aim: as keyed; transparent pixels darken to 4/10 and
// tint the chroma (U 86, V 75). Newspaper: opaque pixels as keyed,
// transparent ones keep their luma and turn the chroma grey (128).
LONG OverlayKeyed(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst);
LONG OverlayAim(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst);
LONG OverlayNewspaper(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst);

// The magnifier: the disc of `radius` around (centreX, centreY) shows the
// frame enlarged two times (the half-size window at the disc's top-left
// corner, through ZoomWindow into workBuffer). Writes are clipped to the
// frame; nothing changes when the zoom window could not be computed.
LONG MagnifierLens(UCHAR* frame, UCHAR* workBuffer, ULONG w, ULONG h, LONG centreX, LONG centreY,
                   LONG radius, ULONG formatCode);

// The overlay tail of the chain on the current frame `cur`: loads the bitmap
// when the record does not hold the current mode's at this size, then
// composes. Returns 1 when the overlay was applied, 0 when not (no mode, or
// the load failed: the frame keeps every earlier effect and the load is
// tried again on the next frame).
LONG ApplyOverlay(SpecialEffectRecord* record, UCHAR* cur, UCHAR* workBuffer,
                  const ColorTables* colorTables, ULONG w, ULONG h, ULONG lumaFirst);
