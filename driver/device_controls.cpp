// Control ranges and settings at device start and stream stop.
#include "driver/device_controls.h"

#include "controls/settings_store.h"
#include "driver/device_state.h"

NTSTATUS ReadControlRanges(DeviceContext* c) {
  StreamEngine* e = c->engine;
  CameraControls& controls = c->controls;
  controls.engine = e;
  controls.state = c->effects;
  controls.effects = c->effects;
  controls.softwareStillRequest = &c->effects->softwareStillRequest;
  controls.buttonLatch = &c->effects->buttonLatch;
  controls.buttonPolled = &c->effects->buttonPolled;
  controls.downloaded = 0;
  NTSTATUS s = BuildControlRanges(e, &controls.units, c->effects);
  const ControlUnits& u = controls.units;
  e->hasProcessingUnit = u.hasProcessingUnit;
  e->hasCameraTerminal = u.hasCameraTerminal;
  e->processingUnitId = u.hasProcessingUnit ? u.processingUnitId : 0;
  e->cameraTerminalId = u.hasCameraTerminal ? u.cameraTerminalId : 0;
  e->extensionUnitId = u.hasExtensionUnit ? u.extensionUnitId : 0;
  c->streamHooks.controls = &controls;
  return s;
}

VOID RestoreSettings(DeviceContext* c) {
  LoadSettings(c->device->PhysicalDeviceObject, c->effects, c->effects);
  ResetDeviceFlags(c->effects, c->engine);
}

VOID ResetDeviceFlags(DeviceState* s, StreamEngine* engine) {
  StoreSetting(s->buttonPressed, 0);
  StoreSetting(s->captureFormatPresent, 0);
  StoreSetting(s->stillPinPresent, 0);

  IdleRecord& idle = s->idle;
  idle.enable = LoadSetting(s->selectiveSuspend);
  idle.idleAllowed = 1;
  idle.usbTarget = engine && engine->device ? engine->device->NextDeviceObject : nullptr;
  idle.applicationValue = LoadSetting(s->applicationValue);
  idle.idleEvent = engine ? &engine->idleEvent : nullptr;
}

VOID SaveDeviceSettings(DeviceContext* c) {
  if (!c || !c->effects || !c->device) return;
  if (InterlockedExchange(reinterpret_cast<LONG volatile*>(&c->streaming), 0) == 0) return;
  const CHAR* failed = nullptr;
  const NTSTATUS status = SaveSettings(c->device->PhysicalDeviceObject, c->effects, &failed);
  if (!NT_SUCCESS(status))
    DbgPrint("settings: \"%s\" and the values after it not stored (status 0x%08X)\n", failed ? failed : "",
             static_cast<unsigned>(status));
}
