// The camera's control units and the control ranges read from it at device
// start, and the one representation every control handler, the stream
// restart and the settings store share:
//
// - plain controls: Minimum, Maximum, Default, Step as the camera reports
//   them, 16-bit values sign-extended where the minimum is negative;
// - hue, white-balance temperature and focus auto: the kernel-streaming
//   flags, kControlFlagAuto (1) or kControlFlagManual (2); UVC booleans only
//   on the wire;
// - auto-exposure mode: 0 manual, 1 auto; on the wire the mode bitmap value
//   (1 manual, and for auto the camera's own auto mode);
// - exposure: a base-2 logarithm of seconds, -14..-1, sent as a time from
//   the exposure table.
#pragma once

#include "controls/control_settings.h"
#include "platform/wdk.h"
#include "usb/stream_engine.h"

// Kernel-streaming control flags (VIDEOPROCAMP and CAMERACONTROL alike).
constexpr ULONG kControlFlagAuto = 1;
constexpr ULONG kControlFlagManual = 2;

// Video-control descriptor subtypes and the camera terminal type.
constexpr UCHAR kVcHeader = 0x01;
constexpr UCHAR kVcInputTerminal = 0x02;
constexpr UCHAR kVcProcessingUnit = 0x05;
constexpr UCHAR kVcExtensionUnit = 0x06;
constexpr USHORT kCameraTerminalType = 0x0201;

// Unit request codes beyond those of the request layer.
constexpr UCHAR GET_LEN = 0x85;

// Processing-unit selectors.
constexpr UCHAR kPuBacklightCompensation = 0x01;
constexpr UCHAR kPuBrightness = 0x02;
constexpr UCHAR kPuContrast = 0x03;
constexpr UCHAR kPuPowerLineFrequency = 0x05;
constexpr UCHAR kPuHue = 0x06;
constexpr UCHAR kPuSaturation = 0x07;
constexpr UCHAR kPuSharpness = 0x08;
constexpr UCHAR kPuGamma = 0x09;
constexpr UCHAR kPuWhiteBalanceTemperature = 0x0A;
constexpr UCHAR kPuWhiteBalanceTemperatureAuto = 0x0B;
constexpr UCHAR kPuHueAuto = 0x10;
// Camera-terminal selectors.
constexpr UCHAR kCtAutoExposureMode = 0x02;
constexpr UCHAR kCtExposureTimeAbsolute = 0x04;
constexpr UCHAR kCtFocusAbsolute = 0x06;
constexpr UCHAR kCtFocusAuto = 0x08;

// Auto-exposure mode bitmap values on the wire.
constexpr UCHAR kExposureModeManual = 0x01;
constexpr UCHAR kExposureModeAuto = 0x02;
constexpr UCHAR kExposureModeShutterPriority = 0x04;
constexpr UCHAR kExposureModeAperturePriority = 0x08;

// Exposure values the driver offers: 2^v seconds.
constexpr LONG kExposureMinimum = -14;
constexpr LONG kExposureMaximum = -1;
constexpr LONG kExposureDefault = -7;

// What the video-control interface says about the camera's units.
struct ControlUnits {
  LONG controlInterface;   // interface number, kNoInterface until found
  ULONG hasProcessingUnit;
  ULONG hasCameraTerminal;
  ULONG hasExtensionUnit;
  UCHAR processingUnitId;
  UCHAR cameraTerminalId;
  UCHAR extensionUnitId;
  ULONG processingControls;  // bmControls of the processing unit (bits 0..15)
  ULONG cameraControls;      // bmControls of the camera terminal (bits 0..23)
  // The auto-exposure mode sent for "auto": the camera's default when that
  // is an auto mode, else the first auto mode its GET_RES lists.
  UCHAR exposureAutoMode;
};

// Finds the video-control interface in a configuration descriptor and
// walks its class-specific descriptors with the bounded descriptor walk:
// the walk ends at a zero or overrunning bLength, at the next interface or
// at the header's wTotalLength, whichever comes first. A processing unit
// shorter than 10 bytes or than its control bitmap, a camera terminal
// shorter than its bitmap, an input terminal that is not a camera (type
// 0x0201) and an extension unit shorter than its fixed part are ignored; the
// first of each kind counts. STATUS_UNSUCCESSFUL without a video-control
// interface or header. `units` is zero-filled first.
NTSTATUS FindControlUnits(const UCHAR* configuration, ULONG length, ControlUnits* units);

// Device start: FindControlUnits over the engine's configuration, a 50 ms
// settle, then the ranges of every control the units announce into `state`
// (whose control records must be zero-filled). A failed or short reply of
// GET_MIN, GET_MAX, GET_DEF or GET_RES reads as 0. Controls the camera does
// not announce stay unsupported; their auto flags read manual.
NTSTATUS BuildControlRanges(StreamEngine* engine, ControlUnits* units, ControlSettings* state);

// A device-to-host unit request whose reply must fill `length` bytes of
// `reply`. The reply starts zeroed; a failed or short one is
// STATUS_UNSUCCESSFUL and leaves it all zero.
NTSTATUS ReadUnitControl(StreamEngine* engine, UCHAR request, UCHAR selector, UCHAR unit,
                         UCHAR* reply, ULONG length);

// The exposure time for exposure value `value` in 100 us units, from the
// exposure table. FALSE (and *time untouched) outside -14..-1: the only way
// into the table.
BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us);

// A relative wait of whole milliseconds.
inline VOID WaitMilliseconds(LONG ms) {
  LARGE_INTEGER interval;
  interval.QuadPart = -10000LL * ms;
  KeDelayExecutionThread(KernelMode, FALSE, &interval);
}

// Wire forms of the stored auto flags.
UCHAR ExposureModeOnWire(const ControlUnits& units, ULONG exposureAuto);  // 0/1 -> bitmap
inline UCHAR AutoFlagOnWire(ULONG flags) { return flags == kControlFlagAuto ? 1 : 0; }
