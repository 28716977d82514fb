#include "effects/cpu_features.h"

#include "platform/cpu_features.h"

ULONG EffectsAllowSsse3 = 1;

bool EffectsUseSsse3() { return ReadULongNoFence(&EffectsAllowSsse3) != 0 && CpuHasSsse3(); }

ULONG EffectsAllowAvx2 = 1;

bool EffectsUseAvx2() { return ReadULongNoFence(&EffectsAllowAvx2) != 0 && CpuHasAvx2(); }

ULONG EffectsAllowAvx512 = 1;

bool EffectsUseAvx512Vbmi() { return ReadULongNoFence(&EffectsAllowAvx512) != 0 && CpuHasAvx512Vbmi(); }
