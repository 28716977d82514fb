// DeviceState: the device-lifetime record, one zero-filled allocation (tag
// KLRX) made at device start and freed at device stop. It puts together what
// each part owns: the controls' settings and control values
// (ControlSettings, which holds the picture settings the effect chain reads),
// the effect chain's work records (EffectWorkState), and the device's own
// still-button and pin flags and idle record, kept here. Each part is handed
// only its own piece.
//
// The flags are single 32-bit words written from the pins, the status reader
// and the property handlers while frames are processed: they go through
// LoadSetting / StoreSetting or interlocked operations.
#pragma once

#include "controls/control_settings.h"
#include "effects/effect_state.h"
#include "platform/wdk.h"
#include "usb/stream_engine.h"

// Selective-suspend record, set up at device start after the settings are
// loaded (ResetDeviceFlags).
struct IdleRecord {
  ULONG enable;           // copied from selectiveSuspend at start (0)
  ULONG idleAllowed;      // 1 at start and while no filter is open
  PDEVICE_OBJECT usbTarget;  // the device object USB requests go to
  ULONG applicationValue; // the vendor application value at start
  ULONG reserved;
  ULONG* powerState;      // the stream engine's power-state word
  PKEVENT idleEvent;      // the stream engine's event handed to this record
};

// Still button and pin flags.
struct DeviceFlags {
  ULONG buttonPressed;       // set by the status reader on a button press
  ULONG buttonLatch;         // polled and cleared by vendor id 225
  ULONG buttonPolled;        // 1 = the button is polled, not forwarded
  ULONG softwareStillRequest;  // set by the still-trigger property
  ULONG stillPinPresent;
  ULONG captureFormatPresent;
  ULONG stillRequestPending;
};

struct DeviceState : ControlSettings, EffectWorkState, DeviceFlags {
  IdleRecord idle;
};

// Device start, right after LoadSettings: the per-start flags reset and the
// idle record pointed at the engine's USB target and idle event (its
// power-state word is left to the caller).
VOID ResetDeviceFlags(DeviceState* state, StreamEngine* engine);
