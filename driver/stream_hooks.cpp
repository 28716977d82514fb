// The stream engine's hooks over the device's EffectState and controls.
#include "driver/stream_hooks.h"

#include "controls/camera_controls.h"
#include "effects/effect_state.h"
#include "effects/special/stream_effects.h"

namespace {

EffectState& State(PVOID context) { return *static_cast<StreamHookContext*>(context)->effects; }

ULONG SystemMs() {
  LARGE_INTEGER t;
  KeQuerySystemTime(&t);
  return ULONG(ULONGLONG(t.QuadPart) / 10000);
}

// Per-stream resets: the button flags, the chain's frame counter, and the
// pan kept as a percentage turned into pixels of the new frame size.
VOID StreamStarting(PVOID context, const FrameFormat* f) {
  EffectState& st = State(context);
  StoreSetting(st.buttonPressed, 0);
  StoreSetting(st.buttonLatch, 0);
  StoreSetting(st.chainFrameCounter, 0);
  StoreSetting(st.zoom.panX, LONG(LONGLONG(st.zoom.panXPercent) * f->inputWidth / 100));
  StoreSetting(st.zoom.panY, LONG(LONGLONG(st.zoom.panYPercent) * f->inputHeight / 100));
}

// The special effects' per-stream tables for the camera's frame size.
VOID StreamOpening(PVOID context, const FrameFormat* f) {
  EffectState* st = &State(context);
  ULONG flag = IsEqualGUID(f->outputSubtype, kSubtypeYuy2) ? 2 : 1;
  ReleaseStreamEffects(st);
  SetupStreamEffects(st, f->inputWidth, f->inputHeight, flag, SystemMs());
}

VOID ReplayControls(PVOID context) {
  if (CameraControls* controls = static_cast<StreamHookContext*>(context)->controls)
    SendStoredControls(*controls);
}

VOID StillFrameBegins(PVOID context) { StoreSetting(State(context).softwareStillRequest, 0); }

bool StillPinPresent(PVOID context) { return LoadSetting(State(context).stillPinPresent) != 0; }

bool ButtonPolled(PVOID context) { return LoadSetting(State(context).buttonPolled) != 0; }

VOID ButtonPressed(PVOID context) {
  EffectState& st = State(context);
  StoreSetting(st.buttonPressed, 1);
  StoreSetting(st.buttonLatch, 1);
}

VOID StreamStopping(PVOID context) {
  EffectState& st = State(context);
  StoreSetting(st.buttonPressed, 0);
  StoreSetting(st.buttonLatch, 0);
  StoreSetting(st.requestedFrameRate, 0);
}

VOID StreamStopped(PVOID context) { ReleaseStreamEffects(&State(context)); }

}  // namespace

VOID InstallStreamHooks(StreamEngine* e, StreamHookContext* context) {
  if (!e) return;
  RemoveStreamHooks(e);
  if (!context || !context->effects) return;
  StreamHooks& h = e->hooks;
  h.context = context;
  h.streamStarting = StreamStarting;
  h.streamOpening = StreamOpening;
  h.replayControls = ReplayControls;
  h.stillFrameBegins = StillFrameBegins;
  h.stillPinPresent = StillPinPresent;
  h.buttonPolled = ButtonPolled;
  h.buttonPressed = ButtonPressed;
  h.streamStopping = StreamStopping;
  h.streamStopped = StreamStopped;
}

VOID RemoveStreamHooks(StreamEngine* e) {
  if (e) RtlZeroMemory(&e->hooks, sizeof e->hooks);
}
