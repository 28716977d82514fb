// The filter's property sets: the vendor set, the video-compression and
// video-control sets, the camera-control and video-proc-amp sets built at
// device start from the controls the camera reports, and the extension-unit
// set of the filter's topology node. The handlers live in
// driver/property_handlers.cpp.
#pragma once

#include "platform/wdk.h"
#include "public/uvccam_public.h"

struct EffectState;

constexpr GUID kPropTypeSetGeneral = {0x97e99ba0, 0xbdea, 0x11cf, {0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00}};



// A property item with its handlers and minimum sizes, nothing else.
constexpr KSPROPERTY_ITEM PropertyItem(ULONG id, PFNKSHANDLER get, ULONG minProperty, ULONG minData,
                                       PFNKSHANDLER set) {
  KSPROPERTY_ITEM item{};
  item.PropertyId = id;
  item.GetPropertyHandler = get;
  item.MinProperty = minProperty;
  item.MinData = minData;
  item.SetPropertyHandler = set;
  return item;
}

constexpr ULONG kVendorItemCount = 42;
constexpr ULONG kMaxControlItems = 20;

// Items of the camera-control or the proc-amp set, built at device start
// for the controls the camera supports, with their ranges and defaults.
struct ControlItemTable {
  KSPROPERTY_ITEM items[kMaxControlItems];
  KSPROPERTY_VALUES values[kMaxControlItems];
  KSPROPERTY_MEMBERSLIST members[kMaxControlItems][2];
  KSPROPERTY_STEPPING_LONG steppings[kMaxControlItems];
  LONG defaults[kMaxControlItems];
  ULONG count;
};

// Fills the proc-amp table (brightness, sharpness, contrast, saturation,
// hue, gamma, backlight, white balance, power-line frequency) and the
// camera-control table (focus, exposure) from the supported controls.
VOID BuildControlItems(const EffectState* effects, ControlItemTable* procAmp,
                       ControlItemTable* cameraControl);

// The three fixed filter sets (vendor, video compression, video control),
// in this order.
extern const KSPROPERTY_SET kFixedFilterPropertySets[3];
// The node's automation table (the extension-unit set).
extern const KSAUTOMATION_TABLE kExtensionUnitAutomationTable;

// Handlers (driver/property_handlers.cpp).
NTSTATUS VendorControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VendorControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoCompressionGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoProcAmpGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS VideoProcAmpSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS CameraControlGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS CameraControlSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ExtensionUnitGet(PIRP irp, PKSIDENTIFIER request, PVOID data);
NTSTATUS ExtensionUnitSet(PIRP irp, PKSIDENTIFIER request, PVOID data);
