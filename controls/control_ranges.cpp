// The video-control walk and the control ranges read at device start.
#include "controls/control_ranges.h"

#include "usb/descriptor_walk.h"
#include "usb/usb_request.h"

namespace {

constexpr ULONG kHeaderMinimum = 12;         // up to bInCollection
constexpr ULONG kProcessingUnitMinimum = 10; // up to two bytes of bmControls
constexpr ULONG kProcessingControlsAt = 8;
constexpr ULONG kCameraTerminalFixed = 15;   // up to bControlSize
constexpr ULONG kCameraControlsAt = 15;
constexpr ULONG kExtensionUnitMinimum = 24;
constexpr LONG kRangeSettleMs = 50;

// Exposure value v (-14..-1) -> exposure time in 100 us units, entry v + 14.
constexpr ULONG kExposureTimeTable[14] = {0,   1,   2,    4,    9,    19,   39,
                                          78,  156, 312,  625,  1250, 2500, 5000};

// Reads up to `maxBytes` of a little-endian bitmap of `size` bytes at `at`.
ULONG ReadBitmap(const UCHAR* d, ULONG at, ULONG size, ULONG maxBytes) {
  ULONG bits = 0;
  for (ULONG i = 0; i < size && i < maxBytes; ++i) bits |= ULONG(d[at + i]) << (8 * i);
  return bits;
}

void TakeUnit(const UCHAR* d, ULONG n, ControlUnits* units) {
  switch (d[2]) {
    case kVcProcessingUnit: {
      if (units->hasProcessingUnit || n < kProcessingUnitMinimum) return;
      ULONG size = d[7];
      if (kProcessingControlsAt + size > n) return;  // shorter than its own bitmap
      units->hasProcessingUnit = 1;
      units->processingUnitId = d[3];
      units->processingControls = ReadBitmap(d, kProcessingControlsAt, size, 2);
      return;
    }
    case kVcInputTerminal: {
      if (units->hasCameraTerminal || n < kCameraTerminalFixed) return;
      if (ReadLe16(d + 4) != kCameraTerminalType) return;  // not the camera
      ULONG size = d[14];
      if (kCameraControlsAt + size > n) return;
      units->hasCameraTerminal = 1;
      units->cameraTerminalId = d[3];
      units->cameraControls = ReadBitmap(d, kCameraControlsAt, size, 3);
      return;
    }
    case kVcExtensionUnit:
      if (units->hasExtensionUnit || n < kExtensionUnitMinimum) return;
      units->hasExtensionUnit = 1;
      units->extensionUnitId = d[3];
      return;
    default:
      return;
  }
}

// GET_MIN, GET_MAX, GET_DEF and GET_RES of a 2-byte control. The values are
// signed when the minimum is negative, unsigned otherwise.
void ReadRange16(StreamEngine* engine, UCHAR selector, UCHAR unit, ControlValue* c) {
  UCHAR b[4][2];
  const UCHAR requests[4] = {GET_MIN, GET_MAX, GET_DEF, GET_RES};
  for (int i = 0; i < 4; ++i) ReadUnitControl(engine, requests[i], selector, unit, b[i], 2);
  bool isSigned = SHORT(ReadLe16(b[0])) < 0;
  auto value = [&](int i) { return isSigned ? LONG(SHORT(ReadLe16(b[i]))) : LONG(ReadLe16(b[i])); };
  c->Supported = 1;
  c->Minimum = value(0);
  c->Maximum = value(1);
  c->Default = value(2);
  c->Current = c->Default;
  c->Step = LONG(ReadLe16(b[3]));
}

UCHAR ReadByte(StreamEngine* engine, UCHAR request, UCHAR selector, UCHAR unit) {
  UCHAR b = 0;
  ReadUnitControl(engine, request, selector, unit, &b, 1);
  return b;
}

// A UVC auto boolean default as a kernel-streaming flag.
void ReadAutoFlag(StreamEngine* engine, UCHAR selector, UCHAR unit, AutoControl* a) {
  a->AutoSupported = 1;
  a->AutoDefault = ReadByte(engine, GET_DEF, selector, unit) ? kControlFlagAuto : kControlFlagManual;
  a->AutoCurrent = a->AutoDefault;
}

void SetManual(AutoControl* a) {
  a->AutoSupported = 0;
  a->AutoDefault = a->AutoCurrent = kControlFlagManual;
}

bool IsSingleAutoMode(ULONG mode) {
  return mode == kExposureModeAuto || mode == kExposureModeShutterPriority ||
         mode == kExposureModeAperturePriority;
}

// Auto-exposure mode: the stored flag says whether the default is an auto
// mode; the wire value for auto comes from the default or the camera's list.
void ReadExposureMode(StreamEngine* engine, ControlUnits* units, ControlSettings* state) {
  UCHAR unit = units->cameraTerminalId;
  UCHAR def = ReadByte(engine, GET_DEF, kCtAutoExposureMode, unit);
  UCHAR modes = ReadByte(engine, GET_RES, kCtAutoExposureMode, unit);
  if (!modes) modes = UCHAR(def | kExposureModeManual | kExposureModeAuto);  // no list: assume the usual pair
  UCHAR autoMode = 0;
  if (IsSingleAutoMode(def) && (modes & def)) {
    autoMode = def;
  } else {
    const UCHAR preferred[3] = {kExposureModeAuto, kExposureModeAperturePriority,
                                kExposureModeShutterPriority};
    for (UCHAR m : preferred)
      if (!autoMode && (modes & m)) autoMode = m;
  }
  AutoControl& mode = state->exposureMode;
  mode.AutoSupported = autoMode ? 1 : 0;
  mode.AutoDefault = (autoMode && !(def & kExposureModeManual)) ? 1 : 0;
  mode.AutoCurrent = mode.AutoDefault;
  units->exposureAutoMode = autoMode ? autoMode : kExposureModeAuto;
}

}  // namespace

BOOLEAN ExposureTimeFor(LONG exposureValue, ULONG* time100us) {
  if (exposureValue < -14 || exposureValue > -1) return FALSE;
  *time100us = kExposureTimeTable[exposureValue + 14];
  return TRUE;
}

NTSTATUS FindControlUnits(const UCHAR* configuration, ULONG length, ControlUnits* units) {
  RtlZeroMemory(units, sizeof *units);
  units->controlInterface = kNoInterface;
  if (!configuration) return STATUS_UNSUCCESSFUL;
  ULONG offset = 0, n;
  for (; (n = DescriptorLengthAt(configuration, length, offset)) != 0; offset += n) {
    const UCHAR* d = configuration + offset;
    if (IsInterfaceDescriptor(d, n) && d[5] == kVideoClass && d[6] == kVideoControlSubclass) break;
  }
  if (!n) return STATUS_UNSUCCESSFUL;
  const UCHAR number = configuration[offset + 2];
  offset += n;
  // The header belongs to this interface: it comes before the next one.
  for (; (n = DescriptorLengthAt(configuration, length, offset)) != 0; offset += n) {
    const UCHAR* d = configuration + offset;
    if (EndsInterface(d, n, number)) return STATUS_UNSUCCESSFUL;
    if (d[1] == kClassSpecificInterface && n >= kHeaderMinimum && d[2] == kVcHeader) break;
  }
  if (!n) return STATUS_UNSUCCESSFUL;
  units->controlInterface = number;
  ULONG total = ReadLe16(configuration + offset + 5);
  ULONG end = total < length - offset ? offset + total : length;
  for (offset += n; (n = DescriptorLengthAt(configuration, end, offset)) != 0; offset += n) {
    const UCHAR* d = configuration + offset;
    if (EndsInterface(d, n, number)) break;
    if (d[1] == kClassSpecificInterface && n >= 4) TakeUnit(d, n, units);
  }
  return STATUS_SUCCESS;
}

NTSTATUS BuildControlRanges(StreamEngine* engine, ControlUnits* units, ControlSettings* state) {
  NTSTATUS status = FindControlUnits(engine->configuration, engine->configurationLength, units);
  SetManual(&state->hueAuto);
  SetManual(&state->whiteBalanceAuto);
  SetManual(&state->focusAuto);
  if (!NT_SUCCESS(status)) return status;
  WaitMilliseconds(kRangeSettleMs);

  if (units->hasProcessingUnit) {
    const UCHAR pu = units->processingUnitId;
    const ULONG bits = units->processingControls;
    const struct {
      ULONG bit;
      UCHAR selector;
      ControlValue* control;
    } plain[] = {
        {0, kPuBrightness, &state->brightness},   {1, kPuContrast, &state->contrast},
        {2, kPuHue, &state->hue},                 {3, kPuSaturation, &state->saturation},
        {4, kPuSharpness, &state->sharpness},     {8, kPuBacklightCompensation, &state->backlightCompensation},
        {5, kPuGamma, &state->gamma},             {6, kPuWhiteBalanceTemperature, &state->whiteBalanceTemperature},
    };
    for (const auto& p : plain) {
      if (bits & (1u << p.bit)) ReadRange16(engine, p.selector, pu, p.control);
      if (p.bit == 2 && (bits & (1u << 11))) ReadAutoFlag(engine, kPuHueAuto, pu, &state->hueAuto);
    }
    if (bits & (1u << 12)) ReadAutoFlag(engine, kPuWhiteBalanceTemperatureAuto, pu, &state->whiteBalanceAuto);
    if (bits & (1u << 10)) {
      ControlValue& plf = state->powerLineFrequency;
      plf.Supported = 1;
      plf.Minimum = 1;
      plf.Maximum = 2;
      plf.Step = 1;
      plf.Default = plf.Current = ReadByte(engine, GET_DEF, kPuPowerLineFrequency, pu);
    }
  }

  if (units->hasCameraTerminal) {
    const UCHAR ct = units->cameraTerminalId;
    const ULONG bits = units->cameraControls;
    if (bits & (1u << 5)) ReadRange16(engine, kCtFocusAbsolute, ct, &state->focus);
    if (bits & (1u << 17)) ReadAutoFlag(engine, kCtFocusAuto, ct, &state->focusAuto);
    if (bits & (1u << 1)) ReadExposureMode(engine, units, state);
    if (bits & (1u << 3)) {
      // The camera's time range is read as the camera expects, but the
      // driver offers exposure values; only the step is kept.
      UCHAR b[4];
      const UCHAR requests[4] = {GET_MIN, GET_MAX, GET_DEF, GET_RES};
      for (UCHAR request : requests) ReadUnitControl(engine, request, kCtExposureTimeAbsolute, ct, b, 4);
      ControlValue& e = state->exposure;
      e.Supported = 1;
      e.Minimum = kExposureMinimum;
      e.Maximum = kExposureMaximum;
      e.Default = e.Current = kExposureDefault;
      e.Step = LONG(ReadLe32(b));
    }
  }
  return STATUS_SUCCESS;
}

NTSTATUS ReadUnitControl(StreamEngine* engine, UCHAR request, UCHAR selector, UCHAR unit,
                         UCHAR* reply, ULONG length) {
  RtlZeroMemory(reply, length);
  ULONG got = 0;
  NTSTATUS status = UnitRequest(engine, request, selector, unit, reply, length, TRUE, &got);
  if (NT_SUCCESS(status) && got >= length) return STATUS_SUCCESS;
  RtlZeroMemory(reply, length);  // a short reply leaves nothing half-read
  return STATUS_UNSUCCESSFUL;
}

UCHAR ExposureModeOnWire(const ControlUnits& units, ULONG exposureAuto) {
  if (exposureAuto != 1) return kExposureModeManual;
  return units.exposureAutoMode ? units.exposureAutoMode : kExposureModeAuto;
}
