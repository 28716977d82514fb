// Control ranges and settings at device start and stream stop.
#include "driver/device_controls.h"

#include "controls/settings_store.h"

NTSTATUS ReadControlRanges(DeviceContext* c) {
  StreamEngine* e = c->engine;
  CameraControls& controls = c->controls;
  controls.engine = e;
  controls.state = c->effects;
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
  LoadSettings(c->device->PhysicalDeviceObject, c->effects, c->engine);
}

VOID SaveDeviceSettings(DeviceContext* c) {
  if (!c || !c->effects || !c->device) return;
  if (InterlockedExchange(reinterpret_cast<LONG volatile*>(&c->streaming), 0) == 0) return;
  SaveSettings(c->device->PhysicalDeviceObject, c->effects);
}
