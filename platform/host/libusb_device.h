// A real USB device as the lower device of a camera: it takes the driver's
// IOCTL_INTERNAL_USB_SUBMIT_URB requests and the USBDI bus-interface query
// and carries them out through libusb's asynchronous API. Control, bulk,
// interrupt and isochronous transfers go out as libusb transfers whose data
// lands straight in the URB's buffer; select configuration / interface,
// pipe reset and pipe abort are done in the dispatch routine (the driver
// sends them where it may block). One event thread runs libusb's event
// handling and completes the IRPs. Host build only; without libusb in the
// build nothing here is compiled in.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "platform/host/lower_device.h"
#include "platform/host/usb.h"

struct libusb_context;
struct libusb_device_handle;

namespace host {

class LibusbDevice : public LowerDevice {
 public:
  // Takes over an open handle and the context it was opened on; both are
  // closed at destruction. `reattach` lists the interfaces whose kernel
  // driver was detached for this run: they are released and given back to
  // that driver at destruction.
  LibusbDevice(libusb_context* context, libusb_device_handle* handle,
               std::vector<uint8_t> reattach);
  // Cancels every transfer still in flight, waits for their completions,
  // stops the event thread, releases the interfaces and closes the device.
  ~LibusbDevice() override;
  LibusbDevice(const LibusbDevice&) = delete;
  LibusbDevice& operator=(const LibusbDevice&) = delete;

  PDEVICE_OBJECT DeviceObject() override;

  // Transfers submitted to libusb and not yet completed.
  size_t TransfersInFlight() const;
  // Whether the device has left the bus.
  bool Gone() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace host
