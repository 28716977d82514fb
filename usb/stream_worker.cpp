// The stream engine's threads: StartStream/StopStream, the stream worker
// with its two transfers in flight, OpenStream with its retries, and the
// status reader for the still button.
//
// Stopping never hangs and never frees a transfer the bus still holds: each
// slot is marked in flight before it goes down and unmarked by its
// completion routine; stop cancels what is in flight, waits for the worker
// and the reader (both always signal their done events once queued), then
// for every slot still in flight, and only then resets the pipe and frees.
#include "usb/configuration.h"
#include "usb/stream_engine.h"
#include "usb/usb_request.h"

namespace {

constexpr LONG kOpenDelayBeforeMs = 100;
constexpr LONG kOpenDelayAfterMs = 200;
constexpr LONG kStopSettleMs = 500;
constexpr LONG kButtonSettleMs = 300;
constexpr LONG kReaderIdleMs = 100;
constexpr ULONG kMaxTransferErrors = 8;  // consecutive failed transfers end the worker
constexpr UCHAR kVsStillCommitControl = 0x04;
constexpr UCHAR kVsStillTriggerControl = 0x05;

bool Running(const StreamEngine* e) { return ReadULongNoFence(&e->running) != 0; }
bool Removed(const StreamEngine* e) { return ReadULongNoFence(&e->removed) != 0; }

// Sleeps `ms` on the host clock or until StopStream signals.
VOID Pause(StreamEngine* e, LONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(ms) * 10000;
  KeWaitForSingleObject(&e->stopEvent, Executive, KernelMode, FALSE, &t);
}

VOID Delay(LONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

NTSTATUS SlotCompleted(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* slot = static_cast<TransferSlot*>(context);
  KeSetEvent(&slot->event, IO_NO_INCREMENT, FALSE);
  // Last touch of the slot: once this reads 0 the owner may free the IRP.
  InterlockedExchange(&slot->inFlight, 0);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID FreeSlot(TransferSlot* s) {
  if (s->irp) IoFreeIrp(s->irp);
  if (s->urb) ExFreePoolWithTag(s->urb, kTagBuffer);
  if (s->buffer) ExFreePoolWithTag(s->buffer, kTagBuffer);
  s->irp = nullptr;
  s->urb = nullptr;
  s->buffer = nullptr;
  s->urbLength = s->bufferLength = 0;
}

bool AllocateSlot(StreamEngine* e, TransferSlot* s, ULONGLONG urbLength, ULONGLONG bufferLength) {
  if (urbLength > 0xFFFF || bufferLength > 0xFFFFFFFFull) return false;
  KeInitializeEvent(&s->event, NotificationEvent, FALSE);
  s->inFlight = 0;
  CCHAR stack = CCHAR(e->device->NextDeviceObject->StackSize + 1);
  s->irp = IoAllocateIrp(stack, FALSE);
  s->urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, SIZE_T(urbLength), kTagBuffer));
  if (bufferLength)
    s->buffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, SIZE_T(bufferLength), kTagBuffer));
  s->urbLength = ULONG(urbLength);
  s->bufferLength = ULONG(bufferLength);
  return s->irp && s->urb && (s->buffer || !bufferLength);
}

VOID BuildStreamUrb(StreamEngine* e, TransferSlot* s) {
  RtlZeroMemory(s->urb, s->urbLength);
  if (e->transferType == kEndpointIsochronous) {
    _URB_ISOCH_TRANSFER& u = s->urb->UrbIsochronousTransfer;
    ULONG packets = e->packetsPerTransfer;
    u.Hdr.Length = USHORT(s->urbLength);
    u.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    u.PipeHandle = e->streamPipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    u.TransferBufferLength = s->bufferLength;
    u.TransferBuffer = s->buffer;
    u.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) u.IsoPacket[i].Offset = i * e->packetSize;
  } else {
    _URB_BULK_OR_INTERRUPT_TRANSFER& u = s->urb->UrbBulkOrInterruptTransfer;
    u.Hdr.Length = sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER);
    u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
    u.PipeHandle = e->streamPipe;
    u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
    u.TransferBufferLength = s->bufferLength;
    u.TransferBuffer = s->buffer;
  }
}

// Sends a slot's IRP down. The completion routine runs whatever happens, so
// the slot is in flight until it has.
NTSTATUS SubmitSlot(StreamEngine* e, TransferSlot* s) {
  IoReuseIrp(s->irp, STATUS_UNSUCCESSFUL);
  KeClearEvent(&s->event);
  IoSetCompletionRoutine(s->irp, SlotCompleted, s, TRUE, TRUE, TRUE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(s->irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = s->urb;
  InterlockedExchange(&s->inFlight, 1);
  KsAcquireDevice(e->device);
  NTSTATUS status = IofCallDriver(e->device->NextDeviceObject, s->irp);
  KsReleaseDevice(e->device);
  return NT_SUCCESS(status) || status == STATUS_PENDING ? STATUS_SUCCESS : status;
}

// Cancels a slot until its completion routine has run. Bounded: a bus that
// never completes leaves the slot allocated (a leak) rather than freed while
// in flight.
bool CancelAndWait(TransferSlot* s) {
  for (ULONG i = 0; i < 30000; ++i) {
    if (ReadLongNoFence(&s->inFlight) == 0) return true;
    if (s->irp) IoCancelIrp(s->irp);
    Delay(1);
  }
  DbgPrint("stream: a transfer did not complete after cancellation\n");
  return false;
}

// Frees the transfer slots and the status slot once none is in flight.
VOID ReleaseSlots(StreamEngine* e) {
  bool idle = true;
  for (TransferSlot& s : e->slots) idle = CancelAndWait(&s) && idle;
  idle = CancelAndWait(&e->statusSlot) && idle;
  if (!idle) return;
  for (TransferSlot& s : e->slots) FreeSlot(&s);
  FreeSlot(&e->statusSlot);
}

bool StillPinPresent(StreamEngine* e) {
  return e->hooks.stillPinPresent && e->hooks.stillPinPresent(e->hooks.context);
}

// Packets of a completed slot into the assembler.
VOID ParseSlot(StreamEngine* e, TransferSlot* s) {
  if (e->transferType == kEndpointIsochronous) {
    _URB_ISOCH_TRANSFER& u = s->urb->UrbIsochronousTransfer;
    ULONG packets = u.NumberOfPackets < e->packetsPerTransfer ? u.NumberOfPackets
                                                              : e->packetsPerTransfer;
    for (ULONG i = 0; i < packets; ++i) {
      const USBD_ISO_PACKET_DESCRIPTOR& p = u.IsoPacket[i];
      if (!USBD_SUCCESS(p.Status)) {
        e->corrupt = 1;
        continue;
      }
      ULONG offset = i * e->packetSize;
      ULONG length = p.Length <= e->packetSize ? p.Length : e->packetSize;
      if (length) ParsePayload(e, s->buffer + offset, length);
    }
  } else {
    ULONG length = s->urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
    if (length > s->bufferLength) length = s->bufferLength;
    if (length) ParsePayload(e, s->buffer, length);
  }
}

}  // namespace

NTSTATUS OpenStream(StreamEngine* e) {
  const FrameFormat& f = e->currentFormat;
  if (e->hooks.streamOpening) e->hooks.streamOpening(e->hooks.context, &f);
  ULONG payloadSize = 0;
  if (!NT_SUCCESS(NegotiateStream(e, &payloadSize)) || payloadSize == 0)
    return STATUS_UNSUCCESSFUL;
  e->payloadSize = payloadSize;
  e->transferType = e->endpointType == kEndpointBulk ? kEndpointBulk : kEndpointIsochronous;
  ULONG packetSize = 0;
  NTSTATUS status =
      SelectAlternateSetting(e, e->transferType, payloadSize, e->packetsPerTransfer, &packetSize);
  if (!NT_SUCCESS(status)) return status;
  if (e->transferType == kEndpointIsochronous && packetSize == 0) return STATUS_UNSUCCESSFUL;
  e->packetSize = packetSize;

  ULONGLONG packets = e->packetsPerTransfer;
  bool ok = true;
  for (TransferSlot& s : e->slots) {
    if (e->transferType == kEndpointIsochronous)
      ok = ok && AllocateSlot(e, &s, 12 * packets + sizeof(_URB_ISOCH_TRANSFER), packets * packetSize);
    else
      ok = ok && AllocateSlot(e, &s, sizeof(_URB_BULK_OR_INTERRUPT_TRANSFER), payloadSize);
  }
  ok = ok && AllocateSlot(e, &e->statusSlot, kStatusUrbLength, 0);
  if (!ok) {
    ReleaseSlots(e);
    SelectAlternateSetting(e, 0, 0, 0, &packetSize);
    return STATUS_NO_MEMORY;
  }
  // The still pin may change the still frame index while the stream starts.
  const ULONG stillIndex = ReadULongNoFence(&e->stillFrameIndex);
  if (StillPinPresent(e) && stillIndex) {
    // The still commit: the last probe read-back with the still frame index.
    UCHAR probe[kProbeControlLength] = {};
    probe[0] = UCHAR(e->currentFormat.formatIndex);
    probe[1] = UCHAR(stillIndex);
    ClassRequest(e, GET_CUR, kVsProbeControl << 8, USHORT(e->streamingInterface), probe,
                 kProbeControlLength, TRUE);
    probe[1] = UCHAR(stillIndex);
    ClassRequest(e, SET_CUR, kVsStillCommitControl << 8, USHORT(e->streamingInterface), probe,
                 kProbeControlLength, FALSE);
  }
  for (TransferSlot& s : e->slots) {
    BuildStreamUrb(e, &s);
    status = SubmitSlot(e, &s);
    if (!NT_SUCCESS(status)) break;
  }
  if (!NT_SUCCESS(status)) {
    ReleaseSlots(e);
    SelectAlternateSetting(e, 0, 0, 0, &packetSize);
    return status;
  }
  e->transferErrors = 0;
  WriteULongNoFence(&e->transfersActive, 1);
  return STATUS_SUCCESS;
}

VOID StreamWorker(PDEVICE_OBJECT, PVOID context) {
  auto* e = static_cast<StreamEngine*>(context);
  if (e->expectedFrameSize != 0) {
    // Open the stream, retrying until it opens, the stream stops or the
    // device goes away.
    while (Running(e) && !Removed(e) && !ReadULongNoFence(&e->transfersActive)) {
      WriteULongNoFence(&e->starting, 1);
      Pause(e, kOpenDelayBeforeMs);
      NTSTATUS status = Running(e) && !Removed(e) ? OpenStream(e) : STATUS_CANCELLED;
      WriteULongNoFence(&e->starting, 0);
      if (!NT_SUCCESS(status) && Running(e)) Pause(e, kOpenDelayAfterMs);
    }
    // The slots complete in the order they were submitted; they are taken in
    // that order too (a wait on either could take a later payload first when
    // both have completed, and scramble the frame).
    ULONG next = 0;
    while (ReadULongNoFence(&e->transfersActive)) {
      TransferSlot* s = &e->slots[next];
      next ^= 1;
      if (KeWaitForSingleObject(&s->event, Executive, KernelMode, FALSE, nullptr) != STATUS_SUCCESS)
        break;
      KeClearEvent(&s->event);
      // The completion routine signals before its last touch of the slot;
      // until inFlight reads 0 the IRP may not be reused, or a late clear
      // would mark the resubmitted transfer idle and let stop free its
      // buffer while the bus still fills it.
      while (ReadLongNoFence(&s->inFlight)) Delay(1);
      NTSTATUS status = s->irp->IoStatus.Status;
      if (status == STATUS_DEVICE_NOT_CONNECTED) {
        WriteULongNoFence(&e->removed, 1);
        break;
      }
      if (!Running(e) || Removed(e) || status == STATUS_CANCELLED) break;
      if (NT_SUCCESS(status)) {
        e->transferErrors = 0;
        ParseSlot(e, s);
      } else {
        // A stalled or failed transfer: the frame is damaged; back off,
        // clear the pipe and give up after repeated failures.
        e->corrupt = 1;
        if (++e->transferErrors >= kMaxTransferErrors) break;
        Pause(e, LONG(10 * e->transferErrors));
        if (!Running(e)) break;
        ResetPipe(e, e->streamPipe);
      }
      if (!Running(e) || Removed(e)) break;
      BuildStreamUrb(e, s);
      NTSTATUS submitted = SubmitSlot(e, s);
      if (submitted == STATUS_DEVICE_NOT_CONNECTED) WriteULongNoFence(&e->removed, 1);  // gone meanwhile
      if (!NT_SUCCESS(submitted)) break;
    }
  }
  KeSetEvent(&e->streamWorkerDone, IO_NO_INCREMENT, FALSE);
}

VOID StatusReader(PDEVICE_OBJECT, PVOID context) {
  auto* e = static_cast<StreamEngine*>(context);
  ULONG length = e->interruptLength < 4 ? 4 : e->interruptLength;
  auto* buffer = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, length, kTagBuffer));
  if (buffer) {
    WriteULongNoFence(&e->statusReaderRunning, 1);
    while (Running(e) && !Removed(e)) {
      TransferSlot* s = &e->statusSlot;
      if (!ReadULongNoFence(&e->transfersActive) || !s->irp) {
        Pause(e, kReaderIdleMs);
        continue;
      }
      RtlZeroMemory(s->urb, kStatusUrbLength);
      _URB_BULK_OR_INTERRUPT_TRANSFER& u = s->urb->UrbBulkOrInterruptTransfer;
      u.Hdr.Length = sizeof u;
      u.Hdr.Function = URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER;
      u.PipeHandle = e->interruptPipe;
      u.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK;
      u.TransferBufferLength = length;
      u.TransferBuffer = buffer;
      if (!Running(e)) break;
      SubmitSlot(e, s);
      KeWaitForSingleObject(&s->event, Executive, KernelMode, FALSE, nullptr);
      while (ReadLongNoFence(&s->inFlight)) Delay(1);
      NTSTATUS status = s->irp->IoStatus.Status;
      if (status == STATUS_DEVICE_NOT_CONNECTED || !Running(e)) break;
      if (!NT_SUCCESS(status) || u.TransferBufferLength < 4) {
        Pause(e, kReaderIdleMs);  // a failed read: do not spin
        continue;
      }
      if (buffer[0] == 0x02 && buffer[1] == 0x01 && buffer[2] == 0x00 && buffer[3] == 0x01) {
        const StreamHooks& h = e->hooks;
        if (!h.buttonPolled || !h.buttonPolled(h.context)) {
          UCHAR trigger = 1;
          ClassRequest(e, SET_CUR, kVsStillTriggerControl << 8, USHORT(e->streamingInterface),
                       &trigger, 1, FALSE);
        }
        Pause(e, kButtonSettleMs);
        if (h.buttonPressed) h.buttonPressed(h.context);
      }
    }
    ExFreePoolWithTag(buffer, kTagBuffer);
  }
  WriteULongNoFence(&e->statusReaderRunning, 0);
  KeSetEvent(&e->statusReaderDone, IO_NO_INCREMENT, FALSE);
}

NTSTATUS StartStream(StreamEngine* e) {
  if (Running(e)) return STATUS_SUCCESS;
  if (!e->streamWorkItem || !e->statusWorkItem || !e->ring.writeNode) return STATUS_UNSUCCESSFUL;
  ULONG raw = RawFrameSize(e->currentFormat.inputWidth, e->currentFormat.inputHeight);
  if (raw > e->rawFrameSize) return STATUS_INVALID_PARAMETER;  // the ring cannot hold it
  e->framesSeen = e->framesCommitted = e->framesDropped = e->stillsDelivered = 0;
  e->lastMs = e->assembled = 0;
  e->fps = 0;
  e->writeBuffer = e->ring.writeNode->buffer;
  e->transfersActive = e->controlsApplied = e->stillActive = e->stillMode = 0;
  e->corrupt = e->discarding = e->frameStill = e->frameEof = e->framesSinceStill = 0;
  e->statusReaderRunning = e->transferErrors = 0;
  e->stillWaiting = 0;
  e->trailerlessFrames = 0;
  e->lastFid = kNoFrameId;
  if (e->hooks.streamStarting) e->hooks.streamStarting(e->hooks.context, &e->currentFormat);
  KeClearEvent(&e->streamWorkerDone);
  KeClearEvent(&e->statusReaderDone);
  KeClearEvent(&e->streamEvent);
  KeClearEvent(&e->stillReady);
  KeClearEvent(&e->stopEvent);
  WriteULongNoFence(&e->running, 1);
  e->workerQueued = 1;
  IoQueueWorkItem(e->streamWorkItem, StreamWorker, DelayedWorkQueue, e);
  e->readerQueued = e->hasInterruptPipe && StillPinPresent(e) ? 1 : 0;
  if (e->readerQueued) IoQueueWorkItem(e->statusWorkItem, StatusReader, DelayedWorkQueue, e);
  return STATUS_SUCCESS;
}

NTSTATUS StopStream(StreamEngine* e) {
  if (!Running(e)) return STATUS_SUCCESS;
  WriteULongNoFence(&e->running, 0);
  KeSetEvent(&e->stopEvent, IO_NO_INCREMENT, FALSE);
  Delay(kStopSettleMs);
  // Cancel what is in flight; the worker sees the cancelled completion (or
  // the cleared running flag) and ends.
  for (TransferSlot& s : e->slots)
    if (ReadLongNoFence(&s.inFlight)) IoCancelIrp(s.irp);
  if (e->workerQueued)
    KeWaitForSingleObject(&e->streamWorkerDone, Executive, KernelMode, FALSE, nullptr);
  e->workerQueued = 0;
  if (e->readerQueued) {
    // The reader may be about to submit: cancel until it has ended.
    LARGE_INTEGER t;
    t.QuadPart = -10 * 10000;
    while (KeWaitForSingleObject(&e->statusReaderDone, Executive, KernelMode, FALSE, &t) ==
           STATUS_TIMEOUT) {
      if (ReadLongNoFence(&e->statusSlot.inFlight)) IoCancelIrp(e->statusSlot.irp);
    }
  }
  e->readerQueued = 0;
  if (e->hooks.streamStopping) e->hooks.streamStopping(e->hooks.context);
  bool wasActive = ReadULongNoFence(&e->transfersActive) != 0;
  WriteULongNoFence(&e->transfersActive, 0);
  Delay(kStopSettleMs);
  ReleaseSlots(e);  // waits for every slot still in flight
  if (wasActive && !Removed(e)) {
    ResetPipe(e, e->streamPipe);
    ULONG packetSize = 0;
    SelectAlternateSetting(e, 0, 0, 0, &packetSize);
  }
  if (e->hooks.streamStopped) e->hooks.streamStopped(e->hooks.context);
  return STATUS_SUCCESS;
}
