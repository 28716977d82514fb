// The bus stand-in's inner record, shared by its source files: the public
// face and bookkeeping (usb_bus.cpp), the control-transfer path
// (usb_bus_control.cpp), the streaming schedule (usb_bus_streams.cpp) and
// IRP dispatch with the bus-interface query (usb_bus_dispatch.cpp).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/host/bounded_log.h"
#include "platform/host/lower_device.h"
#include "platform/host/usb_bus.h"

namespace host {

struct UsbBus::Impl {
  static constexpr size_t kKinds = size_t(UsbRequestKind::kCount);

  // The device's own configuration descriptor as the checks need it.
  struct Endpoint {
    uint8_t address;
    uint8_t attributes;
    uint16_t wMaxPacketSize;
    uint8_t interval;
  };
  struct AltSetting {
    uint8_t number;
    uint8_t alternate;
    uint8_t cls, subClass, protocol;
    uint8_t numEndpoints;
    std::vector<Endpoint> endpoints;  // the endpoint descriptors that follow it
  };
  struct ParsedConfiguration {
    bool valid = false;
    uint8_t value = 0;
    std::vector<AltSetting> settings;
    std::vector<uint8_t> interfaceNumbers;  // distinct, in order of appearance
  };

  // How a request ended: the URB's status and the IRP's.
  struct Outcome {
    USBD_STATUS usbd;
    NTSTATUS status;
  };

  UsbDeviceModel* device;
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT deviceObject{};

  mutable std::mutex lock;  // state below and every call into the model
  UsbCompletionMode mode = UsbCompletionMode::Synchronous;
  bool busInterface = true;
  bool unplugged = false;
  uint64_t counts[kKinds] = {};
  uint64_t deviceRequests = 0;
  uint64_t rejected = 0;
  USBD_STATUS lastRejection = USBD_STATUS_SUCCESS;
  std::string lastReason;
  uint64_t pendingReturned = 0;
  BoundedLog<UsbSetupPacket, UsbBus::kControlLogEntries> controlLog;  // the latest requests
  std::vector<std::pair<uint8_t, uint8_t>> selections;
  std::atomic<int> interfaceReferences{0};
  uintptr_t nextHandle = 0x5B000000;
  USBD_CONFIGURATION_HANDLE configurationHandle = nullptr;
  std::vector<UsbBusPipe> pipes;

  // Pending mode: the queue is guarded by the cancel spin lock (so that a
  // cancel routine and the bus thread agree on who completes an IRP) and by
  // queueLock for the thread's sleep.
  std::mutex queueLock;
  std::condition_variable queueChanged;
  std::deque<PIRP> queue;
  bool stopping = false;
  std::thread worker;

  // Streaming transfers (isochronous, bulk, interrupt): queued in order and
  // served by the schedule thread, one transaction per endpoint per
  // (micro)frame. Lock order: cancel spin lock, then streamLock, then lock.
  struct StreamRequest {
    PIRP irp;
    URB* urb;
    USBD_PIPE_HANDLE pipe;
    uint8_t endpoint;
    USBD_PIPE_TYPE type;
    uint16_t maxPacket;
    uint64_t generation;  // the pipe's generation at submission
    ULONG nextPacket;
    bool done;
    USBD_STATUS usbd;
    NTSTATUS status;
  };
  mutable std::mutex streamLock;
  std::condition_variable streamChanged;
  std::deque<StreamRequest> streams;
  bool schedulerStop = false;
  std::thread scheduler;
  uint64_t lastFrame = 0;
  // Under `lock`: per-pipe generation (a reset or reselection ends what was
  // queued), halted endpoints, completions by status.
  std::map<USBD_PIPE_HANDLE, uint64_t> pipeGeneration;
  std::set<USBD_PIPE_HANDLE> halted;
  std::map<NTSTATUS, uint64_t> completedByStatus;

  static Impl* From(PDEVICE_OBJECT d) { return static_cast<Impl*>(d->DeviceExtension); }

  uint64_t FrameLength100ns() const { return device->HighSpeed() ? 1250 : 10000; }

  static VOID Reference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences++; }
  static VOID Dereference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences--; }

  // ---- bookkeeping (usb_bus.cpp), under `lock` ----
  PVOID NewHandle();
  Outcome Reject(USBD_STATUS s, const char* why);
  const UsbBusPipe* FindPipe(USBD_PIPE_HANDLE h) const;

  // ---- control transfers, configuration and pipes (usb_bus_control.cpp) ----
  static ParsedConfiguration Parse(const std::vector<uint8_t>& d);
  Outcome Control(const UsbSetupPacket& setup, PVOID buffer, ULONG* transferLength,
                  UsbRequestKind kind);
  const char* CheckControlBuffer(ULONG length, PVOID buffer, PVOID mdl, struct _URB* link);
  Outcome GetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST& u);
  Outcome VendorOrClass(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST& u, uint8_t type, uint8_t recipient);
  static uint16_t EffectivePacketSize(const Endpoint& e, bool highSpeed);
  const char* FillInterface(const ParsedConfiguration& pc, USBD_INTERFACE_INFORMATION& info,
                            std::vector<UsbBusPipe>* newPipes);
  Outcome SelectConfiguration(URB* urb);
  Outcome SelectInterface(URB* urb);
  bool ValidPipe(USBD_PIPE_HANDLE h) const;
  Outcome ResetPipe(_URB_PIPE_REQUEST& u);
  Outcome ProcessUrb(URB* urb);

  // ---- streaming transfers (usb_bus_streams.cpp) ----
  const char* CheckStreamUrb(URB* urb, StreamRequest* r);
  static void Finish(StreamRequest& r, USBD_STATUS usbd);
  void Serve(StreamRequest& r, uint64_t busTime);
  void CompleteStream(const StreamRequest& r);
  void CompleteFinished();
  void Schedule();
  static VOID CancelStream(PDEVICE_OBJECT device, PIRP irp);
  NTSTATUS SubmitStream(PIRP irp, URB* urb);
  void FailAllStreams(USBD_STATUS usbd);

  // ---- IRP dispatch and the bus-interface query (usb_bus_dispatch.cpp) ----
  static BOOLEAN IsDeviceHighSpeed(PVOID context);
  void QueryInterface(PIRP irp);
  NTSTATUS Process(PIRP irp);
  static VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp);
  static bool IsStreamUrb(PIRP irp);
  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp);
  void Run();
};

}  // namespace host
