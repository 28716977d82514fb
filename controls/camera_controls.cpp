// VIDEOPROCAMP, CAMERACONTROL, VIDEOCONTROL, VIDEOCOMPRESSION and the
// extension unit.
#include "controls/camera_controls.h"

#include "usb/descriptor_walk.h"
#include "usb/usb_request.h"

namespace {

constexpr UCHAR kVsStillImageTrigger = 0x05;
constexpr LONGLONG kMaxFrameRate = 30;

enum class Unit { kProcessing, kCamera };

// The bmControls bit behind a selector, or -1.
int ControlBit(Unit unit, UCHAR selector) {
  static const UCHAR kProcessing[][2] = {{kPuBacklightCompensation, 8}, {kPuBrightness, 0},
                                         {kPuContrast, 1},  {kPuPowerLineFrequency, 10},
                                         {kPuHue, 2},       {kPuSaturation, 3},
                                         {kPuSharpness, 4}, {kPuGamma, 5},
                                         {kPuWhiteBalanceTemperature, 6},
                                         {kPuWhiteBalanceTemperatureAuto, 12}, {kPuHueAuto, 11}};
  static const UCHAR kCamera[][2] = {{kCtAutoExposureMode, 1}, {kCtExposureTimeAbsolute, 3},
                                     {kCtFocusAbsolute, 5},    {kCtFocusAuto, 17}};
  if (unit == Unit::kProcessing) {
    for (const auto& e : kProcessing)
      if (e[0] == selector) return e[1];
  } else {
    for (const auto& e : kCamera)
      if (e[0] == selector) return e[1];
  }
  return -1;
}

// SET_CUR of `bytes` little-endian bytes, only to a control the camera
// announced and only with a value those bytes carry.
NTSTATUS SendControl(const CameraControls& c, Unit unit, UCHAR selector, LONG value, ULONG bytes) {
  const ControlUnits& u = c.units;
  int bit = ControlBit(unit, selector);
  bool present = unit == Unit::kProcessing ? u.hasProcessingUnit != 0 : u.hasCameraTerminal != 0;
  ULONG bitmap = unit == Unit::kProcessing ? u.processingControls : u.cameraControls;
  if (!present || bit < 0 || !(bitmap & (1u << bit))) return STATUS_NOT_SUPPORTED;
  if ((bytes == 1 && (value < 0 || value > 0xFF)) ||
      (bytes == 2 && (value < -0x8000 || value > 0xFFFF)))
    return STATUS_INVALID_PARAMETER;
  UCHAR wire[4];
  for (ULONG i = 0; i < 4; ++i) wire[i] = UCHAR(ULONG(value) >> (8 * i));
  UCHAR id = unit == Unit::kProcessing ? u.processingUnitId : u.cameraTerminalId;
  return UnitRequest(c.engine, SET_CUR, selector, id, wire, bytes, FALSE);
}

// Holds the device mutex (when there is a device) for one store-and-send.
class DeviceLock {
 public:
  explicit DeviceLock(StreamEngine* engine) : device_(engine ? engine->device : nullptr) {
    if (device_) KsAcquireDevice(device_);
  }
  ~DeviceLock() {
    if (device_) KsReleaseDevice(device_);
  }
  DeviceLock(const DeviceLock&) = delete;
  DeviceLock& operator=(const DeviceLock&) = delete;

 private:
  KSDEVICE* device_;
};

// The KS flags a set asks for, checked against what the control can do.
NTSTATUS CheckFlags(const AutoControl& a, ULONG flags) {
  if (flags == kControlFlagManual) return STATUS_SUCCESS;
  if (flags == kControlFlagAuto) return a.AutoSupported ? STATUS_SUCCESS : STATUS_NOT_SUPPORTED;
  return STATUS_INVALID_PARAMETER;
}

ULONG Capabilities(const AutoControl* a) {
  return a && a->AutoSupported ? kControlFlagAuto | kControlFlagManual : kControlFlagManual;
}

NTSTATUS CheckValue(const ControlValue* c, LONG value) {
  if (!c || !c->Supported) return STATUS_NOT_SUPPORTED;
  if (value < c->Minimum || value > c->Maximum) return STATUS_NOT_SUPPORTED;
  return STATUS_SUCCESS;
}

UCHAR ProcAmpSelector(ULONG id) {
  switch (id) {
    case kProcAmpBrightness: return kPuBrightness;
    case kProcAmpContrast: return kPuContrast;
    case kProcAmpHue: return kPuHue;
    case kProcAmpSaturation: return kPuSaturation;
    case kProcAmpSharpness: return kPuSharpness;
    case kProcAmpGamma: return kPuGamma;
    case kProcAmpWhiteBalance: return kPuWhiteBalanceTemperature;
    case kProcAmpBacklightCompensation: return kPuBacklightCompensation;
    default: return kPuPowerLineFrequency;
  }
}

// Stores the auto flag of a control with an auto switch and sends it when
// it changes; sends the value afterwards only in manual mode (a camera
// refuses a manual value while its auto mode runs).
VOID SetWithAuto(const CameraControls& c, Unit unit, ControlValue& value, AutoControl& autoControl,
                 UCHAR valueSelector, UCHAR autoSelector, LONG newValue, ULONG flags) {
  StoreSetting(value.Current, newValue);
  if (flags != LoadSetting(autoControl.AutoCurrent)) {
    StoreSetting(autoControl.AutoCurrent, flags);
    SendControl(c, unit, autoSelector, AutoFlagOnWire(flags), 1);
  }
  if (LoadSetting(autoControl.AutoCurrent) == kControlFlagManual)
    SendControl(c, unit, valueSelector, newValue, 2);
}

}  // namespace

const ControlValue* ProcAmpControl(const ControlSettings* s, ULONG id) {
  switch (id) {
    case kProcAmpBrightness: return &s->brightness;
    case kProcAmpContrast: return &s->contrast;
    case kProcAmpHue: return &s->hue;
    case kProcAmpSaturation: return &s->saturation;
    case kProcAmpSharpness: return &s->sharpness;
    case kProcAmpGamma: return &s->gamma;
    case kProcAmpWhiteBalance: return &s->whiteBalanceTemperature;
    case kProcAmpBacklightCompensation: return &s->backlightCompensation;
    case kProcAmpPowerLineFrequency: return &s->powerLineFrequency;
    default: return nullptr;
  }
}

const ControlValue* CameraControlRecord(const ControlSettings* s, ULONG id) {
  if (id == kCameraControlExposure) return &s->exposure;
  if (id == kCameraControlFocus) return &s->focus;
  return nullptr;
}

NTSTATUS GetProcAmp(const CameraControls& c, ULONG id, ControlReading* r) {
  const ControlSettings* s = c.state;
  const ControlValue* control = ProcAmpControl(s, id);
  if (!control || !control->Supported) return STATUS_NOT_SUPPORTED;
  const AutoControl* a = id == kProcAmpHue ? &s->hueAuto
                         : id == kProcAmpWhiteBalance ? &s->whiteBalanceAuto : nullptr;
  r->Value = LoadSetting(control->Current);
  r->Flags = a ? LoadSetting(a->AutoCurrent) : kControlFlagManual;
  r->Capabilities = Capabilities(a);
  return STATUS_SUCCESS;
}

NTSTATUS SetProcAmp(const CameraControls& c, ULONG id, LONG value, ULONG flags) {
  ControlSettings* s = c.state;
  ControlValue* control = const_cast<ControlValue*>(ProcAmpControl(s, id));
  NTSTATUS status = CheckValue(control, value);
  if (!NT_SUCCESS(status)) return status;
  DeviceLock lock(c.engine);
  if (id == kProcAmpWhiteBalance || (id == kProcAmpHue && s->hueAuto.AutoSupported)) {
    bool wb = id == kProcAmpWhiteBalance;
    AutoControl& a = wb ? s->whiteBalanceAuto : s->hueAuto;
    status = CheckFlags(a, flags);
    if (!NT_SUCCESS(status)) return status;
    SetWithAuto(c, Unit::kProcessing, *control, a, ProcAmpSelector(id),
                wb ? kPuWhiteBalanceTemperatureAuto : kPuHueAuto, value, flags);
    return STATUS_SUCCESS;
  }
  StoreSetting(control->Current, value);
  if (id == kProcAmpPowerLineFrequency) {
    SendPowerLineFrequency(c, value);
  } else {
    SendControl(c, Unit::kProcessing, ProcAmpSelector(id), value, 2);
  }
  return STATUS_SUCCESS;
}

NTSTATUS GetCameraControl(const CameraControls& c, ULONG id, ControlReading* r) {
  const ControlSettings* s = c.state;
  const ControlValue* control = CameraControlRecord(s, id);
  if (!control) return STATUS_NOT_IMPLEMENTED;
  if (!control->Supported) return STATUS_NOT_SUPPORTED;
  r->Value = LoadSetting(control->Current);
  if (id == kCameraControlFocus) {
    r->Flags = LoadSetting(s->focusAuto.AutoCurrent);
    r->Capabilities = Capabilities(&s->focusAuto);
  } else {
    r->Flags = LoadSetting(s->exposureMode.AutoCurrent) == 1 ? kControlFlagAuto : kControlFlagManual;
    r->Capabilities = Capabilities(&s->exposureMode);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetCameraControl(const CameraControls& c, ULONG id, LONG value, ULONG flags) {
  ControlSettings* s = c.state;
  ControlValue* control = const_cast<ControlValue*>(CameraControlRecord(s, id));
  if (!control) return STATUS_NOT_IMPLEMENTED;
  NTSTATUS status = CheckValue(control, value);
  if (!NT_SUCCESS(status)) return status;
  AutoControl& a = id == kCameraControlFocus ? s->focusAuto : s->exposureMode;
  status = CheckFlags(a, flags);
  if (!NT_SUCCESS(status)) return status;
  DeviceLock lock(c.engine);
  if (id == kCameraControlFocus) {
    SetWithAuto(c, Unit::kCamera, *control, a, kCtFocusAbsolute, kCtFocusAuto, value, flags);
    return STATUS_SUCCESS;
  }
  StoreSetting(control->Current, value);
  ULONG exposureAuto = flags == kControlFlagAuto ? 1 : 0;
  if (exposureAuto != LoadSetting(a.AutoCurrent)) {
    StoreSetting(a.AutoCurrent, exposureAuto);
    SendExposureMode(c, exposureAuto);
  }
  if (LoadSetting(a.AutoCurrent) == 0) SendExposureTime(c, value);
  return STATUS_SUCCESS;
}

NTSTATUS SendProcessingValue(const CameraControls& c, UCHAR selector, LONG value) {
  return SendControl(c, Unit::kProcessing, selector, value, 2);
}

NTSTATUS SendPowerLineFrequency(const CameraControls& c, LONG value) {
  return SendControl(c, Unit::kProcessing, kPuPowerLineFrequency, value, 1);
}

NTSTATUS SendExposureMode(const CameraControls& c, ULONG exposureAuto) {
  if (exposureAuto > 1) return STATUS_INVALID_PARAMETER;
  return SendControl(c, Unit::kCamera, kCtAutoExposureMode, ExposureModeOnWire(c.units, exposureAuto), 1);
}

NTSTATUS SendExposureTime(const CameraControls& c, LONG exposure) {
  ULONG time = 0;
  if (!ExposureTimeFor(exposure, &time)) return STATUS_INVALID_PARAMETER;
  return SendControl(c, Unit::kCamera, kCtExposureTimeAbsolute, LONG(time), 4);
}

VOID SendStoredControls(const CameraControls& c) {
  const ControlSettings* s = c.state;
  // One hold of the device mutex: a set cannot slip in between reading a
  // stored value and sending it.
  DeviceLock lock(c.engine);
  LONG plf = LoadSetting(s->powerLineFrequency.Current);
  if (s->powerLineFrequency.Supported && plf != 0) SendPowerLineFrequency(c, plf);
  const struct {
    const ControlValue& control;
    UCHAR selector;
    const AutoControl* autoControl;
  } plain[] = {{s->brightness, kPuBrightness, nullptr},
               {s->contrast, kPuContrast, nullptr},
               {s->sharpness, kPuSharpness, nullptr},
               {s->hue, kPuHue, &s->hueAuto},
               {s->saturation, kPuSaturation, nullptr},
               {s->gamma, kPuGamma, nullptr},
               {s->backlightCompensation, kPuBacklightCompensation, nullptr}};
  for (const auto& p : plain) {
    if (!p.control.Supported) continue;
    if (p.autoControl && LoadSetting(p.autoControl->AutoCurrent) == kControlFlagAuto) continue;
    SendControl(c, Unit::kProcessing, p.selector, LoadSetting(p.control.Current), 2);
  }
  ULONG exposureAuto = LoadSetting(s->exposureMode.AutoCurrent);
  if (s->exposureMode.AutoSupported) SendExposureMode(c, exposureAuto);
  if (s->exposure.Supported && exposureAuto != 1) SendExposureTime(c, LoadSetting(s->exposure.Current));
  ULONG wbFlags = LoadSetting(s->whiteBalanceAuto.AutoCurrent);
  if (s->whiteBalanceAuto.AutoSupported)
    SendControl(c, Unit::kProcessing, kPuWhiteBalanceTemperatureAuto, AutoFlagOnWire(wbFlags), 1);
  if (s->whiteBalanceTemperature.Supported && wbFlags == kControlFlagManual)
    SendControl(c, Unit::kProcessing, kPuWhiteBalanceTemperature,
                LoadSetting(s->whiteBalanceTemperature.Current), 2);
}

VOID GetCompressionInfo(CompressionInfo* info) {
  info->DefaultKeyFrameRate = 30;
  info->DefaultPFrameRate = 3;
  info->DefaultQuality = 5000;
  info->Capabilities = 13;  // CanQuality | CanKeyFrame | CanBFrame
}

NTSTATUS GetVideoControlCaps(ULONG streamIndex, ULONG* caps) {
  if (streamIndex != kStillStreamIndex) return STATUS_NOT_SUPPORTED;
  *caps = kVideoControlModeFlags;
  return STATUS_SUCCESS;
}

VOID GetActualFrameRate(ULONG measuredFps, LONGLONG* current, LONGLONG* maximum) {
  *current = measuredFps < kMaxFrameRate ? LONGLONG(measuredFps) : kMaxFrameRate;
  *maximum = kMaxFrameRate;
}

NTSTATUS GetFrameRates(ULONG streamIndex, PVOID buffer, ULONG length, ULONG* information) {
  *information = 0;
  if (streamIndex == kStillStreamIndex) return STATUS_NOT_SUPPORTED;
  *information = kFrameRateListSize;
  if (!buffer || length == 0) return STATUS_BUFFER_OVERFLOW;
  if (length < kFrameRateListSize) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(buffer);
  const ULONG header[2] = {kFrameRateListSize - 8, kFrameRateCount};  // KSMULTIPLE_ITEM Size, Count
  RtlCopyMemory(out, header, sizeof header);
  for (ULONG n = 1; n <= kFrameRateCount; ++n) {
    LONGLONG interval = 10000000LL / n;
    RtlCopyMemory(out + 8 * n, &interval, sizeof interval);
  }
  return STATUS_SUCCESS;
}

NTSTATUS SetVideoControlMode(const CameraControls& c, ULONG streamIndex, ULONG mode,
                             BOOLEAN stillPinFormatted) {
  if (streamIndex != kStillStreamIndex || !(mode & kVideoControlModeFlags)) return STATUS_SUCCESS;
  StreamEngine* e = c.engine;
  if (!stillPinFormatted || !e || e->stillFrameIndex == 0 || e->streamingInterface < 0 ||
      e->streamingInterface > 0xFF)
    return STATUS_SUCCESS;
  UCHAR trigger = 1;
  NTSTATUS status = ClassRequest(e, SET_CUR, USHORT(kVsStillImageTrigger << 8),
                                 USHORT(e->streamingInterface), &trigger, 1, FALSE);
  if (NT_SUCCESS(status)) StoreSetting(*c.softwareStillRequest, 1);
  return STATUS_SUCCESS;
}

namespace {

// GET_LEN of an extension-unit control, checked against the caller's room.
NTSTATUS ExtensionLength(const CameraControls& c, ULONG selector, ULONG room, ULONG* length) {
  if (!c.units.hasExtensionUnit || selector < 1 || selector > 2) return STATUS_NOT_SUPPORTED;
  UCHAR reply[2];
  NTSTATUS status = ReadUnitControl(c.engine, GET_LEN, UCHAR(selector), c.units.extensionUnitId, reply, 2);
  if (!NT_SUCCESS(status)) return status;
  *length = ReadLe16(reply);
  return *length > room ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

}  // namespace

NTSTATUS GetExtensionControl(const CameraControls& c, ULONG selector, PVOID buffer, ULONG length,
                             ULONG* information) {
  *information = 0;
  ULONG n = 0;
  NTSTATUS status = ExtensionLength(c, selector, buffer ? length : 0, &n);
  if (!NT_SUCCESS(status) || n == 0) return status;
  auto* reply = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, n, kTagBuffer));
  if (!reply) return STATUS_INSUFFICIENT_RESOURCES;
  status = ReadUnitControl(c.engine, GET_CUR, UCHAR(selector), c.units.extensionUnitId, reply, n);
  if (NT_SUCCESS(status)) {
    RtlCopyMemory(buffer, reply, n);
    *information = n;
  }
  ExFreePoolWithTag(reply, kTagBuffer);
  return status;
}

NTSTATUS SetExtensionControl(const CameraControls& c, ULONG selector, const VOID* data, ULONG length) {
  if (!data) return STATUS_SUCCESS;
  ULONG n = 0;
  NTSTATUS status = ExtensionLength(c, selector, length, &n);
  if (!NT_SUCCESS(status) || n == 0) return status;
  auto* copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, n, kTagBuffer));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(copy, data, n);
  status = UnitRequest(c.engine, SET_CUR, UCHAR(selector), c.units.extensionUnitId, copy, n, FALSE);
  ExFreePoolWithTag(copy, kTagBuffer);
  return status;
}
