// Re-sends the stored camera-control values to the camera (at the second
// frame of every stream).
#pragma once

#include "usb/stream_engine.h"

// Calls the controls' replay hook (engine->restoreControls on
// engine->cameraControls, both installed with the control ranges), when
// there is one. Results are ignored; controlsApplied = 1.
VOID RestoreControls(StreamEngine* engine);
