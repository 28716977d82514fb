// Processor feature queries in Windows kernel mode: CPUID for the processor,
// the kernel's enabled extended features for what the system saves and
// restores, and, for the AVX paths, a held SimdState on the calling thread.
#include "platform/cpu_features.h"

#include "platform/simd_state.h"
#include "platform/wdk.h"

namespace {

enum : ULONG { kSsse3 = 1, kAvx2 = 2, kAvx512Vbmi = 4, kKnown = 0x80000000u };

ULONG g_features;  // zero until read; racing first calls store the same value

ULONG Features() {
  ULONG f = ReadULongNoFence(&g_features);
  if (f != 0) return f;
  f = kKnown;
  int leaf1[4];
  int leaf7[4] = {0, 0, 0, 0};
  __cpuid(leaf1, 0);
  const int maxLeaf = leaf1[0];
  __cpuid(leaf1, 1);
  if (maxLeaf >= 7) __cpuidex(leaf7, 7, 0);
  const ULONG ecx1 = static_cast<ULONG>(leaf1[2]);
  const ULONG ebx7 = static_cast<ULONG>(leaf7[1]);
  const ULONG ecx7 = static_cast<ULONG>(leaf7[2]);
  if (ecx1 & (1u << 9)) f |= kSsse3;
  const ULONG64 enabled = RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX | XSTATE_MASK_AVX512);
  const bool avxOs = (ecx1 & (1u << 27)) && (ecx1 & (1u << 28)) && (enabled & XSTATE_MASK_AVX);
  if (avxOs && (ebx7 & (1u << 5))) f |= kAvx2;
  if (avxOs && (enabled & XSTATE_MASK_AVX512) == XSTATE_MASK_AVX512 && (ebx7 & (1u << 16)) &&
      (ebx7 & (1u << 30)) && (ecx7 & (1u << 1))) {
    f |= kAvx512Vbmi;
  }
  WriteULongNoFence(&g_features, f);
  return f;
}

}  // namespace

bool CpuHasSsse3() { return (Features() & kSsse3) != 0; }
bool CpuHasAvx2() { return (Features() & kAvx2) != 0 && SimdStateHeld(); }
bool CpuHasAvx512Vbmi() { return (Features() & kAvx512Vbmi) != 0 && SimdStateHeld(); }
