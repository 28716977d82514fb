// Test fixture: a small, real UVC device model for the bus stand-in and a
// builder for the descriptor sets the tests feed it. It answers
// GET_DESCRIPTOR, probe/commit on the streaming interface and nothing else.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/ks_host.h"
#include "platform/host/usb_bus.h"
#include "platform/wdk.h"
#include "usb/frame_format.h"
#include "usb/stream_engine.h"

namespace fake {

inline void Put16(std::vector<uint8_t>& v, uint16_t x) {
  v.push_back(uint8_t(x));
  v.push_back(uint8_t(x >> 8));
}
inline void Put32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

struct Frame {
  uint16_t width, height;
  uint32_t interval = 333333;
  uint8_t length = 30;  // bLength; 26 is the shortest complete one
};

// Builds a configuration descriptor piece by piece; Build() patches
// wTotalLength and bNumInterfaces.
class ConfigBuilder {
 public:
  ConfigBuilder() { bytes_ = {9, 2, 0, 0, 0, 1, 0, 0x80, 250}; }

  ConfigBuilder& Interface(uint8_t number, uint8_t alt, uint8_t cls, uint8_t sub, uint8_t endpoints) {
    bytes_.insert(bytes_.end(), {9, 4, number, alt, endpoints, cls, sub, 0, 0});
    return *this;
  }
  ConfigBuilder& Endpoint(uint8_t address, uint8_t attributes, uint16_t wMaxPacketSize,
                          uint8_t interval = 1) {
    bytes_.insert(bytes_.end(), {7, 5, address, attributes});
    Put16(bytes_, wMaxPacketSize);
    bytes_.push_back(interval);
    return *this;
  }
  ConfigBuilder& InputHeader(uint8_t numFormats) {
    bytes_.insert(bytes_.end(), {13, 0x24, 1, numFormats, 0, 0, 0x82, 0, 0, 0, 0, 0, 0});
    return *this;
  }
  // frames.size() frame descriptors follow; `claimed` overrides bNumFrameDescriptors.
  ConfigBuilder& Uncompressed(uint8_t index, const GUID& guid, const std::vector<Frame>& frames,
                              int claimed = -1) {
    bytes_.insert(bytes_.end(), {27, 0x24, 4, index, uint8_t(claimed < 0 ? frames.size() : claimed)});
    const uint8_t* g = reinterpret_cast<const uint8_t*>(&guid);
    bytes_.insert(bytes_.end(), g, g + 16);
    bytes_.insert(bytes_.end(), {16, 1, 0, 0, 0, 0});
    AddFrames(5, frames);
    return *this;
  }
  ConfigBuilder& Mjpeg(uint8_t index, const std::vector<Frame>& frames, int claimed = -1) {
    bytes_.insert(bytes_.end(),
                  {11, 0x24, 6, index, uint8_t(claimed < 0 ? frames.size() : claimed), 0, 1, 0, 0, 0, 0});
    AddFrames(7, frames);
    return *this;
  }
  ConfigBuilder& Still(const std::vector<std::pair<uint16_t, uint16_t>>& sizes, int claimed = -1) {
    std::vector<uint8_t> d = {0, 0x24, 3, 0, uint8_t(claimed < 0 ? sizes.size() : claimed)};
    for (auto& s : sizes) {
      Put16(d, s.first);
      Put16(d, s.second);
    }
    d.push_back(0);  // bNumCompressionPattern
    d[0] = uint8_t(d.size());
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
  }
  ConfigBuilder& Raw(const std::vector<uint8_t>& d) {
    bytes_.insert(bytes_.end(), d.begin(), d.end());
    return *this;
  }
  std::vector<uint8_t> Build() const {
    std::vector<uint8_t> out = bytes_;
    out[2] = uint8_t(out.size());
    out[3] = uint8_t(out.size() >> 8);
    // bNumInterfaces: distinct interface numbers.
    std::vector<uint8_t> seen;
    for (size_t off = 0; off + 2 <= out.size() && out[off] >= 2; off += out[off]) {
      if (out[off + 1] == 4 && off + 2 < out.size()) {
        bool known = false;
        for (uint8_t n : seen) known = known || n == out[off + 2];
        if (!known) seen.push_back(out[off + 2]);
      }
    }
    out[4] = uint8_t(seen.size());
    return out;
  }

 private:
  void AddFrames(uint8_t subtype, const std::vector<Frame>& frames) {
    uint8_t i = 1;
    for (const Frame& f : frames) {
      std::vector<uint8_t> d = {f.length, 0x24, subtype, i++, 0};
      Put16(d, f.width);
      Put16(d, f.height);
      Put32(d, 1000000);                        // min bit rate
      Put32(d, 100000000);                      // max bit rate
      Put32(d, uint32_t(f.width) * f.height * 2);  // max frame buffer size
      Put32(d, f.interval);                     // default interval
      d.push_back(1);                           // one discrete interval
      Put32(d, f.interval);
      d.resize(f.length, 0);
      bytes_.insert(bytes_.end(), d.begin(), d.end());
    }
  }
  std::vector<uint8_t> bytes_;
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

inline std::vector<uint8_t> CameraConfiguration(const CameraShape& s = CameraShape()) {
  ConfigBuilder b;
  b.Raw({8, 0x0B, 0, 2, 14, 3, 0, 0});  // interface association: video function
  b.Interface(0, 0, 14, 1, 1).Raw({13, 0x24, 1, 0x00, 0x01, 13, 0, 0, 0, 0, 0, 1, 1});
  b.Endpoint(0x83, 3, 16, 6);
  b.Interface(1, 0, 14, 2, s.bulk ? 1 : 0);
  uint8_t formats = uint8_t(!s.yuy2.empty()) + uint8_t(!s.mjpg.empty());
  b.InputHeader(formats);
  uint8_t index = 1;
  if (!s.yuy2.empty()) b.Uncompressed(index++, kSubtypeYuy2, s.yuy2);
  if (!s.mjpg.empty()) b.Mjpeg(index++, s.mjpg);
  if (!s.stills.empty()) b.Still(s.stills);
  if (s.bulk) {
    b.Endpoint(0x81, 2, 512);
  } else {
    uint8_t alt = 1;
    for (uint16_t p : s.isoPackets) b.Interface(1, alt++, 14, 2, 1).Endpoint(0x81, 5, p);
  }
  return b.Build();
}

inline std::vector<uint8_t> Utf16Descriptor(const std::string& text) {
  std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), 3};
  for (char c : text) Put16(d, uint16_t(uint8_t(c)));
  return d;
}

class Camera : public host::UsbDeviceModel {
 public:
  explicit Camera(std::vector<uint8_t> configuration, bool highSpeed = true)
      : config_(std::move(configuration)), highSpeed_(highSpeed) {
    device_ = {18, 1, 0x00, 0x02, 0xEF, 0x02, 0x01, 64, 0x34, 0x12, 0x78, 0x56, 0x00, 0x01, 1, 2, 0, 1};
    strings_ = {{4, 3, 0x09, 0x04}, Utf16Descriptor("Fixture Maker"), Utf16Descriptor("Fixture Camera")};
    probe_.assign(26, 0);
    probe_[22] = 0x00;
    probe_[23] = 0x0C;  // 3072 bytes per payload
  }

  bool HighSpeed() const override { return highSpeed_; }
  const std::vector<uint8_t>& DeviceDescriptor() const override { return device_; }
  const std::vector<uint8_t>& ConfigurationDescriptor() const override { return config_; }

  host::UsbControlResult Control(const host::UsbSetupPacket& s, uint8_t* data) override {
    host::UsbControlResult r;
    if (s.bmRequestType == 0x80 && s.bRequest == 6) {
      const std::vector<uint8_t>* d = nullptr;
      uint8_t type = uint8_t(s.wValue >> 8), index = uint8_t(s.wValue);
      if (type == 1) d = &device_;
      if (type == 2) d = &config_;
      if (type == 3 && index < strings_.size()) d = &strings_[index];
      if (!d) {
        r.stalled = true;
        return r;
      }
      size_t limit = type == 1 ? deviceReplyLimit : type == 2 ? configReplyLimit : d->size();
      r.length = uint32_t(std::min<size_t>({d->size(), s.wLength, limit}));
      std::memcpy(data, d->data(), r.length);
      return r;
    }
    // Probe and commit on the streaming interface.
    bool classInterface = (s.bmRequestType & 0x7F) == 0x21;
    uint8_t selector = uint8_t(s.wValue >> 8);
    if (classInterface && (selector == 1 || selector == 2) && s.wLength == 26) {
      if (s.bRequest == 0x81 && selector == 1) {
        std::memcpy(data, probe_.data(), 26);
        if (zeroPayload) std::memset(data + 22, 0, 4);
        r.length = probeReplyLength;
        return r;
      }
      if (s.bRequest == 0x01) {
        if (selector == 1 && rejectProbe) {
          r.stalled = true;
          return r;
        }
        std::vector<uint8_t> v(data, data + 26);
        if (selector == 1) {
          uint32_t payload = probe_[22] | probe_[23] << 8 | probe_[24] << 16 | uint32_t(probe_[25]) << 24;
          probe_ = v;
          std::memcpy(probe_.data() + 22, &payload, 4);  // the camera decides the payload size
        } else {
          committed = v;
        }
        r.length = 26;
        return r;
      }
    }
    r.stalled = true;
    return r;
  }

  void InterfaceSelected(uint8_t number, uint8_t alt) override { selections.emplace_back(number, alt); }

  void SetPayloadSize(uint32_t size) { std::memcpy(probe_.data() + 22, &size, 4); }
  const std::vector<uint8_t>& Probe() const { return probe_; }

  std::vector<uint8_t> device_;
  std::vector<uint8_t> config_;
  std::vector<std::vector<uint8_t>> strings_;
  bool highSpeed_;
  size_t deviceReplyLimit = 1 << 20;
  size_t configReplyLimit = 1 << 20;
  uint32_t probeReplyLength = 26;
  bool rejectProbe = false;
  bool zeroPayload = false;
  std::vector<uint8_t> probe_;
  std::vector<uint8_t> committed;
  std::vector<std::pair<uint8_t, uint8_t>> selections;
};

// A camera on a bus with a KS device and an engine above it.
struct Rig {
  explicit Rig(std::vector<uint8_t> configuration = CameraConfiguration(), bool highSpeed = true)
      : camera(std::move(configuration), highSpeed), bus(&camera) {
    device = host::CreateKsDevice(bus.DeviceObject());
    engine = CreateStreamEngine(device);
  }
  ~Rig() {
    FreeStreamEngine(engine);
    EXPECT_EQ(host::KsDeviceMutexDepth(device), 0) << "device mutex left held";
    host::DestroyKsDevice(device);
  }
  Camera camera;
  host::UsbBus bus;
  PKSDEVICE device;
  StreamEngine* engine;
};

// Every test of the usb layer: real-time clock sped up, pool statistics
// reset, nothing left over at the end.
class UsbTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::SetClockRate(1000.0);
    host::PoolReset();
    baseline_ = host::PoolOutstanding();
  }
  void TearDown() override {
    host::PoolReset();
    EXPECT_EQ(host::PoolOutstanding(), baseline_) << host::PoolLeakReport();
    host::SetClockRate(1.0);
  }
  uint64_t baseline_ = 0;
};

}  // namespace fake
