// The bus stand-in's streaming transfers: isochronous, bulk and interrupt
// URBs queued in order and served by the schedule thread, one transaction
// per endpoint per (micro)frame on the host clock, with cancellation and
// completion at DISPATCH_LEVEL.
#include <algorithm>
#include <chrono>
#include <cstddef>

#include "platform/host/host_control.h"
#include "platform/host/usb_bus_impl.h"

namespace host {

// Checks a streaming URB under `lock` and fills `r`; a non-null result is
// the reason for refusing it.
const char* UsbBus::Impl::CheckStreamUrb(URB* urb, StreamRequest* r) {
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

void UsbBus::Impl::Finish(StreamRequest& r, USBD_STATUS usbd) {
  r.done = true;
  r.usbd = usbd;
  r.status = UsbdStatusToNtStatus(usbd);
  if (usbd == USBD_STATUS_STALL_PID || usbd == USBD_STATUS_CRC ||
      usbd == USBD_STATUS_ENDPOINT_HALTED)
    r.status = STATUS_UNSUCCESSFUL;
}

// One transaction of the first open request on its endpoint; under
// streamLock and lock.
void UsbBus::Impl::Serve(StreamRequest& r, uint64_t busTime) {
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

void UsbBus::Impl::CompleteStream(const StreamRequest& r) {
  r.urb->UrbHeader.Status = r.usbd;
  r.irp->IoStatus.Status = r.status;
  r.irp->IoStatus.Information = 0;
  {
    std::lock_guard<std::mutex> guard(lock);
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
void UsbBus::Impl::CompleteFinished() {
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

void UsbBus::Impl::Schedule() {
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

VOID UsbBus::Impl::CancelStream(PDEVICE_OBJECT device, PIRP irp) {
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
NTSTATUS UsbBus::Impl::SubmitStream(PIRP irp, URB* urb) {
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
void UsbBus::Impl::FailAllStreams(USBD_STATUS usbd) {
  {
    std::lock_guard<std::mutex> guard(streamLock);
    for (StreamRequest& r : streams)
      if (!r.done) Finish(r, usbd);
  }
  CompleteFinished();
}

}  // namespace host
