// Small helpers shared by the simulated-camera tests: issuing control
// transfers and walking descriptors independently of the camera's own parser.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"

namespace camtest {

struct Reply {
  bool stalled = false;
  std::vector<uint8_t> bytes;  // the data stage actually transferred
};

inline Reply In(host::UsbDeviceModel& cam, uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                uint16_t wIndex, uint16_t wLength) {
  std::vector<uint8_t> buffer(wLength + 16, 0xCD);
  host::UsbSetupPacket setup{uint8_t(bmRequestType | 0x80), bRequest, wValue, wIndex, wLength};
  host::UsbControlResult r = cam.Control(setup, buffer.data());
  Reply reply;
  reply.stalled = r.stalled;
  if (r.length > wLength) {
    reply.stalled = true;  // a device must never overrun wLength; make the test fail loudly
    reply.bytes.assign(buffer.begin(), buffer.end());
    return reply;
  }
  reply.bytes.assign(buffer.begin(), buffer.begin() + r.length);
  // Bytes past the reported length must be untouched.
  for (size_t i = wLength; i < buffer.size(); ++i)
    if (buffer[i] != 0xCD) reply.stalled = true;
  return reply;
}

inline bool Out(host::UsbDeviceModel& cam, uint8_t bmRequestType, uint8_t bRequest, uint16_t wValue,
                uint16_t wIndex, std::vector<uint8_t> data) {
  host::UsbSetupPacket setup{uint8_t(bmRequestType & 0x7F), bRequest, wValue, wIndex,
                             uint16_t(data.size())};
  host::UsbControlResult r = cam.Control(setup, data.empty() ? nullptr : data.data());
  return !r.stalled;
}

// Class requests to the video-control interface (unit controls) and to the
// streaming interface.
inline Reply UnitGet(host::UsbDeviceModel& cam, uint8_t request, uint8_t unit, uint8_t selector,
                     uint16_t length) {
  return In(cam, 0xA1, request, uint16_t(selector << 8), uint16_t(unit << 8), length);
}
inline bool UnitSet(host::UsbDeviceModel& cam, uint8_t unit, uint8_t selector,
                    std::vector<uint8_t> data) {
  return Out(cam, 0x21, 0x01, uint16_t(selector << 8), uint16_t(unit << 8), std::move(data));
}

inline uint32_t Le32(const std::vector<uint8_t>& v, size_t at) {
  return uint32_t(v[at]) | uint32_t(v[at + 1]) << 8 | uint32_t(v[at + 2]) << 16 |
         uint32_t(v[at + 3]) << 24;
}
inline uint16_t Le16(const std::vector<uint8_t>& v, size_t at) {
  return uint16_t(v[at] | v[at + 1] << 8);
}

// One descriptor found by the walker, with the interface it belongs to.
struct Desc {
  size_t offset;
  uint8_t length;
  uint8_t type;
  uint8_t subtype;  // byte 2 of class-specific descriptors, else 0
  int interface;    // bInterfaceNumber of the last interface descriptor, -1 before any
  int alternate;
};

// Walks by bLength; fails (returns false) on a zero length or an overrun.
inline bool Walk(const std::vector<uint8_t>& cfg, std::vector<Desc>* out) {
  out->clear();
  int iface = -1, alt = -1;
  size_t off = 0;
  while (off < cfg.size()) {
    if (cfg.size() - off < 2) return false;
    const uint8_t len = cfg[off];
    if (len < 2 || off + len > cfg.size()) return false;
    const uint8_t type = cfg[off + 1];
    if (type == 4) {
      if (len < 9) return false;
      iface = cfg[off + 2];
      alt = cfg[off + 3];
    }
    out->push_back(
        {off, len, type, uint8_t(type == 0x24 || type == 0x25 ? cfg[off + 2] : 0), iface, alt});
    off += len;
  }
  return true;
}

inline std::string ProfilePath(const std::string& name) {
  return std::string(UVCCAM_PROFILE_DIR) + "/" + name;
}

inline const std::vector<std::string>& ProfileNames() {
  static const std::vector<std::string> names = {"default.json",          "bulk.json",
                                                 "full_speed.json",       "yuy2_only.json",
                                                 "no_still.json",         "no_processing_unit.json",
                                                 "uyvy_no_interrupt.json"};
  return names;
}

}  // namespace camtest
