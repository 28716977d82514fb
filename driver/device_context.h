// The device record: the KS device's context, created in Add and freed with
// the device, and the filter context of each open filter.
#pragma once

#include "controls/camera_controls.h"
#include "controls/property_sets.h"
#include "driver/stream_hooks.h"
#include "platform/wdk.h"
#include "public/uvccam_public.h"
#include "usb/stream_engine.h"

struct EffectState;
struct ColorTables;
struct PinContext;
struct StillPinContext;

constexpr ULONG kFilterPropertySetMax = 5;
constexpr ULONG kPinCount = 2;

struct DeviceContext {
  KSDEVICE* device;
  // 0 = free; 1 = a capture pin holds the camera (compare-and-swap).
  LONG captureSlot;
  PinContext* capturePin;
  StillPinContext* stillPin;  // registered still pin; changed and called under stillLock
  KSPIN_LOCK stillLock;
  // 1 from the capture pin's hand-over of a still to the still pin until
  // the still pin has consumed it (interlocked).
  LONG stillHandedOver;
  KS_VIDEOINFOHEADER* captureFormat;  // the capture pin's format copy, set with the slot
  StreamEngine* engine;
  ULONG streaming;   // 1 while the stream runs for the capture pin
  LONG formatSets;  // accepted capture-pin format changes
  ULONG startFlag;
  UCHAR* workBuffer;
  UCHAR* effectBuffer;
  ULONG frameBufferSize;  // bytes of the work and effect buffers
  EffectState* effects;
  ColorTables* colorTables;
  // Open filter instances. Lives here, not in the engine, so that it
  // survives Stop and Start; changed with interlocked operations only.
  LONG openCount;
  // What the property handlers, the vendor items and the stream restart
  // work on: the engine, the stored values and the camera's units.
  CameraControls controls;
  // What the stream engine's hooks work on (the capture pin installs them).
  StreamHookContext streamHooks;
  ControlItemTable procAmpItems;
  ControlItemTable cameraControlItems;
  KSPROPERTY_SET propertySets[kFilterPropertySetMax];
  ULONG propertySetCount;
  KSNODE_DESCRIPTOR node;
  KSAUTOMATION_TABLE filterAutomation;
  KSFILTER_DESCRIPTOR filterDescriptor;
  KSPIN_DESCRIPTOR_EX pins[kPinCount];
};

// KSFILTER.Context of an open filter (16 bytes, tag KCNw).
struct FilterContext {
  KSFILTER* filter;
  KSDEVICE* device;
};
static_assert(sizeof(FilterContext) == 16, "filter context is two pointers");

inline DeviceContext* DeviceContextOf(PKSDEVICE device) {
  return device ? static_cast<DeviceContext*>(device->Context) : nullptr;
}

// Device dispatch (driver/device_dispatch.cpp).
NTSTATUS DeviceAdd(PKSDEVICE device);
NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                     PCM_RESOURCE_LIST untranslated);
VOID DeviceStop(PKSDEVICE device, PIRP irp);
VOID DeviceSurpriseRemoval(PKSDEVICE device, PIRP irp);
NTSTATUS DeviceQueryCapabilities(PKSDEVICE device, PIRP irp, PDEVICE_CAPABILITIES capabilities);
// Frees whatever Start built and exists now (tolerates partial state) and
// clears every pointer it frees: USB tables, data ranges, still buffer,
// ring, work items, KS worker, device buffers, engine.
VOID ReleaseDeviceResources(DeviceContext* context);

// Power and filter open counting (driver/power.cpp).
NTSTATUS DeviceQueryPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE deviceTo,
                          DEVICE_POWER_STATE deviceFrom, SYSTEM_POWER_STATE systemTo,
                          SYSTEM_POWER_STATE systemFrom, POWER_ACTION action);
VOID DeviceSetPower(PKSDEVICE device, PIRP irp, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from);
NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp);

// The capture pin's stop path, after the stream engine stopped: clears the
// device's streaming flag and, only when it was set (a stream ran), writes
// every setting to the driver key. Call it instead of clearing the flag
// (driver/device_controls.cpp).
VOID SaveDeviceSettings(DeviceContext* context);

extern const KSDEVICE_DESCRIPTOR DeviceDescriptor;
