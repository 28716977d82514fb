// The controls' part of the device lifecycle: the control ranges and the
// saved settings at device start, the settings written when a stream stops.
#pragma once

#include "driver/device_context.h"

// Device start, after the device buffers exist: reads the control ranges
// into the EffectState, fills the device's CameraControls and gives the
// engine the unit ids and flags the filter descriptor and the stream
// restart use. STATUS_UNSUCCESSFUL without a video-control interface.
NTSTATUS ReadControlRanges(DeviceContext* context);

// Device start, after the control ranges: Mirror and Vertical Flip from the
// device's driver key, the per-start settings reset.
VOID RestoreSettings(DeviceContext* context);

// SaveDeviceSettings (the capture pin's stop path) is declared with the
// device record, in driver/device_context.h.
