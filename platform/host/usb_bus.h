// The USB bus stand-in: the lower device object of a camera. It takes
// IOCTL_INTERNAL_USB_SUBMIT_URB requests and the USBDI bus-interface query,
// checks every URB strictly (function, length, buffers, handles) and drives
// a device model. It completes requests synchronously or, in pending mode,
// on its own thread, and it counts what reaches the device so that tests can
// tell "sent nothing" from "sent and failed". Host build only.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/usb.h"
#include "platform/host/usb_device_model.h"

namespace host {

enum class UsbRequestKind {
  GetDescriptor,
  Vendor,
  Class,
  SelectConfiguration,
  SelectInterface,
  ResetPipe,
  QueryInterface,
  IsochronousTransfer,
  BulkOrInterruptTransfer,
  kCount
};

enum class UsbCompletionMode {
  Synchronous,  // the dispatch routine completes the IRP before returning
  Pending,      // the dispatch routine returns STATUS_PENDING; the bus thread completes
};

// One pipe of the current configuration.
struct UsbBusPipe {
  USBD_PIPE_HANDLE handle;
  uint8_t interfaceNumber;
  uint8_t alternateSetting;
  uint8_t endpointAddress;
  USBD_PIPE_TYPE type;
  uint16_t maximumPacketSize;  // bytes per (micro)frame, extra transactions included
  uint32_t maximumTransferSize;
};

class UsbBus {
 public:
  // The bus does not own the device; it must outlive the bus.
  explicit UsbBus(UsbDeviceModel* device);
  ~UsbBus();
  UsbBus(const UsbBus&) = delete;
  UsbBus& operator=(const UsbBus&) = delete;

  // The device object that the driver sees as KSDEVICE.NextDeviceObject.
  PDEVICE_OBJECT DeviceObject();

  void SetCompletionMode(UsbCompletionMode mode);
  // Whether the bus answers the USBDI interface query (on by default).
  void SetBusInterfaceAvailable(bool available);
  // The device is gone: every later URB fails with STATUS_DEVICE_NOT_CONNECTED
  // and every queued transfer completes with it.
  void Unplug();

  // Isochronous, bulk and interrupt transfers are always queued and completed
  // by the bus's schedule thread: one isochronous packet per (micro)frame per
  // endpoint (125 us at high speed, 1 ms at full speed, on the host clock),
  // bulk and interrupt endpoints polled once per (micro)frame. Completions
  // carry a final status, never STATUS_PENDING; IoCancelIrp on a queued
  // transfer completes it with STATUS_CANCELLED.
  // Transfers queued now.
  uint64_t QueuedTransfers() const;
  // Completions by IRP status since ResetCounters.
  uint64_t CompletedWith(NTSTATUS status) const;
  // Whether the endpoint behind a pipe handle is halted (stalled, not reset).
  bool PipeHalted(USBD_PIPE_HANDLE handle) const;

  // URBs of a kind that passed the checks and reached the device.
  uint64_t Count(UsbRequestKind kind) const;
  // Every request that reached the device, of any kind.
  uint64_t DeviceRequests() const;
  // URBs refused by the checks, and the USBD status of the last refusal.
  uint64_t Rejected() const;
  USBD_STATUS LastRejection() const;
  std::string LastRejectionReason() const;
  // Requests that the dispatch routine answered with STATUS_PENDING.
  uint64_t PendingReturned() const;
  // Setup packets of the control transfers that reached the device, in order.
  std::vector<UsbSetupPacket> ControlLog() const;
  // (interface, alternate setting) of every select-interface that succeeded.
  std::vector<std::pair<uint8_t, uint8_t>> InterfaceSelections() const;
  void ResetCounters();

  // Open references on the bus interface handed out by the query.
  int BusInterfaceReferences() const;
  // Pipes of the current configuration, and whether a handle is one of them.
  std::vector<UsbBusPipe> Pipes() const;
  bool PipeHandleValid(USBD_PIPE_HANDLE handle) const;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle() const;

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

// Converts a USBD status into the IRP status the bus completes with.
NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status);

}  // namespace host
