// The simulated camera's class requests to its video-control interface: the
// interface's own controls (request error code, power mode) and the unit
// and terminal controls. Requests to the streaming interface go on to
// streaming_requests.cpp.
#include <algorithm>
#include <cstdint>

#include "camera/camera_state.h"

namespace camera {

host::UsbControlResult SimulatedCamera::State::ClassRequest(ControlTransfer& t) {
  if (t.type != 1 || t.recipient != 1) return t.Stall(kErrInvalidRequest);
  const uint8_t request = t.packet.bRequest;
  if (request == kSetCur ? t.in : !t.in) return t.Stall(kErrInvalidRequest);
  const uint8_t iface = uint8_t(t.packet.wIndex), entity = uint8_t(t.packet.wIndex >> 8);
  const uint8_t selector = uint8_t(t.packet.wValue >> 8);
  const CameraLayout& layout = setup.layout;

  if (iface == layout.controlInterface) {
    if (entity == 0) return InterfaceControlRequest(t, selector);
    return UnitControlRequest(t, entity, selector);
  }
  if (iface != layout.streamingInterface || entity != 0) return t.Stall(kErrInvalidUnit);
  return StreamingRequest(t, selector);
}

host::UsbControlResult SimulatedCamera::State::InterfaceControlRequest(ControlTransfer& t,
                                                                       uint8_t selector) {
  const uint8_t request = t.packet.bRequest;
  if (selector == kVcRequestErrorCode) {
    if (request == kGetCur) {
      const uint8_t code = requestError;
      t.result.length = uint32_t(std::min<size_t>(1, t.packet.wLength));
      if (t.result.length) t.data[0] = code;
      return t.result;  // reading the code leaves it as it was
    }
    if (request == kGetInfo) {
      const uint8_t info = 1;
      return t.Reply(&info, 1);
    }
    return t.Stall(kErrInvalidRequest);
  }
  if (selector == kVcVideoPowerMode) {
    if (request == kGetCur) return t.Reply(&powerMode, 1);
    if (request == kGetInfo) {
      const uint8_t info = 3;
      return t.Reply(&info, 1);
    }
    if (request == kSetCur) {
      if (t.packet.wLength < 1) return t.Stall(kErrInvalidRequest);
      powerMode = t.data[0];
      return t.Ok();
    }
    return t.Stall(kErrInvalidRequest);
  }
  return t.Stall(kErrInvalidControl);
}

host::UsbControlResult SimulatedCamera::State::UnitControlRequest(ControlTransfer& t,
                                                                  uint8_t entity,
                                                                  uint8_t selector) {
  const uint8_t request = t.packet.bRequest;
  if (!entities.count(entity)) return t.Stall(kErrInvalidUnit);
  auto it = controls.find({entity, selector});
  if (it == controls.end()) return t.Stall(kErrInvalidControl);
  ControlValues& cv = it->second;
  uint8_t buffer[16];
  switch (request) {
    case kSetCur: {
      if (!(cv.info & 2)) return t.Stall(kErrWrongState);
      if (t.packet.wLength < cv.length) return t.Stall(kErrInvalidRequest);
      const int64_t v = DecodeLe(t.data, cv.length, cv.isSigned);
      if (cv.kind == ControlKind::kScalar && (v < cv.min || v > cv.max))
        return t.Stall(kErrOutOfRange);
      if (cv.kind == ControlKind::kBitmap && (v == 0 || (v & (v - 1)) != 0 || (v & cv.res) == 0))
        return t.Stall(kErrOutOfRange);
      cv.cur.assign(t.data, t.data + cv.length);
      UpdatePictureControls();
      return t.Ok();
    }
    case kGetCur:
      if (!(cv.info & 1)) return t.Stall(kErrWrongState);
      return t.Reply(cv.cur.data(), cv.cur.size());
    case kGetMin:
    case kGetMax:
    case kGetRes:
    case kGetDef: {
      if (cv.kind == ControlKind::kBitmap && (request == kGetMin || request == kGetMax))
        return t.Stall(kErrInvalidRequest);
      const int64_t v = request == kGetMin   ? cv.min
                        : request == kGetMax ? cv.max
                        : request == kGetRes ? cv.res
                                             : cv.def;
      EncodeLe(v, cv.length, buffer);
      return t.Reply(buffer, cv.length);
    }
    case kGetInfo:
      return t.Reply(&cv.info, 1);
    case kGetLen:
      return t.ReplyLength(cv.length);
    default:
      return t.Stall(kErrInvalidRequest);
  }
}

}  // namespace camera
