// Host kernel streaming: property requests dispatched through automation
// tables, as the class driver does before a handler sees them.
#include "platform/host/ks_internal.h"

namespace host {

namespace {

const KSPROPERTY_SET* FindSet(const KSAUTOMATION_TABLE* table, const GUID& set) {
  if (!table) return nullptr;
  for (ULONG i = 0; i < table->PropertySetsCount; ++i)
    if (table->PropertySets[i].Set && IsEqualGUID(*table->PropertySets[i].Set, set))
      return &table->PropertySets[i];
  return nullptr;
}

const KSPROPERTY_ITEM* FindItem(const KSAUTOMATION_TABLE* table, const KSPROPERTY_SET* set, ULONG id) {
  ULONG itemSize = table->PropertyItemSize ? table->PropertyItemSize : ULONG(sizeof(KSPROPERTY_ITEM));
  for (ULONG i = 0; i < set->PropertiesCount; ++i) {
    auto* item = reinterpret_cast<const KSPROPERTY_ITEM*>(
        reinterpret_cast<const char*>(set->PropertyItem) + size_t(i) * itemSize);
    if (item->PropertyId == id) return item;
  }
  return nullptr;
}

}  // namespace

NTSTATUS KsProperty(PVOID object, const void* property, ULONG propertyLength, void* data,
                    ULONG dataLength, ULONG* returned) {
  *returned = 0;
  if (!property || propertyLength < sizeof(KSPROPERTY)) return STATUS_BUFFER_TOO_SMALL;
  if (dataLength && !data) return STATUS_INVALID_PARAMETER;
  ks::ObjectHeader* h = ks::HeaderOf(object);
  const KSAUTOMATION_TABLE* table = nullptr;
  const KSFILTER_DESCRIPTOR* filterDescriptor = nullptr;
  if (h->kind == ks::Kind::Filter) {
    filterDescriptor = static_cast<ks::HostFilter*>(h->owner)->ks.Descriptor;
    table = filterDescriptor->AutomationTable;
  } else if (h->kind == ks::Kind::Pin) {
    table = static_cast<ks::HostPin*>(h->owner)->ks.Descriptor->AutomationTable;
  } else {
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  // The handler works on copies exactly as long as the caller's buffers.
  std::vector<uint8_t> request(static_cast<const uint8_t*>(property),
                               static_cast<const uint8_t*>(property) + propertyLength);
  auto* p = reinterpret_cast<KSPROPERTY*>(request.data());
  if (p->Flags & KSPROPERTY_TYPE_TOPOLOGY) {
    if (propertyLength < sizeof(KSP_NODE)) return STATUS_BUFFER_TOO_SMALL;
    ULONG node = reinterpret_cast<KSP_NODE*>(request.data())->NodeId;
    if (!filterDescriptor || node >= filterDescriptor->NodeDescriptorsCount)
      return STATUS_INVALID_DEVICE_REQUEST;
    auto* nd = reinterpret_cast<const KSNODE_DESCRIPTOR*>(
        reinterpret_cast<const char*>(filterDescriptor->NodeDescriptors) +
        size_t(node) * filterDescriptor->NodeDescriptorSize);
    table = nd->AutomationTable;
  }
  const KSPROPERTY_SET* set = FindSet(table, p->Set);
  if (!set) return STATUS_NOT_FOUND;
  const KSPROPERTY_ITEM* item = FindItem(table, set, p->Id);
  if (!item) return STATUS_NOT_FOUND;
  ULONG type = p->Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT);
  PFNKSHANDLER handler = nullptr;
  if (type == KSPROPERTY_TYPE_GET) {
    handler = item->GetPropertyHandler;
  } else if (type == KSPROPERTY_TYPE_SET) {
    handler = item->SetPropertyHandler;
  } else if (type == KSPROPERTY_TYPE_BASICSUPPORT) {
    // Access flags only: which of get and set the item supports.
    if (dataLength == 0) {
      *returned = sizeof(ULONG);
      return STATUS_BUFFER_OVERFLOW;
    }
    if (dataLength < sizeof(ULONG)) return STATUS_BUFFER_TOO_SMALL;
    ULONG access = (item->GetPropertyHandler ? KSPROPERTY_TYPE_GET : 0) |
                   (item->SetPropertyHandler ? KSPROPERTY_TYPE_SET : 0) | KSPROPERTY_TYPE_BASICSUPPORT;
    std::memcpy(data, &access, sizeof access);
    *returned = sizeof(ULONG);
    return STATUS_SUCCESS;
  } else {
    return STATUS_INVALID_PARAMETER;
  }
  if (!handler) return STATUS_INVALID_DEVICE_REQUEST;
  if (propertyLength < item->MinProperty) return STATUS_BUFFER_TOO_SMALL;
  if (dataLength < item->MinData) {
    if (dataLength == 0 && type == KSPROPERTY_TYPE_GET) {
      *returned = item->MinData;
      return STATUS_BUFFER_OVERFLOW;
    }
    return STATUS_BUFFER_TOO_SMALL;
  }
  std::vector<uint8_t> buffer(static_cast<uint8_t*>(data), static_cast<uint8_t*>(data) + dataLength);
  ks::HostIrp irp(object);
  PIO_STACK_LOCATION sl = IoGetCurrentIrpStackLocation(&irp.irp);
  sl->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  sl->Parameters.DeviceIoControl.InputBufferLength = propertyLength;
  sl->Parameters.DeviceIoControl.OutputBufferLength = dataLength;
  sl->Parameters.DeviceIoControl.Type3InputBuffer = request.data();
  irp.irp.UserBuffer = dataLength ? buffer.data() : nullptr;
  irp.irp.AssociatedIrp.SystemBuffer = irp.irp.UserBuffer;
  // A get that does not say otherwise returns MinData bytes.
  irp.irp.IoStatus.Information = type == KSPROPERTY_TYPE_GET ? item->MinData : 0;
  NTSTATUS s = handler(&irp.irp, p, dataLength ? buffer.data() : nullptr);
  ULONG_PTR info = irp.irp.IoStatus.Information;
  if (NT_SUCCESS(s) || s == STATUS_BUFFER_OVERFLOW) {
    *returned = info > dataLength && s != STATUS_BUFFER_OVERFLOW ? dataLength : ULONG(info);
    if (dataLength) std::memcpy(data, buffer.data(), dataLength);
  }
  return s;
}

}  // namespace host
