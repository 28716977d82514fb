// Creation and release of the USB camera record.
#include "usb/stream_engine.h"

StreamEngine* CreateStreamEngine(KSDEVICE* device) {
  auto* engine = static_cast<StreamEngine*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(StreamEngine), kTagContext));
  if (!engine) return nullptr;
  RtlZeroMemory(engine, sizeof *engine);
  engine->device = device;
  return engine;
}

VOID ReleaseUsbTables(StreamEngine* engine) {
  if (engine->configuration) ExFreePoolWithTag(engine->configuration, kTagBuffer);
  engine->configuration = nullptr;
  engine->configurationLength = 0;
  if (engine->formatTable) ExFreePoolWithTag(engine->formatTable, kTagBuffer);
  engine->formatTable = nullptr;
  engine->formatCount = 0;
  if (engine->stillTable) ExFreePoolWithTag(engine->stillTable, kTagBuffer);
  engine->stillTable = nullptr;
  engine->stillCount = 0;
}

VOID FreeStreamEngine(StreamEngine* engine) {
  if (!engine) return;
  FreeStreamResources(engine);
  ReleaseUsbTables(engine);
  ExFreePoolWithTag(engine, kTagContext);
}

ULONG RawFrameSize(ULONG width, ULONG height) {
  ULONGLONG size = ULONGLONG(width) * height * 2;
  return size > 0xFFFFFFFFull ? 0 : ULONG(size);
}

NTSTATUS CreateStreamResources(StreamEngine* engine, PDEVICE_OBJECT deviceObject,
                               ULONG rawFrameSize, ULONG stillBufferSize) {
  if (!engine || rawFrameSize == 0) return STATUS_INVALID_PARAMETER;
  engine->streamWorkItem = IoAllocateWorkItem(deviceObject);
  engine->statusWorkItem = IoAllocateWorkItem(deviceObject);
  bool ok = engine->streamWorkItem && engine->statusWorkItem &&
            RingCreate(&engine->ring, rawFrameSize) == 0;
  if (ok && stillBufferSize) {
    engine->stillBuffer =
        static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, stillBufferSize, kTagBuffer));
    ok = engine->stillBuffer != nullptr;
    if (ok) RtlZeroMemory(engine->stillBuffer, stillBufferSize);
  }
  if (!ok) {
    FreeStreamResources(engine);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  engine->rawFrameSize = rawFrameSize;
  engine->stillBufferSize = stillBufferSize;
  KeInitializeEvent(&engine->stopEvent, NotificationEvent, FALSE);
  KeInitializeEvent(&engine->streamEvent, NotificationEvent, FALSE);  // set with every committed frame
  return STATUS_SUCCESS;
}

VOID FreeStreamResources(StreamEngine* engine) {
  if (!engine) return;
  if (engine->streamWorkItem) IoFreeWorkItem(engine->streamWorkItem);
  if (engine->statusWorkItem) IoFreeWorkItem(engine->statusWorkItem);
  engine->streamWorkItem = nullptr;
  engine->statusWorkItem = nullptr;
  RingDestroy(&engine->ring);
  if (engine->stillBuffer) ExFreePoolWithTag(engine->stillBuffer, kTagBuffer);
  engine->stillBuffer = nullptr;
  engine->stillBufferSize = 0;
  engine->rawFrameSize = 0;
}
