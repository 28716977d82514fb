// Re-sends the stored camera-control values to the camera (at the second
// frame of every stream).
#pragma once

#include "usb/stream_engine.h"

// Exposure time in 100 us units for exposure value -14..-1; false (and
// nothing read) outside that range.
BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us);

// Sends SET_CUR of every supported control in the fixed order (power-line
// frequency, brightness, contrast, sharpness, hue, saturation, gamma,
// backlight compensation, auto-exposure mode, exposure time, white-balance
// auto, white-balance temperature); each value is read and sent under one
// hold of the device mutex. Results are ignored; controlsApplied = 1.
VOID RestoreControls(StreamEngine* engine);
