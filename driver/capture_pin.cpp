// The capture pin: creation, format acceptance, the capture slot, the
// stream start and stop with the frame timer, Process (one frame from the
// ring through the frame pipeline into the application's buffer, with the
// stream header and frame information), and its property items (dropped
// frames, allocator framing).
//
// Lifetime rules: the frame timer and the pin's DPC never outlive the
// streaming state that started them. Stopping (PAUSE, STOP, close) asks the
// timer to end, waits for its exit event, removes and flushes the DPC, then
// closes the processing gate and waits until no Process call is inside, and
// only then stops the stream engine.
#include <new>

#include "driver/device_state.h"
#include "driver/pin_context.h"
#include "pipeline/frame_pipeline.h"
#include "platform/simd_state.h"
#include "platform/worker_pair.h"
#include "usb/format_table.h"

namespace {

constexpr LONGLONG kDefaultInterval = 333333;  // 100 ns units
// The timer never ticks faster than 1000 times a second, whatever a camera
// claims.
constexpr LONGLONG kShortestInterval = 10000;
constexpr LONG kPauseSettleMs = 100;

VOID TickDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<PinContext*>(context)->Tick(); }

// A frame came in after a tick that found none: process again, within the
// same tick.
VOID LateDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* c = static_cast<PinContext*>(context);
  if (ReadULongNoFence(&c->openTick)) KsPinAttemptProcessing(c->pin, FALSE);
}

// Sleeps until *deadline (or a stop), watching the engine's commits. A
// frame committed while the last tick's chance is open is delivered at once
// (lateDpc). The first commit of the stream anchors the ticks: the next one
// comes one and a half intervals later, so that ticks fall midway between
// the earliest and the latest moment a frame can arrive (transfers hand
// frames over in 32 ms steps, nearly a whole interval at 30 fps).
VOID WaitForDeadline(PinContext* c, ULONGLONG* deadline, bool* anchored) {
  StreamEngine* e = c->device->engine;
  const ULONGLONG interval = ULONGLONG(c->interval);
  for (;;) {
    ULONGLONG now = KeQueryInterruptTime();
    if (*deadline <= now || ReadULongNoFence(&c->timerStop)) return;
    LARGE_INTEGER wait;
    wait.QuadPart = -LONGLONG(*deadline - now);
    PVOID events[2] = {&c->timerWake, &e->streamEvent};
    NTSTATUS s = KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, &wait, nullptr);
    if (s != STATUS_WAIT_0 + 1) return;
    KeClearEvent(&e->streamEvent);
    if (ReadULongNoFence(&c->openTick) == ReadULongNoFence(&c->ticks))
      KeInsertQueueDpc(&c->lateDpc, nullptr, nullptr);
    if (!*anchored) {
      *anchored = true;
      *deadline = KeQueryInterruptTime() + interval + interval / 2;
    }
  }
}

VOID DelayMs(LONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -LONGLONG(ms) * 10000;
  KeDelayExecutionThread(KernelMode, FALSE, &t);
}

// The frame interval the pin runs at: the one the camera accepted for this
// stream once it has, the connection format's until then.
LONGLONG PacedInterval(const PinContext* c) {
  const ULONG accepted = ReadULongNoFence(&c->device->engine->acceptedInterval);
  const LONGLONG interval = accepted ? LONGLONG(accepted) : c->interval;
  return interval < kShortestInterval ? kShortestInterval : interval;
}

// The frame timer (work item): queues the pin's DPC once per frame
// interval, against absolute deadlines so that the rate holds however long
// each round takes. A timer that fell more than two intervals behind (the
// system stalled) starts afresh from now instead of bursting.
VOID FrameTimer(PDEVICE_OBJECT, PVOID context) {
  auto* c = static_cast<PinContext*>(context);
  ULONGLONG deadline = KeQueryInterruptTime();
  bool anchored = false;
  while (!ReadULongNoFence(&c->timerStop)) {
    const LONGLONG interval = PacedInterval(c);
    KeInsertQueueDpc(&c->dpc, nullptr, nullptr);
    deadline += ULONGLONG(interval);
    ULONGLONG now = KeQueryInterruptTime();
    if (now > deadline + 2 * ULONGLONG(interval)) deadline = now;
    WaitForDeadline(c, &deadline, &anchored);
  }
  WriteULongNoFence(&c->timerRunning, 0);
  KeSetEvent(&c->timerExit, IO_NO_INCREMENT, FALSE);  // last touch of the context
}

// Ends the frame timer and the DPC: no tick of this pin runs afterwards.
VOID StopFrameTimer(PinContext* c) {
  WriteULongNoFence(&c->timerStop, 1);
  KeSetEvent(&c->timerWake, IO_NO_INCREMENT, FALSE);
  // The exit event is signalled whenever no timer runs (from creation, and
  // from each timer's last act until the next RUN), so this wait never
  // races with a timer that is just leaving.
  KeWaitForSingleObject(&c->timerExit, Executive, KernelMode, FALSE, nullptr);
  KeRemoveQueueDpc(&c->dpc);
  KeRemoveQueueDpc(&c->lateDpc);
  KeFlushQueuedDpcs();
}

// Closes the processing gate and waits until Process has left.
VOID CloseProcessing(PinContext* c) {
  InterlockedExchange(&c->processOpen, 0);
  while (ReadLongNoFence(&c->processCalls) != 0) DelayMs(1);
}

// Device-level stream stop, idempotent: the engine stops once, by the
// owner of the stream.
NTSTATUS StopDeviceStream(DeviceContext* d) {
  if (!ReadULongNoFence(&d->streaming) || !d->engine) return STATUS_SUCCESS;
  NTSTATUS s = StopStream(d->engine);
  // The settings are saved at every stream stop; this also clears
  // `streaming` (cleared below as well, for a device without settings).
  SaveDeviceSettings(d);
  WriteULongNoFence(&d->streaming, 0);
  RingReset(&d->engine->ring);
  return s;
}

// Everything a running pin started, in the order that keeps it safe;
// settleMs is a pause between the last Process and the stream stop.
NTSTATUS EndStreaming(PinContext* c, LONG settleMs = 0) {
  StopFrameTimer(c);
  CloseProcessing(c);
  if (settleMs) DelayMs(settleMs);
  if (!c->streamState) return STATUS_SUCCESS;
  c->streamState = 0;
  return StopDeviceStream(c->device);
}

PinContext* ContextOf(PKSPIN pin) { return pin ? static_cast<PinContext*>(pin->Context) : nullptr; }

// Gives the device's capture slot and the clock back, if this pin has them.
VOID ReleaseSlot(PinContext* c) {
  if (!c->holdsSlot) return;
  if (c->clock) c->clock->Release();
  c->clock = nullptr;
  c->device->captureFormat = nullptr;
  c->device->capturePin = nullptr;
  InterlockedExchange(&c->device->captureSlot, 0);
  c->holdsSlot = 0;
}

// Bag free routine of the context: leaves the slot and the engine's owner.
VOID CapturePinClose(PVOID item) {
  auto* c = static_cast<PinContext*>(item);
  DeviceContext* d = c->device;
  if (d) {
    EndStreaming(c);
    ReleaseSlot(c);
    if (d->effects && c->formatCounted)
      InterlockedDecrement(reinterpret_cast<volatile LONG*>(&d->effects->captureFormatPresent));
    if (StreamEngine* e = d->engine) {
      InterlockedDecrement(&e->pinCount);
      if (c->filter)
        InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&e->ownerFilter), nullptr,
                                          c->filter);
    }
  }
  c->~PinContext();
  ExFreePoolWithTag(c, kTagContext);
}

// I420 and RGB24 are offered for every YUY2 output size, MJPG for the
// sizes an MJPEG camera sends unscaled: the camera streams the YUY2 entry
// of that size (the engine's current format stays that entry) and the
// pipeline converts to the pin's subtype, or passes the MJPEG frame on.
bool IsConverted(const GUID& subtype) {
  return IsEqualGUID(subtype, kSubtypeI420) || IsEqualGUID(subtype, kSubtypeRgb24) ||
         IsEqualGUID(subtype, kSubtypeMjpg);
}

NTSTATUS SelectCaptureFormat(StreamEngine* e, ULONG width, ULONG height, const GUID& subtype) {
  NTSTATUS s = SelectFormat(e, width, height, IsConverted(subtype) ? kSubtypeYuy2 : subtype);
  const FrameFormat& f = e->currentFormat;
  if (NT_SUCCESS(s) && IsEqualGUID(subtype, kSubtypeMjpg) &&
      (!IsEqualGUID(f.inputSubtype, kSubtypeMjpg) || f.inputWidth != width || f.inputHeight != height))
    return STATUS_INVALID_PARAMETER;
  return s;
}

bool IsOwner(const PinContext* c) { return FilterOwnsCamera(c->device, c->filter); }

// Copies the connection format; the owner's pin also selects it in the
// camera. The pin's fields change only once the format is accepted.
NTSTATUS ApplyCaptureFormat(PinContext* c) {
  KS_VIDEOINFOHEADER* copy = nullptr;
  NTSTATUS s = CopyPinFormat(c->pin, &copy);
  if (!NT_SUCCESS(s)) return s;
  const KS_BITMAPINFOHEADER& h = copy->bmiHeader;
  ULONG width = ULONG(h.biWidth);
  ULONG height = ULONG(h.biHeight < 0 ? -LONGLONG(h.biHeight) : h.biHeight);
  GUID subtype = c->pin->ConnectionFormat->SubFormat;
  ULONG frameSize = IsEqualGUID(subtype, kSubtypeMjpg) ? 0 : FrameOutputBytes(subtype, width, height);
  if (!frameSize && !OutputFrameSize(width, height, subtype, &frameSize)) s = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(s) && IsOwner(c)) s = SelectCaptureFormat(c->device->engine, width, height, subtype);
  if (!NT_SUCCESS(s)) {
    KsRemoveItemFromObjectBag(c->pin->Bag, copy, TRUE);
    return s;
  }
  if (c->format) KsRemoveItemFromObjectBag(c->pin->Bag, c->format, TRUE);
  c->format = copy;
  c->width = width;
  c->height = height;
  c->subtype = subtype;
  c->frameSize = frameSize;
  if (c->holdsSlot) c->device->captureFormat = copy;
  if (c->device->effects && !c->formatCounted) {
    // A count, not a flag: each filter's capture pin adds itself once.
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&c->device->effects->captureFormatPresent));
    c->formatCounted = 1;
  }
  return STATUS_SUCCESS;
}

// Gives back every clone stream pointer the pin still holds, empty.
NTSTATUS FlushClones(PKSPIN pin) {
  while (PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(pin)) {
    if (clone->StreamHeader) clone->StreamHeader->DataUsed = 0;
    KsStreamPointerDelete(clone);
  }
  return STATUS_SUCCESS;
}

NTSTATUS DroppedFramesGet(PIRP irp, PKSIDENTIFIER request, PVOID data) {
  PinContext* c = ContextOf(KsGetPinFromIrp(irp));
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  auto* out = static_cast<KSPROPERTY_DROPPEDFRAMES_CURRENT_S*>(data);
  out->Property = *request;
  ULONG base = ReadULongNoFence(&c->tickBase);
  out->PictureNumber = ReadULongNoFence(&c->delivered) ? ReadULongNoFence(&c->ticks) - base : 0;
  out->DropCount = ReadULongNoFence(&c->dropped);
  out->AverageFrameSize = c->frameSize;
  irp->IoStatus.Information = sizeof *out;
  return STATUS_SUCCESS;
}

NTSTATUS AllocatorFramingGet(PIRP irp, PKSIDENTIFIER, PVOID data) {
  PinContext* c = ContextOf(KsGetPinFromIrp(irp));
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  auto* out = static_cast<KSALLOCATOR_FRAMING*>(data);
  out->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY |
                           KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |
                           KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER;
  out->PoolType = PagedPool;
  out->Frames = 2;
  out->FrameSize = c->frameSize;
  out->FileAlignment = 0;
  out->Reserved = 0;
  irp->IoStatus.Information = sizeof *out;
  return STATUS_SUCCESS;
}

const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    PropertyItem(KSPROPERTY_DROPPEDFRAMES_CURRENT, DroppedFramesGet, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
                 sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), nullptr)};
const KSPROPERTY_ITEM kConnectionItems[] = {
    PropertyItem(KSPROPERTY_CONNECTION_ALLOCATORFRAMING, AllocatorFramingGet, sizeof(KSALLOCATOR_FRAMING),
                 sizeof(KSALLOCATOR_FRAMING), nullptr)};
const KSPROPERTY_SET kCapturePinSets[] = {
    {&kDroppedFramesSet, 1, kDroppedFramesItems, 0, nullptr},
    {&kConnectionSet, 1, kConnectionItems, 0, nullptr},
};

NTSTATUS CapturePinConnect(PKSPIN) { return STATUS_SUCCESS; }
VOID CapturePinDisconnect(PKSPIN) {}

// Drop accounting: every timer tick from the one that delivered the
// stream's first frame is one chance to deliver a frame, so the drop count
// is those ticks minus the frames delivered. It only grows (a tick that
// arrives while the previous frame is still being processed cannot make it
// shrink) and never goes below zero; the first frame carries 0.
ULONG CountDrops(PinContext* c, ULONG ticks) {
  ULONG delivered = ReadULongNoFence(&c->delivered);
  if (!delivered) return 0;
  ULONG pictures = ticks - ReadULongNoFence(&c->tickBase);
  ULONG dropped = ReadULongNoFence(&c->dropped);
  if (pictures > delivered && pictures - delivered > dropped) {
    dropped = pictures - delivered;
    WriteULongNoFence(&c->dropped, dropped);
  }
  return dropped;
}

// Stamps a completed buffer. A delivered frame carries the splice point,
// the time from the reference clock and the pending discontinuity; an empty
// one (DataUsed 0) only its counters. The frame information follows the
// header only where the header's Size leaves room for it.
VOID StampHeader(PinContext* c, KSSTREAM_HEADER* h, ULONG used, ULONG ticks, ULONG dropped) {
  h->DataUsed = used;
  h->OptionsFlags = 0;
  h->Duration = c->format ? PacedInterval(c) : 0;
  h->PresentationTime.Numerator = 1;
  h->PresentationTime.Denominator = 1;
  h->PresentationTime.Time = 0;
  if (used) {
    h->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
    if (c->clock) {
      h->PresentationTime.Time = c->clock->GetTime();
      h->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    }
    if (ReadULongNoFence(&c->discontinuity)) {
      h->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;
      WriteULongNoFence(&c->discontinuity, 0);
    }
  }
  if (h->Size >= kCaptureHeaderSize) {
    auto* info = reinterpret_cast<KS_FRAME_INFO*>(h + 1);
    RtlZeroMemory(info, sizeof *info);
    info->ExtendedHeaderSize = sizeof(KS_FRAME_INFO);
    info->dwFrameFlags = 0;
    info->PictureNumber = ticks - ReadULongNoFence(&c->tickBase);
    info->DropCount = dropped;
  }
}

// A tick that delivers nothing: the frame (if one was taken) goes back to
// the ring and the next delivered frame carries a discontinuity.
NTSTATUS LoseTick(PinContext* c, FrameRingNode* node, ULONG ticks) {
  if (node) RingReturn(&c->device->engine->ring, node);
  WriteULongNoFence(&c->discontinuity, 1);
  CountDrops(c, ticks);
  return STATUS_PENDING;
}

// One round of Process: the oldest committed frame into the leading
// buffer. Returns STATUS_PENDING, or STATUS_UNSUCCESSFUL for an output
// subtype no route produces.
NTSTATUS DeliverFrame(PinContext* c) {
  DeviceContext* d = c->device;
  StreamEngine* e = d->engine;
  const ULONG ticks = ReadULongNoFence(&c->ticks);
  // The format of this frame: a change between frames takes effect at the
  // next one.
  FrameFormat format = e->currentFormat;
  if (IsConverted(c->subtype)) format.outputSubtype = c->subtype;
  // An earlier tick whose chance ran out without a frame is a drop.
  const ULONG open = ReadULongNoFence(&c->openTick);
  if (open && open != ticks) {
    WriteULongNoFence(&c->openTick, 0);
    LoseTick(c, nullptr, open);
  }
  FrameRingNode* node = nullptr;
  if (!RingTake(&e->ring, &node)) {
    // Nothing yet: the chance stays open until the next tick.
    if (ticks) WriteULongNoFence(&c->openTick, ticks);
    return STATUS_PENDING;
  }
  WriteULongNoFence(&c->openTick, 0);
  const bool mjpegIn = IsEqualGUID(format.inputSubtype, kSubtypeMjpg);
  const bool mjpegOut = IsEqualGUID(format.outputSubtype, kSubtypeMjpg);
  ULONG inputSize = mjpegIn ? node->length : RawFrameSize(format.inputWidth, format.inputHeight);
  ULONG outputSize = mjpegOut ? node->length
                              : FrameOutputBytes(format.outputSubtype, format.outputWidth, format.outputHeight);
  if (!outputSize) {
    RingReturn(&e->ring, node);
    return STATUS_UNSUCCESSFUL;
  }
  if (!mjpegIn && node->length != e->expectedFrameSize) return LoseTick(c, node, ticks);
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(c->pin, KSSTREAM_POINTER_STATE_LOCKED);
  // No application buffer: the frame goes back and the tick is lost.
  if (!pointer) return LoseTick(c, node, ticks);
  KSSTREAM_HEADER* h = pointer->StreamHeader;
  LONG written = 0;
  // Nothing is written unless the whole frame fits the buffer.
  if (h && h->Data && h->FrameExtent >= outputSize) {
    SimdStateScope simd;  // once per frame, around all of the image code
    const FrameJob job{node->buffer,         inputSize,     e->ring.bufferSize,
                       static_cast<UCHAR*>(h->Data), h->FrameExtent, d->workBuffer,
                       d->frameBufferSize,   d->effectBuffer, d->frameBufferSize,
                       d->colorTables,       &format,       d->effects,
                       d->effects,           PlatformWorkerPair()};
    written = FramePipeline(job);
  }
  RingReturn(&e->ring, node);
  if (written) {
    ULONG delivered = ReadULongNoFence(&c->delivered);
    if (!delivered) WriteULongNoFence(&c->tickBase, ticks ? ticks - 1 : 0);
    WriteULongNoFence(&c->delivered, delivered + 1);
  }
  ULONG dropped = CountDrops(c, ticks);
  if (h) StampHeader(c, h, written ? outputSize : 0, ticks, dropped);
  // A buffer that got no frame goes back empty (it would never fit, or has
  // no data); the next delivered frame carries the discontinuity.
  if (!written) WriteULongNoFence(&c->discontinuity, 1);
  KsStreamPointerUnlock(pointer, TRUE);
  return STATUS_PENDING;
}

// The still route: while the engine assembles a still, wait for it (at
// most 20 s, and never past the stream stop), then hand it to the still
// pin once.
VOID ServeStill(PinContext* c) {
  DeviceContext* d = c->device;
  StreamEngine* e = d->engine;
  if (!LoadSetting(e->stillSize)) return;
  if (LoadSetting(e->stillMode) && !StillWaiting(e)) {
    PVOID events[2] = {&e->stillReady, &c->timerWake};
    LARGE_INTEGER timeout;
    timeout.QuadPart = -200000000LL;
    KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode, FALSE, &timeout, nullptr);
  }
  if (StillWaiting(e) && !ReadULongNoFence(&c->timerStop)) HandOverStill(d);
}

}  // namespace

// The tick is counted before processing is asked for, so that the frame
// the tick delivers is numbered with it and the first frame of a stream
// carries DropCount 0.
VOID PinContext::Tick() {
  StreamEngine* e = device ? device->engine : nullptr;
  if (!e || ReadULongNoFence(&e->removed)) {
    WriteULongNoFence(&timerStop, 1);
    KeSetEvent(&timerWake, IO_NO_INCREMENT, FALSE);
    return;
  }
  WriteULongNoFence(&ticks, ReadULongNoFence(&ticks) + 1);
  KsPinAttemptProcessing(pin, FALSE);
}

NTSTATUS CapturePinProcess(PKSPIN pin) {
  PinContext* c = ContextOf(pin);
  if (!c || !c->device || !c->device->engine) return STATUS_PENDING;
  InterlockedIncrement(&c->processCalls);
  NTSTATUS s = STATUS_PENDING;
  if (ReadLongNoFence(&c->processOpen)) {
    s = DeliverFrame(c);
    ServeStill(c);
  }
  InterlockedDecrement(&c->processCalls);
  return s;
}

const KSAUTOMATION_TABLE CapturePinAutomationTable = {
    2, sizeof(KSPROPERTY_ITEM), kCapturePinSets, 0, 40, nullptr, 0, 40, nullptr};

const KSPIN_DISPATCH CapturePinDispatch = {
    CapturePinCreate,        nullptr, CapturePinProcess, nullptr, CapturePinSetDataFormat,
    CapturePinSetDeviceState, CapturePinConnect, CapturePinDisconnect, nullptr, nullptr};

NTSTATUS CapturePinCreate(PKSPIN pin, PIRP irp) {
  DeviceContext* d = DeviceContextOf(KsGetDevice(pin));
  if (!d || !d->engine) return STATUS_INVALID_DEVICE_STATE;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(PinContext), kTagContext);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(PinContext));
  auto* c = new (memory) PinContext();
  c->pin = pin;
  c->timerStop = 1;
  c->device = d;
  KeInitializeDpc(&c->dpc, TickDpc, c);
  KeInitializeDpc(&c->lateDpc, LateDpc, c);
  KeInitializeEvent(&c->timerExit, NotificationEvent, TRUE);
  KeInitializeEvent(&c->timerWake, NotificationEvent, FALSE);
  // Every buffer's header leaves room for the frame information.
  pin->StreamHeaderSize = kCaptureHeaderSize;
  NTSTATUS s = KsAddItemToObjectBag(pin->Bag, c, CapturePinClose);
  if (!NT_SUCCESS(s)) {
    c->~PinContext();
    ExFreePoolWithTag(c, kTagContext);
    return s;
  }
  pin->Context = c;
  // The first filter to create a capture pin owns the camera; the claim is
  // atomic so that exactly one filter selects formats.
  StreamEngine* e = d->engine;
  InterlockedIncrement(&e->pinCount);
  PKSFILTER filter = KsGetFilterFromIrp(irp);
  c->filter = filter;
  InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&e->ownerFilter), filter, nullptr);
  s = ApplyCaptureFormat(c);
  if (!NT_SUCCESS(s)) return STATUS_INSUFFICIENT_RESOURCES;
  return EditPinFraming(pin, c->format->bmiHeader.biSizeImage);
}

NTSTATUS CapturePinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                                 const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
  NTSTATUS s = CheckVideoFormat(pin->ConnectionFormat, range);
  if (!NT_SUCCESS(s)) return s;
  if (oldFormat) {
    PinContext* c = ContextOf(pin);
    if (!c) return STATUS_INVALID_DEVICE_STATE;
    if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(ApplyCaptureFormat(c))) return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (DeviceContext* d = DeviceContextOf(KsGetDevice(pin))) InterlockedIncrement(&d->formatSets);
  return STATUS_SUCCESS;
}

NTSTATUS CapturePinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  PinContext* c = ContextOf(pin);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  DeviceContext* d = c->device;
  switch (to) {
    case KSSTATE_ACQUIRE:
      if (from == KSSTATE_STOP) {
        // Only the owner filter's pin may hold the camera; a pin of another
        // filter, or any pin while the slot is taken, leaves the slot alone.
        if (!IsOwner(c) || InterlockedCompareExchange(&d->captureSlot, 1, 0) != 0) {
          c->holdsSlot = 0;
          return STATUS_SHARING_VIOLATION;
        }
        d->captureFormat = c->format;
        d->capturePin = c;
        c->holdsSlot = 1;
        if (!NT_SUCCESS(KsPinGetReferenceClockInterface(pin, &c->clock))) c->clock = nullptr;
        return STATUS_SUCCESS;
      }
      EndStreaming(c);
      return FlushClones(pin);
    case KSSTATE_PAUSE:
      if (from != KSSTATE_RUN || !IsOwner(c)) return STATUS_SUCCESS;
      return EndStreaming(c, kPauseSettleMs);
    case KSSTATE_RUN: {
      if (!IsOwner(c) || !c->holdsSlot) return STATUS_UNSUCCESSFUL;
      StreamEngine* e = d->engine;
      if (!e->frameTimerWorkItem) return STATUS_UNSUCCESSFUL;
      WriteULongNoFence(&c->dropped, 0);
      WriteULongNoFence(&c->ticks, 0);
      WriteULongNoFence(&c->delivered, 0);
      WriteULongNoFence(&c->discontinuity, 0);
      WriteULongNoFence(&c->tickBase, 0);
      WriteULongNoFence(&c->openTick, 0);
      if (!ReadULongNoFence(&d->streaming)) {
        // The camera is asked for the format's frame interval; the timer
        // follows what it accepts.
        const LONGLONG asked = c->format ? c->format->AvgTimePerFrame : 0;
        e->requestedInterval = asked > 0 && asked <= LONGLONG(0xFFFFFFFF) ? ULONG(asked) : 0;
        WriteULongNoFence(&e->acceptedInterval, 0);
        RingReset(&e->ring);
        InstallStreamHooks(e, &d->streamHooks);
        NTSTATUS s = StartStream(e);
        if (!NT_SUCCESS(s)) return s;
        WriteULongNoFence(&d->streaming, 1);
      }
      c->streamState = 2;
      LONGLONG interval = c->format ? c->format->AvgTimePerFrame : 0;
      c->interval = interval > 0 ? interval : kDefaultInterval;
      WriteULongNoFence(&c->timerStop, 0);
      KeClearEvent(&c->timerExit);
      KeClearEvent(&c->timerWake);
      InterlockedExchange(&c->processOpen, 1);
      WriteULongNoFence(&c->timerRunning, 1);
      IoQueueWorkItem(e->frameTimerWorkItem, FrameTimer, DelayedWorkQueue, c);
      return STATUS_SUCCESS;
    }
    case KSSTATE_STOP: {
      EndStreaming(c);
      NTSTATUS s = FlushClones(pin);
      ReleaseSlot(c);
      return s;
    }
  }
  return STATUS_SUCCESS;
}
