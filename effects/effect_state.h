// EffectState: the device-lifetime record of picture settings, camera
// control values and the work state of the effect chain. Allocated zero-filled
// at device start (tag KLRX), freed at device stop. Every part of the driver
// that keeps a setting keeps it here, in the order below.
//
// Fields written by a property handler while frames are processed are single
// 32-bit words: the chain reads them with ReadULongNoFence / ReadLongNoFence
// and the handlers write them with WriteULongNoFence / WriteLongNoFence (see
// the Load/Store helpers at the end of this file). Fields the chain owns
// (work state) are touched only from the processing path.
#pragma once

#include "effects/special/special_effect_record.h"
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

// Digital zoom and pan of the vendor set, read by the chain (digital zoom
// step). Pan is in 1/64 pixel; the percentages let a new stream size keep
// the same view.
struct ZoomRecord {
  ULONG digitalZoom;  // 1 = digital zoom on
  ULONG zoomFactor;   // window size in 1/64 of the frame; 64 = whole frame
  LONG panX;          // window origin, 1/64 pixel
  LONG panY;
  LONG panXPercent;
  LONG panYPercent;
};

// Selective-suspend record, set up by the settings loader at device start.
struct IdleRecord {
  ULONG enable;           // copied from selectiveSuspend at start (0)
  ULONG idleAllowed;      // 1 at start and while no filter is open
  PDEVICE_OBJECT usbTarget;  // the device object USB requests go to
  ULONG applicationValue; // the vendor application value at start
  ULONG reserved;
  ULONG* powerState;      // the stream engine's power-state word
  PKEVENT idleEvent;      // the stream engine's event handed to this record
};

// Auto-framing work state. Cells are 1/40 x 1/30 of the frame, sub-cells
// 1/160 x 1/120.
constexpr ULONG kFramingCellColumns = 40;
constexpr ULONG kFramingCellRows = 30;
constexpr ULONG kFramingSubCellColumns = 160;
constexpr ULONG kFramingSubCellRows = 120;

struct FramingCell {
  UCHAR label;      // blob number
  USHORT lumaSum;
  ULONG skin;       // 1 = more than 40 % skin pixels
};

struct FramingSubCell {
  USHORT maskCount;
  ULONG skin;
  ULONG background;
  ULONG holeLabel;  // validation: connected hole region
  ULONG visited;    // validation work mark
};

struct AutoFramingState {
  FramingCell cells[kFramingCellColumns * kFramingCellRows];
  FramingSubCell subCells[kFramingSubCellColumns * kFramingSubCellRows];
  ULONG enabled;         // the switch read by the chain
  ULONG detected;
  ULONG settled;
  ULONG mode;            // 2 = moving toward the target, 3 = reached, else detecting
  ULONG zoomStableCount;
  ULONG missCount;
  ULONG xStableCount;
  ULONG yStableCount;
  ULONG currentZoom;
  ULONG zoomDirection;   // 1 = zooming in
  ULONG targetZoom;
  LONG currentX;
  LONG currentY;
  ULONG xSpeed;
  ULONG ySpeed;
  ULONG lastX;
  ULONG lastY;
  ULONG lastZoom;
  ULONG targetX;
  ULONG targetY;
  // Chain-owned work area of the detector, per device so that two cameras
  // never share it: cells per blob label, the hole fill's stack, and whether
  // the step ran on the previous frame (a switch-on starts from the whole
  // frame).
  ULONG running;
  ULONG labelCells[256];
  USHORT fillStack[kFramingSubCellColumns * kFramingSubCellRows];
};

struct EffectState {
  // ---- orientation and picture settings (the persisted ones by name) ----
  ULONG mirror;              // "Mirror": 1 = mirror every row
  ULONG verticalFlip;        // "Vertical Flip": 1 = upside down
  ULONG lowLight;            // "Low Light"
  ULONG lowLightStatus;      // the read-only value after Low Light (vendor id 48)
  ULONG indoorOutdoor;       // "Indoor Outdoor"
  ULONG specialColor;        // "Special Color": 0..5
  ULONG zoomPreset;          // 0 = off, 1..5 fixed centre zoom
  ULONG zoomPresetReserved;  // the word after the zoom preset, cleared at start
  ULONG badPixelCorrection;  // "BPC Enable"
  ULONG chromaSmoothing;
  ULONG zoom640To1280;       // "Zoom 640 to 1280" (reported only)
  ULONG highFrameRateEnable; // "High frame rate enable" (reported only)
  ULONG autoContrast;        // "Auto Contrast Flag"
  ULONG noiseFilter;         // "Noise filter"
  ULONG frameRateIndex;      // "FrameRate Index" (reported only)
  ULONG requestedFrameRate;  // vendor id 67; cleared when streaming stops
  ULONG aeTarget;            // "AE Target"
  ULONG aeGain;              // "AE Gain"
  ULONG whiteBalanceGainAuto;  // "White Balance RGB Gain Auto"
  ULONG redGain;               // "White Balance RGain", 50 at start
  ULONG greenGain;             // "White Balance GGain"
  ULONG blueGain;              // "White Balance BGain"
  ULONG rotation;            // 0 = off; 1, 2, 3 = rotate

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

  // ---- still button and pin flags ----
  ULONG buttonPressed;       // set by the status reader on a button press
  ULONG buttonLatch;         // polled and cleared by vendor id 225
  ULONG buttonPolled;        // 1 = the button is polled, not forwarded
  ULONG softwareStillRequest;  // set by the still-trigger property
  ULONG stillPinPresent;
  ULONG captureFormatPresent;
  ULONG stillRequestPending;

  // ---- effect chain ----
  SpecialEffectRecord special;
  AutoFramingState autoFraming;
  ZoomRecord zoom;           // digital zoom, zoom factor, pan x, pan y
  // Chain-owned frame counter (per stream, cleared at stream start); its low
  // two bits are the bad-pixel band scanned in the current frame.
  ULONG chainFrameCounter;

  IdleRecord idle;
};

// Cross-thread access to single words of EffectState.
inline ULONG LoadSetting(const ULONG& field) { return ReadULongNoFence(&field); }
inline LONG LoadSetting(const LONG& field) { return ReadLongNoFence(&field); }
inline VOID StoreSetting(ULONG& field, ULONG value) { WriteULongNoFence(&field, value); }
inline VOID StoreSetting(LONG& field, LONG value) { WriteLongNoFence(&field, value); }

static_assert(sizeof(ControlValue) == 7 * 4, "a control record is seven 32-bit words");
static_assert(sizeof(AutoControl) == 3 * 4, "an auto triple is three 32-bit words");
static_assert(sizeof(ZoomRecord) == 6 * 4, "the zoom record is six 32-bit words");
