// The filter descriptor, built in the device record at every start: the
// property sets, the topology node, the two pins with their data ranges.
#include "driver/pin_context.h"

namespace {

const GUID kFilterCategories[2] = {kCategoryVideo, kCategoryCapture};

const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, nullptr, nullptr, nullptr};

constexpr KSALLOCATOR_FRAMING_EX MakeFraming() {
  KSALLOCATOR_FRAMING_EX f{};
  f.CountItems = 1;
  f.PinFlags = 0;
  f.OutputCompression = {1, 1, 0};
  f.PinWeight = 0;
  KS_FRAMING_ITEM& i = f.FramingItem[0];
  i.MemoryType = kMemoryTypeKernelNonPaged;
  i.BusType = GUID{};
  i.Flags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  i.Frames = 2;
  i.PhysicalRange = {0, 0xFFFFFFFF, 1};
  i.FramingRange = {{0x2000, 0x2000, 1}, 0, 0};
  return f;
}
constexpr KSALLOCATOR_FRAMING_EX kAllocatorFraming = MakeFraming();

constexpr ULONG kPinFlags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
static_assert(kPinFlags == 0x10010, "pin flags");

KSPIN_DESCRIPTOR_EX PinTemplate(const KSPIN_DISPATCH* dispatch, const KSAUTOMATION_TABLE* automation,
                                const GUID* name, ULONG necessary) {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = dispatch;
  p.AutomationTable = automation;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.PinDescriptor.Communication = KSPIN_COMMUNICATION_BOTH;
  p.PinDescriptor.Category = name;
  p.PinDescriptor.Name = name;
  p.Flags = kPinFlags;
  p.InstancesPossible = 1;
  p.InstancesNecessary = necessary;
  p.AllocatorFraming = &kAllocatorFraming;
  p.IntersectHandler = IntersectHandler;
  return p;
}

}  // namespace

VOID BuildFilterDescriptor(DeviceContext* c) {
  // Property sets: the three fixed ones, then camera control and proc amp
  // when the camera has the unit.
  BuildControlItems(c->effects, &c->procAmpItems, &c->cameraControlItems);
  ULONG n = 0;
  for (const KSPROPERTY_SET& set : kFixedFilterPropertySets) c->propertySets[n++] = set;
  const StreamEngine* e = c->engine;
  if (e && e->hasCameraTerminal)
    c->propertySets[n++] = {&kCameraControlSet, c->cameraControlItems.count,
                            c->cameraControlItems.items, 0, nullptr};
  if (e && e->hasProcessingUnit)
    c->propertySets[n++] = {&kVideoProcAmpSet, c->procAmpItems.count,
                            c->procAmpItems.items, 0, nullptr};
  c->propertySetCount = n;
  c->filterAutomation = {n, sizeof(KSPROPERTY_ITEM), c->propertySets, 0, 40, nullptr, 0, 40, nullptr};
  c->node = {&kExtensionUnitAutomationTable, &kNodeTypeDevSpecific, &kNodeTypeDevSpecific};

  c->pins[kCapturePinId] = PinTemplate(&CapturePinDispatch, &CapturePinAutomationTable,
                                       &kPinNameVideoCapture, 1);
  c->pins[kStillPinId] = PinTemplate(&StillPinDispatch, nullptr, &kPinNameVideoStill, 0);
  c->pins[kCapturePinId].PinDescriptor.DataRangesCount = e ? e->videoRangeCount : 0;
  c->pins[kCapturePinId].PinDescriptor.DataRanges = e ? e->videoRanges : nullptr;
  c->pins[kStillPinId].PinDescriptor.DataRangesCount = e ? e->stillRangeCount : 0;
  c->pins[kStillPinId].PinDescriptor.DataRanges = e ? e->stillRanges : nullptr;

  KSFILTER_DESCRIPTOR& d = c->filterDescriptor;
  d = KSFILTER_DESCRIPTOR{};
  d.Dispatch = &kFilterDispatch;
  d.AutomationTable = &c->filterAutomation;
  d.Version = KSFILTER_DESCRIPTOR_VERSION;
  d.Flags = 0;
  d.ReferenceGuid = &kNameFilter;
  d.PinDescriptorsCount = kPinCount;
  d.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  d.PinDescriptors = c->pins;
  d.CategoriesCount = 2;
  d.Categories = kFilterCategories;
  d.NodeDescriptorsCount = 1;
  d.NodeDescriptorSize = sizeof(KSNODE_DESCRIPTOR);
  d.NodeDescriptors = &c->node;
}
