// The stream engine's hooks: what a stream does beyond USB. The special
// effects are set up when the stream opens and freed when it stops; the
// stored control values go back to the camera at the second frame; a still
// frame serves the software still request; the still button's flags and
// the per-stream settings are kept in the device's EffectState.
#pragma once

#include "platform/wdk.h"
#include "usb/stream_engine.h"

struct EffectState;
struct CameraControls;

// What the hooks work on. The controls are null until the control ranges
// have been read (no replay before).
struct StreamHookContext {
  EffectState* effects;
  CameraControls* controls;
};

// Installs the hooks on `context` (the capture pin, before it starts the
// stream); a context without effects installs none.
VOID InstallStreamHooks(StreamEngine* engine, StreamHookContext* context);
// Removes them (device clean-up).
VOID RemoveStreamHooks(StreamEngine* engine);
