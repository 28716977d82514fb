// The USBDI bus-interface answer shared by the bus stand-in and the libusb
// device.
#include "platform/host/lower_device.h"

namespace host {
namespace {

VOID GetUsbdiVersion(PVOID, PULONG version, PULONG caps) {
  if (version) *version = 0x600;
  if (caps) *caps = 0;
}

NTSTATUS QueryBusTime(PVOID, PULONG frame) {
  if (frame) *frame = 0;
  return STATUS_SUCCESS;
}

NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }

NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
  return STATUS_NOT_SUPPORTED;
}

}  // namespace

bool IsUsbdiQuery(PIRP irp) {
  const GUID* type = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface.InterfaceType;
  return type && IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID);
}

void AnswerUsbdiQuery(PIRP irp, const UsbdiInterfaceParts& parts) {
  auto& query = IoGetCurrentIrpStackLocation(irp)->Parameters.QueryInterface;
  if (query.Version < USB_BUSIF_USBDI_VERSION_1 ||
      query.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) || !query.Interface) {
    irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
    return;
  }
  auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(query.Interface);
  bi->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
  bi->Version = USB_BUSIF_USBDI_VERSION_1;
  bi->BusContext = parts.context;
  bi->InterfaceReference = parts.reference;
  bi->InterfaceDereference = parts.dereference;
  bi->GetUSBDIVersion = GetUsbdiVersion;
  bi->QueryBusTime = QueryBusTime;
  bi->SubmitIsoOutUrb = SubmitIsoOutUrb;
  bi->QueryBusInformation = QueryBusInformation;
  bi->IsDeviceHighSpeed = parts.isHighSpeed;
  parts.reference(parts.context);  // the caller owns one reference
  irp->IoStatus.Status = STATUS_SUCCESS;
}

}  // namespace host
