// Helpers shared by the simulated-camera tests: control transfers, probe
// buffers, profile edits and a descriptor walker independent of the camera's.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"

namespace camtest {

using Bytes = std::vector<uint8_t>;
using Cam = std::unique_ptr<camera::SimulatedCamera>;
constexpr uint8_t kSetCur = 0x01, kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84,
                  kGetLen = 0x85, kGetInfo = 0x86, kGetDef = 0x87;
constexpr uint8_t kCt = 1, kPu = 2, kXu = 3;
constexpr uint16_t kStreaming = 1;

// Whether the request stalled, and the data stage actually transferred.
struct Reply { bool stalled = false; Bytes bytes; };

// A device-to-host request; overrunning wLength counts as a stall, to fail loudly.
inline Reply In(host::UsbDeviceModel& cam, uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue, uint16_t wIndex,
                uint16_t wLength) {
  Bytes buffer(wLength + 16, 0xCD);
  host::UsbSetupPacket setup{uint8_t(bmRequestType | 0x80), bRequest, wValue, wIndex, wLength};
  host::UsbControlResult r = cam.Control(setup, buffer.data());
  if (r.length > wLength) return {true, buffer};
  Reply reply{r.stalled, Bytes(buffer.begin(), buffer.begin() + r.length)};
  for (size_t i = wLength; i < buffer.size(); ++i) reply.stalled |= buffer[i] != 0xCD;
  return reply;
}
inline bool Out(host::UsbDeviceModel& cam, uint8_t bmRequestType, uint8_t bRequest,
                uint16_t wValue, uint16_t wIndex, Bytes data) {
  host::UsbSetupPacket setup{uint8_t(bmRequestType & 0x7F), bRequest, wValue, wIndex, uint16_t(data.size())};
  return !cam.Control(setup, data.empty() ? nullptr : data.data()).stalled;
}

// One control transfer and its outcome: `data` is the expected reply (wLength its
// size unless `wLength` asks more) or the payload sent.
struct Xfer { uint8_t bmRequestType, bRequest; uint16_t wValue, wIndex; Bytes data; bool stalls = false; uint16_t wLength = 0; };
inline void Expect(host::UsbDeviceModel& cam, const std::vector<Xfer>& xfers) {
  for (const Xfer& x : xfers) {
    SCOPED_TRACE(::testing::Message() << std::hex << "request " << int(x.bmRequestType) << " "
                                      << int(x.bRequest) << " " << x.wValue << " " << x.wIndex);
    if (x.bmRequestType & 0x80) {
      const Reply r = In(cam, x.bmRequestType, x.bRequest, x.wValue, x.wIndex,
                         std::max<uint16_t>(x.wLength, uint16_t(x.data.size())));
      EXPECT_EQ(r.stalled, x.stalls);
      EXPECT_EQ(r.bytes, x.stalls ? Bytes() : x.data);  // a stall transfers nothing
    } else {
      EXPECT_EQ(Out(cam, x.bmRequestType, x.bRequest, x.wValue, x.wIndex, x.data), !x.stalls);
    }
  }
}

// SET_CUR of a unit control, and the request error code it leaves.
inline bool UnitSet(host::UsbDeviceModel& cam, uint8_t unit, uint8_t selector, Bytes data) {
  return Out(cam, 0x21, kSetCur, uint16_t(selector << 8), uint16_t(unit << 8), std::move(data));
}
inline Bytes ErrorCode(host::UsbDeviceModel& cam) { return In(cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes; }

inline Bytes Probe(uint8_t format, uint8_t frame, uint32_t interval) {  // bmHint: interval
  Bytes b = {1, 0, format, frame};
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(interval >> (8 * i)));
  b.resize(26);
  return b;
}
// SET_CUR of the probe (selector 1) or commit (selector 2) control.
inline bool SetProbe(host::UsbDeviceModel& cam, uint8_t format, uint8_t frame, uint32_t interval,
                     uint8_t selector = 1) {
  return Out(cam, 0x21, kSetCur, uint16_t(selector << 8), kStreaming, Probe(format, frame, interval));
}
inline camera::ProbeControl ReadProbe(host::UsbDeviceModel& cam, uint8_t request = kGetCur, uint8_t selector = 1) {
  auto r = In(cam, 0xA1, request, uint16_t(selector << 8), kStreaming, 26);
  EXPECT_TRUE(!r.stalled && r.bytes.size() == 26u) << "probe read";
  r.bytes.resize(26);
  return camera::ProbeControl::FromBytes(r.bytes.data());
}
// Format, frame, interval and frame size of a probe, to compare in one go.
inline std::vector<uint32_t> Key(const camera::ProbeControl& p) {
  return {p.bFormatIndex, p.bFrameIndex, p.dwFrameInterval, p.dwMaxVideoFrameSize};
}

inline uint16_t Le16(const Bytes& v, size_t at) { return uint16_t(v[at] | v[at + 1] << 8); }
inline uint32_t Le32(const Bytes& v, size_t at) { return Le16(v, at) | uint32_t(Le16(v, at + 2)) << 16; }

// One descriptor found by the walker, with the interface it belongs to.
// `subtype` is byte 2 of class-specific descriptors, else 0; `interface` the
// bInterfaceNumber of the last interface descriptor, -1 before any.
struct Desc { size_t offset; uint8_t length, type, subtype; int interface; };
// Walks by bLength; false on a zero length or an overrun.
inline bool Walk(const Bytes& cfg, std::vector<Desc>* out) {
  out->clear();
  int iface = -1;
  for (size_t off = 0; off < cfg.size();) {
    const uint8_t len = cfg[off];
    if (cfg.size() - off < 2 || len < 2 || off + len > cfg.size()) return false;
    const uint8_t type = cfg[off + 1];
    if (type == 4 && len < 9) return false;
    if (type == 4) iface = cfg[off + 2];
    out->push_back({off, len, type, uint8_t(type == 0x24 || type == 0x25 ? cfg[off + 2] : 0), iface});
    off += len;
  }
  return true;
}

inline const std::vector<std::string> kProfiles = {"default.json", "bulk.json", "full_speed.json", "yuy2_only.json",
                                                   "no_still.json", "no_processing_unit.json", "uyvy_no_interrupt.json"};
inline std::string ProfilePath(const std::string& name) { return std::string(UVCCAM_PROFILE_DIR) + "/" + name; }
inline Cam Load(const std::string& name) {
  std::string error;
  auto cam = camera::SimulatedCameraFromProfileFile(ProfilePath(name), &error);
  EXPECT_TRUE(cam) << name << ": " << error;
  return cam;
}
// The default profile edited; without `error` the edit must be accepted.
inline Cam WithProfileEdit(const std::function<void(nlohmann::json&)>& edit, std::string* error = nullptr) {
  auto profile = nlohmann::json::parse(camera::DefaultProfileJson());
  edit(profile);
  std::string local;
  auto cam = camera::SimulatedCameraFromProfile(profile.dump(), error ? error : &local);
  EXPECT_TRUE(cam || error) << local;
  return cam;
}

}  // namespace camtest
