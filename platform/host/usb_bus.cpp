// The USB bus stand-in. See usb_bus.h.
#include "platform/host/usb_bus.h"

#include "platform/host/bounded_log.h"
#include "platform/host/host_control.h"

#include <atomic>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <thread>

namespace host {

namespace {

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

// Parses the device's own configuration descriptor. Stops at the first
// descriptor whose length is impossible; what was parsed up to there counts.
ParsedConfiguration Parse(const std::vector<uint8_t>& d) {
  ParsedConfiguration pc;
  if (d.size() < 9 || d[1] != USB_CONFIGURATION_DESCRIPTOR_TYPE) return pc;
  pc.valid = true;
  pc.value = d[5];
  size_t end = std::min<size_t>(d.size(), size_t(d[2] | d[3] << 8));
  size_t off = 0;
  while (off + 2 <= end) {
    size_t len = d[off];
    if (len < 2 || off + len > end) break;
    uint8_t type = d[off + 1];
    if (type == USB_INTERFACE_DESCRIPTOR_TYPE && len >= 9) {
      AltSetting a{d[off + 2], d[off + 3], d[off + 5], d[off + 6], d[off + 7], d[off + 4], {}};
      pc.settings.push_back(a);
      bool seen = false;
      for (uint8_t n : pc.interfaceNumbers) seen = seen || n == a.number;
      if (!seen) pc.interfaceNumbers.push_back(a.number);
    } else if (type == USB_ENDPOINT_DESCRIPTOR_TYPE && len >= 7 && !pc.settings.empty()) {
      pc.settings.back().endpoints.push_back(
          Endpoint{d[off + 2], d[off + 3], uint16_t(d[off + 4] | d[off + 5] << 8), d[off + 6]});
    }
    off += len;
  }
  return pc;
}

struct Outcome {
  USBD_STATUS usbd;
  NTSTATUS status;
};

constexpr size_t kKinds = size_t(UsbRequestKind::kCount);

}  // namespace

NTSTATUS UsbdStatusToNtStatus(USBD_STATUS status) {
  switch (status) {
    case USBD_STATUS_SUCCESS:
      return STATUS_SUCCESS;
    case USBD_STATUS_INVALID_URB_FUNCTION:
    case USBD_STATUS_INVALID_PARAMETER:
    case USBD_STATUS_INVALID_PIPE_HANDLE:
    case USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR:
    case USBD_STATUS_BUFFER_TOO_SMALL:
      return STATUS_INVALID_PARAMETER;
    case USBD_STATUS_DEVICE_GONE:
      return STATUS_DEVICE_NOT_CONNECTED;
    case USBD_STATUS_CANCELED:
      return STATUS_CANCELLED;
    default:
      return STATUS_UNSUCCESSFUL;
  }
}

struct UsbBus::Impl {
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
  BoundedLog<UsbSetupPacket, kControlLogEntries> controlLog;  // the latest requests
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
  // queued), halted endpoints, completion counters.
  std::map<USBD_PIPE_HANDLE, uint64_t> pipeGeneration;
  std::set<USBD_PIPE_HANDLE> halted;
  uint64_t completedTransfers = 0;
  std::map<NTSTATUS, uint64_t> completedByStatus;

  static Impl* From(PDEVICE_OBJECT d) { return static_cast<Impl*>(d->DeviceExtension); }

  PVOID NewHandle() {
    nextHandle += 0x40;
    return reinterpret_cast<PVOID>(nextHandle);
  }

  Outcome Reject(USBD_STATUS s, const char* why) {
    ++rejected;
    lastRejection = s;
    lastReason = why;
    return Outcome{s, UsbdStatusToNtStatus(s)};
  }

  Outcome Control(const UsbSetupPacket& setup, PVOID buffer, ULONG* transferLength,
                  UsbRequestKind kind) {
    ++counts[size_t(kind)];
    ++deviceRequests;
    controlLog.Add(setup);
    std::vector<uint8_t> data(setup.wLength);
    bool in = setup.bmRequestType & 0x80;
    if (!in && setup.wLength) std::memcpy(data.data(), buffer, setup.wLength);
    UsbControlResult r = device->Control(setup, data.data());
    if (r.stalled) {
      *transferLength = 0;
      return Outcome{USBD_STATUS_STALL_PID, STATUS_UNSUCCESSFUL};
    }
    uint32_t n = std::min<uint32_t>(r.length, setup.wLength);
    if (in && n) std::memcpy(buffer, data.data(), n);
    *transferLength = in ? n : setup.wLength;
    return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  }

  // Checks shared by the control-transfer URBs.
  const char* CheckControlBuffer(ULONG length, PVOID buffer, PVOID mdl, struct _URB* link) {
    if (length > 0xFFFF) return "control transfer longer than 65535 bytes";
    if (length && !buffer) return "transfer buffer missing";
    if (mdl) return "MDL transfers are not supported by this bus";
    if (link) return "linked URBs are not supported";
    return nullptr;
  }

  Outcome GetDescriptor(_URB_CONTROL_DESCRIPTOR_REQUEST& u) {
    if (u.Hdr.Length != sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "get-descriptor URB length");
    if (const char* why = CheckControlBuffer(u.TransferBufferLength, u.TransferBuffer,
                                             u.TransferBufferMDL, u.UrbLink))
      return Reject(USBD_STATUS_INVALID_PARAMETER, why);
    UsbSetupPacket setup{0x80, 6, uint16_t(u.DescriptorType << 8 | u.Index), u.LanguageId,
                         uint16_t(u.TransferBufferLength)};
    return Control(setup, u.TransferBuffer, &u.TransferBufferLength, UsbRequestKind::GetDescriptor);
  }

  Outcome VendorOrClass(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST& u, uint8_t type, uint8_t recipient) {
    if (u.Hdr.Length != sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "vendor/class URB length");
    if (const char* why = CheckControlBuffer(u.TransferBufferLength, u.TransferBuffer,
                                             u.TransferBufferMDL, u.UrbLink))
      return Reject(USBD_STATUS_INVALID_PARAMETER, why);
    if (u.TransferFlags & ~ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "unknown transfer flags");
    uint8_t bm = uint8_t((u.TransferFlags & USBD_TRANSFER_DIRECTION_IN ? 0x80 : 0) | type << 5 |
                         recipient | u.RequestTypeReservedBits);
    UsbSetupPacket setup{bm, u.Request, u.Value, u.Index, uint16_t(u.TransferBufferLength)};
    return Control(setup, u.TransferBuffer, &u.TransferBufferLength,
                   type == 1 ? UsbRequestKind::Class : UsbRequestKind::Vendor);
  }

  static uint16_t EffectivePacketSize(const Endpoint& e, bool highSpeed) {
    uint16_t base = e.wMaxPacketSize & 0x7FF;
    uint8_t type = e.attributes & 3;
    if (highSpeed && (type == USB_ENDPOINT_TYPE_ISOCHRONOUS || type == USB_ENDPOINT_TYPE_INTERRUPT)) {
      unsigned extra = (e.wMaxPacketSize >> 11) & 3;
      if (extra < 3) return uint16_t(base * (1 + extra));
    }
    return base;
  }

  // Checks one interface information block against the device's own
  // descriptors and fills in what the bus reports. Pipes are appended to
  // `newPipes`; nothing of the current state changes here.
  const char* FillInterface(const ParsedConfiguration& pc, USBD_INTERFACE_INFORMATION& info,
                            std::vector<UsbBusPipe>* newPipes) {
    if (info.Length != 24u * (info.NumberOfPipes + 1)) return "interface information length";
    const AltSetting* alt = nullptr;
    for (const AltSetting& a : pc.settings)
      if (a.number == info.InterfaceNumber && a.alternate == info.AlternateSetting) alt = &a;
    if (!alt) return "no such interface or alternate setting";
    if (info.NumberOfPipes != alt->numEndpoints) return "pipe count differs from bNumEndpoints";
    if (alt->endpoints.size() < alt->numEndpoints)
      return "interface declares more endpoints than its descriptors hold";
    info.Class = alt->cls;
    info.SubClass = alt->subClass;
    info.Protocol = alt->protocol;
    info.InterfaceHandle = NewHandle();
    bool hs = device->HighSpeed();
    for (ULONG i = 0; i < info.NumberOfPipes; ++i) {
      USBD_PIPE_INFORMATION& p = info.Pipes[i];
      const Endpoint& e = alt->endpoints[i];
      p.EndpointAddress = e.address;
      p.Interval = e.interval;
      p.PipeType = USBD_PIPE_TYPE(e.attributes & 3);
      p.MaximumPacketSize = EffectivePacketSize(e, hs);
      p.PipeHandle = NewHandle();
      newPipes->push_back(UsbBusPipe{p.PipeHandle, alt->number, alt->alternate, e.address,
                                     p.PipeType, p.MaximumPacketSize, p.MaximumTransferSize});
    }
    return nullptr;
  }

  Outcome SelectConfiguration(URB* urb) {
    _URB_SELECT_CONFIGURATION& u = urb->UrbSelectConfiguration;
    if (u.Hdr.Length < offsetof(_URB_SELECT_CONFIGURATION, Interface))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "select-configuration URB too short");
    if (!u.ConfigurationDescriptor) {  // unconfigure
      if (u.Hdr.Length != sizeof(_URB_SELECT_CONFIGURATION))
        return Reject(USBD_STATUS_INVALID_PARAMETER, "unconfigure URB length");
      ++counts[size_t(UsbRequestKind::SelectConfiguration)];
      ++deviceRequests;
      pipes.clear();
      configurationHandle = nullptr;
      device->ConfigurationSelected(0);
      return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
    }
    ParsedConfiguration pc = Parse(device->ConfigurationDescriptor());
    if (!pc.valid || u.ConfigurationDescriptor->bDescriptorType != USB_CONFIGURATION_DESCRIPTOR_TYPE ||
        u.ConfigurationDescriptor->bConfigurationValue != pc.value)
      return Reject(USBD_STATUS_INVALID_CONFIGURATION_DESCRIPTOR, "not the device's configuration");
    size_t total = u.Hdr.Length;
    size_t off = offsetof(_URB_SELECT_CONFIGURATION, Interface);
    auto* base = reinterpret_cast<uint8_t*>(urb);
    std::vector<uint8_t> seen;
    std::vector<UsbBusPipe> newPipes;
    std::vector<USBD_INTERFACE_INFORMATION*> infos;
    while (off < total) {
      if (total - off < offsetof(USBD_INTERFACE_INFORMATION, Pipes))
        return Reject(USBD_STATUS_INVALID_PARAMETER, "interface information cut short");
      auto* info = reinterpret_cast<USBD_INTERFACE_INFORMATION*>(base + off);
      if (info->Length < 24 || info->Length > total - off)
        return Reject(USBD_STATUS_INVALID_PARAMETER, "interface information runs past the URB");
      for (uint8_t n : seen)
        if (n == info->InterfaceNumber)
          return Reject(USBD_STATUS_INVALID_PARAMETER, "interface listed twice");
      seen.push_back(info->InterfaceNumber);
      if (const char* why = FillInterface(pc, *info, &newPipes))
        return Reject(USBD_STATUS_INVALID_PARAMETER, why);
      infos.push_back(info);
      off += info->Length;
    }
    if (seen.size() != pc.interfaceNumbers.size())
      return Reject(USBD_STATUS_INVALID_PARAMETER, "not every interface of the configuration listed");
    ++counts[size_t(UsbRequestKind::SelectConfiguration)];
    ++deviceRequests;
    configurationHandle = NewHandle();
    u.ConfigurationHandle = configurationHandle;
    pipes = std::move(newPipes);
    device->ConfigurationSelected(pc.value);
    for (USBD_INTERFACE_INFORMATION* info : infos)
      device->InterfaceSelected(info->InterfaceNumber, info->AlternateSetting);
    return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  }

  Outcome SelectInterface(URB* urb) {
    _URB_SELECT_INTERFACE& u = urb->UrbSelectInterface;
    size_t head = offsetof(_URB_SELECT_INTERFACE, Interface);
    if (u.Hdr.Length < head + offsetof(USBD_INTERFACE_INFORMATION, Pipes) ||
        u.Hdr.Length != head + u.Interface.Length)
      return Reject(USBD_STATUS_INVALID_PARAMETER, "select-interface URB length");
    if (!configurationHandle || u.ConfigurationHandle != configurationHandle)
      return Reject(USBD_STATUS_INVALID_PARAMETER, "stale or missing configuration handle");
    ParsedConfiguration pc = Parse(device->ConfigurationDescriptor());
    std::vector<UsbBusPipe> newPipes;
    if (const char* why = FillInterface(pc, u.Interface, &newPipes))
      return Reject(USBD_STATUS_INVALID_PARAMETER, why);
    ++counts[size_t(UsbRequestKind::SelectInterface)];
    ++deviceRequests;
    std::vector<UsbBusPipe> kept;
    for (const UsbBusPipe& p : pipes)
      if (p.interfaceNumber != u.Interface.InterfaceNumber) kept.push_back(p);
    for (const UsbBusPipe& p : newPipes) kept.push_back(p);
    pipes = std::move(kept);
    selections.emplace_back(u.Interface.InterfaceNumber, u.Interface.AlternateSetting);
    device->InterfaceSelected(u.Interface.InterfaceNumber, u.Interface.AlternateSetting);
    return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  }

  bool ValidPipe(USBD_PIPE_HANDLE h) const {
    for (const UsbBusPipe& p : pipes)
      if (p.handle == h) return true;
    return false;
  }

  Outcome ResetPipe(_URB_PIPE_REQUEST& u) {
    if (u.Hdr.Length != sizeof(_URB_PIPE_REQUEST))
      return Reject(USBD_STATUS_INVALID_PARAMETER, "pipe-request URB length");
    if (!ValidPipe(u.PipeHandle))
      return Reject(USBD_STATUS_INVALID_PIPE_HANDLE, "unknown pipe handle");
    ++counts[size_t(UsbRequestKind::ResetPipe)];
    ++deviceRequests;
    halted.erase(u.PipeHandle);
    ++pipeGeneration[u.PipeHandle];
    if (const UsbBusPipe* p = FindPipe(u.PipeHandle)) device->EndpointReset(p->endpointAddress);
    return Outcome{USBD_STATUS_SUCCESS, STATUS_SUCCESS};
  }

  Outcome ProcessUrb(URB* urb) {
    std::lock_guard<std::mutex> guard(lock);
    if (!urb) return Reject(USBD_STATUS_INVALID_PARAMETER, "no URB");
    if (unplugged) {
      urb->UrbHeader.Status = USBD_STATUS_DEVICE_GONE;
      return Outcome{USBD_STATUS_DEVICE_GONE, STATUS_DEVICE_NOT_CONNECTED};
    }
    Outcome o;
    switch (urb->UrbHeader.Function) {
      case URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE:
        o = GetDescriptor(urb->UrbControlDescriptorRequest);
        break;
      case URB_FUNCTION_VENDOR_DEVICE:
      case URB_FUNCTION_VENDOR_INTERFACE:
      case URB_FUNCTION_VENDOR_ENDPOINT:
        o = VendorOrClass(urb->UrbControlVendorClassRequest, 2,
                          uint8_t(urb->UrbHeader.Function - URB_FUNCTION_VENDOR_DEVICE));
        break;
      case URB_FUNCTION_CLASS_DEVICE:
      case URB_FUNCTION_CLASS_INTERFACE:
      case URB_FUNCTION_CLASS_ENDPOINT:
        o = VendorOrClass(urb->UrbControlVendorClassRequest, 1,
                          uint8_t(urb->UrbHeader.Function - URB_FUNCTION_CLASS_DEVICE));
        break;
      case URB_FUNCTION_SELECT_CONFIGURATION:
        o = SelectConfiguration(urb);
        break;
      case URB_FUNCTION_SELECT_INTERFACE:
        o = SelectInterface(urb);
        break;
      case URB_FUNCTION_SYNC_RESET_PIPE_AND_CLEAR_STALL:
        o = ResetPipe(urb->UrbPipeRequest);
        break;
      default:
        o = Reject(USBD_STATUS_INVALID_URB_FUNCTION, "URB function not handled by this bus");
        break;
    }
    urb->UrbHeader.Status = o.usbd;
    return o;
  }


  const UsbBusPipe* FindPipe(USBD_PIPE_HANDLE h) const {
    for (const UsbBusPipe& p : pipes)
      if (p.handle == h) return &p;
    return nullptr;
  }

  // Checks a streaming URB under `lock` and fills `r`; a non-null result is
  // the reason for refusing it.
  const char* CheckStreamUrb(URB* urb, StreamRequest* r) {
    if (!urb) return "no URB";
    USHORT function = urb->UrbHeader.Function;
    bool isoch = function == URB_FUNCTION_ISOCH_TRANSFER;
    _URB_BULK_OR_INTERRUPT_TRANSFER& b = urb->UrbBulkOrInterruptTransfer;
    _URB_ISOCH_TRANSFER& i = urb->UrbIsochronousTransfer;
    USBD_PIPE_HANDLE handle = isoch ? i.PipeHandle : b.PipeHandle;
    const UsbBusPipe* pipe = FindPipe(handle);
    if (!pipe) return "unknown pipe handle";
    ULONG flags = isoch ? i.TransferFlags : b.TransferFlags;
    ULONG length = isoch ? i.TransferBufferLength : b.TransferBufferLength;
    PVOID buffer = isoch ? i.TransferBuffer : b.TransferBuffer;
    if (!(flags & USBD_TRANSFER_DIRECTION_IN)) return "only IN transfers are supported";
    if (!length || !buffer) return "transfer buffer missing";
    if ((isoch ? i.TransferBufferMDL : b.TransferBufferMDL) ||
        (isoch ? i.UrbLink : b.UrbLink))
      return "MDL or linked transfers are not supported";
    if (isoch) {
      if (pipe->type != UsbdPipeTypeIsochronous) return "isochronous URB on a non-isochronous pipe";
      if (flags & ~ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK |
                         USBD_START_ISO_TRANSFER_ASAP))
        return "unknown transfer flags";
      ULONG n = i.NumberOfPackets;
      if (n == 0 || n > 1024) return "isochronous packet count";
      if (i.Hdr.Length < offsetof(_URB_ISOCH_TRANSFER, IsoPacket) + 12u * n)
        return "isochronous URB too short for its packets";
      for (ULONG k = 0; k < n; ++k) {
        ULONG end = k + 1 < n ? i.IsoPacket[k + 1].Offset : length;
        if (i.IsoPacket[k].Offset > end || end > length) return "isochronous packet offsets";
      }
    } else {
      if (b.Hdr.Length != sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER))
        return "bulk/interrupt URB length";
      if (pipe->type != UsbdPipeTypeBulk && pipe->type != UsbdPipeTypeInterrupt)
        return "bulk/interrupt URB on an isochronous pipe";
      if (flags & ~ULONG(USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK))
        return "unknown transfer flags";
    }
    *r = StreamRequest{nullptr, urb, handle, pipe->endpointAddress, pipe->type,
                       pipe->maximumPacketSize, pipeGeneration[handle], 0, false,
                       USBD_STATUS_SUCCESS, STATUS_SUCCESS};
    return nullptr;
  }

  static void Finish(StreamRequest& r, USBD_STATUS usbd) {
    r.done = true;
    r.usbd = usbd;
    r.status = UsbdStatusToNtStatus(usbd);
    if (usbd == USBD_STATUS_STALL_PID || usbd == USBD_STATUS_CRC ||
        usbd == USBD_STATUS_ENDPOINT_HALTED)
      r.status = STATUS_UNSUCCESSFUL;
  }

  // One transaction of the first open request on its endpoint; under
  // streamLock and lock.
  void Serve(StreamRequest& r, uint64_t busTime) {
    if (unplugged) return Finish(r, USBD_STATUS_DEVICE_GONE);
    if (!FindPipe(r.pipe) || pipeGeneration[r.pipe] != r.generation)
      return Finish(r, USBD_STATUS_CANCELED);
    if (halted.count(r.pipe)) return Finish(r, USBD_STATUS_ENDPOINT_HALTED);
    if (r.type == UsbdPipeTypeIsochronous) {
      _URB_ISOCH_TRANSFER& u = r.urb->UrbIsochronousTransfer;
      ULONG k = r.nextPacket++;
      if (k == 0) {
        u.StartFrame = ULONG(lastFrame);
        u.ErrorCount = 0;
      }
      USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[k];
      ULONG end = k + 1 < u.NumberOfPackets ? u.IsoPacket[k + 1].Offset : u.TransferBufferLength;
      uint32_t capacity = std::min<uint32_t>(end - p.Offset, r.maxPacket);
      UsbInResult in = device->InTransfer(r.endpoint, busTime,
                                          static_cast<uint8_t*>(u.TransferBuffer) + p.Offset,
                                          capacity);
      if (in.kind == UsbInResult::kGone) {
        unplugged = true;
        return Finish(r, USBD_STATUS_DEVICE_GONE);
      }
      p.Length = in.kind == UsbInResult::kNak ? 0 : std::min(in.length, capacity);
      p.Status = USBD_STATUS_SUCCESS;
      if (in.kind == UsbInResult::kError) {
        p.Status = USBD_STATUS_CRC;
        ++u.ErrorCount;
      } else if (in.kind == UsbInResult::kStall) {
        halted.insert(r.pipe);
        p.Length = 0;
        p.Status = USBD_STATUS_STALL_PID;
        for (ULONG j = k + 1; j < u.NumberOfPackets; ++j) {
          u.IsoPacket[j].Length = 0;
          u.IsoPacket[j].Status = USBD_STATUS_STALL_PID;
        }
        return Finish(r, USBD_STATUS_STALL_PID);
      }
      if (r.nextPacket == u.NumberOfPackets) Finish(r, USBD_STATUS_SUCCESS);
      return;
    }
    _URB_BULK_OR_INTERRUPT_TRANSFER& u = r.urb->UrbBulkOrInterruptTransfer;
    UsbInResult in = device->InTransfer(r.endpoint, busTime, static_cast<uint8_t*>(u.TransferBuffer),
                                        u.TransferBufferLength);
    switch (in.kind) {
      case UsbInResult::kNak:
        return;
      case UsbInResult::kData:
        u.TransferBufferLength = std::min(in.length, u.TransferBufferLength);
        return Finish(r, USBD_STATUS_SUCCESS);
      case UsbInResult::kError:
        u.TransferBufferLength = 0;
        return Finish(r, USBD_STATUS_CRC);
      case UsbInResult::kStall:
        halted.insert(r.pipe);
        u.TransferBufferLength = 0;
        return Finish(r, USBD_STATUS_STALL_PID);
      case UsbInResult::kGone:
        unplugged = true;
        u.TransferBufferLength = 0;
        return Finish(r, USBD_STATUS_DEVICE_GONE);
    }
  }

  void CompleteStream(const StreamRequest& r) {
    r.urb->UrbHeader.Status = r.usbd;
    r.irp->IoStatus.Status = r.status;
    r.irp->IoStatus.Information = 0;
    {
      std::lock_guard<std::mutex> guard(lock);
      ++completedTransfers;
      ++completedByStatus[r.status];
    }
    // Completion routines of transfers run at DISPATCH_LEVEL, as from the
    // host controller's DPC.
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    IoCompleteRequest(r.irp, IO_NO_INCREMENT);
    KeLowerIrql(old);
  }

  // Takes finished requests out of the queue (those whose cancel routine
  // has not been claimed) and completes them outside the locks.
  void CompleteFinished() {
    std::vector<StreamRequest> finished;
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    {
      std::lock_guard<std::mutex> guard(streamLock);
      for (auto it = streams.begin(); it != streams.end();) {
        if (it->done && IoSetCancelRoutine(it->irp, nullptr)) {
          finished.push_back(*it);
          it = streams.erase(it);
        } else {
          ++it;
        }
      }
    }
    IoReleaseCancelSpinLock(irql);
    for (const StreamRequest& r : finished) CompleteStream(r);
  }

  uint64_t FrameLength100ns() const { return device->HighSpeed() ? 1250 : 10000; }

  void Schedule() {
    uint64_t frameLength;
    {
      std::lock_guard<std::mutex> guard(lock);
      frameLength = FrameLength100ns();
    }
    lastFrame = ClockNow100ns() / frameLength;
    for (;;) {
      bool any = false;
      {
        std::unique_lock<std::mutex> sg(streamLock);
        if (schedulerStop) return;
        uint64_t now = ClockNow100ns() / frameLength;
        if (now - lastFrame > 4096) lastFrame = now - 4096;  // fell far behind: skip
        std::lock_guard<std::mutex> guard(lock);
        for (; lastFrame < now; ++lastFrame) {
          if (streams.empty()) continue;
          // One transaction per endpoint per (micro)frame: the first open
          // request of each endpoint.
          uint8_t served[32];
          size_t nServed = 0;
          for (StreamRequest& r : streams) {
            if (r.done) continue;
            bool seen = false;
            for (size_t k = 0; k < nServed; ++k) seen = seen || served[k] == r.endpoint;
            if (seen) continue;
            if (nServed < sizeof served) served[nServed++] = r.endpoint;
            Serve(r, (lastFrame + 1) * frameLength);
            any = any || r.done;
          }
        }
        lastFrame = now;
      }
      if (any) CompleteFinished();
      std::unique_lock<std::mutex> sg(streamLock);
      if (schedulerStop) return;
      // Sleep about one host millisecond (bounded in real time) or until a
      // submission, cancellation or unplug.
      double rate = ClockRate();
      double realUs = 1000.0 / rate;
      if (realUs < 20) realUs = 20;
      if (realUs > 2000) realUs = 2000;
      if (streams.empty()) realUs = 2000;
      streamChanged.wait_for(sg, std::chrono::microseconds(int64_t(realUs)));
    }
  }

  static VOID CancelStream(PDEVICE_OBJECT device, PIRP irp) {
    Impl* self = From(device);
    bool found = false;
    StreamRequest r{};
    {
      std::lock_guard<std::mutex> guard(self->streamLock);
      for (auto it = self->streams.begin(); it != self->streams.end(); ++it) {
        if (it->irp == irp) {
          r = *it;
          self->streams.erase(it);
          found = true;
          break;
        }
      }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (found) {
      Finish(r, USBD_STATUS_CANCELED);
      self->CompleteStream(r);
    }
  }

  // Queues a streaming transfer; refused ones complete at once.
  NTSTATUS SubmitStream(PIRP irp, URB* urb) {
    StreamRequest r{};
    const char* why;
    USBD_STATUS refusal = USBD_STATUS_INVALID_PARAMETER;
    {
      std::lock_guard<std::mutex> guard(lock);
      if (unplugged) {
        why = "";
        refusal = USBD_STATUS_DEVICE_GONE;
      } else {
        why = CheckStreamUrb(urb, &r);
        if (why) {
          refusal = !urb || std::string(why) == "unknown pipe handle"
                        ? USBD_STATUS_INVALID_PIPE_HANDLE
                        : USBD_STATUS_INVALID_PARAMETER;
          Reject(refusal, why);
        } else {
          ++counts[size_t(urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER
                              ? UsbRequestKind::IsochronousTransfer
                              : UsbRequestKind::BulkOrInterruptTransfer)];
          ++deviceRequests;
        }
      }
    }
    if (why) {
      if (urb) urb->UrbHeader.Status = refusal;
      irp->IoStatus.Status = UsbdStatusToNtStatus(refusal);
      irp->IoStatus.Information = 0;
      NTSTATUS status = irp->IoStatus.Status;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
      return status;
    }
    r.irp = irp;
    urb->UrbHeader.Status = USBD_STATUS_PENDING;
    IoMarkIrpPending(irp);
    {
      std::lock_guard<std::mutex> q(queueLock);
      if (!scheduler.joinable()) scheduler = std::thread([this] { Schedule(); });
    }
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    if (irp->Cancel) {
      IoReleaseCancelSpinLock(irql);
      Finish(r, USBD_STATUS_CANCELED);
      CompleteStream(r);
      return STATUS_PENDING;
    }
    IoSetCancelRoutine(irp, CancelStream);
    {
      std::lock_guard<std::mutex> guard(streamLock);
      streams.push_back(r);
      std::lock_guard<std::mutex> g(lock);
      ++pendingReturned;
    }
    IoReleaseCancelSpinLock(irql);
    streamChanged.notify_all();
    return STATUS_PENDING;
  }

  // After an unplug: every queued transfer completes with
  // STATUS_DEVICE_NOT_CONNECTED now.
  void FailAllStreams(USBD_STATUS usbd) {
    {
      std::lock_guard<std::mutex> guard(streamLock);
      for (StreamRequest& r : streams)
        if (!r.done) Finish(r, usbd);
    }
    CompleteFinished();
  }

  static BOOLEAN IsDeviceHighSpeed(PVOID context) {
    Impl* self = static_cast<Impl*>(context);
    std::lock_guard<std::mutex> guard(self->lock);
    return self->device->HighSpeed() ? TRUE : FALSE;
  }
  static VOID Reference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences++; }
  static VOID Dereference(PVOID context) { static_cast<Impl*>(context)->interfaceReferences--; }
  static VOID GetUsbdiVersion(PVOID, PULONG version, PULONG caps) {
    if (version) *version = 0x600;
    if (caps) *caps = 0;
  }
  static NTSTATUS QueryBusTime(PVOID, PULONG frame) {
    if (frame) *frame = 0;
    return STATUS_SUCCESS;
  }
  static NTSTATUS SubmitIsoOutUrb(PVOID, PURB) { return STATUS_NOT_SUPPORTED; }
  static NTSTATUS QueryBusInformation(PVOID, ULONG, PVOID, PULONG, PULONG) {
    return STATUS_NOT_SUPPORTED;
  }

  // Returns the status to complete with, or leaves IoStatus as it was for a
  // query the bus does not answer (the PnP rule for unhandled interfaces).
  void QueryInterface(PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    std::lock_guard<std::mutex> guard(lock);
    const GUID* type = sl->Parameters.QueryInterface.InterfaceType;
    if (!busInterface || !type || !IsEqualGUID(*type, USB_BUS_INTERFACE_USBDI_GUID)) return;
    ++counts[size_t(UsbRequestKind::QueryInterface)];
    if (sl->Parameters.QueryInterface.Version < USB_BUSIF_USBDI_VERSION_1 ||
        sl->Parameters.QueryInterface.Size < sizeof(USB_BUS_INTERFACE_USBDI_V1) ||
        !sl->Parameters.QueryInterface.Interface) {
      irp->IoStatus.Status = STATUS_INVALID_PARAMETER;
      return;
    }
    auto* bi = reinterpret_cast<PUSB_BUS_INTERFACE_USBDI_V1>(sl->Parameters.QueryInterface.Interface);
    bi->Size = sizeof(USB_BUS_INTERFACE_USBDI_V1);
    bi->Version = USB_BUSIF_USBDI_VERSION_1;
    bi->BusContext = this;
    bi->InterfaceReference = Reference;
    bi->InterfaceDereference = Dereference;
    bi->GetUSBDIVersion = GetUsbdiVersion;
    bi->QueryBusTime = QueryBusTime;
    bi->SubmitIsoOutUrb = SubmitIsoOutUrb;
    bi->QueryBusInformation = QueryBusInformation;
    bi->IsDeviceHighSpeed = IsDeviceHighSpeed;
    Reference(this);  // the caller owns one reference
    irp->IoStatus.Status = STATUS_SUCCESS;
  }

  // Does the work of one IRP and completes it; returns the status it
  // completed with.
  NTSTATUS Process(PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MajorFunction == IRP_MJ_INTERNAL_DEVICE_CONTROL) {
      if (sl->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB) {
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
      } else {
        Outcome o = ProcessUrb(static_cast<URB*>(sl->Parameters.Others.Argument1));
        irp->IoStatus.Status = o.status;
      }
      irp->IoStatus.Information = 0;
    } else if (sl->MajorFunction == IRP_MJ_PNP) {
      if (sl->MinorFunction == IRP_MN_QUERY_INTERFACE) QueryInterface(irp);
    } else {
      irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    }
    NTSTATUS status = irp->IoStatus.Status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return status;
  }

  static VOID CancelQueued(PDEVICE_OBJECT device, PIRP irp) {
    Impl* self = From(device);
    bool found = false;
    {
      std::lock_guard<std::mutex> q(self->queueLock);
      for (auto it = self->queue.begin(); it != self->queue.end(); ++it) {
        if (*it == irp) {
          self->queue.erase(it);
          found = true;
          break;
        }
      }
    }
    IoReleaseCancelSpinLock(irp->CancelIrql);
    if (found) {
      irp->IoStatus.Status = STATUS_CANCELLED;
      irp->IoStatus.Information = 0;
      IoCompleteRequest(irp, IO_NO_INCREMENT);
    }
  }

  static bool IsStreamUrb(PIRP irp) {
    PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(irp);
    if (sl->MajorFunction != IRP_MJ_INTERNAL_DEVICE_CONTROL ||
        sl->Parameters.DeviceIoControl.IoControlCode != IOCTL_INTERNAL_USB_SUBMIT_URB)
      return false;
    auto* urb = static_cast<URB*>(sl->Parameters.Others.Argument1);
    return urb && (urb->UrbHeader.Function == URB_FUNCTION_ISOCH_TRANSFER ||
                   urb->UrbHeader.Function == URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER);
  }

  static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    Impl* self = From(device);
    if (IsStreamUrb(irp))
      return self->SubmitStream(
          irp, static_cast<URB*>(IoGetCurrentIrpStackLocation(irp)->Parameters.Others.Argument1));
    UsbCompletionMode mode;
    {
      std::lock_guard<std::mutex> guard(self->lock);
      mode = self->mode;
    }
    if (mode == UsbCompletionMode::Synchronous) return self->Process(irp);
    IoMarkIrpPending(irp);
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    IoSetCancelRoutine(irp, CancelQueued);
    {
      std::lock_guard<std::mutex> q(self->queueLock);
      self->queue.push_back(irp);
      std::lock_guard<std::mutex> guard(self->lock);
      ++self->pendingReturned;
    }
    IoReleaseCancelSpinLock(irql);
    self->queueChanged.notify_all();
    return STATUS_PENDING;
  }

  void Run() {
    for (;;) {
      {
        std::unique_lock<std::mutex> q(queueLock);
        queueChanged.wait(q, [&] { return stopping || !queue.empty(); });
        if (queue.empty() && stopping) return;
      }
      KIRQL irql;
      IoAcquireCancelSpinLock(&irql);
      PIRP irp = nullptr;
      {
        std::lock_guard<std::mutex> q(queueLock);
        if (!queue.empty()) {
          irp = queue.front();
          queue.pop_front();
        }
      }
      if (irp) IoSetCancelRoutine(irp, nullptr);
      IoReleaseCancelSpinLock(irql);
      if (irp) Process(irp);
    }
  }
};

UsbBus::UsbBus(UsbDeviceModel* device) : impl_(new Impl) {
  impl_->device = device;
  impl_->driver.Type = IO_TYPE_DRIVER;
  for (auto& f : impl_->driver.MajorFunction) f = Impl::Dispatch;
  impl_->deviceObject.Type = IO_TYPE_DEVICE;
  impl_->deviceObject.DriverObject = &impl_->driver;
  impl_->deviceObject.DeviceExtension = impl_.get();
  impl_->deviceObject.StackSize = 1;
}

UsbBus::~UsbBus() {
  // Transfers still queued complete as if the device went away.
  impl_->FailAllStreams(USBD_STATUS_DEVICE_GONE);
  {
    std::lock_guard<std::mutex> guard(impl_->streamLock);
    impl_->schedulerStop = true;
  }
  impl_->streamChanged.notify_all();
  if (impl_->scheduler.joinable()) impl_->scheduler.join();
  {
    std::lock_guard<std::mutex> q(impl_->queueLock);
    impl_->stopping = true;
  }
  impl_->queueChanged.notify_all();
  if (impl_->worker.joinable()) impl_->worker.join();
}

PDEVICE_OBJECT UsbBus::DeviceObject() { return &impl_->deviceObject; }

void UsbBus::SetCompletionMode(UsbCompletionMode mode) {
  // The bus thread starts with the first switch to pending completion.
  if (mode == UsbCompletionMode::Pending && !impl_->worker.joinable())
    impl_->worker = std::thread([this] { impl_->Run(); });
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->mode = mode;
}

void UsbBus::SetBusInterfaceAvailable(bool available) {
  std::lock_guard<std::mutex> guard(impl_->lock);
  impl_->busInterface = available;
}

void UsbBus::Unplug() {
  {
    std::lock_guard<std::mutex> guard(impl_->lock);
    impl_->unplugged = true;
  }
  impl_->FailAllStreams(USBD_STATUS_DEVICE_GONE);
}

uint64_t UsbBus::QueuedTransfers() const {
  std::lock_guard<std::mutex> guard(impl_->streamLock);
  return impl_->streams.size();
}

uint64_t UsbBus::CompletedTransfers() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->completedTransfers;
}

uint64_t UsbBus::CompletedWith(NTSTATUS status) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  auto it = impl_->completedByStatus.find(status);
  return it == impl_->completedByStatus.end() ? 0 : it->second;
}

bool UsbBus::PipeHalted(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->halted.count(handle) != 0;
}

uint64_t UsbBus::Count(UsbRequestKind kind) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->counts[size_t(kind)];
}

uint64_t UsbBus::DeviceRequests() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->deviceRequests;
}

uint64_t UsbBus::Rejected() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->rejected;
}

USBD_STATUS UsbBus::LastRejection() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->lastRejection;
}

std::string UsbBus::LastRejectionReason() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->lastReason;
}

uint64_t UsbBus::PendingReturned() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->pendingReturned;
}

std::vector<UsbSetupPacket> UsbBus::ControlLog() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->controlLog.Entries();
}

std::vector<std::pair<uint8_t, uint8_t>> UsbBus::InterfaceSelections() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->selections;
}

void UsbBus::ResetCounters() {
  std::lock_guard<std::mutex> guard(impl_->lock);
  for (auto& c : impl_->counts) c = 0;
  impl_->deviceRequests = impl_->rejected = impl_->pendingReturned = 0;
  impl_->completedTransfers = 0;
  impl_->completedByStatus.clear();
  impl_->lastRejection = USBD_STATUS_SUCCESS;
  impl_->lastReason.clear();
  impl_->controlLog.Clear();
  impl_->selections.clear();
}

int UsbBus::BusInterfaceReferences() const { return impl_->interfaceReferences.load(); }

std::vector<UsbBusPipe> UsbBus::Pipes() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->pipes;
}

bool UsbBus::PipeHandleValid(USBD_PIPE_HANDLE handle) const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->ValidPipe(handle);
}

USBD_CONFIGURATION_HANDLE UsbBus::ConfigurationHandle() const {
  std::lock_guard<std::mutex> guard(impl_->lock);
  return impl_->configurationHandle;
}

}  // namespace host
