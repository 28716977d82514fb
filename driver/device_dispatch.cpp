// Image entry and device dispatch: Add, Start, Stop, surprise removal and
// capabilities, and the one clean-up routine every failed Start and Stop use.
#include "driver/device_context.h"
#include "driver/stream_hooks.h"
#include "driver/device_controls.h"
#include "effects/effect_state.h"
#include "driver/pin_context.h"
#include "media/color_tables.h"
#include "usb/frame_ring.h"
#include "usb/usb_bringup.h"

namespace {

const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd,     DeviceStart,      nullptr, nullptr,
    nullptr,       DeviceStop,       nullptr, nullptr,
    nullptr,       DeviceQueryCapabilities, DeviceSurpriseRemoval,
    DeviceQueryPower, DeviceSetPower, nullptr};

template <typename T>
VOID FreeAndClear(T*& pointer, ULONG tag) {
  if (pointer) ExFreePoolWithTag(pointer, tag);
  pointer = nullptr;
}

// The device record goes with the device: whatever a Start left is freed too.
VOID FreeDeviceContext(PVOID item) {
  auto* c = static_cast<DeviceContext*>(item);
  ReleaseDeviceResources(c);
  ExFreePoolWithTag(c, kTagContext);
}

PVOID AllocateZeroed(SIZE_T bytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, bytes, kTagBuffer);
  if (p) RtlZeroMemory(p, bytes);
  return p;
}

// Stream resources of the engine (work items, ring, still buffer), the
// capture pin's frame-timer work item and the KS worker.
NTSTATUS CreateStartResources(PKSDEVICE device, StreamEngine* e, ULONG frameBufferSize,
                              ULONG rawFrameSize) {
  NTSTATUS s = CreateStreamResources(e, device->FunctionalDeviceObject, rawFrameSize, frameBufferSize);
  if (!NT_SUCCESS(s)) return s;
  e->frameTimerWorkItem = IoAllocateWorkItem(device->FunctionalDeviceObject);
  if (!e->frameTimerWorkItem) return STATUS_INSUFFICIENT_RESOURCES;
  return KsRegisterWorker(CriticalWorkQueue, &e->worker);
}

// Step 7: the device buffers, kept across a Start that fails later only
// until the clean-up; a buffer smaller than this camera needs is replaced.
NTSTATUS CreateDeviceBuffers(DeviceContext* c, ULONG frameBufferSize) {
  if (!c->effects) c->effects = static_cast<EffectState*>(AllocateZeroed(sizeof(EffectState)));
  if (!c->effects) return STATUS_INSUFFICIENT_RESOURCES;
  c->streamHooks.effects = c->effects;
  if (!c->colorTables) c->colorTables = static_cast<ColorTables*>(AllocateZeroed(sizeof(ColorTables)));
  if (!c->colorTables) return STATUS_INSUFFICIENT_RESOURCES;
  if (c->frameBufferSize < frameBufferSize) {
    FreeAndClear(c->workBuffer, kTagBuffer);
    FreeAndClear(c->effectBuffer, kTagBuffer);
  }
  if (!c->workBuffer) c->workBuffer = static_cast<UCHAR*>(AllocateZeroed(frameBufferSize));
  if (!c->effectBuffer) c->effectBuffer = static_cast<UCHAR*>(AllocateZeroed(frameBufferSize));
  if (!c->workBuffer || !c->effectBuffer) return STATUS_INSUFFICIENT_RESOURCES;
  c->frameBufferSize = frameBufferSize;
  BuildColorTables(c->colorTables);
  SpecialEffectRecord& special = c->effects->special;
  FreeAndClear(special.overlayBitmap, kTagBuffer);
  RtlZeroMemory(&special, sizeof special);
  special.overlayBitmap = static_cast<UCHAR*>(AllocateZeroed(frameBufferSize));
  if (!special.overlayBitmap) return STATUS_INSUFFICIENT_RESOURCES;
  special.overlayBitmapSize = frameBufferSize;
  return STATUS_SUCCESS;
}

// The reference string of the filter factory (the kit takes it writable).
WCHAR kFilterReference[] = UVCCAM_WIDE("GLOBAL");

}  // namespace

const KSDEVICE_DESCRIPTOR DeviceDescriptor = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  return KsInitializeDriver(driverObject, registryPath, &DeviceDescriptor);
}

NTSTATUS DeviceAdd(PKSDEVICE device) {
  auto* c = static_cast<DeviceContext*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(DeviceContext), kTagContext));
  if (!c) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(c, sizeof *c);
  c->device = device;
  KeInitializeSpinLock(&c->stillLock);
  KsAcquireDevice(device);
  NTSTATUS s = KsAddItemToObjectBag(device->Bag, c, FreeDeviceContext);
  KsReleaseDevice(device);
  if (!NT_SUCCESS(s)) {
    ExFreePoolWithTag(c, kTagContext);
    return s;
  }
  device->Context = c;
  return STATUS_SUCCESS;
}

VOID ReleaseDeviceResources(DeviceContext* c) {
  if (!c) return;
  StreamEngine* e = c->engine;
  if (e) {
    WriteULongNoFence(&e->removed, 1);
    FreeDataRanges(e);
    ReleaseUsbTables(e);
    FreeStreamResources(e);
    if (e->frameTimerWorkItem) IoFreeWorkItem(e->frameTimerWorkItem);
    e->frameTimerWorkItem = nullptr;
    if (e->worker) KsUnregisterWorker(e->worker);
    e->worker = nullptr;
    RemoveStreamHooks(e);
  }
  c->controls = CameraControls{};
  c->streamHooks = StreamHookContext{};
  // Effect and buffer records, whether or not an engine exists.
  if (c->effects) FreeAndClear(c->effects->special.overlayBitmap, kTagBuffer);
  FreeAndClear(c->effects, kTagBuffer);
  FreeAndClear(c->colorTables, kTagBuffer);
  FreeAndClear(c->workBuffer, kTagBuffer);
  FreeAndClear(c->effectBuffer, kTagBuffer);
  c->frameBufferSize = 0;
  if (e) FreeStreamEngine(e);
  c->engine = nullptr;
}

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  DeviceContext* c = DeviceContextOf(device);
  if (!c) return STATUS_INVALID_DEVICE_STATE;
  c->startFlag = 0;
  if (device->Started) return STATUS_SUCCESS;
  ReleaseDeviceResources(c);  // nothing is left from an earlier start, normally

  StreamEngine* e = CreateStreamEngine(device);
  if (!e) return STATUS_INSUFFICIENT_RESOURCES;
  c->engine = e;
  NTSTATUS s = BringUpUsb(e, nullptr);
  if (NT_SUCCESS(s)) s = BuildDataRanges(e);
  ULONG frameBufferSize = 0, rawFrameSize = 0;
  if (NT_SUCCESS(s)) {
    ComputeFrameSizes(e, &frameBufferSize, &rawFrameSize);
    // A camera none of whose formats the pipeline takes cannot stream.
    if (!frameBufferSize || !e->videoRangeCount) s = STATUS_UNSUCCESSFUL;
  }
  if (NT_SUCCESS(s)) s = CreateStartResources(device, e, frameBufferSize, rawFrameSize);
  if (NT_SUCCESS(s)) s = CreateDeviceBuffers(c, frameBufferSize);
  if (NT_SUCCESS(s)) s = ReadControlRanges(c);
  if (NT_SUCCESS(s)) RestoreSettings(c);
  if (NT_SUCCESS(s)) {
    KsAcquireDevice(device);
    BuildFilterDescriptor(c);
    s = KsCreateFilterFactory(device->FunctionalDeviceObject, &c->filterDescriptor,
                              kFilterReference, nullptr, KSCREATE_ITEM_FREEONSTOP, nullptr,
                              nullptr, nullptr);
    KsReleaseDevice(device);
  }
  if (!NT_SUCCESS(s)) ReleaseDeviceResources(c);
  return s;
}

VOID DeviceStop(PKSDEVICE device, PIRP) { ReleaseDeviceResources(DeviceContextOf(device)); }

VOID DeviceSurpriseRemoval(PKSDEVICE device, PIRP) {
  DeviceContext* c = DeviceContextOf(device);
  if (c && c->engine) WriteULongNoFence(&c->engine->removed, 1);
}

NTSTATUS DeviceQueryCapabilities(PKSDEVICE, PIRP, PDEVICE_CAPABILITIES capabilities) {
  if (capabilities) capabilities->SurpriseRemovalOK = 1;
  return STATUS_SUCCESS;
}
