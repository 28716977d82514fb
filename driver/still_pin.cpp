// The still pin: creation, format acceptance, registration with the device
// and the engine, Trigger and Process; and the capture pin's hand-over of a
// still from the engine's still buffer.
//
// One still travels like this: the engine stores the still frame in its
// still buffer and keeps it there (stillWaiting) until StillConsumed; the
// capture pin's Process prepares it as YUY2 at the still size and triggers
// the registered still pin once (stillHandedOver); the still pin's Process
// copies it into the application's buffer and gives the buffer back to the
// engine. The still pin link is only read and changed under stillLock, and
// is cleared when the pin stops or closes, so that the capture pin never
// calls into a pin that is gone.
#include <new>

#include "effects/effect_state.h"
#include "driver/pin_context.h"
#include "pipeline/conversions.h"
#include "pipeline/frame_pipeline.h"
#include "platform/simd_state.h"
#include "usb/format_table.h"

namespace {

StillPinContext* ContextOf(PKSPIN pin) {
  return pin ? static_cast<StillPinContext*>(pin->Context) : nullptr;
}

bool IsOwner(const StillPinContext* c) { return FilterOwnsCamera(c->device, c->filter); }

// The still buffer goes back to the engine; the next still may come.
VOID ReleaseStill(DeviceContext* d) {
  if (d->engine) StillConsumed(d->engine);
  InterlockedExchange(&d->stillHandedOver, 0);
}

// A trigger that no Process will serve any more gives its still back.
VOID DropPendingTrigger(StillPinContext* c) {
  if (InterlockedExchange(&c->triggerPending, 0)) ReleaseStill(c->device);
}

// Leaves the device: no trigger reaches this pin afterwards.
VOID Unregister(StillPinContext* c) {
  DeviceContext* d = c->device;
  KIRQL irql;
  KeAcquireSpinLock(&d->stillLock, &irql);
  if (d->stillPin == c) d->stillPin = nullptr;
  c->running = 0;
  KeReleaseSpinLock(&d->stillLock, irql);
  DropPendingTrigger(c);
}

// Bag free routine.
VOID StillPinClose(PVOID item) {
  auto* c = static_cast<StillPinContext*>(item);
  if (DeviceContext* d = c->device) {
    Unregister(c);
    if (c->programmed && d->engine) SetStillSize(d->engine, 0);
    if (d->effects && c->present)
      InterlockedDecrement(reinterpret_cast<volatile LONG*>(&d->effects->stillPinPresent));
  }
  c->~StillPinContext();
  ExFreePoolWithTag(c, kTagContext);
}

// The owner filter's still pin tells the engine which stills to take: the
// still size in bytes (packed 4:2:2 as the camera sends it) and the still
// frame index for the still commit.
VOID ProgramEngine(StillPinContext* c) {
  StreamEngine* e = c->device->engine;
  if (!e || !IsOwner(c)) return;
  if (!NT_SUCCESS(SetStillSize(e, RawFrameSize(c->width, c->height)))) return;
  // The stream worker and the capture pin read these while streaming.
  WriteULongNoFence(&e->stillWidth, c->width);
  WriteULongNoFence(&e->stillHeight, c->height);
  ULONG index = ReadULongNoFence(&e->stillFrameIndex);
  FindStillFrameIndex(e->stillTable, e->stillCount, c->width, c->height, &index);
  WriteULongNoFence(&e->stillFrameIndex, index);
  c->programmed = 1;
}

NTSTATUS ApplyStillFormat(StillPinContext* c) {
  KS_VIDEOINFOHEADER* copy = nullptr;
  NTSTATUS s = CopyPinFormat(c->pin, &copy);
  if (!NT_SUCCESS(s)) return s;
  if (c->format) KsRemoveItemFromObjectBag(c->pin->Bag, c->format, TRUE);
  c->format = copy;
  const KS_BITMAPINFOHEADER& h = copy->bmiHeader;
  c->width = ULONG(h.biWidth);
  c->height = ULONG(h.biHeight < 0 ? -LONGLONG(h.biHeight) : h.biHeight);
  c->subtype = c->pin->ConnectionFormat->SubFormat;
  ULONG size = 0;
  if (OutputFrameSize(c->width, c->height, c->subtype, &size)) c->frameSize = size;
  ProgramEngine(c);
  return STATUS_SUCCESS;
}

// The still in the engine's still buffer as YUY2 of still width x height:
// an MJPEG still is decoded (its stream must have that size), a UYVY one
// swapped, a YUY2 one taken as it is (it must have exactly that size).
bool PrepareStill(DeviceContext* d, StreamEngine* e) {
  const ULONG width = ReadULongNoFence(&e->stillWidth), height = ReadULongNoFence(&e->stillHeight);
  const ULONG bytes = RawFrameSize(width, height);
  const ULONG length = e->stillLength;
  if (!bytes || bytes > e->stillBufferSize || length > e->stillBufferSize || !e->stillBuffer) return false;
  const GUID& in = e->currentFormat.inputSubtype;
  if (IsEqualGUID(in, kSubtypeMjpg)) {
    SimdStateScope simd;
    if (DecodeToPacked(e->stillBuffer, length, e->stillBufferSize, width, height,
                       d->workBuffer, d->frameBufferSize, d->effectBuffer, d->frameBufferSize) != 0)
      return false;
    e->stillLength = bytes;
    return true;
  }
  if (length != bytes) return false;
  if (IsEqualGUID(in, kSubtypeUyvy)) {
    if (bytes > d->frameBufferSize || !d->workBuffer) return false;
    SwapYuy2ToUyvy(d->workBuffer, e->stillBuffer, bytes);  // its own inverse
    RtlCopyMemory(e->stillBuffer, d->workBuffer, bytes);
    return true;
  }
  return IsEqualGUID(in, kSubtypeYuy2);
}

}  // namespace

VOID HandOverStill(DeviceContext* d) {
  StreamEngine* e = d->engine;
  if (!e || InterlockedCompareExchange(&d->stillHandedOver, 1, 0) != 0) return;  // already on its way
  bool taken = false;
  if (PrepareStill(d, e)) {
    KIRQL irql;
    KeAcquireSpinLock(&d->stillLock, &irql);
    StillPinContext* still = d->stillPin;
    if (still && still->running) {
      still->Trigger(0);
      taken = true;
    }
    KeReleaseSpinLock(&d->stillLock, irql);
  }
  if (!taken) ReleaseStill(d);
}

VOID StillPinContext::Trigger(ULONG argument) {
  WriteULongNoFence(&triggerArgument, argument);
  InterlockedExchange(&triggerPending, 1);
  KsPinAttemptProcessing(pin, FALSE);
}

const KSPIN_DISPATCH StillPinDispatch = {
    StillPinCreate, nullptr, StillPinProcess, nullptr, StillPinSetDataFormat, StillPinSetDeviceState,
    nullptr,        nullptr, nullptr,         nullptr};

NTSTATUS StillPinCreate(PKSPIN pin, PIRP irp) {
  DeviceContext* d = DeviceContextOf(KsGetDevice(pin));
  if (!d) return STATUS_INVALID_DEVICE_STATE;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(StillPinContext), kTagContext);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(StillPinContext));
  auto* c = new (memory) StillPinContext();
  c->pin = pin;
  c->device = d;
  c->filter = KsGetFilterFromIrp(irp);
  NTSTATUS s = KsAddItemToObjectBag(pin->Bag, c, StillPinClose);
  if (!NT_SUCCESS(s)) {
    c->~StillPinContext();
    ExFreePoolWithTag(c, kTagContext);
    return s;
  }
  pin->Context = c;
  // A count, not a flag: each filter's still pin adds itself once.
  if (d->effects) {
    InterlockedIncrement(reinterpret_cast<volatile LONG*>(&d->effects->stillPinPresent));
    c->present = 1;
  }
  if (!NT_SUCCESS(ApplyStillFormat(c))) return STATUS_INSUFFICIENT_RESOURCES;
  return EditPinFraming(pin, c->format->bmiHeader.biSizeImage);
}

NTSTATUS StillPinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                               const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
  DeviceContext* d = DeviceContextOf(KsGetDevice(pin));
  if (!d || !d->effects || !LoadSetting(d->effects->captureFormatPresent)) return STATUS_NO_MATCH;
  NTSTATUS s = CheckVideoFormat(pin->ConnectionFormat, range);
  if (!NT_SUCCESS(s)) return s;
  if (oldFormat) {
    StillPinContext* c = ContextOf(pin);
    if (!c) return STATUS_INVALID_DEVICE_STATE;
    if (pin->DeviceState != KSSTATE_STOP) return STATUS_INVALID_DEVICE_STATE;
    if (!NT_SUCCESS(ApplyStillFormat(c))) return STATUS_INSUFFICIENT_RESOURCES;
  }
  return STATUS_SUCCESS;
}

NTSTATUS StillPinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
  StillPinContext* c = ContextOf(pin);
  if (!c) return STATUS_SUCCESS;
  DeviceContext* d = c->device;
  KIRQL irql;
  switch (to) {
    case KSSTATE_ACQUIRE:
      if (from != KSSTATE_STOP) break;
      c->captureFormat = d->captureFormat;
      // Only the owner filter's still pin takes the device's stills.
      if (IsOwner(c)) {
        KeAcquireSpinLock(&d->stillLock, &irql);
        if (!d->stillPin) d->stillPin = c;
        KeReleaseSpinLock(&d->stillLock, irql);
        ProgramEngine(c);
      }
      break;
    case KSSTATE_RUN:
      KeAcquireSpinLock(&d->stillLock, &irql);
      c->running = 1;
      KeReleaseSpinLock(&d->stillLock, irql);
      break;
    case KSSTATE_PAUSE:
      if (from != KSSTATE_RUN) break;
      KeAcquireSpinLock(&d->stillLock, &irql);
      c->running = 0;
      KeReleaseSpinLock(&d->stillLock, irql);
      DropPendingTrigger(c);
      break;
    case KSSTATE_STOP:
      Unregister(c);
      break;
  }
  return STATUS_SUCCESS;
}

NTSTATUS StillPinProcess(PKSPIN pin) {
  StillPinContext* c = ContextOf(pin);
  // The trigger is taken atomically: two triggers before processing
  // deliver one still.
  if (!c || InterlockedExchange(&c->triggerPending, 0) == 0) return STATUS_PENDING;
  DeviceContext* d = c->device;
  StreamEngine* e = d->engine;
  PKSSTREAM_POINTER pointer = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  if (pointer) {
    if (KSSTREAM_HEADER* h = pointer->StreamHeader) {
      const ULONG length = e ? e->stillLength : 0;
      ULONG used = 0;
      // Nothing is written unless the whole still fits.
      if (h->Data && length && e->stillBuffer && h->FrameExtent >= length) {
        RtlCopyMemory(h->Data, e->stillBuffer, length);
        used = length;
      }
      h->DataUsed = used;
      h->OptionsFlags = used ? KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT : 0;
      h->Duration = c->format ? c->format->AvgTimePerFrame : 0;
      h->PresentationTime.Numerator = 1;
      h->PresentationTime.Denominator = 1;
      h->PresentationTime.Time = 0;
    }
    KsStreamPointerUnlock(pointer, TRUE);
  }
  if (d->effects) StoreSetting(d->effects->stillRequestPending, 0);
  ReleaseStill(d);
  return STATUS_PENDING;
}
