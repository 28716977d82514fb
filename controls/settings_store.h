// Settings kept in the device's driver key as REG_DWORD values: all of them
// written when a stream stops, the two orientation settings read back at
// device start.
#pragma once

#include "controls/control_settings.h"
#include "effects/effect_state.h"
#include "platform/wdk.h"
#include "usb/stream_engine.h"

// One value of the driver key of `physicalDevice`; the key is opened and
// closed for each call. The name is 8-bit text, widened byte by byte.
// Read: the field is written only when the value is whole: at least 4 data
// bytes inside the block the query returned (any type: a REG_SZ gives its
// first four bytes); anything else, like a missing key or value, returns a
// failure and leaves the field as it was.
NTSTATUS ReadSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG* field);
// Write: REG_DWORD of 4 bytes; the status is that of opening the key.
NTSTATUS WriteSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG value);

// Device start, after the control ranges are read: Mirror and Vertical Flip
// from the registry (0 when absent or broken), the per-start fields reset,
// the frame-tag and zoom records initialised, the effect selector, overlay
// mode and auto-framing switch cleared.
VOID LoadSettings(PDEVICE_OBJECT physicalDevice, ControlSettings* state, EffectWorkState* effects);
// Stream stop: the 35 settings in their fixed order; a value whose key
// cannot be opened is skipped and the others are still written.
VOID SaveSettings(PDEVICE_OBJECT physicalDevice, const ControlSettings* state);
