// Test rig: the simulated camera on the bus stand-in with a KS device and a
// stream engine above it, an interposer for fault injection, and a builder
// for the descriptor sets the tests hand the camera.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"
#include "platform/host/host_control.h"
#include "platform/host/ks_host.h"
#include "platform/host/usb_bus.h"
#include "platform/wdk.h"
#include "media/frame_format.h"
#include "usb/stream_engine.h"

namespace rig {

using Bytes = std::vector<uint8_t>;
inline void Put16(Bytes& v, uint16_t x) { v.insert(v.end(), {uint8_t(x), uint8_t(x >> 8)}); }
inline void Put32(Bytes& v, uint32_t x) { Put16(v, uint16_t(x)), Put16(v, uint16_t(x >> 16)); }

// A frame descriptor: `length` is its bLength (26 is the shortest complete one).
struct Frame { uint16_t width, height; uint32_t interval = 333333; uint8_t length = 30; };

// Builds a configuration descriptor piece by piece; Build() patches
// wTotalLength and bNumInterfaces.
class ConfigBuilder {
 public:
  ConfigBuilder() { bytes_ = {9, 2, 0, 0, 0, 1, 0, 0x80, 250}; }
  ConfigBuilder& Interface(uint8_t number, uint8_t alt, uint8_t cls, uint8_t sub, uint8_t endpoints) {
    return Raw({9, 4, number, alt, endpoints, cls, sub, 0, 0});
  }
  ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t wMaxPacketSize, uint8_t interval = 1) {
    return Raw({7, 5, address, attributes, uint8_t(wMaxPacketSize), uint8_t(wMaxPacketSize >> 8), interval});
  }
  ConfigBuilder& InputHeader(uint8_t numFormats) {
    return Raw({13, 0x24, 1, numFormats, 0, 0, 0x82, 0, 0, 0, 0, 0, 0});
  }
  // frames.size() frame descriptors follow; `claimed` overrides bNumFrameDescriptors.
  ConfigBuilder& Uncompressed(uint8_t index, const GUID& guid, const std::vector<Frame>& frames, int claimed = -1) {
    const uint8_t* g = reinterpret_cast<const uint8_t*>(&guid);
    Raw({27, 0x24, 4, index, uint8_t(claimed < 0 ? frames.size() : claimed)});
    bytes_.insert(bytes_.end(), g, g + 16);
    return Raw({16, 1, 0, 0, 0, 0}).AddFrames(5, frames);
  }
  ConfigBuilder& Mjpeg(uint8_t index, const std::vector<Frame>& frames, int claimed = -1) {
    Raw({11, 0x24, 6, index, uint8_t(claimed < 0 ? frames.size() : claimed), 0, 1, 0, 0, 0, 0});
    return AddFrames(7, frames);
  }
  ConfigBuilder& Still(const std::vector<std::pair<uint16_t, uint16_t>>& sizes, int claimed = -1) {
    Bytes d = {0, 0x24, 3, 0, uint8_t(claimed < 0 ? sizes.size() : claimed)};
    for (auto& s : sizes) Put16(d, s.first), Put16(d, s.second);
    d.push_back(0);  // bNumCompressionPattern
    d[0] = uint8_t(d.size());
    return Raw(d);
  }
  ConfigBuilder& Raw(const Bytes& d) {
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
  }
  Bytes Build() const {
    Bytes out = bytes_;
    out[2] = uint8_t(out.size()), out[3] = uint8_t(out.size() >> 8);
    Bytes seen;  // bNumInterfaces: distinct interface numbers
    for (size_t off = 0; off + 2 < out.size() && out[off] >= 2; off += out[off])
      if (out[off + 1] == 4 && std::find(seen.begin(), seen.end(), out[off + 2]) == seen.end())
        seen.push_back(out[off + 2]);
    out[4] = uint8_t(seen.size());
    return out;
  }

 private:
  ConfigBuilder& AddFrames(uint8_t subtype, const std::vector<Frame>& frames) {
    uint8_t i = 1;
    for (const Frame& f : frames) {
      Bytes d = {f.length, 0x24, subtype, i++, 0};
      Put16(d, f.width), Put16(d, f.height);
      // min/max bit rate, max frame buffer size, default interval, one discrete interval
      for (uint32_t x : {1000000u, 100000000u, uint32_t(f.width) * f.height * 2, f.interval}) Put32(d, x);
      d.push_back(1);
      Put32(d, f.interval);
      d.resize(f.length, 0);
      Raw(d);
    }
    return *this;
  }
  Bytes bytes_;
};

// Video-control interface 0 (interrupt endpoint), video-streaming interface 1
// with the given formats, then isochronous alternate settings with these
// wMaxPacketSize values (alternate settings 1, 2, ...).
struct CameraShape {
  std::vector<Frame> yuy2 = {{640, 480}, {320, 240}};
  std::vector<Frame> mjpg = {{640, 480}, {320, 240}, {1280, 720}};
  std::vector<std::pair<uint16_t, uint16_t>> stills = {{640, 480}, {320, 240}};
  std::vector<uint16_t> isoPackets = {128, 512, 1024, 0x1400};
  bool bulk = false;
};

inline Bytes CameraConfiguration(const CameraShape& s = CameraShape()) {
  ConfigBuilder b;
  b.Raw({8, 0x0B, 0, 2, 14, 3, 0, 0});  // interface association: video function
  b.Interface(0, 0, 14, 1, 1).Raw({13, 0x24, 1, 0x00, 0x01, 13, 0, 0, 0, 0, 0, 1, 1}).Endpoint(0x83, 3, 16, 6);
  b.Interface(1, 0, 14, 2, s.bulk ? 1 : 0).InputHeader(uint8_t(!s.yuy2.empty()) + uint8_t(!s.mjpg.empty()));
  uint8_t index = 1;
  if (!s.yuy2.empty()) b.Uncompressed(index++, kSubtypeYuy2, s.yuy2);
  if (!s.mjpg.empty()) b.Mjpeg(index++, s.mjpg);
  if (!s.stills.empty()) b.Still(s.stills);
  if (s.bulk) b.Endpoint(0x81, 2, 512);
  uint8_t alt = 1;
  for (uint16_t p : s.bulk ? std::vector<uint16_t>() : s.isoPackets)
    b.Interface(1, alt++, 14, 2, 1).Endpoint(0x81, 5, p);
  return b.Build();
}

// The setup packets a bus saw: bmRequestType, bRequest, wValue, wIndex, wLength.
using Setups = std::vector<std::array<int, 5>>;
inline Setups SetupsOf(const host::UsbBus& bus) {
  Setups out;
  for (const auto& s : bus.ControlLog()) out.push_back({s.bmRequestType, s.bRequest, s.wValue, s.wIndex, s.wLength});
  return out;
}

// Forwards to a simulated camera. Fault injection: `config` replaces the
// configuration descriptor the bus sees (for sets the camera itself would
// refuse), `hook` may answer a request itself (return true) and `shorten`
// may cut a device-to-host reply.
class Interposer : public host::UsbDeviceModel {
 public:
  explicit Interposer(std::unique_ptr<camera::SimulatedCamera> cam) : cam(std::move(cam)) {}
  bool HighSpeed() const override { return cam->HighSpeed(); }
  const Bytes& DeviceDescriptor() const override { return cam->DeviceDescriptor(); }
  const Bytes& ConfigurationDescriptor() const override { return config.empty() ? cam->ConfigurationDescriptor() : config; }
  host::UsbControlResult Control(const host::UsbSetupPacket& s, uint8_t* data) override {
    host::UsbControlResult r;
    if (hook && hook(s, data, &r)) return r;
    if (!config.empty() && s.bmRequestType == 0x80 && s.bRequest == 6 && s.wValue == 0x0200) {
      r.length = uint32_t(std::min<size_t>(s.wLength, config.size()));
      std::memcpy(data, config.data(), r.length);
    } else {
      r = cam->Control(s, data);
    }
    if (shorten && (s.bmRequestType & 0x80)) r.length = std::min(r.length, shorten(s));
    return r;
  }
  void ConfigurationSelected(uint8_t v) override { cam->ConfigurationSelected(v); }
  void InterfaceSelected(uint8_t i, uint8_t a) override { cam->InterfaceSelected(i, a); }

  std::unique_ptr<camera::SimulatedCamera> cam;
  Bytes config;
  std::function<bool(const host::UsbSetupPacket&, uint8_t*, host::UsbControlResult*)> hook;
  std::function<uint32_t(const host::UsbSetupPacket&)> shorten;
};

// A property request of the set and item with these flags.
inline KSPROPERTY Prop(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set, p.Id = id, p.Flags = flags;
  return p;
}

// Device descriptor of the rig's cameras: vendor 1234, product 5678, strings 1 and 2.
inline const Bytes kDevice = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 0, 1};

// A simulated camera answering for `cfg`; a set the camera refuses is shown
// to the bus over the default shape's camera.
inline std::unique_ptr<Interposer> CameraFor(const Bytes& cfg, bool highSpeed) {
  Bytes dump = kDevice;
  dump.insert(dump.end(), cfg.begin(), cfg.end());
  auto cam = camera::SimulatedCameraFromDescriptors(dump, !highSpeed, nullptr);
  if (cam) return std::make_unique<Interposer>(std::move(cam));
  dump.resize(18);
  Bytes good = CameraConfiguration();
  dump.insert(dump.end(), good.begin(), good.end());
  auto m = std::make_unique<Interposer>(camera::SimulatedCameraFromDescriptors(dump, !highSpeed, nullptr));
  m->config = cfg;
  return m;
}

// A device model on a bus with a KS device and an engine above it.
template <class Model>
struct RigOf {
  template <class... A>
  explicit RigOf(A&&... a) : camera(std::forward<A>(a)...), bus(&*camera) {
    device = host::CreateKsDevice(bus.DeviceObject());
    engine = CreateStreamEngine(device);
  }
  ~RigOf() {
    FreeStreamEngine(engine);
    EXPECT_EQ(host::KsDeviceMutexDepth(device), 0) << "device mutex left held";
    host::DestroyKsDevice(device);
  }
  Model camera;
  host::UsbBus bus;
  PKSDEVICE device;
  StreamEngine* engine;
};
struct Rig : RigOf<std::unique_ptr<Interposer>> {
  explicit Rig(const Bytes& cfg = CameraConfiguration(), bool highSpeed = true)
      : RigOf(CameraFor(cfg, highSpeed)), model(*camera) {}
  camera::SimulatedCamera& cam() { return *model.cam; }
  Interposer& model;
};

// Every test of the usb layer: real-time clock sped up, pool statistics
// reset, nothing left over at the end.
class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override { host::SetClockRate(1000.0), host::PoolReset(), baseline_ = host::PoolOutstanding(); }
  void TearDown() override {
    host::PoolReset();
    EXPECT_EQ(host::PoolOutstanding(), baseline_) << host::PoolLeakReport();
    host::SetClockRate(1.0);
  }
  uint64_t baseline_ = 0;
};

}  // namespace rig
