// What sits below the driver on the host: a device object that takes the
// driver's URB requests. The bus stand-in over a simulated camera is one;
// a real camera reached through libusb is another. Host build only.
#pragma once

#include "platform/host/io.h"
#include "platform/host/usb.h"

namespace host {

class LowerDevice {
 public:
  virtual ~LowerDevice() = default;
  // The device object that the driver sees as KSDEVICE.NextDeviceObject.
  virtual PDEVICE_OBJECT DeviceObject() = 0;
};

}  // namespace host

namespace host {

// The USBDI v1 bus interface that every lower device hands the driver on
// IRP_MN_QUERY_INTERFACE. Only the context, the reference counting and the
// speed answer are the device's own; version, bus time and the unsupported
// calls are the same for all.
struct UsbdiInterfaceParts {
  PVOID context;
  PINTERFACE_REFERENCE reference;
  PINTERFACE_DEREFERENCE dereference;
  USB_BUSIFFN_IS_DEVICE_HIGH_SPEED* isHighSpeed;
};

// True when the IRP asks for the USBDI bus interface. Any other query is left
// as it was (the PnP rule for interfaces a device does not answer).
bool IsUsbdiQuery(PIRP irp);

// Fills the caller's buffer and takes the reference the caller now owns, or
// fails the IRP with STATUS_INVALID_PARAMETER when its version or size is
// too small or it gives no buffer.
void AnswerUsbdiQuery(PIRP irp, const UsbdiInterfaceParts& parts);

}  // namespace host
