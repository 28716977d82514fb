// The filter's property sets: the vendor set, the video-compression and
// video-control sets, the camera-control and video-proc-amp sets built at
// device start from the controls the camera reports, and the extension-unit
// set of the filter's topology node. The handlers live in controls/.
#pragma once

#include "platform/wdk.h"

struct EffectState;

// {E97E71FA-3861-4BBF-B542-4B4A3EC5AAB3}
constexpr GUID kVendorControlSet = {0xe97e71fa, 0x3861, 0x4bbf, {0xb5, 0x42, 0x4b, 0x4a, 0x3e, 0xc5, 0xaa, 0xb3}};
// {AAB8F252-8ED1-4972-8CED-96B17F04408B}
constexpr GUID kExtensionUnitSet = {0xaab8f252, 0x8ed1, 0x4972, {0x8c, 0xed, 0x96, 0xb1, 0x7f, 0x04, 0x40, 0x8b}};
constexpr GUID kVideoCompressionSet = {0xc6e13343, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kVideoControlSet = {0x6a2e0670, 0x28e4, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kCameraControlSet = {0xc6e13370, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kVideoProcAmpSet = {0xc6e13360, 0x30ac, 0x11d0, {0xa1, 0x8c, 0x00, 0xa0, 0xc9, 0x11, 0x89, 0x56}};
constexpr GUID kPropTypeSetGeneral = {0x97e99ba0, 0xbdea, 0x11cf, {0xa5, 0xd6, 0x28, 0xdb, 0x04, 0xc1, 0x00, 0x00}};

// The request and data record of every vendor item.
struct VendorControlRequest {
  KSPROPERTY Property;
  ULONG Operation;
  ULONG Index;
  ULONG Value;
  ULONG BufferAddress;
  LONG Result;
  LONG Result2;
  ULONG Reserved[2];
};
static_assert(sizeof(VendorControlRequest) == 56, "vendor request record is 56 bytes");


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

// Handlers (controls/ fills them in).
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
