// The extended-state save in Windows kernel mode. Each successful save is
// also recorded in a small holder table under the pair (thread, IRQL), so
// that the processor-feature queries can tell whether the code asking runs
// inside a save: a DPC that interrupts a thread holding the state runs at a
// higher IRQL and does not count as a holder.
#include "platform/simd_state.h"

namespace {

constexpr ULONG kHolderSlots = 64;
PVOID volatile g_holders[kHolderSlots];  // zero-initialised, no constructor

// Threads are aligned far beyond 4 bytes; the IRQL (at most DISPATCH_LEVEL)
// fits in the low bits.
PVOID HolderKey() {
  return reinterpret_cast<PVOID>(reinterpret_cast<ULONG_PTR>(KeGetCurrentThread()) |
                                 static_cast<ULONG_PTR>(KeGetCurrentIrql()));
}

}  // namespace

bool SimdSaveState(SimdState* state) {
  state->saved = FALSE;
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) return false;
  const ULONG64 mask = RtlGetEnabledExtendedFeatures(XSTATE_MASK_AVX | XSTATE_MASK_AVX512);
  if ((mask & XSTATE_MASK_AVX) == 0) return false;  // the system runs without AVX
  if (!NT_SUCCESS(KeSaveExtendedProcessorState(mask, &state->save))) return false;
  const PVOID key = HolderKey();
  for (ULONG i = 0; i < kHolderSlots; ++i) {
    if (InterlockedCompareExchangePointer(&g_holders[i], key, nullptr) == nullptr) {
      state->slot = i;
      state->saved = TRUE;
      return true;
    }
  }
  // More simultaneous holders than slots: this frame runs on SSE2.
  KeRestoreExtendedProcessorState(&state->save);
  return false;
}

VOID SimdRestoreState(SimdState* state) {
  if (!state->saved) return;
  state->saved = FALSE;
  InterlockedExchangePointer(&g_holders[state->slot], nullptr);
  KeRestoreExtendedProcessorState(&state->save);
}

bool SimdStateHeld() {
  const PVOID key = HolderKey();
  for (ULONG i = 0; i < kHolderSlots; ++i) {
    if (ReadPointerNoFence(const_cast<PVOID const volatile*>(&g_holders[i])) == key) return true;
  }
  return false;
}
