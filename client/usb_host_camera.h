// A camera on the host: a device model behind the USB bus stand-in, a KS
// device record above it and the driver's USB bring-up on top. Used by the
// `uvccam formats` command and by tests.
#pragma once

#include <memory>
#include <string>

#include "platform/host/lower_device.h"
#include "platform/host/usb_bus.h"
#include "platform/host/usb_device_model.h"
#include "platform/wdk.h"
#include "usb/stream_engine.h"
#include "usb/usb_bringup.h"

namespace client {

struct BringUpResult {
  NTSTATUS status = STATUS_SUCCESS;
  UsbBringUpStep step = kBringUpNone;  // the failing step
  bool ok() const { return NT_SUCCESS(status); }
};

class HostUsbCamera {
 public:
  explicit HostUsbCamera(std::unique_ptr<host::UsbDeviceModel> model);
  // The same over another lower device (a real camera); Bus() is then
  // unavailable.
  explicit HostUsbCamera(std::unique_ptr<host::LowerDevice> lower);
  ~HostUsbCamera();
  HostUsbCamera(const HostUsbCamera&) = delete;
  HostUsbCamera& operator=(const HostUsbCamera&) = delete;

  // Runs the USB bring-up on a fresh engine.
  BringUpResult BringUp();
  // The engine of the last bring-up (null before the first or when out of memory).
  const StreamEngine* Engine() const { return engine_; }
  host::UsbBus& Bus() { return *bus_; }

 private:
  std::unique_ptr<host::UsbDeviceModel> model_;
  std::unique_ptr<host::UsbBus> bus_;
  std::unique_ptr<host::LowerDevice> lower_;
  PKSDEVICE device_ = nullptr;
  StreamEngine* engine_ = nullptr;
};

// "YUY2", "UYVY", "MJPG", "I420", "RGB24", or the GUID in braces.
std::string SubtypeName(const GUID& subtype);
// The format and still tables with speed, endpoint type and interfaces.
std::string FormatsText(const StreamEngine& engine);
// The same as one JSON object (keys: vendorId, productId, highSpeed,
// endpointType, controlInterface, streamingInterface, formats, stills).
std::string FormatsJson(const StreamEngine& engine);
// What went wrong in a user's words, then "(status 0x<hex>)".
std::string BringUpFailureText(const BringUpResult& result);

}  // namespace client
