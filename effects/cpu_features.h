// Processor features the image routines may use beyond SSE2. Wider paths run
// only when the processor reports the feature and the switch below allows
// it; they give exactly the bytes of the scalar code.
#pragma once

#include "platform/wdk.h"

// 1 (the default) lets routines use SSSE3 where the processor has it; 0
// keeps them on their SSE2/scalar paths (tests compare both).
extern ULONG EffectsAllowSsse3;

// True when SSSE3 code may run now.
bool EffectsUseSsse3();

// The same switch for AVX2 code; on Windows it also needs the SimdState the
// frame pipeline holds around each frame.
extern ULONG EffectsAllowAvx2;
bool EffectsUseAvx2();

// The same switch for AVX-512 (F, BW and VBMI) code; on Windows it also
// needs the SimdState the frame pipeline holds around each frame.
extern ULONG EffectsAllowAvx512;
bool EffectsUseAvx512Vbmi();
