// The still pin's creation, format acceptance and state change; Trigger.
#include <new>

#include "effects/effect_state.h"
#include "pins/pin_context.h"
#include "usb/format_table.h"

namespace {

StillPinContext* ContextOf(PKSPIN pin) {
  return pin ? static_cast<StillPinContext*>(pin->Context) : nullptr;
}

// Bag free routine: the device forgets the pin before it goes, so that the
// capture pin never triggers a freed still pin.
VOID StillPinClose(PVOID item) {
  auto* c = static_cast<StillPinContext*>(item);
  if (DeviceContext* d = c->device) {
    if (d->effects) StoreSetting(d->effects->stillPinPresent, 0);
    InterlockedCompareExchangePointer(reinterpret_cast<PVOID volatile*>(&d->stillPin), nullptr, c);
  }
  c->~StillPinContext();
  ExFreePoolWithTag(c, kTagContext);
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
  if (StreamEngine* e = c->device->engine) {
    e->stillSize = c->frameSize;
    e->stillWidth = c->width;
    e->stillHeight = c->height;
    FindStillFrameIndex(e->stillTable, e->stillCount, c->width, c->height, &e->stillFrameIndex);
  }
  return STATUS_SUCCESS;
}

}  // namespace

VOID StillPinContext::Trigger(ULONG argument) {
  WriteULongNoFence(&triggerArgument, argument);
  WriteULongNoFence(&triggerPending, 1);
  KsPinAttemptProcessing(pin, FALSE);
}

// Process is added with the still streaming.
const KSPIN_DISPATCH StillPinDispatch = {
    StillPinCreate, nullptr, nullptr, nullptr, StillPinSetDataFormat, StillPinSetDeviceState,
    nullptr,        nullptr, nullptr, nullptr};

NTSTATUS StillPinCreate(PKSPIN pin, PIRP) {
  DeviceContext* d = DeviceContextOf(KsGetDevice(pin));
  if (!d) return STATUS_INVALID_DEVICE_STATE;
  void* memory = ExAllocatePoolWithTag(NonPagedPool, sizeof(StillPinContext), kTagContext);
  if (!memory) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(memory, sizeof(StillPinContext));
  auto* c = new (memory) StillPinContext();
  c->pin = pin;
  c->device = d;
  if (d->effects) StoreSetting(d->effects->stillPinPresent, 1);
  NTSTATUS s = KsAddItemToObjectBag(pin->Bag, c, StillPinClose);
  if (!NT_SUCCESS(s)) {
    if (d->effects) StoreSetting(d->effects->stillPinPresent, 0);
    c->~StillPinContext();
    ExFreePoolWithTag(c, kTagContext);
    return s;
  }
  pin->Context = c;
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
  if (c && to == KSSTATE_ACQUIRE && from == KSSTATE_STOP) {
    c->captureFormat = c->device->captureFormat;
    c->device->stillPin = c;
  }
  return STATUS_SUCCESS;
}
