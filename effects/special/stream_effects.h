// Per-stream tables of the special effects (the warp tables of effect 7 and
// the moving-lens record of effect 10): set up when a stream opens, released
// when it stops. The stream engine calls Release before every Setup, so a
// retried stream start never leaks the previous set.
#pragma once

#include "effects/effect_state.h"

// Sets up the per-stream tables for frames of width x height.
// outputFormatFlag: 1 when the output subtype is not YUY2, else 2; timeMs:
// system time in milliseconds (seeds the lens's start position). An
// allocation failure only leaves the effects switched off.
VOID SetupStreamEffects(EffectState* state, ULONG width, ULONG height, ULONG outputFormatFlag,
                        ULONG timeMs);
// Frees whatever SetupStreamEffects allocated and switches the effects off.
// Safe when nothing is set up, and when called twice.
VOID ReleaseStreamEffects(EffectState* state);
