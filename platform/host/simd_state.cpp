// The extended-state save on the host: user mode needs no save, so the calls
// only count and track, per thread, whether a save is held (tests check the
// once-per-frame pattern and its pairing).
#include "platform/simd_state.h"

#include <atomic>

namespace {

std::atomic<ULONG> g_saves{0};
std::atomic<ULONG> g_restores{0};
std::atomic<ULONG> g_refused{0};
std::atomic<ULONG> g_failNext{0};
thread_local ULONG t_depth = 0;

bool TakeInjectedFailure() {
  ULONG n = g_failNext.load(std::memory_order_relaxed);
  while (n != 0) {
    if (g_failNext.compare_exchange_weak(n, n - 1, std::memory_order_relaxed)) return true;
  }
  return false;
}

}  // namespace

bool SimdSaveState(SimdState* state) {
  state->saved = FALSE;
  if (TakeInjectedFailure()) {
    g_refused.fetch_add(1, std::memory_order_relaxed);
    return false;
  }
  state->saved = TRUE;
  ++t_depth;
  g_saves.fetch_add(1, std::memory_order_relaxed);
  return true;
}

VOID SimdRestoreState(SimdState* state) {
  if (!state->saved) return;
  state->saved = FALSE;
  --t_depth;
  g_restores.fetch_add(1, std::memory_order_relaxed);
}

bool SimdStateHeld() { return t_depth != 0; }

SimdStateCounts SimdStateHostCounts() {
  return {g_saves.load(std::memory_order_relaxed), g_restores.load(std::memory_order_relaxed),
          g_refused.load(std::memory_order_relaxed)};
}

VOID SimdStateHostReset() {
  g_saves.store(0, std::memory_order_relaxed);
  g_restores.store(0, std::memory_order_relaxed);
  g_refused.store(0, std::memory_order_relaxed);
  g_failNext.store(0, std::memory_order_relaxed);
}

VOID SimdStateHostFailSaves(ULONG count) { g_failNext.store(count, std::memory_order_relaxed); }
