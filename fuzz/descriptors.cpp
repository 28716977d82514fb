// Feeds arbitrary configuration descriptors through the whole USB bring-up
// (descriptor reads, select configuration, streaming endpoint, alternate
// setting 0, format and still tables, restriction and extension) and then
// through format selection, probe/commit and alternate-setting choice for
// every table entry.
//
// Input: byte 0 = flags (bit 0 high speed, bit 1 bus interface present,
// bit 2 short probe replies), bytes 1..4 = the camera's payload size
// (little-endian), the rest = the configuration descriptor the device
// returns for GET_DESCRIPTOR.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/ks_host.h"
#include "platform/host/usb_bus.h"
#include "platform/wdk.h"
#include "usb/configuration.h"
#include "usb/format_table.h"
#include "usb/usb_bringup.h"

namespace {

class FuzzDevice : public host::UsbDeviceModel {
 public:
  FuzzDevice(std::vector<uint8_t> configuration, bool highSpeed, uint32_t payload, bool shortProbe)
      : config_(std::move(configuration)), highSpeed_(highSpeed), shortProbe_(shortProbe) {
    device_ = {18, 1, 0, 2, 0xEF, 2, 1, 64, 0x34, 0x12, 0x78, 0x56, 0, 1, 1, 2, 0, 1};
    name_ = {10, 3, 'F', 0, 'u', 0, 'z', 0, 'z', 0};
    probe_.assign(26, 0);
    std::memcpy(probe_.data() + 22, &payload, 4);
  }
  bool HighSpeed() const override { return highSpeed_; }
  const std::vector<uint8_t>& DeviceDescriptor() const override { return device_; }
  const std::vector<uint8_t>& ConfigurationDescriptor() const override { return config_; }
  host::UsbControlResult Control(const host::UsbSetupPacket& s, uint8_t* data) override {
    host::UsbControlResult r;
    const std::vector<uint8_t>* reply = nullptr;
    if (s.bmRequestType == 0x80 && s.bRequest == 6) {
      switch (s.wValue >> 8) {
        case 1: reply = &device_; break;
        case 2: reply = &config_; break;
        case 3: reply = &name_; break;
      }
    } else if ((s.bmRequestType & 0x7F) == 0x21 && s.bRequest == 0x81) {
      reply = &probe_;
    } else if ((s.bmRequestType & 0x7F) == 0x21 && s.bRequest == 0x01) {
      r.length = s.wLength;
      return r;
    }
    if (!reply) {
      r.stalled = true;
      return r;
    }
    size_t n = std::min<size_t>(reply->size(), s.wLength);
    if (reply == &probe_ && shortProbe_) n /= 2;
    if (n) std::memcpy(data, reply->data(), n);
    r.length = uint32_t(n);
    return r;
  }

 private:
  std::vector<uint8_t> device_, config_, name_, probe_;
  bool highSpeed_, shortProbe_;
};

void Check(bool ok, const char* what) {
  if (!ok) {
    std::fprintf(stderr, "descriptor fuzz: %s\n", what);
    std::abort();
  }
}

void CheckTable(const FrameFormat* t, ULONG n) {
  for (ULONG i = 0; i < n; ++i) {
    Check(FrameSizeRepresentable(t[i].inputWidth, t[i].inputHeight), "input size not representable");
    Check(FrameSizeRepresentable(t[i].outputWidth, t[i].outputHeight), "output size not representable");
  }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  host::SetClockRate(1e9);  // the 500 ms settle takes no real time
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 5) return 0;
  uint32_t payload;
  std::memcpy(&payload, data + 1, 4);
  std::vector<uint8_t> cfg(data + 5, data + size);
  uint64_t live = host::PoolOutstanding();
  {
    FuzzDevice device(cfg, data[0] & 1, payload, data[0] & 4);
    host::UsbBus bus(&device);
    bus.SetBusInterfaceAvailable(data[0] & 2);
    PKSDEVICE ks = host::CreateKsDevice(bus.DeviceObject());
    StreamEngine* engine = CreateStreamEngine(ks);
    Check(engine != nullptr, "no engine");
    UsbBringUpStep step;
    if (NT_SUCCESS(BringUpUsb(engine, &step))) {
      Check(engine->formatCount > 0, "started without formats");
      CheckTable(engine->formatTable, engine->formatCount);
      CheckTable(engine->stillTable, engine->stillCount);
      ULONG limit = engine->formatCount < 16 ? engine->formatCount : 16;
      for (ULONG i = 0; i < limit; ++i) {
        const FrameFormat f = engine->formatTable[i];
        if (!NT_SUCCESS(SelectFormat(engine, f.outputWidth, f.outputHeight, f.outputSubtype))) continue;
        Check(engine->expectedFrameSize == engine->currentFormat.inputWidth *
                                               engine->currentFormat.inputHeight * 2,
              "expected frame size");
        ULONG negotiated = 0;
        if (!NT_SUCCESS(NegotiateStream(engine, &negotiated))) continue;
        Check(negotiated != 0, "zero payload accepted");
        ULONG packet = 0;
        SelectAlternateSetting(engine, engine->endpointType, negotiated, engine->packetsPerTransfer,
                               &packet);
      }
      ULONG still = 0;
      for (ULONG i = 0; i < engine->stillCount; ++i) {
        FindStillFrameIndex(engine->stillTable, engine->stillCount, engine->stillTable[i].inputWidth,
                            engine->stillTable[i].inputHeight, &still);
        Check(still >= 1 && still <= i + 1, "still index");
      }
    }
    FreeStreamEngine(engine);
    Check(host::KsDeviceMutexDepth(ks) == 0, "device mutex held");
    host::DestroyKsDevice(ks);
  }
  Check(host::PoolOutstanding() == live, "pool leak");
  return 0;
}
