// Property-set tables of the filter and its node, and the items of the
// camera-control and proc-amp sets built from the camera's controls.
#include "controls/property_sets.h"

#include "controls/control_settings.h"

namespace {

constexpr ULONG kVendorIds[kVendorItemCount] = {
    0,  1,  2,  3,  4,  5,  6,  7,  8,  9,  10,  11,  12,  13,  14,  15,  16,  17,  18,  19,  20,
    21, 22, 23, 24, 48, 64, 65, 66, 67, 68, 80, 224, 225, 226, 234, 236, 240, 241, 253, 254, 255};

constexpr KSPROPERTY_ITEM VendorItem(ULONG id) {
  return PropertyItem(id, VendorControlGet, sizeof(VendorControlRequest), sizeof(VendorControlRequest),
                      VendorControlSet);
}

struct VendorItems {
  KSPROPERTY_ITEM items[kVendorItemCount];
  constexpr VendorItems() : items() {
    for (ULONG i = 0; i < kVendorItemCount; ++i) items[i] = VendorItem(kVendorIds[i]);
  }
};
constexpr VendorItems kVendorItems;

const KSPROPERTY_ITEM kVideoCompressionItems[] = {
    PropertyItem(0, VideoCompressionGet, 48, 48, nullptr),  // GETINFO
};
const KSPROPERTY_ITEM kVideoControlItems[] = {
    PropertyItem(0, VideoControlGet, 32, 32, nullptr),          // CAPS
    PropertyItem(1, VideoControlGet, 56, 56, nullptr),          // ACTUAL_FRAME_RATE
    PropertyItem(2, VideoControlGet, 40, 0, nullptr),           // FRAME_RATES
    PropertyItem(3, VideoControlGet, 32, 32, VideoControlSet),  // MODE
};
const KSPROPERTY_ITEM kExtensionUnitItems[] = {
    PropertyItem(1, ExtensionUnitGet, sizeof(KSP_NODE), 3, ExtensionUnitSet),
    PropertyItem(2, ExtensionUnitGet, sizeof(KSP_NODE), 3, ExtensionUnitSet),
};
const KSPROPERTY_SET kExtensionUnitSets[] = {
    {&kExtensionUnitSet, 2, kExtensionUnitItems, 0, nullptr},
};

struct ControlSource {
  ULONG id;
  const ControlValue* value;
};

VOID AddItem(ControlItemTable* t, ULONG id, const ControlValue& v, PFNKSHANDLER get,
             PFNKSHANDLER set) {
  if (!v.Supported || t->count >= kMaxControlItems) return;
  ULONG i = t->count++;
  t->steppings[i] = {ULONG(v.Step), 0, v.Minimum, v.Maximum};
  t->defaults[i] = v.Default;
  t->members[i][0] = {KSPROPERTY_MEMBER_STEPPEDRANGES, sizeof(KSPROPERTY_STEPPING_LONG), 1, 0,
                      &t->steppings[i]};
  t->members[i][1] = {KSPROPERTY_MEMBER_VALUES, sizeof(LONG), 1, KSPROPERTY_MEMBER_FLAG_DEFAULT,
                      &t->defaults[i]};
  t->values[i].PropTypeSet.Set = kPropTypeSetGeneral;
  t->values[i].PropTypeSet.Id = VT_I4;
  t->values[i].PropTypeSet.Flags = 0;
  t->values[i].MembersListCount = 2;
  t->values[i].MembersList = t->members[i];
  t->items[i] = PropertyItem(id, get, sizeof(KSPROPERTY_VIDEOPROCAMP_S),
                             sizeof(KSPROPERTY_VIDEOPROCAMP_S), set);
  t->items[i].Values = &t->values[i];
}

}  // namespace

const KSPROPERTY_SET kFixedFilterPropertySets[3] = {
    {&kVendorControlSet, kVendorItemCount, kVendorItems.items, 0, nullptr},
    {&kVideoCompressionSet, 1, kVideoCompressionItems, 0, nullptr},
    {&kVideoControlSet, 4, kVideoControlItems, 0, nullptr},
};

const KSAUTOMATION_TABLE kExtensionUnitAutomationTable = {
    1, sizeof(KSPROPERTY_ITEM), kExtensionUnitSets, 0, 40, nullptr, 0, 40, nullptr};

VOID BuildControlItems(const ControlSettings* e, ControlItemTable* procAmp,
                       ControlItemTable* cameraControl) {
  procAmp->count = 0;
  cameraControl->count = 0;
  if (!e) return;
  const ControlSource procAmpOrder[] = {
      {0, &e->brightness}, {4, &e->sharpness}, {1, &e->contrast},
      {3, &e->saturation}, {2, &e->hue},       {5, &e->gamma},
      {8, &e->backlightCompensation},          {7, &e->whiteBalanceTemperature},
      {13, &e->powerLineFrequency},
  };
  for (const ControlSource& c : procAmpOrder)
    AddItem(procAmp, c.id, *c.value, VideoProcAmpGet, VideoProcAmpSet);
  AddItem(cameraControl, 6, e->focus, CameraControlGet, CameraControlSet);
  AddItem(cameraControl, 4, e->exposure, CameraControlGet, CameraControlSet);
}
