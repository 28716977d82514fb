// The simulated camera's streaming interface: probe/commit negotiation, the
// still probe/commit and trigger controls, and starting or stopping the
// stream the committed format describes.
#include <algorithm>
#include <cstring>
#include <vector>

#include "camera/camera_state.h"

namespace camera {

namespace {

constexpr uint32_t kPayloadHeaderBytes = 12;

}  // namespace

void ProbeControl::ToBytes(uint8_t out[kSize]) const {
  std::vector<uint8_t> v;
  PutLe16(&v, bmHint);
  v.push_back(bFormatIndex);
  v.push_back(bFrameIndex);
  PutLe32(&v, dwFrameInterval);
  PutLe16(&v, wKeyFrameRate);
  PutLe16(&v, wPFrameRate);
  PutLe16(&v, wCompQuality);
  PutLe16(&v, wCompWindowSize);
  PutLe16(&v, wDelay);
  PutLe32(&v, dwMaxVideoFrameSize);
  PutLe32(&v, dwMaxPayloadTransferSize);
  std::memcpy(out, v.data(), kSize);
}

ProbeControl ProbeControl::FromBytes(const uint8_t in[kSize]) {
  ProbeControl p;
  p.bmHint = Le16(in);
  p.bFormatIndex = in[2];
  p.bFrameIndex = in[3];
  p.dwFrameInterval = Le32(in + 4);
  p.wKeyFrameRate = Le16(in + 8);
  p.wPFrameRate = Le16(in + 10);
  p.wCompQuality = Le16(in + 12);
  p.wCompWindowSize = Le16(in + 14);
  p.wDelay = Le16(in + 16);
  p.dwMaxVideoFrameSize = Le32(in + 18);
  p.dwMaxPayloadTransferSize = Le32(in + 22);
  return p;
}

void SimulatedCamera::State::UpdateStreaming() {
  const CameraLayout& l = setup.layout;
  auto alt = alternates.find(l.streamingInterface);
  bool on = committed && (l.bulk || (alt != alternates.end() && alt->second != 0));
  if (!on) {
    stream.Stop();
    return;
  }
  const FormatInfo* format = FindFormat(commit.bFormatIndex);
  const FrameInfo* frame = format ? FindFrame(*format, commit.bFrameIndex) : nullptr;
  if (!frame) {
    stream.Stop();
    return;
  }
  StreamSettings st;
  st.format = format->kind == FormatKind::kMjpeg ? StreamFormat::kMjpeg
              : std::memcmp(format->guid, "UYVY", 4) == 0 ? StreamFormat::kUyvy
                                                          : StreamFormat::kYuy2;
  st.width = frame->width;
  st.height = frame->height;
  st.interval100ns = commit.dwFrameInterval ? commit.dwFrameInterval : frame->defaultInterval;
  st.payloadSize = commit.dwMaxPayloadTransferSize;
  st.bulk = l.bulk;
  st.headerLength = setup.headerLength;
  st.trailer = setup.trailer;
  if (stillCommitted && stillCommit.bFrameIndex >= 1 &&
      stillCommit.bFrameIndex <= format->stillSizes.size()) {
    st.stillWidth = format->stillSizes[stillCommit.bFrameIndex - 1].first;
    st.stillHeight = format->stillSizes[stillCommit.bFrameIndex - 1].second;
  }
  stream.SetFaults(setup.streamFaults);
  stream.SetPlayFile(setup.playBytes);
  stream.Start(st, 0);
}

const FormatInfo* SimulatedCamera::State::FindFormat(uint8_t index) const {
  for (const FormatInfo& f : setup.layout.formats)
    if (f.index == index) return &f;
  return nullptr;
}
const FrameInfo* SimulatedCamera::State::FindFrame(const FormatInfo& format, uint8_t index) {
  for (const FrameInfo& f : format.frames)
    if (f.index == index) return &f;
  return nullptr;
}

uint32_t SimulatedCamera::State::MaxVideoFrameSize(const FormatInfo& format,
                                                   const FrameInfo& frame) const {
  const uint64_t pixels = uint64_t(frame.width) * frame.height;
  if (format.kind == FormatKind::kUncompressed) {
    const uint32_t bpp = format.bitsPerPixel ? format.bitsPerPixel : 16;
    return uint32_t(std::min<uint64_t>(pixels * bpp / 8, 0xFFFFFFFF));
  }
  if (frame.maxFrameBufferSize) return frame.maxFrameBufferSize;
  return uint32_t(std::min<uint64_t>(pixels * 2, 0xFFFFFFFF));
}

uint32_t SimulatedCamera::State::PayloadSize(uint32_t frameSize, uint32_t interval) const {
  const CameraLayout& l = setup.layout;
  if (l.bulk)
    return setup.bulkPayloadTransferSize
               ? setup.bulkPayloadTransferSize
               : std::min<uint32_t>(frameSize, 0xFFFFFFFF - kPayloadHeaderBytes) +
                     kPayloadHeaderBytes;
  uint32_t largest = 0;
  for (const auto& alt : l.isoAlternateSettings)
    largest = std::max(largest, EffectivePacketSize(alt.second));
  if (setup.payloadFromLargestAlternate || interval == 0) return largest;
  const uint64_t unit = setup.highSpeed ? 1250 : 10000;  // (micro)frame length in 100 ns
  const uint64_t needed =
      (uint64_t(frameSize) * unit + interval - 1) / interval + kPayloadHeaderBytes;
  uint32_t best = 0;
  for (const auto& alt : l.isoAlternateSettings) {
    const uint32_t size = EffectivePacketSize(alt.second);
    if (size >= needed && (best == 0 || size < best)) best = size;
  }
  return best ? best : largest;
}

uint32_t SimulatedCamera::State::NearestInterval(const FrameInfo& frame, uint32_t requested) {
  if (requested == 0) return frame.defaultInterval;
  if (!frame.intervals.empty()) {
    uint32_t best = frame.intervals[0];
    for (uint32_t candidate : frame.intervals) {
      const uint64_t d = candidate > requested ? candidate - requested : requested - candidate;
      const uint64_t bd = best > requested ? best - requested : requested - best;
      if (d < bd || (d == bd && candidate < best)) best = candidate;
    }
    return best;
  }
  uint64_t v = std::min(std::max(requested, frame.minInterval), frame.maxInterval);
  if (frame.intervalStep) {
    const uint64_t k = (v - frame.minInterval + frame.intervalStep / 2) / frame.intervalStep;
    v = frame.minInterval + k * frame.intervalStep;
    while (v > frame.maxInterval) v -= frame.intervalStep;
  }
  return uint32_t(v);
}

bool SimulatedCamera::State::Negotiate(const ProbeControl& request, ProbeControl* out) const {
  const FormatInfo* format = FindFormat(request.bFormatIndex);
  if (!format) return false;
  const FrameInfo* frame = FindFrame(*format, request.bFrameIndex);
  if (!frame) return false;
  *out = request;
  out->dwFrameInterval = NearestInterval(*frame, request.dwFrameInterval);
  out->wDelay = 0;
  out->dwMaxVideoFrameSize = MaxVideoFrameSize(*format, *frame);
  out->dwMaxPayloadTransferSize = PayloadSize(out->dwMaxVideoFrameSize, out->dwFrameInterval);
  return true;
}

ProbeControl SimulatedCamera::State::DefaultProbe() const {
  const FormatInfo& format = setup.layout.formats.front();
  const FrameInfo* frame = FindFrame(format, format.defaultFrameIndex);
  if (!frame) frame = &format.frames.front();
  ProbeControl request;
  request.bmHint = 1;  // frame interval fixed
  request.bFormatIndex = format.index;
  request.bFrameIndex = frame->index;
  ProbeControl out;
  Negotiate(request, &out);
  return out;
}

const FormatInfo* SimulatedCamera::State::StillFormat(uint8_t index) const {
  if (index != 0) return FindFormat(index);
  return FindFormat(committed ? commit.bFormatIndex : probe.bFormatIndex);
}

bool SimulatedCamera::State::HasStills() const {
  for (const FormatInfo& f : setup.layout.formats)
    if (!f.stillSizes.empty()) return true;
  return false;
}

bool SimulatedCamera::State::NegotiateStill(const uint8_t* in, StillProbeControl* out) const {
  const FormatInfo* format = StillFormat(in[0]);
  if (!format || in[1] == 0 || in[1] > format->stillSizes.size()) return false;
  const auto size = format->stillSizes[in[1] - 1];
  out->bFormatIndex = format->index;
  out->bFrameIndex = in[1];
  out->bCompressionIndex = in[2];
  const uint64_t pixels = uint64_t(size.first) * size.second;
  out->dwMaxVideoFrameSize = uint32_t(
      std::min<uint64_t>(format->kind == FormatKind::kMjpeg ? pixels : pixels * 2, 0xFFFFFFFF));
  const ProbeControl& video = committed ? commit : probe;
  out->dwMaxPayloadTransferSize = video.dwMaxPayloadTransferSize;
  return true;
}

void SimulatedCamera::State::StillToBytes(const StillProbeControl& s,
                                          uint8_t out[StillProbeControl::kSize]) {
  out[0] = s.bFormatIndex;
  out[1] = s.bFrameIndex;
  out[2] = s.bCompressionIndex;
  for (int i = 0; i < 4; ++i) out[3 + i] = uint8_t(s.dwMaxVideoFrameSize >> (8 * i));
  for (int i = 0; i < 4; ++i) out[7 + i] = uint8_t(s.dwMaxPayloadTransferSize >> (8 * i));
}

host::UsbControlResult SimulatedCamera::State::StreamingRequest(ControlTransfer& t,
                                                                uint8_t selector) {
  switch (selector) {
    case kVsProbe:
    case kVsCommit:
      return ProbeCommitRequest(t, selector == kVsProbe);
    case kVsStillProbe:
    case kVsStillCommit:
      return StillProbeCommitRequest(t, selector == kVsStillProbe);
    case kVsStillTrigger:
      return StillTriggerRequest(t);
    case kVsStreamErrorCode:
      return StreamErrorRequest(t);
    default:
      return t.Stall(kErrInvalidControl);
  }
}

host::UsbControlResult SimulatedCamera::State::ProbeCommitRequest(ControlTransfer& t,
                                                                  bool isProbe) {
  const uint8_t request = t.packet.bRequest;
  uint8_t bytes[ProbeControl::kSize];
  switch (request) {
    case kGetCur: {
      ProbeControl p = isProbe ? probe : (committed ? commit : DefaultProbe());
      if (setup.faults.zeroPayloadSize && isProbe) p.dwMaxPayloadTransferSize = 0;
      p.ToBytes(bytes);
      return t.Reply(bytes, sizeof bytes);
    }
    case kGetMin:
    case kGetMax:
    case kGetDef: {
      if (!isProbe) return t.Stall(kErrInvalidRequest);
      ProbeControl p = request == kGetDef ? DefaultProbe() : probe;
      if (request != kGetDef) {
        const FormatInfo* format = FindFormat(p.bFormatIndex);
        const FrameInfo* frame = format ? State::FindFrame(*format, p.bFrameIndex) : nullptr;
        if (frame) {
          uint32_t lo = frame->minInterval, hi = frame->maxInterval;
          if (!frame->intervals.empty()) {
            lo = *std::min_element(frame->intervals.begin(), frame->intervals.end());
            hi = *std::max_element(frame->intervals.begin(), frame->intervals.end());
          }
          p.dwFrameInterval = request == kGetMin ? lo : hi;
        }
      }
      p.ToBytes(bytes);
      return t.Reply(bytes, sizeof bytes);
    }
    case kGetLen:
      return t.ReplyLength(ProbeControl::kSize);
    case kGetInfo: {
      const uint8_t info = 3;
      return t.Reply(&info, 1);
    }
    case kSetCur: {
      if (isProbe && setup.faults.rejectProbe) return t.Stall(kErrWrongState);
      if (t.packet.wLength < ProbeControl::kSize) return t.Stall(kErrInvalidRequest);
      ProbeControl settled;
      if (!Negotiate(ProbeControl::FromBytes(t.data), &settled)) return t.Stall(kErrOutOfRange);
      if (isProbe) {
        probe = settled;
        ++probeSets;
      } else {
        commit = settled;
        probe = settled;
        committed = true;
        ++commits;
        UpdateStreaming();
      }
      return t.Ok();
    }
    default:
      return t.Stall(kErrInvalidRequest);
  }
}

host::UsbControlResult SimulatedCamera::State::StillProbeCommitRequest(ControlTransfer& t,
                                                                       bool isProbe) {
  const uint8_t request = t.packet.bRequest;
  if (!HasStills()) return t.Stall(kErrInvalidControl);
  uint8_t bytes[StillProbeControl::kSize];
  switch (request) {
    case kGetCur:
    case kGetDef:
    case kGetMin:
    case kGetMax: {
      if (!isProbe && request != kGetCur) return t.Stall(kErrInvalidRequest);
      StillProbeControl p = isProbe ? stillProbe : stillCommit;
      if (request != kGetCur || p.bFormatIndex == 0) {
        const uint8_t def[3] = {0, 1, 0};
        if (!NegotiateStill(def, &p)) {
          // The current format has no still sizes: offer the first that has.
          for (const FormatInfo& f : setup.layout.formats)
            if (!f.stillSizes.empty()) {
              const uint8_t first[3] = {f.index, 1, 0};
              NegotiateStill(first, &p);
              break;
            }
        }
        if (request == kGetMax) {
          const FormatInfo* f = FindFormat(p.bFormatIndex);
          const uint8_t last[3] = {p.bFormatIndex, uint8_t(f->stillSizes.size()), 0};
          NegotiateStill(last, &p);
        }
      }
      State::StillToBytes(p, bytes);
      return t.Reply(bytes, sizeof bytes);
    }
    case kGetLen:
      return t.ReplyLength(StillProbeControl::kSize);
    case kGetInfo: {
      const uint8_t info = 3;
      return t.Reply(&info, 1);
    }
    case kSetCur: {
      if (t.packet.wLength < StillProbeControl::kSize) return t.Stall(kErrInvalidRequest);
      StillProbeControl settled;
      if (!NegotiateStill(t.data, &settled)) return t.Stall(kErrOutOfRange);
      if (isProbe) {
        stillProbe = settled;
      } else {
        stillCommit = settled;
        stillCommitted = true;
        // A still commit while streaming sizes the stills from now on.
        const FormatInfo* still = FindFormat(settled.bFormatIndex);
        if (still && settled.bFrameIndex >= 1 && settled.bFrameIndex <= still->stillSizes.size()) {
          const auto size = still->stillSizes[settled.bFrameIndex - 1];
          stream.SetStillSize(size.first, size.second);
        }
      }
      return t.Ok();
    }
    default:
      return t.Stall(kErrInvalidRequest);
  }
}

host::UsbControlResult SimulatedCamera::State::StillTriggerRequest(ControlTransfer& t) {
  const uint8_t request = t.packet.bRequest;
  if (!HasStills()) return t.Stall(kErrInvalidControl);
  switch (request) {
    case kGetCur:
      return t.Reply(&stillTrigger, 1);
    case kGetInfo: {
      const uint8_t info = 3;
      return t.Reply(&info, 1);
    }
    case kGetLen:
      return t.ReplyLength(1);
    case kSetCur:
      if (t.packet.wLength < 1) return t.Stall(kErrInvalidRequest);
      if (t.data[0] > 3) return t.Stall(kErrOutOfRange);
      stillTrigger = t.data[0];
      if (t.data[0] == 1 || t.data[0] == 2) {
        ++stillTriggerCount;
        stream.TriggerStill();
      }
      return t.Ok();
    default:
      return t.Stall(kErrInvalidRequest);
  }
}

host::UsbControlResult SimulatedCamera::State::StreamErrorRequest(ControlTransfer& t) {
  const uint8_t request = t.packet.bRequest;
  if (request == kGetCur) {
    const uint8_t code = 0;
    return t.Reply(&code, 1);
  }
  if (request == kGetInfo) {
    const uint8_t info = 1;
    return t.Reply(&info, 1);
  }
  return t.Stall(kErrInvalidRequest);
}

}  // namespace camera
