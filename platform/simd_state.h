// The extended processor state (the AVX and AVX-512 registers) around wide
// SIMD code. Windows kernel mode may use those registers only between
// KeSaveExtendedProcessorState and KeRestoreExtendedProcessorState; the frame
// pipeline holds one SimdStateScope around each frame, so the save and the
// restore happen once per frame, not once per row. While a scope is held on
// the calling thread, the AVX queries of platform/cpu_features.h may answer
// true on Windows; without one they answer false and the image code takes its
// SSE2 paths, which give the same bytes.
//
// On the host (user mode) the operating system keeps the state; the calls do
// no processor work there but are counted so that tests see the pattern.
#pragma once

#include "platform/wdk.h"

struct SimdState {
#if defined(UVCCAM_HOST)
  BOOLEAN saved;
#else
  BOOLEAN saved;
  ULONG slot;  // the holder record taken for this save
  XSTATE_SAVE save;
#endif
};

// Saves the AVX (and, where enabled, AVX-512) state of the calling thread.
// Returns true when it was saved; then SimdRestoreState must follow on the
// same thread at the same IRQL (at most DISPATCH_LEVEL). On false nothing
// needs restoring and the wide paths stay off.
bool SimdSaveState(SimdState* state);
VOID SimdRestoreState(SimdState* state);

// True while the calling thread holds a saved state at the current IRQL.
bool SimdStateHeld();

// Holds the state for its lifetime (one frame).
class SimdStateScope {
 public:
  SimdStateScope() { SimdSaveState(&state_); }
  ~SimdStateScope() { SimdRestoreState(&state_); }
  SimdStateScope(const SimdStateScope&) = delete;
  SimdStateScope& operator=(const SimdStateScope&) = delete;
  bool Saved() const { return state_.saved != FALSE; }

 private:
  SimdState state_;
};

#if defined(UVCCAM_HOST)
// Host observation and fault hooks for tests.
struct SimdStateCounts {
  ULONG saves;     // successful saves
  ULONG restores;  // restores of a successful save
  ULONG refused;   // saves refused (injected)
};
SimdStateCounts SimdStateHostCounts();
VOID SimdStateHostReset();
// The next `count` saves fail, as when the kernel cannot allocate its save
// area.
VOID SimdStateHostFailSaves(ULONG count);
#endif
