// The simulated camera's standard requests: descriptors, status, features,
// address, configuration and interface selection.
#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "camera/camera_state.h"

namespace camera {

namespace {

// Standard request codes.
enum : uint8_t {
  kGetStatus = 0x00,
  kClearFeature = 0x01,
  kSetFeature = 0x03,
  kSetAddress = 0x05,
  kGetDescriptor = 0x06,
  kGetConfiguration = 0x08,
  kSetConfiguration = 0x09,
  kGetInterface = 0x0A,
  kSetInterface = 0x0B,
};

}  // namespace

host::UsbControlResult SimulatedCamera::State::GetDescriptor(ControlTransfer& t) {
  if (!t.in || t.recipient != 0) return t.Stall(0);
  const uint8_t descType = uint8_t(t.packet.wValue >> 8), index = uint8_t(t.packet.wValue);
  if (descType == kDescDevice && index == 0)
    return t.Reply(setup.deviceDescriptor.data(), setup.deviceDescriptor.size());
  if (descType == kDescConfiguration && index == 0)
    return t.Reply(setup.configuration.data(), setup.configuration.size());
  if (descType == kDescString) {
    if (index == 0) {
      const uint8_t languages[4] = {4, kDescString, 0x09, 0x04};
      return t.Reply(languages, 4);
    }
    auto it = setup.strings.find(index);
    const std::string* text = it != setup.strings.end() ? &it->second : nullptr;
    if (!text && !setup.fallbackString.empty()) text = &setup.fallbackString;
    if (!text) return t.Stall(0);
    std::vector<uint8_t> d = {uint8_t(2 + 2 * text->size()), kDescString};
    for (unsigned char ch : *text) PutLe16(&d, ch);
    return t.Reply(d.data(), d.size());
  }
  if (descType == kDescDeviceQualifier && setup.highSpeed) {
    const std::vector<uint8_t>& dev = setup.deviceDescriptor;
    const uint8_t qualifier[10] = {
        10, kDescDeviceQualifier, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], 1, 0};
    return t.Reply(qualifier, sizeof qualifier);
  }
  return t.Stall(0);
}

host::UsbControlResult SimulatedCamera::State::StandardRequest(ControlTransfer& t) {
  const CameraLayout& layout = setup.layout;
  switch (t.packet.bRequest) {
    case kGetDescriptor:
      return GetDescriptor(t);
    case kGetStatus: {
      if (!t.in) return t.Stall(0);
      uint8_t status[2] = {0, 0};
      if (t.recipient == 0) {
        status[0] =
            uint8_t(((setup.configuration[7] & 0x40) ? 1 : 0) | (remoteWakeup ? 2 : 0));
      } else if (t.recipient == 2) {
        const uint8_t ep = uint8_t(t.packet.wIndex);
        if ((ep & 0x7F) != 0 && !endpoints.count(ep)) return t.Stall(0);
        status[0] = haltedEndpoints.count(ep) ? 1 : 0;
      } else if (t.recipient != 1) {
        return t.Stall(0);
      }
      return t.Reply(status, 2);
    }
    case kClearFeature:
    case kSetFeature: {
      if (t.in) return t.Stall(0);
      const bool set = t.packet.bRequest == kSetFeature;
      if (t.recipient == 2 && t.packet.wValue == 0) {
        const uint8_t ep = uint8_t(t.packet.wIndex);
        if ((ep & 0x7F) != 0 && !endpoints.count(ep)) return t.Stall(0);
        if (set && (ep & 0x7F) != 0) haltedEndpoints.insert(ep);
        if (!set) haltedEndpoints.erase(ep);
        return t.Ok();
      }
      if (t.recipient == 0 && t.packet.wValue == 1) {
        remoteWakeup = set;
        return t.Ok();
      }
      return t.Stall(0);
    }
    case kSetAddress:
      if (t.in || t.recipient != 0 || t.packet.wValue > 127) return t.Stall(0);
      return t.Ok();
    case kGetConfiguration:
      if (!t.in || t.recipient != 0) return t.Stall(0);
      return t.Reply(&configuration, 1);
    case kSetConfiguration:
      if (t.in || t.recipient != 0) return t.Stall(0);
      if (t.packet.wValue != 0 && t.packet.wValue != layout.configurationValue) return t.Stall(0);
      configuration = uint8_t(t.packet.wValue);
      alternates.clear();
      haltedEndpoints.clear();
      return t.Ok();
    case kGetInterface: {
      if (!t.in || t.recipient != 1) return t.Stall(0);
      const uint8_t iface = uint8_t(t.packet.wIndex);
      bool exists = false;
      for (const auto& p : layout.interfaceSettings) exists = exists || p.first == iface;
      if (!exists) return t.Stall(0);
      auto it = alternates.find(iface);
      const uint8_t alt = it == alternates.end() ? 0 : it->second;
      return t.Reply(&alt, 1);
    }
    case kSetInterface: {
      if (t.in || t.recipient != 1) return t.Stall(0);
      const std::pair<uint8_t, uint8_t> wanted(uint8_t(t.packet.wIndex), uint8_t(t.packet.wValue));
      if (t.packet.wValue > 255 || t.packet.wIndex > 255 ||
          std::find(layout.interfaceSettings.begin(), layout.interfaceSettings.end(), wanted) ==
              layout.interfaceSettings.end())
        return t.Stall(0);
      alternates[wanted.first] = wanted.second;
      return t.Ok();
    }
    default:
      return t.Stall(0);
  }
}

}  // namespace camera
