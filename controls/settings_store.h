// Settings kept in the device's driver key as REG_DWORD values: all of them
// written when a stream stops, the two orientation settings read back at
// device start.
#pragma once

#include "controls/control_settings.h"
#include "effects/effect_state.h"
#include "platform/wdk.h"

// One value of the driver key of `physicalDevice`; the key is opened and
// closed for each call. The name is 8-bit text, widened byte by byte.
// Read: the field is written only when the value is whole: at least 4 data
// bytes inside the block the query returned (any type: a REG_SZ gives its
// first four bytes); anything else, like a missing key or value, returns a
// failure and leaves the field as it was.
NTSTATUS ReadSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG* field);
// Write: REG_DWORD of 4 bytes, flushed to the key's store; the first
// failure of the open, the set or the flush.
NTSTATUS WriteSetting(PDEVICE_OBJECT physicalDevice, const CHAR* name, ULONG value);

// Device start, after the control ranges are read: Mirror and Vertical Flip
// from the registry (0 when absent or broken), the per-start fields reset,
// the frame-tag and zoom records initialised, the effect selector, overlay
// mode and auto-framing switch cleared.
VOID LoadSettings(PDEVICE_OBJECT physicalDevice, ControlSettings* state, EffectWorkState* effects);
// Stream stop: the 35 settings in their fixed order, through one open of
// the key and flushed together, so that they reach the key's store as one
// update. On failure returns its status and names (in *failedValue) the
// first value not stored: the value the key refused (the later ones are
// not tried), or the first of the 35 when the open or the flush failed.
NTSTATUS SaveSettings(PDEVICE_OBJECT physicalDevice, const ControlSettings* state,
                      const CHAR** failedValue = nullptr);
