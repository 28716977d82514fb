// Property handlers of the filter's sets. Each finds the device behind the
// request, checks the lengths it relies on (the dispatch in front has
// checked them too, but nothing here trusts that), unpacks the KS record,
// calls the controls functions with plain values and packs the answer.
#include "controls/property_sets.h"

#include <cstddef>

#include "controls/camera_controls.h"
#include "controls/vendor_controls.h"
#include "driver/device_context.h"

namespace {

// The device of the filter the request came to, once its controls exist.
CameraControls* ControlsOf(PIRP irp) {
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  DeviceContext* c = filter ? DeviceContextOf(KsGetDevice(filter)) : nullptr;
  return c && c->controls.state && c->controls.engine ? &c->controls : nullptr;
}

ULONG InputLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.InputBufferLength;
}
ULONG OutputLength(PIRP irp) {
  return IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
}

// The request and data records both hold at least `property` / `data` bytes.
bool Fits(PIRP irp, PVOID data, ULONG property, ULONG dataBytes) {
  return InputLength(irp) >= property && OutputLength(irp) >= dataBytes && (data || dataBytes == 0);
}

NTSTATUS GetControl(PIRP irp, PKSIDENTIFIER request, PVOID data, bool cameraControl) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
  ControlReading r{};
  NTSTATUS s = cameraControl ? GetCameraControl(*c, request->Id, &r) : GetProcAmp(*c, request->Id, &r);
  if (!NT_SUCCESS(s)) return s;
  auto* out = static_cast<KSPROPERTY_VIDEOPROCAMP_S*>(data);
  RtlMoveMemory(out, request, kSize);
  out->Value = r.Value;
  out->Flags = r.Flags;
  out->Capabilities = r.Capabilities;
  irp->IoStatus.Information = kSize;
  return STATUS_SUCCESS;
}

NTSTATUS SetControl(PIRP irp, PKSIDENTIFIER request, PVOID data, bool cameraControl) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOPROCAMP_S);
  if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
  const auto* in = static_cast<const KSPROPERTY_VIDEOPROCAMP_S*>(data);
  const LONG value = in->Value;
  const ULONG flags = in->Flags;
  irp->IoStatus.Information = 0;
  return cameraControl ? SetCameraControl(*c, request->Id, value, flags)
                       : SetProcAmp(*c, request->Id, value, flags);
}

// The caller buffer of vendor items 3 and 241: the bytes of the data buffer
// after the 56-byte record. BufferAddress is never dereferenced.
VendorCallerBuffer CallerBuffer(PIRP irp, PVOID data) {
  const ULONG length = OutputLength(irp);
  if (!data || length <= sizeof(VendorControlRequest)) return VendorCallerBuffer{nullptr, 0};
  return VendorCallerBuffer{static_cast<UCHAR*>(data) + sizeof(VendorControlRequest),
                            length - ULONG(sizeof(VendorControlRequest))};
}

NTSTATUS Vendor(PIRP irp, PKSIDENTIFIER request, PVOID data, bool set) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  constexpr ULONG kSize = sizeof(VendorControlRequest);
  if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
  // The property names the item and carries its arguments; the answer goes
  // to the data record.
  VendorControlRequest r;
  RtlCopyMemory(&r, request, kSize);
  RtlCopyMemory(&r.Result, static_cast<const UCHAR*>(data) + offsetof(VendorControlRequest, Result),
                2 * sizeof(LONG));
  VendorCallerBuffer buffer = CallerBuffer(irp, data);
  VendorStreamState stream{ReadULongNoFence(&c->engine->running)};
  NTSTATUS s = set ? VendorControlSet(*c, &r, buffer.Data ? &buffer : nullptr, stream)
                   : VendorControlGet(*c, &r, buffer.Data ? &buffer : nullptr, stream);
  if (!set) {
    auto* out = static_cast<VendorControlRequest*>(data);
    RtlMoveMemory(out, &r, offsetof(VendorControlRequest, Reserved));
    irp->IoStatus.Information = kSize;
  } else {
    irp->IoStatus.Information = 0;
  }
  return s;
}

}  // namespace

NTSTATUS VendorControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return Vendor(irp, request, data, false);
}
NTSTATUS VendorControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return Vendor(irp, request, data, true);
}

NTSTATUS VideoCompressionGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
  constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S);
  if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
  CompressionInfo info;
  GetCompressionInfo(&info);
  auto* out = static_cast<KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S*>(data);
  out->DefaultKeyFrameRate = info.DefaultKeyFrameRate;
  out->DefaultPFrameRate = info.DefaultPFrameRate;
  out->DefaultQuality = info.DefaultQuality;
  out->Capabilities = info.Capabilities;
  irp->IoStatus.Information = kSize;
  return STATUS_SUCCESS;
}

NTSTATUS VideoControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  switch (request->Id) {
    case 0: {  // CAPS
      constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S);
      if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
      const ULONG stream = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_CAPS_S*>(request)->StreamIndex;
      ULONG caps = 0;
      NTSTATUS s = GetVideoControlCaps(stream, &caps);
      if (!NT_SUCCESS(s)) return s;
      auto* out = static_cast<KSPROPERTY_VIDEOCONTROL_CAPS_S*>(data);
      out->StreamIndex = stream;
      out->VideoControlCaps = caps;
      irp->IoStatus.Information = kSize;
      return STATUS_SUCCESS;
    }
    case 1: {  // ACTUAL_FRAME_RATE
      constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S);
      if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
      auto* out = static_cast<KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE_S*>(data);
      LONGLONG current = 0, maximum = 0;
      GetActualFrameRate(ReadULongNoFence(&c->engine->fps), &current, &maximum);
      out->CurrentActualFrameRate = current;
      out->CurrentMaxAvailableFrameRate = maximum;
      irp->IoStatus.Information = kSize;
      return STATUS_SUCCESS;
    }
    case 2: {  // FRAME_RATES
      if (InputLength(irp) < sizeof(KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S)) return STATUS_BUFFER_TOO_SMALL;
      const ULONG stream = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_FRAME_RATES_S*>(request)->StreamIndex;
      ULONG information = 0;
      NTSTATUS s = GetFrameRates(stream, data, data ? OutputLength(irp) : 0, &information);
      irp->IoStatus.Information = information;
      return s;
    }
    case 3: {  // MODE
      constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
      if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
      auto* out = static_cast<KSPROPERTY_VIDEOCONTROL_MODE_S*>(data);
      out->StreamIndex = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request)->StreamIndex;
      out->Mode = LONG(kVideoControlModeFlags);
      irp->IoStatus.Information = kSize;
      return STATUS_SUCCESS;
    }
    default:
      return STATUS_NOT_SUPPORTED;
  }
}

NTSTATUS VideoControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  constexpr ULONG kSize = sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S);
  if (request->Id != 3) return STATUS_NOT_SUPPORTED;
  if (!Fits(irp, data, kSize, kSize)) return STATUS_BUFFER_TOO_SMALL;
  const ULONG stream = reinterpret_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(request)->StreamIndex;
  const ULONG mode = ULONG(static_cast<const KSPROPERTY_VIDEOCONTROL_MODE_S*>(data)->Mode);
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  DeviceContext* d = DeviceContextOf(KsGetDevice(filter));
  // A still pin exists only with a format; the engine's still size is
  // checked by the trigger itself.
  const BOOLEAN stillPin = ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&d->stillPin)) != nullptr;
  irp->IoStatus.Information = 0;
  return SetVideoControlMode(*c, stream, mode, stillPin);
}

NTSTATUS VideoProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return GetControl(irp, request, data, false);
}
NTSTATUS VideoProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return SetControl(irp, request, data, false);
}
NTSTATUS CameraControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return GetControl(irp, request, data, true);
}
NTSTATUS CameraControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  return SetControl(irp, request, data, true);
}

NTSTATUS ExtensionUnitGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  if (InputLength(irp) < sizeof(KSP_NODE)) return STATUS_BUFFER_TOO_SMALL;
  ULONG information = 0;
  NTSTATUS s = GetExtensionControl(*c, request->Id, data, data ? OutputLength(irp) : 0, &information);
  irp->IoStatus.Information = information;
  return s;
}

NTSTATUS ExtensionUnitSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  CameraControls* c = ControlsOf(irp);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  if (InputLength(irp) < sizeof(KSP_NODE)) return STATUS_BUFFER_TOO_SMALL;
  irp->IoStatus.Information = 0;
  return SetExtensionControl(*c, request->Id, data, data ? OutputLength(irp) : 0);
}
