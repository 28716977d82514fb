// Real USB cameras on this host: listing the video-class devices, choosing
// one by a device selector, opening it (with the kernel's own video driver
// detached for the run when asked) as the lower device of a camera, and
// reading its descriptors. Without libusb in the build every call fails
// with a line saying so. Host build only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/lower_device.h"

namespace host {

// Whether this build can reach real devices.
bool UsbDevicesAvailable();

// The rule file that grants users access to video-class devices.
extern const char kUdevRuleFile[];

struct UsbDeviceInfo {
  int bus = 0;
  int address = 0;
  std::string port;  // "BUS-PORT[.PORT...]", the device's sysfs name
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  std::string product;
  std::string serial;
  std::string speed;         // "low", "full", "high", "super", "super+" or "unknown"
  std::string kernelDriver;  // drivers bound to its video interfaces, comma-separated; empty: none
};

// The video-class devices on the system, in bus/address order.
bool ListUsbVideoDevices(std::vector<UsbDeviceInfo>* devices, std::string* error);

// A device selector: usb:VVVV:PPPP, usb:VVVV:PPPP#N, usb:BUS/ADDR or
// usb:BUS-PORT[.PORT...].
struct UsbDeviceSelector {
  enum Kind { kIds, kBusAddress, kPort } kind = kIds;
  uint16_t vendorId = 0;
  uint16_t productId = 0;
  int index = 1;  // the Nth video-class device with these ids, from 1
  int bus = 0;
  int address = 0;
  std::string port;  // "BUS-PORT[.PORT...]"
};
bool ParseUsbDeviceSelector(const std::string& text, UsbDeviceSelector* selector, std::string* error);

// Opens the device as a lower device. A kernel driver bound to one of its
// video interfaces stops this with a one-line *error, unless `detach`: then
// it is detached for the life of the device and re-attached when the device
// is destroyed or the process ends on SIGINT, SIGTERM or SIGHUP.
std::unique_ptr<LowerDevice> OpenUsbCamera(const UsbDeviceSelector& selector, bool detach, std::string* error);

// The device descriptor followed by the active configuration descriptor,
// as /sys/bus/usb/devices/<dev>/descriptors holds them.
bool ReadUsbDescriptors(const UsbDeviceSelector& selector, std::vector<uint8_t>* bytes, std::string* error);

}  // namespace host
