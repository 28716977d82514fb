// Fuzz target for the filter's property dispatch and handlers: any request an
// application can send. The first bytes pick the property set (one of the
// filter's, or an unknown one), the id, the flags and the lengths of the
// property and data buffers; the rest fills both. Both buffers are exactly
// sized heap blocks, so any access past what the caller gave is caught.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "controls/property_sets.h"
#include "fuzz/filter_rig.h"

namespace {

const GUID kUnknownSet = {0x01234567, 0x89ab, 0xcdef, {1, 2, 3, 4, 5, 6, 7, 8}};
const GUID* const kSets[] = {&kVendorControlSet,    &kExtensionUnitSet, &kVideoCompressionSet,
                             &kVideoControlSet,     &kCameraControlSet, &kVideoProcAmpSet,
                             &kUnknownSet};
const ULONG kFlags[] = {KSPROPERTY_TYPE_GET, KSPROPERTY_TYPE_SET, KSPROPERTY_TYPE_BASICSUPPORT,
                        KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY,
                        KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_TOPOLOGY, 0};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  FilterRig& rig = OpenFilterRig("/tmp/uvccam-fuzz-properties");
  const GUID& set = *kSets[data[0] % (sizeof kSets / sizeof kSets[0])];
  const ULONG id = data[1];
  const ULONG flags = kFlags[data[2] % (sizeof kFlags / sizeof kFlags[0])];
  const ULONG propertyLength = data[3] % 97, dataLength = data[4] % 129;
  const bool noData = data[5] & 1;
  data += 6, size -= 6;

  // The property: the KSPROPERTY header (when it fits), then input bytes.
  uint8_t* property = static_cast<uint8_t*>(malloc(propertyLength ? propertyLength : 1));
  uint8_t* out = static_cast<uint8_t*>(malloc(dataLength ? dataLength : 1));
  const size_t fromInput = size < propertyLength ? size : propertyLength;
  memset(property, 0, propertyLength);
  memcpy(property, data, fromInput);
  if (propertyLength >= sizeof(KSPROPERTY)) {
    KSPROPERTY header;
    header.Set = set;
    header.Id = id;
    header.Flags = flags;
    memcpy(property, &header, sizeof header);
  }
  data += fromInput, size -= fromInput;
  memset(out, 0, dataLength);
  memcpy(out, data, size < dataLength ? size : dataLength);

  const uint64_t poolBefore = host::PoolOutstanding();
  ULONG returned = 0;
  const NTSTATUS s =
      rig.filter->Property(property, propertyLength, noData ? nullptr : out, noData ? 0 : dataLength, &returned);
  // A success never claims more than the caller gave (a size query reports
  // the size it needs with a warning status instead).
  if (NT_SUCCESS(s) && s != STATUS_BUFFER_OVERFLOW && returned > (noData ? 0 : dataLength)) std::abort();
  // A request keeps no pool memory.
  if (host::PoolOutstanding() != poolBefore) {
    std::fprintf(stderr, "%s\n", host::PoolLeakReport().c_str());
    std::abort();
  }
  free(property);
  free(out);
  rig.camera->Bus().ResetCounters();  // the bus keeps a log of every request
  return 0;
}
