// The special effects prepared per stream: the row warp (7) and the moving
// lens (10). SetupStreamEffects runs when a stream starts, with the camera's
// frame size, and builds the warp tables and the lens record;
// ReleaseStreamEffects runs after the capture pin has stopped processing and
// frees them.
#pragma once

#include "effects/effect_state.h"
#include "platform/wdk.h"

// outputFormatFlag: 1 when the output subtype is not YUY2, else 2; timeMs:
// system time in milliseconds (seeds the lens position). Frees whatever an
// earlier set-up left first. On any allocation failure the effect concerned
// stays not ready (warpReady / lensActive 0) and holds no memory.
VOID SetupStreamEffects(EffectWorkState* state, ULONG width, ULONG height, ULONG outputFormatFlag,
                        ULONG timeMs);

// Clears the ready flags, then frees the tables and lens buffers. Safe when
// nothing is set up and when called twice.
VOID ReleaseStreamEffects(EffectWorkState* state);

// Lens sizes by size index, and the largest index the set-up may choose.
constexpr ULONG kLensSizeCount = 28;
constexpr ULONG kLensLargestIndex = 26;
extern const USHORT kLensSizes[kLensSizeCount];

// The two mapping tables of a lens of size S (S/2 entries each): offsets in
// pixels falling to 0, rates in 1/512 rising to 512. The given tables of
// S = 12, 20 and 32 are returned as they stand; see stream_effects.cpp for
// the rule behind the other sizes. Returns false for a size not in the table.
bool LensTables(ULONG size, USHORT* offsets, USHORT* rates);

// Widest frame the row warp takes: its column tables hold 16-bit indices
// (camera frame widths are 16-bit).
constexpr ULONG kWarpMaxWidth = 65535;

// Rebuilds the warp's column tables (which source pixel each output pixel of
// a row shows, one table per distinct margin and rate) from warpMargins and
// warpRates; the set-up calls it. The warp is ready afterwards only when it
// returns true; on an allocation failure it holds no tables.
bool BuildWarpColumns(SpecialEffectRecord* record);

// Effect 7: each row of the source resampled into the chord of the ellipse
// inscribed in the frame. Returns 0 (nothing written) unless the warp tables
// were built for this frame size and the held-frame buffer holds 3 x w x h
// bytes.
LONG RowWarpFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                  ULONG lumaOffset);

// Effect 10: a magnifying lens that moves across the frame, bouncing at the
// edges and growing while it moves freely. Returns 0 (nothing written) unless
// the lens was set up for this frame size.
LONG MovingLensFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                     ULONG lumaOffset);
