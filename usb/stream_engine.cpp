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
  ReleaseUsbTables(engine);
  ExFreePoolWithTag(engine, kTagContext);
}
