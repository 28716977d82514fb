// A simulated camera behind an emulated Linux USB device node, so that an
// unmodified libusb in this process drives it as it drives a real camera.
// umockdev provides the sysfs device (with its descriptors file) and the
// node /dev/bus/usb/BBB/DDD; the usbfs requests that libusb sends to the
// node are answered here from the camera model: control transfers from its
// control handling, isochronous packets from its stream at bus time, bulk
// and interrupt transfers polled once per (micro)frame, discarded URBs
// completed as cancelled, and faults as the statuses a kernel reports
// (-EPIPE for a stall, -ENODEV once unplugged, -EPROTO for a damaged
// isochronous packet). The process must run with umockdev's preload
// library: a program linking this file runs itself again with it at start
// (as umockdev-wrapper would). Host build only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/host/usb_device_model.h"

namespace camera {

struct EmulatedNodeOptions {
  int bus = 1;
  int address = 2;
  std::string product = "uvccam emulated camera";
  std::string serial = "EMU0001";
  // The kernel driver bound to the video interfaces at the start; empty
  // for none.
  std::string kernelDriver;
};

class EmulatedUsbNode {
 public:
  // Whether this process runs under umockdev's preload library.
  static bool Available();
  // Builds the test bed (a root hub and the camera at port BUS-1) and
  // attaches the request handler to the camera's node. Null with *error.
  static std::unique_ptr<EmulatedUsbNode> Create(std::unique_ptr<host::UsbDeviceModel> model,
                                                 const EmulatedNodeOptions& options, std::string* error);
  ~EmulatedUsbNode();
  EmulatedUsbNode(const EmulatedUsbNode&) = delete;
  EmulatedUsbNode& operator=(const EmulatedUsbNode&) = delete;

  host::UsbDeviceModel* Model() const;
  // "usb:BUS/ADDR" of the camera.
  std::string Selector() const;
  // The device leaves the bus: pending URBs complete with -ENODEV and
  // every later request fails with it.
  void Unplug();

  // URBs submitted and not yet reaped; URBs discarded by the host.
  size_t UrbsInFlight() const;
  uint64_t Discarded() const;
  // URBs reaped since creation, and the interfaces claimed now.
  uint64_t Reaped() const;
  int ClaimedInterfaces() const;
  // Whether the kernel driver is bound to the video interfaces now.
  bool KernelDriverBound() const;

 private:
  struct Impl;
  explicit EmulatedUsbNode(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace camera
