// Re-sends the stored camera-control values to the camera (at the second
// frame of every stream).
#pragma once

#include "usb/stream_engine.h"

// Exposure time in 100 us units for exposure value -14..-1; false (and
// nothing read) outside that range.
BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us);

// Sends the stored value of every control the camera has, through the
// controls' SendStoredControls (one stored form, translated only on the
// wire), under the device mutex. Results are ignored; controlsApplied = 1.
VOID RestoreControls(StreamEngine* engine);
