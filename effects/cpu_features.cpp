#include "effects/cpu_features.h"

#include "platform/cpu_features.h"

ULONG EffectsAllowSsse3 = 1;

bool EffectsUseSsse3() { return ReadULongNoFence(&EffectsAllowSsse3) != 0 && CpuHasSsse3(); }
