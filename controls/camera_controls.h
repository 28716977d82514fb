// The standard camera-control property sets as plain driver functions:
// VIDEOPROCAMP and CAMERACONTROL (values stored in EffectState and sent to
// the processing unit / camera terminal), VIDEOCONTROL, VIDEOCOMPRESSION and
// the extension-unit pass-through. The property handlers unpack the KS
// request, call these with plain ids and values and pack the answer.
//
// Every set checks before it stores or sends: an unknown or unsupported id,
// a value outside the advertised range or a flag the control cannot take is
// refused and nothing reaches the camera. A set stores and sends under the
// device mutex, so concurrent sets cannot leave the camera and the stored
// value disagreeing. Camera failures of a set are not reported (the stored
// value stands and is sent again when the stream restarts).
#pragma once

#include "controls/control_ranges.h"
#include "effects/effect_state.h"
#include "platform/wdk.h"
#include "public/uvccam_public.h"
#include "usb/stream_engine.h"

// What every control function works on: built at device start.
struct CameraControls {
  StreamEngine* engine;  // camera requests; may be removed at any time
  EffectState* state;    // the stored values
  ControlUnits units;    // from BuildControlRanges
  ULONG downloaded;      // 1 after a memory image download succeeded
};

// Property ids.
constexpr ULONG kProcAmpBrightness = 0;
constexpr ULONG kProcAmpContrast = 1;
constexpr ULONG kProcAmpHue = 2;
constexpr ULONG kProcAmpSaturation = 3;
constexpr ULONG kProcAmpSharpness = 4;
constexpr ULONG kProcAmpGamma = 5;
constexpr ULONG kProcAmpWhiteBalance = 7;
constexpr ULONG kProcAmpBacklightCompensation = 8;
constexpr ULONG kProcAmpPowerLineFrequency = 13;
constexpr ULONG kCameraControlExposure = 4;
constexpr ULONG kCameraControlFocus = 6;

// The items of each set in the order the filter offers them (each only
// when ControlFor(...) gives a supported record).
constexpr ULONG kProcAmpOrder[] = {kProcAmpBrightness, kProcAmpSharpness, kProcAmpContrast,
                                   kProcAmpSaturation, kProcAmpHue,       kProcAmpGamma,
                                   kProcAmpBacklightCompensation, kProcAmpWhiteBalance,
                                   kProcAmpPowerLineFrequency};
constexpr ULONG kCameraControlOrder[] = {kCameraControlFocus, kCameraControlExposure};

// One get: the stored value, its KS flags (auto or manual) and capabilities
// (manual, plus auto when the camera has the auto control).
struct ControlReading {
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
};

// The record behind a VIDEOPROCAMP / CAMERACONTROL id, or null for an id
// the set does not define. Its Supported, Minimum, Maximum, Step and
// Default are what the item advertises.
const ControlValue* ProcAmpControl(const EffectState* state, ULONG id);
const ControlValue* CameraControlRecord(const EffectState* state, ULONG id);

// VIDEOPROCAMP: STATUS_NOT_SUPPORTED for an id the set lacks or the camera
// does not support, and (set) for a value outside Minimum..Maximum or an
// auto flag the control cannot take (STATUS_INVALID_PARAMETER for flags
// other than auto and manual).
NTSTATUS GetProcAmp(const CameraControls& controls, ULONG id, ControlReading* reading);
NTSTATUS SetProcAmp(const CameraControls& controls, ULONG id, LONG value, ULONG flags);
// CAMERACONTROL: STATUS_NOT_IMPLEMENTED for an id other than exposure and
// focus, STATUS_NOT_SUPPORTED when the camera lacks it; the set refuses as
// VIDEOPROCAMP does.
NTSTATUS GetCameraControl(const CameraControls& controls, ULONG id, ControlReading* reading);
NTSTATUS SetCameraControl(const CameraControls& controls, ULONG id, LONG value, ULONG flags);

// Camera requests for the stored form of a control (shared by the sets, the
// vendor items and the stream restart). Each refuses, sending nothing, when
// the camera lacks the control or the value is not one it can carry.
NTSTATUS SendProcessingValue(const CameraControls& controls, UCHAR selector, LONG value);  // 2 bytes
NTSTATUS SendPowerLineFrequency(const CameraControls& controls, LONG value);              // 1 byte
NTSTATUS SendExposureMode(const CameraControls& controls, ULONG exposureAuto);            // 0 / 1
NTSTATUS SendExposureTime(const CameraControls& controls, LONG exposure);                 // -14..-1

// The stream restart's replay of the stored values, in its fixed order:
// power-line frequency (when not 0), brightness, contrast, sharpness, hue,
// saturation, gamma, backlight compensation, auto-exposure mode, exposure
// time (manual only), white-balance auto, white-balance temperature (manual
// only). Only controls the camera has; results are ignored.
VOID SendStoredControls(const CameraControls& controls);

// VIDEOCOMPRESSION GETINFO.
struct CompressionInfo {
  LONG DefaultKeyFrameRate;  // 30
  LONG DefaultPFrameRate;    // 3
  LONG DefaultQuality;       // 5000
  LONG Capabilities;         // CanQuality | CanKeyFrame | CanBFrame
};
VOID GetCompressionInfo(CompressionInfo* info);

// VIDEOCONTROL (kStillStreamIndex, the MODE item and the Trigger flag are
// in public/uvccam_public.h).
constexpr ULONG kVideoControlModeFlags = 12;  // ExternalTriggerEnable | Trigger
constexpr ULONG kFrameRateCount = 30;
constexpr ULONG kFrameRateListSize = 8 + 8 * kFrameRateCount;  // KSMULTIPLE_ITEM + intervals
NTSTATUS GetVideoControlCaps(ULONG streamIndex, ULONG* caps);
// Measured frame rate (frames per second, at most 30) and the maximum 30.
VOID GetActualFrameRate(ULONG measuredFps, LONGLONG* current, LONGLONG* maximum);
// The frame-rate list: a KSMULTIPLE_ITEM {240, 30} and 30 intervals
// 10000000 / n. *information is always the full size; a zero-length query
// gets STATUS_BUFFER_OVERFLOW, a short non-empty buffer
// STATUS_BUFFER_TOO_SMALL and nothing written.
NTSTATUS GetFrameRates(ULONG streamIndex, PVOID buffer, ULONG length, ULONG* information);
// Mode set: on the still stream with mode bit 0x4 or 0x8, the still trigger
// is sent only when the still pin has a format and the engine a still size
// (a trigger without them would freeze the video); otherwise nothing.
NTSTATUS SetVideoControlMode(const CameraControls& controls, ULONG streamIndex, ULONG mode,
                             BOOLEAN stillPinFormatted);

// Extension unit: the property id is the selector (items 1 and 2). Get
// reads GET_LEN, refuses a length above `length`, then GET_CUR into a
// zeroed pool copy; *information = the control's length. Set with no data
// does nothing; else GET_LEN, the same check against `length`, SET_CUR of a
// pool copy, whose failure is returned.
// STATUS_NOT_SUPPORTED without an extension unit (nothing sent).
NTSTATUS GetExtensionControl(const CameraControls& controls, ULONG selector, PVOID buffer,
                             ULONG length, ULONG* information);
NTSTATUS SetExtensionControl(const CameraControls& controls, ULONG selector, const VOID* data,
                             ULONG length);
