#include "effects/cpu_features.h"

#if defined(_MSC_VER)
#include <intrin.h>
#endif

ULONG EffectsAllowSsse3 = 1;

namespace {

bool ProcessorHasSsse3() {
#if defined(__x86_64__) || defined(__i386__)
  return __builtin_cpu_supports("ssse3");
#elif defined(_M_X64)
  int info[4];
  __cpuid(info, 1);
  return (info[2] & (1 << 9)) != 0;  // CPUID.1:ECX.SSSE3
#else
  return false;
#endif
}

}  // namespace

bool EffectsUseSsse3() {
  return ReadULongNoFence(&EffectsAllowSsse3) != 0 && ProcessorHasSsse3();
}
