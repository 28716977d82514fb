// The capture pin's creation, format acceptance and state changes as far as
// the capture slot; its property items (dropped frames, allocator framing).
#include <new>

#include "effects/effect_state.h"
#include "pins/pin_context.h"
#include "usb/format_table.h"

namespace {

VOID TickDpc(PKDPC, PVOID context, PVOID, PVOID) { static_cast<PinContext*>(context)->Tick(); }

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
    ReleaseSlot(c);
    if (d->effects) StoreSetting(d->effects->captureFormatPresent, 0);
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

bool IsOwner(const PinContext* c) {
  StreamEngine* e = c->device ? c->device->engine : nullptr;
  return e && c->filter &&
         ReadPointerNoFence(reinterpret_cast<PVOID const volatile*>(&e->ownerFilter)) == c->filter;
}

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
  ULONG frameSize = 0;
  if (!OutputFrameSize(width, height, subtype, &frameSize)) s = STATUS_INVALID_PARAMETER;
  if (NT_SUCCESS(s) && IsOwner(c)) s = SelectFormat(c->device->engine, width, height, subtype);
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
  if (c->device->effects) StoreSetting(c->device->effects->captureFormatPresent, 1);
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
  out->PictureNumber = ReadULongNoFence(&c->ticks);
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

}  // namespace

VOID PinContext::Tick() {
  KsPinAttemptProcessing(pin, FALSE);
  StreamEngine* e = device ? device->engine : nullptr;
  if (e && !ReadULongNoFence(&e->removed)) {
    ULONG t = ReadULongNoFence(&ticks) + 1;
    WriteULongNoFence(&ticks, t);
    ULONG d = ReadULongNoFence(&delivered);
    if (t != d) WriteULongNoFence(&dropped, t - d);
  } else {
    WriteULongNoFence(&timerStop, 1);
  }
}

const KSAUTOMATION_TABLE CapturePinAutomationTable = {
    2, sizeof(KSPROPERTY_ITEM), kCapturePinSets, 0, 40, nullptr, 0, 40, nullptr};

// Process is added with the capture streaming.
const KSPIN_DISPATCH CapturePinDispatch = {
    CapturePinCreate,        nullptr, nullptr, nullptr, CapturePinSetDataFormat,
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
      // From PAUSE: the stream-stop routine runs here (capture streaming).
      SaveDeviceSettings(d);
      return FlushClones(pin);
    case KSSTATE_PAUSE:
      // From RUN: the frame timer and the stream stop here (capture streaming).
      return STATUS_SUCCESS;
    case KSSTATE_RUN:
      if (!IsOwner(c)) return STATUS_UNSUCCESSFUL;
      WriteULongNoFence(&c->dropped, 0);
      WriteULongNoFence(&c->ticks, 0);
      WriteULongNoFence(&c->delivered, 0);
      WriteULongNoFence(&c->discontinuity, 0);
      // The stream start and the frame timer follow here (capture streaming).
      return STATUS_SUCCESS;
    case KSSTATE_STOP: {
      NTSTATUS s = FlushClones(pin);
      ReleaseSlot(c);
      return s;
    }
  }
  return STATUS_SUCCESS;
}
