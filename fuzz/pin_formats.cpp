// Fuzz target for the pins' format handling: data intersection, pin creation
// and a format change on a connected pin, each with a format or range an
// application could send. The input picks a pin, an operation and one of the
// pin's own ranges; it then edits bytes of that range (or of the format the
// driver made from it) and may cut or extend it, so the edits reach the
// fields behind the GUIDs. Buffers are exactly sized heap blocks; after each
// input no pin is left open and no pool memory is kept.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "fuzz/filter_rig.h"
#include "platform/host/ks_host.h"

namespace {

// `base` with the input's edits: a signed length change, then
// (offset high, offset low, value) triples.
std::vector<uint8_t> Edited(std::vector<uint8_t> base, int8_t grow, const uint8_t* edits, size_t n) {
  const long length = long(base.size()) + grow;
  base.resize(length > 0 ? size_t(length) : 0, 0);
  if (base.empty()) return base;
  for (size_t i = 0; i + 3 <= n; i += 3) base[(size_t(edits[i]) << 8 | edits[i + 1]) % base.size()] = edits[i + 2];
  return base;
}

// An exactly sized heap copy, so that any read past it is caught.
struct Exact {
  explicit Exact(const std::vector<uint8_t>& bytes) : size(ULONG(bytes.size())) {
    data = static_cast<uint8_t*>(malloc(size ? size : 1));
    if (size) memcpy(data, bytes.data(), size);
  }
  ~Exact() { free(data); }
  uint8_t* data;
  ULONG size;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  FilterRig& rig = OpenFilterRig("/tmp/uvccam-fuzz-pin-formats");
  static const std::vector<client::PinInfo> pins = rig.filter->Pins();
  const ULONG pinId = data[0] % (pins.size() + 1);  // one id past the last pin
  const int operation = data[1] % 3;
  const int8_t grow = int8_t(data[3]);
  const ULONG outputSize = ULONG(data[4]) * 2;
  const uint8_t* edits = data + 5;
  const size_t editBytes = size - 5;
  const uint64_t poolBefore = host::PoolOutstanding();

  const client::PinInfo* pin = pinId < pins.size() ? &pins[pinId] : nullptr;
  if (pin == nullptr || pin->ranges.empty()) {
    // A pin that does not exist: a range of the capture pin sent to it.
    Exact range(Edited(std::vector<uint8_t>(sizeof(KS_DATARANGE_VIDEO)), grow, edits, editBytes));
    std::vector<uint8_t> out(outputSize);
    ULONG returned = 0;
    host::KsIntersect(rig.filter->Handle(), pinId, reinterpret_cast<const KSDATARANGE*>(range.data),
                      range.size, out.data(), outputSize, &returned);
  } else {
    const KS_DATARANGE_VIDEO& chosen = pin->ranges[data[2] % pin->ranges.size()];
    if (operation == 0) {
      std::vector<uint8_t> bytes(reinterpret_cast<const uint8_t*>(&chosen),
                                 reinterpret_cast<const uint8_t*>(&chosen) + sizeof chosen);
      Exact range(Edited(bytes, grow, edits, editBytes));
      Exact out{std::vector<uint8_t>(outputSize)};
      ULONG returned = 0;
      const NTSTATUS s =
          host::KsIntersect(rig.filter->Handle(), pinId, reinterpret_cast<const KSDATARANGE*>(range.data),
                            range.size, outputSize ? out.data : nullptr, outputSize, &returned);
      if (NT_SUCCESS(s) && returned > outputSize) std::abort();
    } else {
      std::vector<uint8_t> format;
      if (!NT_SUCCESS(rig.filter->Intersect(pinId, chosen, &format))) std::abort();
      Exact edited(Edited(format, grow, edits, editBytes));
      Exact good(format);
      PKSPIN created = nullptr;
      NTSTATUS s;
      if (operation == 1) {
        s = host::KsCreatePin(rig.filter->Handle(), pinId, reinterpret_cast<const KSDATAFORMAT*>(edited.data),
                              edited.size, &created);
      } else {
        s = host::KsCreatePin(rig.filter->Handle(), pinId, reinterpret_cast<const KSDATAFORMAT*>(good.data),
                              good.size, &created);
        if (NT_SUCCESS(s))
          host::KsSetPinDataFormat(created, reinterpret_cast<const KSDATAFORMAT*>(edited.data), edited.size);
      }
      if (NT_SUCCESS(s)) host::KsClosePin(created);
    }
  }
  rig.camera->Bus().ResetCounters();  // the bus keeps a log of every request
  if (host::PoolOutstanding() != poolBefore) {
    std::fprintf(stderr, "%s\n", host::PoolLeakReport().c_str());
    std::abort();
  }
  return 0;
}
