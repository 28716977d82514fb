// Power: every query is accepted and no action is taken on a change (USB
// requests themselves are held to D0). Filter instances are counted in the
// device record, so that it knows whether any application has the camera.
#include "driver/device_context.h"
#include "driver/device_state.h"

namespace {

// Bag free routine of a filter's context: one open instance fewer; the
// count never goes below zero.
VOID FilterClose(PVOID item) {
  auto* f = static_cast<FilterContext*>(item);
  if (DeviceContext* d = DeviceContextOf(f->device)) {
    LONG old = ReadNoFence(&d->openCount);
    while (old > 0) {
      LONG seen = InterlockedCompareExchange(&d->openCount, old - 1, old);
      if (seen == old) break;
      old = seen;
    }
    if (old <= 1 && d->effects) StoreSetting(d->effects->idle.idleAllowed, 1);
  }
  ExFreePoolWithTag(f, kTagContext);
}

}  // namespace

NTSTATUS DeviceQueryPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE, DEVICE_POWER_STATE,
                          SYSTEM_POWER_STATE, SYSTEM_POWER_STATE, POWER_ACTION) {
  return STATUS_SUCCESS;
}

VOID DeviceSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE, DEVICE_POWER_STATE) {}

NTSTATUS FilterCreate(PKSFILTER filter, PIRP) {
  PKSDEVICE device = KsGetDevice(filter);
  DeviceContext* d = DeviceContextOf(device);
  if (!d) return STATUS_INVALID_DEVICE_STATE;
  auto* f = static_cast<FilterContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(FilterContext), kTagContext));
  if (!f) return STATUS_INSUFFICIENT_RESOURCES;
  f->filter = filter;
  f->device = device;
  NTSTATUS s = KsAddItemToObjectBag(filter->Bag, f, FilterClose);
  if (!NT_SUCCESS(s)) {
    ExFreePoolWithTag(f, kTagContext);
    return s;
  }
  filter->Context = f;
  // Counted only once the open has succeeded.
  InterlockedIncrement(&d->openCount);
  if (d->effects) StoreSetting(d->effects->idle.idleAllowed, 0);
  return STATUS_SUCCESS;
}
