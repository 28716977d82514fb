// ControlSettings: the device-lifetime record of the stored settings, camera
// control values and vendor-set values. It extends the picture settings the
// effect chain reads (EffectSettings), so the chain reads the very words the
// property handlers write. Lives in the device's record
// (driver/device_state.h), zero-filled at device start; filled by the
// settings loader and the control ranges.
//
// Words written while frames are processed go through LoadSetting /
// StoreSetting (effects/effect_state.h), as the chain reads them.
#pragma once

#include "effects/effect_state.h"
#include "platform/wdk.h"

// One camera control backed by UVC requests. Values from GET_MIN/MAX/DEF/RES
// are 16-bit signed on the wire and kept sign-extended.
struct ControlValue {
  ULONG Supported;  // 1 when the camera's descriptor announces the control
  LONG Minimum;
  LONG Maximum;
  LONG Default;
  LONG Current;     // last value set; starts equal to Default
  LONG Step;
  ULONG Auto;       // the persisted auto flag ("Brightness Auto" etc.)
};

// The auto switch of hue, white-balance temperature, focus and exposure mode.
struct AutoControl {
  ULONG AutoSupported;
  ULONG AutoCurrent;
  ULONG AutoDefault;
};

// Frame-tag record of the vendor set: the tag stamped on every frame that
// enters the frame ring and the application-visible tag words.
struct FrameTagRecord {
  KEVENT event;      // notification event, initialised at device start
  ULONG tagMode;     // 1 at start
  ULONG frameTag;    // 8 at start, 1..34
  ULONG tagValueB;   // 0 at start
  ULONG tagValueC;   // 8 at start
  ULONG tagCounter;  // 0 at start
  ULONG reserved[3];
};

struct ControlSettings : EffectSettings {
  // ---- picture settings the chain does not read (the persisted ones by name) ----
  ULONG lowLight;            // "Low Light"
  ULONG lowLightStatus;      // the read-only value after Low Light (vendor id 48)
  ULONG indoorOutdoor;       // "Indoor Outdoor"
  ULONG zoomPresetReserved;  // the word after the zoom preset, cleared at start
  ULONG zoom640To1280;       // "Zoom 640 to 1280" (reported only)
  ULONG highFrameRateEnable; // "High frame rate enable" (reported only)
  ULONG frameRateIndex;      // "FrameRate Index" (reported only)
  ULONG requestedFrameRate;  // vendor id 67; cleared when streaming stops
  ULONG aeTarget;            // "AE Target"
  ULONG aeGain;              // "AE Gain"
  ULONG whiteBalanceGainAuto;  // "White Balance RGB Gain Auto"
  ULONG redGain;               // "White Balance RGain", 50 at start
  ULONG greenGain;             // "White Balance GGain"
  ULONG blueGain;              // "White Balance BGain"

  // ---- camera controls, in the order the control ranges are read ----
  ControlValue brightness;
  ControlValue contrast;
  ControlValue hue;
  AutoControl hueAuto;
  ControlValue saturation;
  ControlValue sharpness;
  ControlValue gamma;
  ControlValue backlightCompensation;  // Current = "Back Light"
  ControlValue whiteBalanceTemperature;  // Current = "WhiteBalance_T"
  AutoControl whiteBalanceAuto;        // AutoCurrent = "WhiteBalance_TFlags"
  ControlValue powerLineFrequency;     // Current = "Anti Flicker"
  ControlValue focus;
  AutoControl focusAuto;
  AutoControl exposureMode;            // AutoCurrent = "Exposure Auto"
  ControlValue exposure;               // Current = "Exposure", -14..-1

  // ---- vendor-set values ----
  ULONG sensorOption;        // vendor id 24
  ULONG cameraOption;        // vendor id 65
  ULONG cameraOptionNext;    // vendor id 65, Op 1
  ULONG deviceStartFlag;     // vendor id 68; 1 after start
  ULONG applicationValue;    // vendor id 236
  ULONG twoDMappingEnable;
  ULONG selectiveSuspend;    // reset at start, copied into the idle record
  FrameTagRecord frameTag;
};

static_assert(sizeof(ControlValue) == 7 * 4, "a control record is seven 32-bit words");
static_assert(sizeof(AutoControl) == 3 * 4, "an auto triple is three 32-bit words");
