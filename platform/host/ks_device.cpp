// The host kernel-streaming class driver: driver registration, device
// objects and PnP, object bags, _KsEdit, filter factories, filter and pin
// instances, data formats, intersection and state transitions.
#include <cstdio>
#include <cstdlib>
#include <map>

#include "platform/host/ks_internal.h"

namespace host {
namespace ks {

namespace {

std::mutex gDriversLock;
std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*>& Drivers() {
  static auto* m = new std::map<PDRIVER_OBJECT, const KSDEVICE_DESCRIPTOR*>;
  return *m;
}

[[noreturn]] void Fatal(const char* what) {
  std::fprintf(stderr, "host KS: %s\n", what);
  std::abort();
}

NTSTATUS FdoNotSupported(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_NOT_SUPPORTED;
}

DRIVER_OBJECT* PlainDriver() {
  static DRIVER_OBJECT* d = [] {
    auto* drv = new DRIVER_OBJECT;
    std::memset(drv, 0, sizeof *drv);
    drv->Type = IO_TYPE_DRIVER;
    for (auto& f : drv->MajorFunction) f = FdoNotSupported;
    return drv;
  }();
  return d;
}

const KSPIN_DESCRIPTOR_EX* PinDescriptor(const KSFILTER_DESCRIPTOR* d, ULONG id) {
  return reinterpret_cast<const KSPIN_DESCRIPTOR_EX*>(
      reinterpret_cast<const char*>(d->PinDescriptors) + size_t(id) * d->PinDescriptorSize);
}

// The wildcard GUIDs a data range may carry.
constexpr GUID kWildcardType = {0x00000000, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};
constexpr GUID kWildcardSpecifier = {0x0000000f, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xaa, 0x00, 0x38, 0x9b, 0x71}};

bool GuidFits(const GUID& range, const GUID& requested) {
  return IsEqualGUID(range, requested) || IsEqualGUID(range, kWildcardType) ||
         IsEqualGUID(range, kWildcardSpecifier);
}

bool RangeFits(const KSDATARANGE* range, const KSDATARANGE* requested) {
  return GuidFits(range->MajorFormat, requested->MajorFormat) &&
         GuidFits(range->SubFormat, requested->SubFormat) &&
         GuidFits(range->Specifier, requested->Specifier);
}

bool FormatWithin(const KSDATAFORMAT* format, ULONG size) {
  return format && size >= sizeof(KSDATAFORMAT) && format->FormatSize >= sizeof(KSDATAFORMAT) &&
         format->FormatSize <= size;
}

}  // namespace

HostIrp::HostIrp(void* object) {
  std::memset(&irp, 0, sizeof irp);
  std::memset(stack, 0, sizeof stack);
  irp.Type = IO_TYPE_IRP;
  irp.StackCount = 1;
  irp.CurrentLocation = 1;
  irp.Tail.Overlay.CurrentStackLocation = &stack[0];
  stack[0].FileObject = object ? HeaderOf(object) : nullptr;
}

ObjectHeader* HeaderOf(const void* object) {
  if (!object) Fatal("null object");
  auto* h = reinterpret_cast<ObjectHeader*>(const_cast<char*>(static_cast<const char*>(object)) -
                                            sizeof(ObjectHeader));
  if (h->magic != kObjectMagic) Fatal("not a KS object");
  return h;
}

HostDevice* DeviceOf(PKSDEVICE device) {
  ObjectHeader* h = HeaderOf(device);
  if (h->kind != Kind::Device) Fatal("not a KS device");
  return static_cast<HostDevice*>(h->owner);
}
HostFilter* FilterOf(PKSFILTER filter) {
  ObjectHeader* h = HeaderOf(filter);
  if (h->kind != Kind::Filter) Fatal("not a KS filter");
  return static_cast<HostFilter*>(h->owner);
}
HostPin* PinOf(PKSPIN pin) {
  ObjectHeader* h = HeaderOf(pin);
  if (h->kind != Kind::Pin) Fatal("not a KS pin");
  return static_cast<HostPin*>(h->owner);
}

template <typename T>
void InitHeader(T* record, Kind kind) {
  if (reinterpret_cast<char*>(&record->ks) - reinterpret_cast<char*>(&record->header) !=
      sizeof(ObjectHeader))
    Fatal("object layout");
  record->header.magic = kObjectMagic;
  record->header.kind = kind;
  record->header.owner = record;
}

void FreeBag(Bag* bag) {
  BagEntry* e;
  {
    std::lock_guard<std::mutex> g(bag->lock);
    e = bag->head;
    bag->head = nullptr;
  }
  while (e) {
    BagEntry* next = e->next;
    if (e->free)
      e->free(e->item);
    else
      ExFreePoolWithTag(e->item, 0);
    ExFreePoolWithTag(e, kTagBagItem);
    e = next;
  }
}

namespace {

void FreeFactories(HostDevice* d, bool onlyFreeOnStop) {
  std::lock_guard<std::mutex> g(d->objects);
  for (auto it = d->factories.begin(); it != d->factories.end();) {
    if (!onlyFreeOnStop || ((*it)->flags & KSCREATE_ITEM_FREEONSTOP)) {
      PoolDelete(*it);
      it = d->factories.erase(it);
    } else {
      ++it;
    }
  }
}

HostDevice* NewDevice(PDEVICE_OBJECT nextDevice) {
  auto* d = new HostDevice;
  InitHeader(d, Kind::Device);
  std::memset(&d->ks, 0, sizeof d->ks);
  std::memset(&d->fdo, 0, sizeof d->fdo);
  d->fdo.Type = IO_TYPE_DEVICE;
  d->fdo.DriverObject = PlainDriver();
  d->fdo.DeviceExtension = d;
  d->fdo.StackSize = CCHAR((nextDevice ? nextDevice->StackSize : 0) + 1);
  d->ks.Bag = &d->bag;
  d->ks.FunctionalDeviceObject = &d->fdo;
  d->ks.PhysicalDeviceObject = nextDevice;
  d->ks.NextDeviceObject = nextDevice;
  d->ks.Started = FALSE;
  d->ks.SystemPowerState = PowerSystemWorking;
  d->ks.DevicePowerState = PowerDeviceD0;
  return d;
}

const KSDEVICE_DISPATCH* Dispatch(HostDevice* d) {
  return d->ks.Descriptor ? d->ks.Descriptor->Dispatch : nullptr;
}

}  // namespace

}  // namespace ks
}  // namespace host

using namespace host::ks;

// ---- kernel-streaming calls of the driver ----

NTSTATUS KsInitializeDriver(PDRIVER_OBJECT DriverObject, PUNICODE_STRING,
                            const KSDEVICE_DESCRIPTOR* Descriptor) {
  if (!DriverObject || !Descriptor) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::mutex> g(gDriversLock);
  Drivers()[DriverObject] = Descriptor;
  return STATUS_SUCCESS;
}

VOID KsAcquireDevice(PKSDEVICE Device) {
  if (KeGetCurrentIrql() != PASSIVE_LEVEL) Fatal("KsAcquireDevice above PASSIVE_LEVEL");
  HostDevice* h = DeviceOf(Device);
  h->mutex.lock();
  h->depth.fetch_add(1);
  h->acquisitions.fetch_add(1);
}

VOID KsReleaseDevice(PKSDEVICE Device) {
  HostDevice* h = DeviceOf(Device);
  if (h->depth.load() <= 0) Fatal("KsReleaseDevice without KsAcquireDevice");
  h->depth.fetch_sub(1);
  h->mutex.unlock();
}

PKSDEVICE KsGetDevice(PVOID Object) {
  ObjectHeader* h = HeaderOf(Object);
  switch (h->kind) {
    case Kind::Device: return &static_cast<HostDevice*>(h->owner)->ks;
    case Kind::Filter: return &static_cast<HostFilter*>(h->owner)->device->ks;
    case Kind::Pin: return &static_cast<HostPin*>(h->owner)->filter->device->ks;
  }
  return nullptr;
}

PKSFILTER KsGetFilterFromIrp(PIRP Irp) {
  if (!Irp || !Irp->Tail.Overlay.CurrentStackLocation) return nullptr;
  auto* h = static_cast<ObjectHeader*>(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (!h || h->magic != kObjectMagic) return nullptr;
  if (h->kind == Kind::Filter) return &static_cast<HostFilter*>(h->owner)->ks;
  if (h->kind == Kind::Pin) return &static_cast<HostPin*>(h->owner)->filter->ks;
  return nullptr;
}

PKSPIN KsGetPinFromIrp(PIRP Irp) {
  if (!Irp || !Irp->Tail.Overlay.CurrentStackLocation) return nullptr;
  auto* h = static_cast<ObjectHeader*>(IoGetCurrentIrpStackLocation(Irp)->FileObject);
  if (!h || h->magic != kObjectMagic || h->kind != Kind::Pin) return nullptr;
  return &static_cast<HostPin*>(h->owner)->ks;
}

NTSTATUS KsAddItemToObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, PFNKSFREE Free) {
  if (!ObjectBag || !Item) return STATUS_INVALID_PARAMETER;
  auto* e = static_cast<BagEntry*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(BagEntry), kTagBagItem));
  if (!e) return STATUS_INSUFFICIENT_RESOURCES;
  auto* bag = static_cast<Bag*>(ObjectBag);
  std::lock_guard<std::mutex> g(bag->lock);
  e->item = Item;
  e->free = Free;
  e->next = bag->head;
  bag->head = e;
  return STATUS_SUCCESS;
}

ULONG KsRemoveItemFromObjectBag(KSOBJECT_BAG ObjectBag, PVOID Item, BOOLEAN Free) {
  if (!ObjectBag || !Item) return 0;
  auto* bag = static_cast<Bag*>(ObjectBag);
  BagEntry* found = nullptr;
  {
    std::lock_guard<std::mutex> g(bag->lock);
    for (BagEntry** p = &bag->head; *p; p = &(*p)->next) {
      if ((*p)->item == Item) {
        found = *p;
        *p = found->next;
        break;
      }
    }
  }
  if (!found) return 0;
  if (Free) {
    if (found->free)
      found->free(found->item);
    else
      ExFreePoolWithTag(found->item, 0);
  }
  ExFreePoolWithTag(found, kTagBagItem);
  return 1;
}

NTSTATUS _KsEdit(KSOBJECT_BAG ObjectBag, PVOID* PointerToPointerToItem, ULONG NewSize,
                 ULONG OldSize, ULONG Tag) {
  if (!ObjectBag || !PointerToPointerToItem || !NewSize) return STATUS_INVALID_PARAMETER;
  auto* copy = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, NewSize, Tag));
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(copy, 0, NewSize);
  PVOID old = *PointerToPointerToItem;
  if (old) std::memcpy(copy, old, OldSize < NewSize ? OldSize : NewSize);
  NTSTATUS s = KsAddItemToObjectBag(ObjectBag, copy, nullptr);
  if (!NT_SUCCESS(s)) {
    ExFreePoolWithTag(copy, Tag);
    return s;
  }
  *PointerToPointerToItem = copy;
  if (old) KsRemoveItemFromObjectBag(ObjectBag, old, TRUE);  // only when the bag owns it
  return STATUS_SUCCESS;
}

NTSTATUS KsCreateFilterFactory(PDEVICE_OBJECT DeviceObject, const KSFILTER_DESCRIPTOR* Descriptor,
                               PCWSTR RefString, PSECURITY_DESCRIPTOR, ULONG CreateItemFlags,
                               PVOID, PVOID, PKSFILTERFACTORY* FilterFactory) {
  if (!DeviceObject || !DeviceObject->DeviceExtension || !Descriptor)
    return STATUS_INVALID_PARAMETER;
  auto* d = static_cast<HostDevice*>(DeviceObject->DeviceExtension);
  auto* f = PoolNew<HostFactory>();
  if (!f) return STATUS_INSUFFICIENT_RESOURCES;
  f->descriptor = Descriptor;
  f->reference = RefString ? std::u16string(RefString) : std::u16string();
  f->flags = CreateItemFlags;
  {
    std::lock_guard<std::mutex> g(d->objects);
    d->factories.push_back(f);
  }
  if (FilterFactory) *FilterFactory = f;
  return STATUS_SUCCESS;
}

// ---- PnP and application side ----

namespace host {

PKSDEVICE CreateKsDevice(PDEVICE_OBJECT nextDevice) { return &ks::NewDevice(nextDevice)->ks; }

int KsDeviceMutexDepth(PKSDEVICE device) { return DeviceOf(device)->depth.load(); }
uint64_t KsDeviceMutexAcquisitions(PKSDEVICE device) { return DeviceOf(device)->acquisitions.load(); }

const KSDEVICE_DESCRIPTOR* KsDriverDescriptor(PDRIVER_OBJECT driver) {
  std::lock_guard<std::mutex> g(gDriversLock);
  auto it = Drivers().find(driver);
  return it == Drivers().end() ? nullptr : it->second;
}

NTSTATUS KsAddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT nextDevice, PKSDEVICE* device) {
  *device = nullptr;
  const KSDEVICE_DESCRIPTOR* descriptor = KsDriverDescriptor(driver);
  if (!descriptor) return STATUS_INVALID_PARAMETER;
  HostDevice* d = ks::NewDevice(nextDevice);
  d->driver = driver;
  d->fdo.DriverObject = driver;
  d->ks.Descriptor = descriptor;
  NTSTATUS s = STATUS_SUCCESS;
  if (descriptor->Dispatch && descriptor->Dispatch->Add) s = descriptor->Dispatch->Add(&d->ks);
  if (!NT_SUCCESS(s)) {
    FreeBag(&d->bag);
    delete d;
    return s;
  }
  d->added = true;
  *device = &d->ks;
  return STATUS_SUCCESS;
}

NTSTATUS KsStartDevice(PKSDEVICE device) {
  HostDevice* d = DeviceOf(device);
  const KSDEVICE_DISPATCH* dispatch = Dispatch(d);
  NTSTATUS s = STATUS_SUCCESS;
  if (dispatch && dispatch->Start) {
    HostIrp irp(nullptr);
    s = dispatch->Start(device, &irp.irp, nullptr, nullptr);
  }
  if (NT_SUCCESS(s)) {
    device->Started = TRUE;
  } else {
    FreeFactories(d, false);  // a failed start leaves no create items behind
  }
  return s;
}

NTSTATUS KsStopDevice(PKSDEVICE device) {
  HostDevice* d = DeviceOf(device);
  {
    std::lock_guard<std::mutex> g(d->objects);
    if (!d->filters.empty()) return STATUS_DEVICE_BUSY;
  }
  const KSDEVICE_DISPATCH* dispatch = Dispatch(d);
  if (dispatch && dispatch->Stop) {
    HostIrp irp(nullptr);
    dispatch->Stop(device, &irp.irp);
  }
  device->Started = FALSE;
  FreeFactories(d, true);
  return STATUS_SUCCESS;
}

void KsSurpriseRemoveDevice(PKSDEVICE device) {
  HostDevice* d = DeviceOf(device);
  {
    std::lock_guard<std::mutex> g(d->objects);
    d->removed = true;
  }
  const KSDEVICE_DISPATCH* dispatch = Dispatch(d);
  if (dispatch && dispatch->SurpriseRemoval) {
    HostIrp irp(nullptr);
    dispatch->SurpriseRemoval(device, &irp.irp);
  }
}

NTSTATUS KsQueryCapabilities(PKSDEVICE device, DEVICE_CAPABILITIES* capabilities) {
  const KSDEVICE_DISPATCH* dispatch = Dispatch(DeviceOf(device));
  if (!dispatch || !dispatch->QueryCapabilities) return STATUS_SUCCESS;
  HostIrp irp(nullptr);
  return dispatch->QueryCapabilities(device, &irp.irp, capabilities);
}

NTSTATUS KsQueryPower(PKSDEVICE device, DEVICE_POWER_STATE to) {
  const KSDEVICE_DISPATCH* dispatch = Dispatch(DeviceOf(device));
  if (!dispatch || !dispatch->QueryPower) return STATUS_SUCCESS;
  HostIrp irp(nullptr);
  return dispatch->QueryPower(device, &irp.irp, to, device->DevicePowerState, PowerSystemWorking,
                              device->SystemPowerState, PowerActionNone);
}

std::vector<std::u16string> KsFactories(PKSDEVICE device) {
  HostDevice* d = DeviceOf(device);
  std::lock_guard<std::mutex> g(d->objects);
  std::vector<std::u16string> out;
  for (auto* f : d->factories) out.push_back(f->reference);
  return out;
}

void DestroyKsDevice(PKSDEVICE device) {
  if (!device) return;
  HostDevice* d = DeviceOf(device);
  if (d->depth.load() != 0) Fatal("device destroyed with its mutex held");
  for (;;) {
    PKSFILTER f = nullptr;
    {
      std::lock_guard<std::mutex> g(d->objects);
      if (!d->filters.empty()) f = &d->filters.back()->ks;
    }
    if (!f) break;
    KsCloseFilter(f);
  }
  if (device->Started) KsStopDevice(device);
  const KSDEVICE_DISPATCH* dispatch = Dispatch(d);
  if (d->added && dispatch && dispatch->Remove) {
    HostIrp irp(nullptr);
    dispatch->Remove(device, &irp.irp);
  }
  FreeFactories(d, false);
  FreeBag(&d->bag);
  delete d;
}

NTSTATUS KsOpenFilter(PKSDEVICE device, const char16_t* reference, PKSFILTER* filter) {
  *filter = nullptr;
  HostDevice* d = DeviceOf(device);
  const KSFILTER_DESCRIPTOR* descriptor = nullptr;
  {
    std::lock_guard<std::mutex> g(d->objects);
    if (d->removed) return STATUS_NO_SUCH_DEVICE;
    for (auto* f : d->factories)
      if (f->reference == (reference ? reference : u"")) descriptor = f->descriptor;
  }
  if (!descriptor) return STATUS_OBJECT_NAME_NOT_FOUND;
  auto* f = PoolNew<HostFilter>();
  if (!f) return STATUS_INSUFFICIENT_RESOURCES;
  InitHeader(f, Kind::Filter);
  f->device = d;
  f->ks.Descriptor = descriptor;
  f->ks.Bag = &f->bag;
  f->ks.Context = nullptr;
  NTSTATUS s = STATUS_SUCCESS;
  if (descriptor->Dispatch && descriptor->Dispatch->Create) {
    HostIrp irp(&f->ks);
    KsAcquireDevice(device);
    s = descriptor->Dispatch->Create(&f->ks, &irp.irp);
    KsReleaseDevice(device);
  }
  if (!NT_SUCCESS(s)) {
    FreeBag(&f->bag);
    PoolDelete(f);
    return s;
  }
  {
    std::lock_guard<std::mutex> g(d->objects);
    d->filters.push_back(f);
  }
  *filter = &f->ks;
  return STATUS_SUCCESS;
}

void KsCloseFilter(PKSFILTER filter) {
  HostFilter* f = FilterOf(filter);
  for (;;) {
    PKSPIN pin = nullptr;
    {
      std::lock_guard<std::recursive_mutex> g(f->control);
      if (!f->pins.empty()) pin = &f->pins.back()->ks;
    }
    if (!pin) break;
    KsClosePin(pin);
  }
  const KSFILTER_DESCRIPTOR* descriptor = filter->Descriptor;
  if (descriptor->Dispatch && descriptor->Dispatch->Close) {
    HostIrp irp(filter);
    descriptor->Dispatch->Close(filter, &irp.irp);
  }
  {
    std::lock_guard<std::mutex> g(f->device->objects);
    auto& v = f->device->filters;
    for (auto it = v.begin(); it != v.end(); ++it)
      if (*it == f) {
        v.erase(it);
        break;
      }
  }
  FreeBag(&f->bag);
  PoolDelete(f);
}

ULONG KsPinInstances(PKSFILTER filter, ULONG pinId) {
  HostFilter* f = FilterOf(filter);
  std::lock_guard<std::recursive_mutex> g(f->control);
  ULONG n = 0;
  for (auto* p : f->pins) n += p->ks.Id == pinId;
  return n;
}

NTSTATUS KsIntersect(PKSFILTER filter, ULONG pinId, const KSDATARANGE* range, ULONG rangeSize,
                     PVOID data, ULONG dataSize, ULONG* returned) {
  *returned = 0;
  const KSFILTER_DESCRIPTOR* fd = filter->Descriptor;
  if (pinId >= fd->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  if (!FormatWithin(range, rangeSize)) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(fd, pinId);
  if (!pd->IntersectHandler) return STATUS_NOT_IMPLEMENTED;
  // The handler reads the caller's range through its own copy, exactly
  // FormatSize bytes long, and writes into a buffer exactly dataSize long.
  std::vector<uint8_t> copy(reinterpret_cast<const uint8_t*>(range),
                            reinterpret_cast<const uint8_t*>(range) + range->FormatSize);
  std::vector<uint8_t> out(dataSize);
  KSP_PIN request{};
  request.PinId = pinId;
  ks::HostIrp irp(filter);
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE candidate = pd->PinDescriptor.DataRanges[i];
    if (!RangeFits(candidate, reinterpret_cast<KSDATARANGE*>(copy.data()))) continue;
    ULONG size = 0;
    NTSTATUS s = pd->IntersectHandler(filter, &irp.irp, &request,
                                      reinterpret_cast<KSDATARANGE*>(copy.data()), candidate,
                                      dataSize, dataSize ? out.data() : nullptr, &size);
    if (s == STATUS_NO_MATCH) continue;
    *returned = size;
    if (NT_SUCCESS(s) && dataSize) std::memcpy(data, out.data(), size < dataSize ? size : dataSize);
    return s;
  }
  return STATUS_NO_MATCH;
}

namespace {

// Offers the connection format to the pin's ranges as KS does: each range
// whose GUIDs fit is passed to SetDataFormat until one is not refused with
// STATUS_NO_MATCH.
NTSTATUS MatchFormat(HostPin* p, PKSDATAFORMAT oldFormat) {
  const KSPIN_DESCRIPTOR_EX* pd = p->ks.Descriptor;
  for (ULONG i = 0; i < pd->PinDescriptor.DataRangesCount; ++i) {
    PKSDATARANGE range = pd->PinDescriptor.DataRanges[i];
    if (!RangeFits(range, p->ks.ConnectionFormat)) continue;
    if (!pd->Dispatch || !pd->Dispatch->SetDataFormat) return STATUS_SUCCESS;
    NTSTATUS s = pd->Dispatch->SetDataFormat(&p->ks, oldFormat, nullptr, range, nullptr);
    if (s != STATUS_NO_MATCH) return s;
  }
  return STATUS_NO_MATCH;
}

PKSDATAFORMAT CopyFormat(const KSDATAFORMAT* format) {
  auto* copy = static_cast<PKSDATAFORMAT>(
      ExAllocatePoolWithTag(NonPagedPool, format->FormatSize, ks::kTagFormat));
  if (copy) std::memcpy(copy, format, format->FormatSize);
  return copy;
}

}  // namespace

NTSTATUS KsCreatePin(PKSFILTER filter, ULONG pinId, const KSDATAFORMAT* format, ULONG formatSize,
                     PKSPIN* pin) {
  *pin = nullptr;
  HostFilter* f = FilterOf(filter);
  const KSFILTER_DESCRIPTOR* fd = filter->Descriptor;
  if (pinId >= fd->PinDescriptorsCount) return STATUS_INVALID_PARAMETER;
  if (!FormatWithin(format, formatSize)) return STATUS_INVALID_PARAMETER;
  const KSPIN_DESCRIPTOR_EX* pd = PinDescriptor(fd, pinId);
  std::lock_guard<std::recursive_mutex> g(f->control);
  if (KsPinInstances(filter, pinId) >= pd->InstancesPossible) return STATUS_UNSUCCESSFUL;
  auto* p = PoolNew<HostPin>();
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  InitHeader(p, Kind::Pin);
  p->filter = f;
  std::memset(&p->ks, 0, sizeof p->ks);
  std::memset(&p->leading.ks, 0, sizeof p->leading.ks);
  p->ks.Descriptor = pd;
  p->ks.Bag = &p->bag;
  p->ks.Id = pinId;
  p->ks.Communication = pd->PinDescriptor.Communication;
  p->ks.DataFlow = pd->PinDescriptor.DataFlow;
  p->ks.DeviceState = KSSTATE_STOP;
  p->ks.ClientState = KSSTATE_STOP;
  p->ks.ConnectionFormat = CopyFormat(format);
  NTSTATUS s = p->ks.ConnectionFormat ? MatchFormat(p, nullptr) : STATUS_INSUFFICIENT_RESOURCES;
  if (NT_SUCCESS(s) && pd->Dispatch && pd->Dispatch->Create) {
    HostIrp irp(&p->ks);
    s = pd->Dispatch->Create(&p->ks, &irp.irp);
  }
  if (!NT_SUCCESS(s)) {
    FreeBag(&p->bag);
    if (p->ks.ConnectionFormat) ExFreePoolWithTag(p->ks.ConnectionFormat, ks::kTagFormat);
    PoolDelete(p);
    return s;
  }
  f->pins.push_back(p);
  ks::StartProcessingThread(p);
  *pin = &p->ks;
  return STATUS_SUCCESS;
}

NTSTATUS KsSetPinState(PKSPIN pin, KSSTATE to) {
  HostPin* p = PinOf(pin);
  std::lock_guard<std::recursive_mutex> g(p->filter->control);
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  while (pin->DeviceState != to) {
    KSSTATE from = pin->DeviceState;
    KSSTATE next = KSSTATE(to > from ? from + 1 : from - 1);
    NTSTATUS s = STATUS_SUCCESS;
    if (dispatch && dispatch->SetDeviceState) s = dispatch->SetDeviceState(pin, next, from);
    if (!NT_SUCCESS(s)) return s;
    // Processing threads read the state to decide whether to process.
    __atomic_store_n(&pin->DeviceState, next, __ATOMIC_RELEASE);
    pin->ClientState = next;
    if (next == KSSTATE_STOP) ks::FlushQueue(p);
    if (next == KSSTATE_RUN && !(pin->Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING))
      KsPinAttemptProcessing(pin, TRUE);
  }
  return STATUS_SUCCESS;
}

NTSTATUS KsSetPinDataFormat(PKSPIN pin, const KSDATAFORMAT* format, ULONG formatSize) {
  HostPin* p = PinOf(pin);
  if (!FormatWithin(format, formatSize)) return STATUS_INVALID_PARAMETER;
  std::lock_guard<std::recursive_mutex> g(p->filter->control);
  PKSDATAFORMAT copy = CopyFormat(format);
  if (!copy) return STATUS_INSUFFICIENT_RESOURCES;
  PKSDATAFORMAT old = pin->ConnectionFormat;
  pin->ConnectionFormat = copy;
  NTSTATUS s = MatchFormat(p, old);
  PKSDATAFORMAT drop = NT_SUCCESS(s) ? old : copy;
  if (!NT_SUCCESS(s)) pin->ConnectionFormat = old;
  ExFreePoolWithTag(drop, ks::kTagFormat);
  return s;
}

void KsClosePin(PKSPIN pin) {
  HostPin* p = PinOf(pin);
  HostFilter* f = p->filter;
  std::lock_guard<std::recursive_mutex> g(f->control);
  KsSetPinState(pin, KSSTATE_STOP);
  // A driver that refuses a step still loses the pin: finish the way down.
  __atomic_store_n(&pin->DeviceState, KSSTATE_STOP, __ATOMIC_RELEASE);
  ks::StopProcessingThread(p);
  ks::FlushQueue(p);
  const KSPIN_DISPATCH* dispatch = pin->Descriptor->Dispatch;
  if (dispatch && dispatch->Close) {
    HostIrp irp(pin);
    dispatch->Close(pin, &irp.irp);
  }
  ks::ReleasePinStreams(p);
  for (auto it = f->pins.begin(); it != f->pins.end(); ++it)
    if (*it == p) {
      f->pins.erase(it);
      break;
    }
  FreeBag(&p->bag);
  ExFreePoolWithTag(pin->ConnectionFormat, ks::kTagFormat);
  PoolDelete(p);
}

}  // namespace host
