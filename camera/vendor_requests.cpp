// The simulated camera's vendor requests: every one is recorded; answers come
// from a test's handler, else from the configured reply bytes, else zeros.
#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "camera/camera_state.h"

namespace camera {

host::UsbControlResult SimulatedCamera::State::VendorRequest(ControlTransfer& t) {
  VendorRequestRecord record;
  record.bmRequestType = t.packet.bmRequestType;
  record.bRequest = t.packet.bRequest;
  record.wValue = t.packet.wValue;
  record.wIndex = t.packet.wIndex;
  record.wLength = t.packet.wLength;
  record.directionIn = t.in;
  if (!t.in && t.packet.wLength) record.data.assign(t.data, t.data + t.packet.wLength);
  bool stalled = false;
  bool handled = false;
  if (vendorHandler) {
    if (t.in && t.packet.wLength) std::memset(t.data, 0, t.packet.wLength);
    handled = vendorHandler(t.packet, t.data, &stalled);
  }
  if (!handled && t.in && t.packet.wLength) {
    std::memset(t.data, 0, t.packet.wLength);
    auto it = setup.vendorReplies.find(t.packet.bRequest);
    if (it != setup.vendorReplies.end())
      std::memcpy(t.data, it->second.data(), std::min<size_t>(it->second.size(), t.packet.wLength));
  }
  if (t.in && !stalled && t.packet.wLength) record.data.assign(t.data, t.data + t.packet.wLength);
  vendor.push_back(std::move(record));
  if (stalled) return t.Stall(kErrNone);
  t.result.length = t.packet.wLength;
  return t.result;
}

std::vector<VendorRequestRecord> SimulatedCamera::VendorRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->vendor;
}

void SimulatedCamera::ClearVendorRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->vendor.clear();
}

void SimulatedCamera::SetVendorReply(uint8_t bRequest, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.vendorReplies[bRequest] = std::move(bytes);
}

void SimulatedCamera::SetVendorHandler(VendorHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->vendorHandler = std::move(handler);
}

}  // namespace camera
