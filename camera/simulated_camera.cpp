// The simulated camera's control endpoint: standard requests, the unit
// controls of its video-control interface, probe/commit and the still
// controls of its streaming interface, and vendor requests (recorded).
#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>

#include "camera/camera_internal.h"
#include "platform/host/bounded_log.h"

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

constexpr uint32_t kPayloadHeaderBytes = 12;

void EncodeLe(int64_t value, uint32_t length, uint8_t* out) {
  for (uint32_t i = 0; i < length; ++i)
    out[i] = uint8_t(uint64_t(value) >> (8 * std::min<uint32_t>(i, 7)));
  for (uint32_t i = 8; i < length; ++i) out[i] = value < 0 ? 0xFF : 0x00;
}

int64_t DecodeLe(const uint8_t* in, uint32_t length, bool isSigned) {
  uint64_t v = 0;
  const uint32_t n = std::min<uint32_t>(length, 8);
  for (uint32_t i = 0; i < n; ++i) v |= uint64_t(in[i]) << (8 * i);
  if (isSigned && n < 8 && (v >> (8 * n - 1)) & 1) v |= ~uint64_t(0) << (8 * n);
  return int64_t(v);
}

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
  uint32_t probeSets = 0, commits = 0, stalls = 0, controlRequests = 0;
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
  StreamSettings streamSettings;
  std::vector<std::array<uint8_t, 4>> statusQueue;

  // Starts streaming the committed format once the host has committed and
  // (isochronous) chosen a non-zero alternate setting.
  void UpdateStreaming() {
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
    streamSettings = st;
    stream.SetFaults(setup.streamFaults);
    stream.SetPlayFile(setup.play);
    stream.Start(st, 0);
  }

  const FormatInfo* FindFormat(uint8_t index) const {
    for (const FormatInfo& f : setup.layout.formats)
      if (f.index == index) return &f;
    return nullptr;
  }
  static const FrameInfo* FindFrame(const FormatInfo& format, uint8_t index) {
    for (const FrameInfo& f : format.frames)
      if (f.index == index) return &f;
    return nullptr;
  }

  uint32_t MaxVideoFrameSize(const FormatInfo& format, const FrameInfo& frame) const {
    const uint64_t pixels = uint64_t(frame.width) * frame.height;
    if (format.kind == FormatKind::kUncompressed) {
      const uint32_t bpp = format.bitsPerPixel ? format.bitsPerPixel : 16;
      return uint32_t(std::min<uint64_t>(pixels * bpp / 8, 0xFFFFFFFF));
    }
    if (frame.maxFrameBufferSize) return frame.maxFrameBufferSize;
    return uint32_t(std::min<uint64_t>(pixels * 2, 0xFFFFFFFF));
  }

  // Bytes per transfer the camera asks for: for isochronous streaming the
  // smallest alternate setting that carries the frame at the interval (or
  // the largest one if none does, or always with the "largest" policy).
  uint32_t PayloadSize(uint32_t frameSize, uint32_t interval) const {
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

  static uint32_t NearestInterval(const FrameInfo& frame, uint32_t requested) {
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

  // Settles a requested probe on what the camera supports; false if the
  // format or frame index names nothing.
  bool Negotiate(const ProbeControl& request, ProbeControl* out) const {
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

  ProbeControl DefaultProbe() const {
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

  const FormatInfo* StillFormat(uint8_t index) const {
    if (index != 0) return FindFormat(index);
    return FindFormat(committed ? commit.bFormatIndex : probe.bFormatIndex);
  }

  bool HasStills() const {
    for (const FormatInfo& f : setup.layout.formats)
      if (!f.stillSizes.empty()) return true;
    return false;
  }

  bool NegotiateStill(const uint8_t* in, StillProbeControl* out) const {
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

  static void StillToBytes(const StillProbeControl& s, uint8_t out[StillProbeControl::kSize]) {
    out[0] = s.bFormatIndex;
    out[1] = s.bFrameIndex;
    out[2] = s.bCompressionIndex;
    for (int i = 0; i < 4; ++i) out[3 + i] = uint8_t(s.dwMaxVideoFrameSize >> (8 * i));
    for (int i = 0; i < 4; ++i) out[7 + i] = uint8_t(s.dwMaxPayloadTransferSize >> (8 * i));
  }
};

SimulatedCamera::SimulatedCamera(Setup setup) : state_(new State) {
  State& s = *state_;
  s.setup = std::move(setup);
  const CameraLayout& layout = s.setup.layout;
  for (const EntityInfo& e : layout.entities) {
    s.entities.insert(e.id);
    const std::vector<ControlDef>* table = e.subtype == kVcInputTerminal ? &CameraTerminalControls()
                                           : e.subtype == kVcProcessingUnit
                                               ? &ProcessingUnitControls()
                                               : nullptr;
    for (uint8_t bit = 0; bit < 32; ++bit) {
      if (!(e.bmControls & (1u << bit))) continue;
      ControlValues cv;
      if (table) {
        const ControlDef* def = FindControlByBit(*table, bit);
        if (!def) continue;  // a reserved bit: no control behind it
        cv.selector = def->selector;
        cv.length = def->length;
        cv.info = def->info;
        cv.isSigned = def->isSigned;
        cv.kind = def->kind;
        cv.min = def->min, cv.max = def->max, cv.def = def->def, cv.res = def->res;
      } else if (e.subtype == kVcExtensionUnit) {
        cv.selector = uint8_t(bit + 1);
        cv.length = 2;
        cv.min = 0, cv.max = 0xFFFF, cv.def = 0, cv.res = 1;
      } else {
        continue;
      }
      auto o = s.setup.overrides.find({e.id, cv.selector});
      if (o != s.setup.overrides.end()) {
        const ControlOverride& ov = o->second;
        if (ov.hasLength) cv.length = ov.length;
        if (ov.hasMin) cv.min = ov.min;
        if (ov.hasMax) cv.max = ov.max;
        if (ov.hasDef) cv.def = ov.def;
        if (ov.hasRes) cv.res = ov.res;
        if (ov.hasInfo) cv.info = ov.info;
        if (cv.min < 0) cv.isSigned = true;
      }
      cv.cur.assign(cv.length, 0);
      EncodeLe(cv.def, cv.length, cv.cur.data());
      s.controls[{e.id, cv.selector}] = cv;
    }
  }
  // Every endpoint address of the configuration, for the halt feature.
  const std::vector<uint8_t>& c = s.setup.configuration;
  for (size_t off = 0; off + 2 <= c.size() && c[off] >= 2 && off + c[off] <= c.size();
       off += c[off])
    if (c[off + 1] == kDescEndpoint && c[off] >= 7) s.endpoints.insert(c[off + 2]);
  s.probe = s.DefaultProbe();
}

SimulatedCamera::~SimulatedCamera() = default;

bool SimulatedCamera::HighSpeed() const { return state_->setup.highSpeed; }
const std::vector<uint8_t>& SimulatedCamera::DeviceDescriptor() const {
  return state_->setup.deviceDescriptor;
}
const std::vector<uint8_t>& SimulatedCamera::ConfigurationDescriptor() const {
  return state_->setup.configuration;
}
const CameraLayout& SimulatedCamera::Layout() const { return state_->setup.layout; }

std::vector<uint8_t> SimulatedCamera::DescriptorDump() const {
  std::vector<uint8_t> dump = state_->setup.deviceDescriptor;
  dump.insert(dump.end(), state_->setup.configuration.begin(), state_->setup.configuration.end());
  return dump;
}

void SimulatedCamera::ConfigurationSelected(uint8_t bConfigurationValue) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->configuration = bConfigurationValue;
  state_->alternates.clear();
  state_->stream.Stop();
}

void SimulatedCamera::InterfaceSelected(uint8_t bInterfaceNumber, uint8_t bAlternateSetting) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->alternates[bInterfaceNumber] = bAlternateSetting;
  if (bInterfaceNumber == state_->setup.layout.streamingInterface) {
    // An isochronous camera streams while a non-zero setting is selected; a
    // bulk camera from the commit until its endpoint is reset.
    if (!state_->setup.layout.bulk) state_->UpdateStreaming();
  }
}

void SimulatedCamera::EndpointReset(uint8_t endpointAddress) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->setup.layout.bulk && endpointAddress == state_->setup.layout.streamingEndpoint) {
    state_->stream.Stop();
    state_->committed = false;
  }
}

host::UsbInResult SimulatedCamera::InTransfer(uint8_t endpointAddress, uint64_t busTime100ns,
                                              uint8_t* data, uint32_t capacity) {
  std::lock_guard<std::mutex> lock(mutex_);
  State& s = *state_;
  const CameraLayout& l = s.setup.layout;
  if (l.hasInterruptEndpoint && endpointAddress == l.interruptEndpoint) {
    host::UsbInResult r;
    if (s.statusQueue.empty()) return r;
    uint32_t n = std::min<uint32_t>(4, capacity);
    std::memcpy(data, s.statusQueue.front().data(), n);
    s.statusQueue.erase(s.statusQueue.begin());
    r.kind = host::UsbInResult::kData;
    r.length = n;
    return r;
  }
  if (endpointAddress != l.streamingEndpoint) return host::UsbInResult{};
  return s.stream.Next(busTime100ns, data, capacity);
}

void SimulatedCamera::SetStreamFaults(const StreamFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.streamFaults = faults;
  state_->stream.SetFaults(faults);
}

StreamFaults SimulatedCamera::GetStreamFaults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->setup.streamFaults;
}

void SimulatedCamera::SetPlayBytes(std::vector<uint8_t> bytes) {
  SetPlayFile(PlayFile::FromBytes(std::move(bytes)));
}

void SimulatedCamera::SetPlayFile(std::shared_ptr<PlayFile> play) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.play = std::move(play);
}

void SimulatedCamera::PressStillButton() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->statusQueue.push_back({0x02, 0x01, 0x00, 0x01});
}

bool SimulatedCamera::Streaming() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.Running();
}

uint64_t SimulatedCamera::FramesSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.FramesStarted();
}

uint64_t SimulatedCamera::StillsSent() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stream.StillsSent();
}

StreamSettings SimulatedCamera::CurrentStream() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->streamSettings;
}

host::UsbControlResult SimulatedCamera::Control(const host::UsbSetupPacket& setup, uint8_t* data) {
  std::lock_guard<std::mutex> lock(mutex_);
  State& s = *state_;
  ++s.controlRequests;
  const bool in = (setup.bmRequestType & 0x80) != 0;
  const uint8_t type = (setup.bmRequestType >> 5) & 3;
  const uint8_t recipient = setup.bmRequestType & 0x1F;
  host::UsbControlResult result;
  auto stall = [&](uint8_t code) {
    ++s.stalls;
    if (type == 1) s.requestError = code;
    result.stalled = true;
    result.length = 0;
    return result;
  };
  // Copies a device-to-host answer, honouring wLength.
  auto reply = [&](const uint8_t* bytes, size_t size) {
    const size_t n = std::min<size_t>(size, setup.wLength);
    if (n && data) std::memcpy(data, bytes, n);
    result.length = uint32_t(n);
    if (type == 1) s.requestError = kErrNone;
    return result;
  };
  auto ok = [&]() {
    if (type == 1) s.requestError = kErrNone;
    result.length = setup.wLength;
    return result;
  };
  if (setup.wLength && !data) return stall(kErrInvalidRequest);

  // ---- vendor requests: recorded, answered with zeros or configured bytes ----
  if (type == 2) {
    VendorRequestRecord record;
    record.bmRequestType = setup.bmRequestType;
    record.bRequest = setup.bRequest;
    record.wValue = setup.wValue;
    record.wIndex = setup.wIndex;
    record.wLength = setup.wLength;
    record.directionIn = in;
    if (!in && setup.wLength) record.data.assign(data, data + setup.wLength);
    bool stalled = false;
    bool handled = false;
    if (s.vendorHandler) {
      if (in && setup.wLength) std::memset(data, 0, setup.wLength);
      handled = s.vendorHandler(setup, data, &stalled);
    }
    if (!handled && in && setup.wLength) {
      std::memset(data, 0, setup.wLength);
      auto it = s.setup.vendorReplies.find(setup.bRequest);
      if (it != s.setup.vendorReplies.end())
        std::memcpy(data, it->second.data(), std::min<size_t>(it->second.size(), setup.wLength));
    }
    if (in && !stalled && setup.wLength) record.data.assign(data, data + setup.wLength);
    s.vendor.Add(std::move(record));
    if (stalled) return stall(kErrNone);
    result.length = setup.wLength;
    return result;
  }

  // ---- standard requests ----
  if (type == 0) {
    const CameraLayout& layout = s.setup.layout;
    switch (setup.bRequest) {
      case kGetDescriptor: {
        if (!in || recipient != 0) return stall(0);
        const uint8_t descType = uint8_t(setup.wValue >> 8), index = uint8_t(setup.wValue);
        if (descType == kDescDevice && index == 0)
          return reply(s.setup.deviceDescriptor.data(), s.setup.deviceDescriptor.size());
        if (descType == kDescConfiguration && index == 0)
          return reply(s.setup.configuration.data(), s.setup.configuration.size());
        if (descType == kDescString) {
          if (index == 0) {
            const uint8_t languages[4] = {4, kDescString, 0x09, 0x04};
            return reply(languages, 4);
          }
          auto it = s.setup.strings.find(index);
          const std::string* text = it != s.setup.strings.end() ? &it->second : nullptr;
          if (!text && !s.setup.fallbackString.empty()) text = &s.setup.fallbackString;
          if (!text) return stall(0);
          std::vector<uint8_t> d = {uint8_t(2 + 2 * text->size()), kDescString};
          for (unsigned char ch : *text) PutLe16(&d, ch);
          return reply(d.data(), d.size());
        }
        if (descType == kDescDeviceQualifier && s.setup.highSpeed) {
          const std::vector<uint8_t>& dev = s.setup.deviceDescriptor;
          const uint8_t qualifier[10] = {
              10, kDescDeviceQualifier, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], 1, 0};
          return reply(qualifier, sizeof qualifier);
        }
        return stall(0);
      }
      case kGetStatus: {
        if (!in) return stall(0);
        uint8_t status[2] = {0, 0};
        if (recipient == 0) {
          status[0] =
              uint8_t(((s.setup.configuration[7] & 0x40) ? 1 : 0) | (s.remoteWakeup ? 2 : 0));
        } else if (recipient == 2) {
          const uint8_t ep = uint8_t(setup.wIndex);
          if ((ep & 0x7F) != 0 && !s.endpoints.count(ep)) return stall(0);
          status[0] = s.haltedEndpoints.count(ep) ? 1 : 0;
        } else if (recipient != 1) {
          return stall(0);
        }
        return reply(status, 2);
      }
      case kClearFeature:
      case kSetFeature: {
        if (in) return stall(0);
        const bool set = setup.bRequest == kSetFeature;
        if (recipient == 2 && setup.wValue == 0) {
          const uint8_t ep = uint8_t(setup.wIndex);
          if ((ep & 0x7F) != 0 && !s.endpoints.count(ep)) return stall(0);
          if (set && (ep & 0x7F) != 0) s.haltedEndpoints.insert(ep);
          if (!set) s.haltedEndpoints.erase(ep);
          return ok();
        }
        if (recipient == 0 && setup.wValue == 1) {
          s.remoteWakeup = set;
          return ok();
        }
        return stall(0);
      }
      case kSetAddress:
        if (in || recipient != 0 || setup.wValue > 127) return stall(0);
        return ok();
      case kGetConfiguration:
        if (!in || recipient != 0) return stall(0);
        return reply(&s.configuration, 1);
      case kSetConfiguration:
        if (in || recipient != 0) return stall(0);
        if (setup.wValue != 0 && setup.wValue != layout.configurationValue) return stall(0);
        s.configuration = uint8_t(setup.wValue);
        s.alternates.clear();
        s.haltedEndpoints.clear();
        return ok();
      case kGetInterface: {
        if (!in || recipient != 1) return stall(0);
        const uint8_t iface = uint8_t(setup.wIndex);
        bool exists = false;
        for (const auto& p : layout.interfaceSettings) exists = exists || p.first == iface;
        if (!exists) return stall(0);
        auto it = s.alternates.find(iface);
        const uint8_t alt = it == s.alternates.end() ? 0 : it->second;
        return reply(&alt, 1);
      }
      case kSetInterface: {
        if (in || recipient != 1) return stall(0);
        const std::pair<uint8_t, uint8_t> wanted(uint8_t(setup.wIndex), uint8_t(setup.wValue));
        if (setup.wValue > 255 || setup.wIndex > 255 ||
            std::find(layout.interfaceSettings.begin(), layout.interfaceSettings.end(), wanted) ==
                layout.interfaceSettings.end())
          return stall(0);
        s.alternates[wanted.first] = wanted.second;
        return ok();
      }
      default:
        return stall(0);
    }
  }

  // ---- class requests to an interface ----
  if (type != 1 || recipient != 1) return stall(kErrInvalidRequest);
  const uint8_t request = setup.bRequest;
  if (request == kSetCur ? in : !in) return stall(kErrInvalidRequest);
  const uint8_t iface = uint8_t(setup.wIndex), entity = uint8_t(setup.wIndex >> 8);
  const uint8_t selector = uint8_t(setup.wValue >> 8);
  const CameraLayout& layout = s.setup.layout;
  auto replyLen = [&](uint16_t length) {
    const uint8_t b[2] = {uint8_t(length), uint8_t(length >> 8)};
    return reply(b, 2);
  };

  if (iface == layout.controlInterface) {
    if (entity == 0) {
      if (selector == kVcRequestErrorCode) {
        if (request == kGetCur) {
          const uint8_t code = s.requestError;
          result.length = uint32_t(std::min<size_t>(1, setup.wLength));
          if (result.length) data[0] = code;
          return result;  // reading the code leaves it as it was
        }
        if (request == kGetInfo) {
          const uint8_t info = 1;
          return reply(&info, 1);
        }
        return stall(kErrInvalidRequest);
      }
      if (selector == kVcVideoPowerMode) {
        if (request == kGetCur) return reply(&s.powerMode, 1);
        if (request == kGetInfo) {
          const uint8_t info = 3;
          return reply(&info, 1);
        }
        if (request == kSetCur) {
          if (setup.wLength < 1) return stall(kErrInvalidRequest);
          s.powerMode = data[0];
          return ok();
        }
        return stall(kErrInvalidRequest);
      }
      return stall(kErrInvalidControl);
    }
    if (!s.entities.count(entity)) return stall(kErrInvalidUnit);
    auto it = s.controls.find({entity, selector});
    if (it == s.controls.end()) return stall(kErrInvalidControl);
    ControlValues& cv = it->second;
    uint8_t buffer[16];
    switch (request) {
      case kSetCur: {
        if (!(cv.info & 2)) return stall(kErrWrongState);
        if (setup.wLength < cv.length) return stall(kErrInvalidRequest);
        const int64_t v = DecodeLe(data, cv.length, cv.isSigned);
        if (cv.kind == ControlKind::kScalar && (v < cv.min || v > cv.max))
          return stall(kErrOutOfRange);
        if (cv.kind == ControlKind::kBitmap && (v == 0 || (v & (v - 1)) != 0 || (v & cv.res) == 0))
          return stall(kErrOutOfRange);
        cv.cur.assign(data, data + cv.length);
        return ok();
      }
      case kGetCur:
        if (!(cv.info & 1)) return stall(kErrWrongState);
        return reply(cv.cur.data(), cv.cur.size());
      case kGetMin:
      case kGetMax:
      case kGetRes:
      case kGetDef: {
        if (cv.kind == ControlKind::kBitmap && (request == kGetMin || request == kGetMax))
          return stall(kErrInvalidRequest);
        const int64_t v = request == kGetMin   ? cv.min
                          : request == kGetMax ? cv.max
                          : request == kGetRes ? cv.res
                                               : cv.def;
        EncodeLe(v, cv.length, buffer);
        return reply(buffer, cv.length);
      }
      case kGetInfo:
        return reply(&cv.info, 1);
      case kGetLen:
        return replyLen(cv.length);
      default:
        return stall(kErrInvalidRequest);
    }
  }

  if (iface != layout.streamingInterface || entity != 0) return stall(kErrInvalidUnit);
  switch (selector) {
    case kVsProbe:
    case kVsCommit: {
      const bool probe = selector == kVsProbe;
      uint8_t bytes[ProbeControl::kSize];
      switch (request) {
        case kGetCur: {
          ProbeControl p = probe ? s.probe : (s.committed ? s.commit : s.DefaultProbe());
          if (s.setup.faults.zeroPayloadSize && probe) p.dwMaxPayloadTransferSize = 0;
          p.ToBytes(bytes);
          return reply(bytes, sizeof bytes);
        }
        case kGetMin:
        case kGetMax:
        case kGetDef: {
          if (!probe) return stall(kErrInvalidRequest);
          ProbeControl p = request == kGetDef ? s.DefaultProbe() : s.probe;
          if (request != kGetDef) {
            const FormatInfo* format = s.FindFormat(p.bFormatIndex);
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
          return reply(bytes, sizeof bytes);
        }
        case kGetLen:
          return replyLen(ProbeControl::kSize);
        case kGetInfo: {
          const uint8_t info = 3;
          return reply(&info, 1);
        }
        case kSetCur: {
          if (probe && s.setup.faults.rejectProbe) return stall(kErrWrongState);
          if (setup.wLength < ProbeControl::kSize) return stall(kErrInvalidRequest);
          ProbeControl settled;
          if (!s.Negotiate(ProbeControl::FromBytes(data), &settled)) return stall(kErrOutOfRange);
          if (probe) {
            s.probe = settled;
            ++s.probeSets;
          } else {
            s.commit = settled;
            s.probe = settled;
            s.committed = true;
            ++s.commits;
            s.UpdateStreaming();
          }
          return ok();
        }
        default:
          return stall(kErrInvalidRequest);
      }
    }
    case kVsStillProbe:
    case kVsStillCommit: {
      if (!s.HasStills()) return stall(kErrInvalidControl);
      const bool probe = selector == kVsStillProbe;
      uint8_t bytes[StillProbeControl::kSize];
      switch (request) {
        case kGetCur:
        case kGetDef:
        case kGetMin:
        case kGetMax: {
          if (!probe && request != kGetCur) return stall(kErrInvalidRequest);
          StillProbeControl p = probe ? s.stillProbe : s.stillCommit;
          if (request != kGetCur || p.bFormatIndex == 0) {
            const uint8_t def[3] = {0, 1, 0};
            if (!s.NegotiateStill(def, &p)) {
              // The current format has no still sizes: offer the first that has.
              for (const FormatInfo& f : s.setup.layout.formats)
                if (!f.stillSizes.empty()) {
                  const uint8_t first[3] = {f.index, 1, 0};
                  s.NegotiateStill(first, &p);
                  break;
                }
            }
            if (request == kGetMax) {
              const FormatInfo* f = s.FindFormat(p.bFormatIndex);
              const uint8_t last[3] = {p.bFormatIndex, uint8_t(f->stillSizes.size()), 0};
              s.NegotiateStill(last, &p);
            }
          }
          State::StillToBytes(p, bytes);
          return reply(bytes, sizeof bytes);
        }
        case kGetLen:
          return replyLen(StillProbeControl::kSize);
        case kGetInfo: {
          const uint8_t info = 3;
          return reply(&info, 1);
        }
        case kSetCur: {
          if (setup.wLength < StillProbeControl::kSize) return stall(kErrInvalidRequest);
          StillProbeControl settled;
          if (!s.NegotiateStill(data, &settled)) return stall(kErrOutOfRange);
          if (probe) {
            s.stillProbe = settled;
          } else {
            s.stillCommit = settled;
            s.stillCommitted = true;
            // A still commit while streaming sizes the stills from now on.
            const FormatInfo* still = s.FindFormat(settled.bFormatIndex);
            if (still && settled.bFrameIndex >= 1 && settled.bFrameIndex <= still->stillSizes.size()) {
              const auto size = still->stillSizes[settled.bFrameIndex - 1];
              s.streamSettings.stillWidth = size.first;
              s.streamSettings.stillHeight = size.second;
              s.stream.SetStillSize(size.first, size.second);
            }
          }
          return ok();
        }
        default:
          return stall(kErrInvalidRequest);
      }
    }
    case kVsStillTrigger: {
      if (!s.HasStills()) return stall(kErrInvalidControl);
      switch (request) {
        case kGetCur:
          return reply(&s.stillTrigger, 1);
        case kGetInfo: {
          const uint8_t info = 3;
          return reply(&info, 1);
        }
        case kGetLen:
          return replyLen(1);
        case kSetCur:
          if (setup.wLength < 1) return stall(kErrInvalidRequest);
          if (data[0] > 3) return stall(kErrOutOfRange);
          s.stillTrigger = data[0];
          if (data[0] == 1 || data[0] == 2) {
            ++s.stillTriggerCount;
            s.stream.TriggerStill();
          }
          return ok();
        default:
          return stall(kErrInvalidRequest);
      }
    }
    case kVsStreamErrorCode: {
      if (request == kGetCur) {
        const uint8_t code = 0;
        return reply(&code, 1);
      }
      if (request == kGetInfo) {
        const uint8_t info = 1;
        return reply(&info, 1);
      }
      return stall(kErrInvalidRequest);
    }
    default:
      return stall(kErrInvalidControl);
  }
}

std::vector<VendorRequestRecord> SimulatedCamera::VendorRequests() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->vendor.Entries();
}

void SimulatedCamera::ClearVendorRequests() {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->vendor.Clear();
}

void SimulatedCamera::SetVendorReply(uint8_t bRequest, std::vector<uint8_t> bytes) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.vendorReplies[bRequest] = std::move(bytes);
}

void SimulatedCamera::SetVendorHandler(VendorHandler handler) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->vendorHandler = std::move(handler);
}

bool SimulatedCamera::ControlCurrent(uint8_t entityId, uint8_t selector,
                                     std::vector<uint8_t>* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = state_->controls.find({entityId, selector});
  if (it == state_->controls.end()) return false;
  *value = it->second.cur;
  return true;
}

bool SimulatedCamera::ControlCurrentInt(uint8_t entityId, uint8_t selector, int64_t* value) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = state_->controls.find({entityId, selector});
  if (it == state_->controls.end()) return false;
  *value = DecodeLe(it->second.cur.data(), it->second.length, it->second.isSigned);
  return true;
}

ProbeControl SimulatedCamera::CurrentProbe() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->probe;
}

bool SimulatedCamera::CommittedProbe(ProbeControl* probe) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->committed) *probe = state_->commit;
  return state_->committed;
}

bool SimulatedCamera::CommittedStill(StillProbeControl* still) const {
  std::lock_guard<std::mutex> lock(mutex_);
  if (state_->stillCommitted) *still = state_->stillCommit;
  return state_->stillCommitted;
}

uint32_t SimulatedCamera::StillTriggerCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stillTriggerCount;
}

uint8_t SimulatedCamera::LastStillTrigger() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stillTrigger;
}

uint32_t SimulatedCamera::ProbeSetCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->probeSets;
}

uint32_t SimulatedCamera::CommitCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->commits;
}

uint32_t SimulatedCamera::StallCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->stalls;
}

uint32_t SimulatedCamera::ControlRequestCount() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->controlRequests;
}

uint8_t SimulatedCamera::CurrentConfiguration() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->configuration;
}

uint8_t SimulatedCamera::CurrentAlternateSetting(uint8_t interfaceNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = state_->alternates.find(interfaceNumber);
  return it == state_->alternates.end() ? 0 : it->second;
}

CameraFaults SimulatedCamera::Faults() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return state_->setup.faults;
}

void SimulatedCamera::SetFaults(const CameraFaults& faults) {
  std::lock_guard<std::mutex> lock(mutex_);
  state_->setup.faults = faults;
}

// ---------------------------------------------------------------------------
// Factories

std::unique_ptr<SimulatedCamera> BuildCamera(SimulatedCamera::Setup setup, std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  const std::vector<uint8_t>& dev = setup.deviceDescriptor;
  if (dev.size() != 18 || dev[0] != 18 || dev[1] != kDescDevice) {
    *error = "device descriptor: expected 18 bytes of type 1";
    return nullptr;
  }
  if (dev[17] == 0) {
    *error = "device descriptor: bNumConfigurations is 0";
    return nullptr;
  }
  std::string parseError;
  if (!ParseConfiguration(setup.configuration, &setup.layout, &parseError)) {
    *error = parseError;
    return nullptr;
  }
  return std::unique_ptr<SimulatedCamera>(new SimulatedCamera(std::move(setup)));
}

std::unique_ptr<SimulatedCamera> SimulatedCameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                                bool fullSpeed,
                                                                std::string* error) {
  std::string scratch;
  if (!error) error = &scratch;
  if (bytes.size() < 18) {
    *error = "descriptor dump: " + std::to_string(bytes.size()) +
             " bytes, too short for a device descriptor";
    return nullptr;
  }
  if (bytes[0] != 18 || bytes[1] != kDescDevice) {
    *error = "descriptor dump: does not start with a device descriptor (bLength " +
             std::to_string(bytes[0]) + ", bDescriptorType " + std::to_string(bytes[1]) + ")";
    return nullptr;
  }
  SimulatedCamera::Setup setup;
  setup.highSpeed = !fullSpeed;
  setup.deviceDescriptor.assign(bytes.begin(), bytes.begin() + 18);
  const size_t rest = bytes.size() - 18;
  if (rest < 9) {
    *error = "descriptor dump: no configuration descriptor after the device descriptor";
    return nullptr;
  }
  const uint8_t* cfg = bytes.data() + 18;
  if (cfg[1] != kDescConfiguration) {
    *error = "descriptor dump: byte 18 does not start a configuration descriptor (type " +
             std::to_string(cfg[1]) + ")";
    return nullptr;
  }
  const size_t total = Le16(cfg + 2);
  if (total > rest) {
    *error = "descriptor dump truncated: the configuration's wTotalLength is " +
             std::to_string(total) + " but " + std::to_string(rest) + " bytes follow";
    return nullptr;
  }
  // Only the first configuration counts; Linux appends any further ones.
  setup.configuration.assign(cfg, cfg + std::max<size_t>(total, 9));
  // The dump carries no string texts: answer generic ones.
  const uint8_t iManufacturer = bytes[14], iProduct = bytes[15];
  if (iManufacturer) setup.strings[iManufacturer] = "Generic";
  if (iProduct) setup.strings[iProduct] = "USB Video Camera";
  setup.fallbackString = "USB Video Camera";
  std::string local;
  auto camera = BuildCamera(std::move(setup), &local);
  if (!camera) *error = "descriptor dump: " + local;
  return camera;
}

std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptors(const std::vector<uint8_t>& bytes,
                                                            bool fullSpeed, std::string* error) {
  return SimulatedCameraFromDescriptors(bytes, fullSpeed, error);
}

std::unique_ptr<host::UsbDeviceModel> CameraFromDescriptorFile(const std::string& path,
                                                               bool fullSpeed, std::string* error) {
  std::vector<uint8_t> bytes;
  if (!ReadInputFile(path, kMaxDescriptorDump, &bytes, error)) return nullptr;
  std::string local;
  auto camera = SimulatedCameraFromDescriptors(bytes, fullSpeed, &local);
  if (!camera && error) *error = path + ": " + local;
  return camera;
}

}  // namespace camera
