// The simulated camera's inner state and the pieces its request handlers
// share: one control transfer in progress and the little-endian value codec.
// The handlers live by request kind: standard_requests.cpp,
// class_requests.cpp (video-control interface), streaming_requests.cpp
// (probe/commit and stills) and vendor_requests.cpp; simulated_camera.cpp
// routes each setup packet to one of them.
#pragma once

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstring>
#include <map>
#include <set>
#include <utility>
#include <vector>

#include "camera/camera_internal.h"
#include "platform/host/bounded_log.h"

namespace camera {

inline void EncodeLe(int64_t value, uint32_t length, uint8_t* out) {
  for (uint32_t i = 0; i < length; ++i)
    out[i] = uint8_t(uint64_t(value) >> (8 * std::min<uint32_t>(i, 7)));
  for (uint32_t i = 8; i < length; ++i) out[i] = value < 0 ? 0xFF : 0x00;
}

inline int64_t DecodeLe(const uint8_t* in, uint32_t length, bool isSigned) {
  uint64_t v = 0;
  const uint32_t n = std::min<uint32_t>(length, 8);
  for (uint32_t i = 0; i < n; ++i) v |= uint64_t(in[i]) << (8 * i);
  if (isSigned && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t(0) << (8 * n);
  return int64_t(v);
}

// One control transfer as a handler sees it: the setup packet, its data
// stage and the ways to end it. A class request's outcome also sets the
// camera's request error code (the one GET_CUR of that selector reads).
class ControlTransfer {
 public:
  ControlTransfer(const host::UsbSetupPacket& setup, uint8_t* buffer, uint8_t* errorCode,
                  uint32_t* stallCount)
      : packet(setup),
        data(buffer),
        in((setup.bmRequestType & 0x80) != 0),
        type((setup.bmRequestType >> 5) & 3),
        recipient(setup.bmRequestType & 0x1F),
        requestError_(errorCode),
        stalls_(stallCount) {}

  // Ends the request with a STALL handshake.
  host::UsbControlResult Stall(uint8_t code) {
    ++*stalls_;
    if (type == 1) *requestError_ = code;
    result.stalled = true;
    result.length = 0;
    return result;
  }
  // Copies a device-to-host answer, honouring wLength.
  host::UsbControlResult Reply(const uint8_t* bytes, size_t size) {
    const size_t n = std::min<size_t>(size, packet.wLength);
    if (n && data) std::memcpy(data, bytes, n);
    result.length = uint32_t(n);
    if (type == 1) *requestError_ = kErrNone;
    return result;
  }
  // Answers a GET_LEN: the two-byte length.
  host::UsbControlResult ReplyLength(uint16_t length) {
    const uint8_t b[2] = {uint8_t(length), uint8_t(length >> 8)};
    return Reply(b, 2);
  }
  // Accepts the request and its whole data stage.
  host::UsbControlResult Ok() {
    if (type == 1) *requestError_ = kErrNone;
    result.length = packet.wLength;
    return result;
  }

  const host::UsbSetupPacket& packet;
  uint8_t* const data;
  const bool in;
  const uint8_t type;       // 0 standard, 1 class, 2 vendor
  const uint8_t recipient;  // 0 device, 1 interface, 2 endpoint
  host::UsbControlResult result;

 private:
  uint8_t* requestError_;
  uint32_t* stalls_;
};

struct SimulatedCamera::State {
  Setup setup;
  std::map<std::pair<uint8_t, uint8_t>, ControlValues> controls;  // (entity id, selector)
  std::set<uint8_t> entities;
  ProbeControl probe;
  bool committed = false;
  ProbeControl commit;
  StillProbeControl stillProbe;
  bool stillCommitted = false;
  StillProbeControl stillCommit;
  uint8_t stillTrigger = 0;
  uint32_t stillTriggerCount = 0;
  uint32_t probeSets = 0, commits = 0, stalls = 0;
  uint8_t configuration = 0;
  std::map<uint8_t, uint8_t> alternates;
  std::set<uint8_t> haltedEndpoints;
  std::set<uint8_t> endpoints;
  bool remoteWakeup = false;
  uint8_t requestError = kErrNone;
  uint8_t powerMode = 0;
  host::BoundedLog<VendorRequestRecord, kVendorLogEntries> vendor;  // the latest requests
  VendorHandler vendorHandler;
  StreamSource stream;
  std::vector<std::array<uint8_t, 4>> statusQueue;

  // ---- request handlers, one per request kind ----
  // Standard requests (standard_requests.cpp).
  host::UsbControlResult StandardRequest(ControlTransfer& t);
  host::UsbControlResult GetDescriptor(ControlTransfer& t);
  // Class requests to an interface (class_requests.cpp): routed to the
  // video-control or the streaming interface.
  host::UsbControlResult ClassRequest(ControlTransfer& t);
  host::UsbControlResult InterfaceControlRequest(ControlTransfer& t, uint8_t selector);
  host::UsbControlResult UnitControlRequest(ControlTransfer& t, uint8_t entity, uint8_t selector);
  // Streaming-interface controls (streaming_requests.cpp).
  host::UsbControlResult StreamingRequest(ControlTransfer& t, uint8_t selector);
  host::UsbControlResult ProbeCommitRequest(ControlTransfer& t, bool probe);
  host::UsbControlResult StillProbeCommitRequest(ControlTransfer& t, bool probe);
  host::UsbControlResult StillTriggerRequest(ControlTransfer& t);
  host::UsbControlResult StreamErrorRequest(ControlTransfer& t);
  // Vendor requests: recorded, answered with zeros or configured bytes
  // (vendor_requests.cpp).
  host::UsbControlResult VendorRequest(ControlTransfer& t);

  // The processing unit's current values as the test picture shows them
  // (picture_controls.cpp); after every change of a unit control.
  void UpdatePictureControls();

  // ---- streaming and negotiation (streaming_requests.cpp) ----
  // Starts streaming the committed format once the host has committed and
  // (isochronous) chosen a non-zero alternate setting.
  void UpdateStreaming();
  const FormatInfo* FindFormat(uint8_t index) const;
  static const FrameInfo* FindFrame(const FormatInfo& format, uint8_t index);
  uint32_t MaxVideoFrameSize(const FormatInfo& format, const FrameInfo& frame) const;
  // Bytes per transfer the camera asks for: for isochronous streaming the
  // smallest alternate setting that carries the frame at the interval (or
  // the largest one if none does, or always with the "largest" policy).
  uint32_t PayloadSize(uint32_t frameSize, uint32_t interval) const;
  static uint32_t NearestInterval(const FrameInfo& frame, uint32_t requested);
  // Settles a requested probe on what the camera supports; false if the
  // format or frame index names nothing.
  bool Negotiate(const ProbeControl& request, ProbeControl* out) const;
  ProbeControl DefaultProbe() const;
  const FormatInfo* StillFormat(uint8_t index) const;
  bool HasStills() const;
  bool NegotiateStill(const uint8_t* in, StillProbeControl* out) const;
  static void StillToBytes(const StillProbeControl& s, uint8_t out[StillProbeControl::kSize]);
};

}  // namespace camera
