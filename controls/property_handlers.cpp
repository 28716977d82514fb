// Property handlers of the filter's sets. Each answers STATUS_NOT_IMPLEMENTED
// until its set is built; the dispatch in front of them has already checked
// the set, the item and the buffer sizes.
#include "controls/camera_controls.h"
#include "controls/property_sets.h"
#include "driver/device_context.h"
#include "effects/effect_state.h"

NTSTATUS VendorControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VendorControlSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoCompressionGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
// The MODE item: the software still trigger on the still stream.
NTSTATUS VideoControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  if (request->Id != kVideoControlModeItem) return STATUS_NOT_IMPLEMENTED;
  DeviceContext* d = DeviceContextOf(KsGetDevice(KsGetFilterFromIrp(irp)));
  if (!d || !d->engine || !d->effects) return STATUS_INVALID_DEVICE_STATE;
  struct ModeRequest {
    KSPROPERTY property;
    ULONG streamIndex;
    LONG mode;
  };
  const auto* mode = static_cast<const ModeRequest*>(data);
  CameraControls controls{};
  controls.engine = d->engine;
  controls.state = d->effects;
  return SetVideoControlMode(controls, mode->streamIndex, ULONG(mode->mode),
                             LoadSetting(d->effects->stillPinPresent) != 0);
}
NTSTATUS VideoProcAmpGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS VideoProcAmpSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CameraControlGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS CameraControlSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ExtensionUnitGet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
NTSTATUS ExtensionUnitSet(PIRP, PKSIDENTIFIER, PVOID) { return STATUS_NOT_IMPLEMENTED; }
