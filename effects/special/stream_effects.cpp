// Per-stream special-effect tables. This minimal version keeps effects 7
// and 10 switched off for the stream and frees any tables left from an
// earlier set-up; the special-effects code fills in the real set-up.
#include "effects/special/stream_effects.h"

namespace {

template <typename T>
VOID FreeTable(T*& table) {
  if (table) ExFreePoolWithTag(table, kTagBuffer);
  table = nullptr;
}

}  // namespace

VOID SetupStreamEffects(EffectState* state, ULONG width, ULONG height, ULONG outputFormatFlag,
                        ULONG timeMs) {
  UNREFERENCED_PARAMETER(timeMs);
  if (!state) return;
  SpecialEffectRecord& r = state->special;
  r.warpReady = 0;
  r.warpRows = 0;
  r.lens.lensActive = 0;
  r.lens.width = width;
  r.lens.height = height;
  r.lens.outputFormatFlag = outputFormatFlag;
}

VOID ReleaseStreamEffects(EffectState* state) {
  if (!state) return;
  SpecialEffectRecord& r = state->special;
  r.warpReady = 0;
  r.warpRows = 0;
  FreeTable(r.warpMargins);
  FreeTable(r.warpRates);
  LensRecord& lens = r.lens;
  lens.lensActive = 0;
  FreeTable(lens.window);
  FreeTable(lens.rowTableA);
  FreeTable(lens.rowTableB);
  for (UCHAR*& plane : lens.planes) FreeTable(plane);
  lens.windowBytes = 0;
  lens.planeBytes = 0;
}
