// Streaming side of the simulated camera. See stream_source.h.
#include "camera/stream_source.h"

#include <turbojpeg.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <mutex>
#include <tuple>

namespace camera {

namespace {

const std::pair<const char*, uint32_t StreamFaults::*> kFaultNames[] = {
    {"lose-packet", &StreamFaults::losePacket},     {"error-packet", &StreamFaults::errorPacket},
    {"err-bit", &StreamFaults::errBit},             {"truncate-frame", &StreamFaults::truncateFrame},
    {"oversize-frame", &StreamFaults::oversizeFrame}, {"break-trailer", &StreamFaults::breakTrailer},
    {"stall", &StreamFaults::stall},                {"unplug", &StreamFaults::unplug},
};

}  // namespace

std::string StreamFaultNames() {
  std::string names;
  for (const auto& k : kFaultNames) names += std::string(names.empty() ? "" : ", ") + k.first;
  return names;
}

bool SetStreamFault(StreamFaults* f, const std::string& name, uint32_t n) {
  for (const auto& k : kFaultNames) {
    if (name == k.first) {
      f->*k.second = n;
      return true;
    }
  }
  return false;
}

namespace {

// A moving diagonal pattern with a bright bar that walks across the picture.
inline void PixelYuv(uint32_t x, uint32_t y, uint32_t width, uint64_t n, uint8_t* yv, uint8_t* u,
                     uint8_t* v) {
  uint32_t bar = uint32_t((n * 8) % std::max<uint32_t>(width, 1));
  *yv = (x >= bar && x < bar + 16) ? 235 : uint8_t(16 + ((x + y + n * 3) % 200));
  *u = uint8_t(128 + int((x * 64) / std::max<uint32_t>(width, 1)) - 32);
  *v = uint8_t(96 + (y & 63));
}

// Merges the DHT segments of a JPEG into one segment placed right before SOS,
// the layout the driver's decoder expects.
std::vector<uint8_t> OneDhtBeforeSos(const uint8_t* jpeg, size_t size) {
  std::vector<uint8_t> head, tables;
  size_t i = 2;
  head.assign(jpeg, jpeg + 2);
  while (i + 4 <= size && jpeg[i] == 0xFF) {
    uint8_t marker = jpeg[i + 1];
    size_t len = size_t(jpeg[i + 2]) << 8 | jpeg[i + 3];
    if (marker == 0xDA) break;
    if (i + 2 + len > size) break;
    if (marker == 0xC4)
      tables.insert(tables.end(), jpeg + i + 4, jpeg + i + 2 + len);
    else
      head.insert(head.end(), jpeg + i, jpeg + i + 2 + len);
    i += 2 + len;
  }
  if (!tables.empty()) {
    size_t len = tables.size() + 2;
    head.push_back(0xFF);
    head.push_back(0xC4);
    head.push_back(uint8_t(len >> 8));
    head.push_back(uint8_t(len));
    head.insert(head.end(), tables.begin(), tables.end());
  }
  head.insert(head.end(), jpeg + i, jpeg + size);
  return head;
}

// The picture as full-resolution planes, for the picture controls.
struct Planes {
  std::vector<uint8_t> y, u, v;
};

Planes PicturePlanes(uint32_t width, uint32_t height, uint64_t n, const PictureControls& controls) {
  const size_t count = size_t(width) * height;
  Planes p{std::vector<uint8_t>(count), std::vector<uint8_t>(count), std::vector<uint8_t>(count)};
  for (uint32_t y = 0; y < height; ++y)
    for (uint32_t x = 0; x < width; ++x) {
      const size_t i = size_t(y) * width + x;
      PixelYuv(x, y, width, n, &p.y[i], &p.u[i], &p.v[i]);
    }
  AdjustPicture(controls, width, height, p.y.data(), p.u.data(), p.v.data());
  return p;
}

std::vector<uint8_t> EncodeJpeg(uint32_t width, uint32_t height, uint64_t n, const PictureControls& controls) {
  const bool neutral = controls.Neutral();
  Planes planes;
  if (!neutral) planes = PicturePlanes(width, height, n, controls);
  std::vector<uint8_t> rgb(size_t(width) * height * 3);
  for (uint32_t y = 0; y < height; ++y) {
    for (uint32_t x = 0; x < width; ++x) {
      uint8_t Y, U, V;
      const size_t i = size_t(y) * width + x;
      if (neutral)
        PixelYuv(x, y, width, n, &Y, &U, &V);
      else
        Y = planes.y[i], U = planes.u[i], V = planes.v[i];
      int c = Y - 16, d = U - 128, e = V - 128;
      auto clamp = [](int t) { return uint8_t(std::min(255, std::max(0, t))); };
      uint8_t* p = &rgb[i * 3];
      p[0] = clamp((298 * c + 409 * e + 128) >> 8);
      p[1] = clamp((298 * c - 100 * d - 208 * e + 128) >> 8);
      p[2] = clamp((298 * c + 516 * d + 128) >> 8);
    }
  }
  tjhandle tj = tjInitCompress();
  if (!tj) return {};
  unsigned char* out = nullptr;
  unsigned long size = 0;
  std::vector<uint8_t> result;
  if (tjCompress2(tj, rgb.data(), int(width), 0, int(height), TJPF_RGB, &out, &size, TJSAMP_422,
                  85, 0) == 0) {
    result = OneDhtBeforeSos(out, size);
  }
  tjFree(out);
  tjDestroy(tj);
  return result;
}

}  // namespace

std::vector<uint8_t> TestPicture(StreamFormat format, uint32_t width, uint32_t height, uint64_t n,
                                 const PictureControls& controls) {
  if (format == StreamFormat::kMjpeg) {
    // Encoding is costly: each size and setting of the controls keeps its
    // few pictures once encoded (the settings of a long session are let go
    // now and then).
    using Key = std::tuple<uint32_t, uint32_t, uint64_t, std::vector<int64_t>>;
    static std::mutex* lock = new std::mutex;
    static auto* cache = new std::map<Key, std::vector<uint8_t>>;
    std::lock_guard<std::mutex> guard(*lock);
    auto key = Key(width, height, n % kMjpegPictures, controls.Key());
    auto it = cache->find(key);
    if (it == cache->end()) {
      if (cache->size() >= 512) cache->clear();
      it = cache->emplace(key, EncodeJpeg(width, height, n % kMjpegPictures, controls)).first;
    }
    return it->second;
  }
  std::vector<uint8_t> f(size_t(width) * height * 2);
  bool yuy2 = format == StreamFormat::kYuy2;
  Planes planes;
  const bool neutral = controls.Neutral();
  if (!neutral) planes = PicturePlanes(width, height, n, controls);
  for (uint32_t y = 0; y < height; ++y) {
    uint8_t* row = &f[size_t(y) * width * 2];
    for (uint32_t x = 0; x + 1 < width; x += 2) {
      uint8_t y0, y1, u, v, u1, v1;
      if (neutral) {
        PixelYuv(x, y, width, n, &y0, &u, &v);
        PixelYuv(x + 1, y, width, n, &y1, &u1, &v1);
      } else {
        const size_t i = size_t(y) * width + x;
        y0 = planes.y[i], y1 = planes.y[i + 1], u = planes.u[i], v = planes.v[i];
      }
      uint8_t* p = row + x * 2;
      if (yuy2) {
        p[0] = y0, p[1] = u, p[2] = y1, p[3] = v;
      } else {
        p[0] = u, p[1] = y0, p[2] = v, p[3] = y1;
      }
    }
  }
  return f;
}

void AppendTrailer(std::vector<uint8_t>* frame) {
  size_t total = frame->size() + 6;
  frame->insert(frame->end(), {0xFF, 0xFF, 0xFF, 0xFF, uint8_t(total >> 8), uint8_t(total)});
}

std::vector<std::vector<uint8_t>> SplitJpegFrames(const std::vector<uint8_t>& b) {
  std::vector<std::vector<uint8_t>> frames;
  size_t i = 0;
  while (i + 1 < b.size()) {
    if (!(b[i] == 0xFF && b[i + 1] == 0xD8)) {
      ++i;
      continue;
    }
    size_t j = i + 2;
    while (j + 1 < b.size() && !(b[j] == 0xFF && b[j + 1] == 0xD9)) ++j;
    if (j + 1 >= b.size()) break;  // no end marker: the rest is not a frame
    frames.emplace_back(b.begin() + long(i), b.begin() + long(j + 2));
    i = j + 2;
  }
  return frames;
}

void StreamSource::Start(const StreamSettings& settings, uint64_t now) {
  s_ = settings;
  if (s_.headerLength != 2) s_.headerLength = 12;
  if (s_.interval100ns == 0) s_.interval100ns = 333333;
  running_ = true;
  inFrame_ = false;
  clockStart_ = now;
  nextFrame_ = now;
  framesStarted_ = 0;
  stalled_ = false;
  if (play_) play_->Rewind();
}

void StreamSource::Stop() {
  running_ = false;
  inFrame_ = false;
}

std::vector<uint8_t> StreamSource::FrameBytes(bool still) {
  std::vector<uint8_t> f;
  uint32_t w = still && s_.stillWidth ? s_.stillWidth : s_.width;
  uint32_t h = still && s_.stillHeight ? s_.stillHeight : s_.height;
  // A still comes from the play file too (its next frame) when the still is
  // the stream's size, the one size a play file holds; a still of another
  // size is the test picture, so that the file's frames stay in step.
  const bool fromPlay = play_ && (!still || (w == s_.width && h == s_.height));
  const bool played = fromPlay && (s_.format == StreamFormat::kMjpeg ? play_->NextJpeg(&f)
                                                                     : play_->NextRaw(size_t(w) * h * 2, &f));
  if (!played) {
    f = TestPicture(s_.format, w, h, pictureNumber_++, picture_);
  }
  if (s_.format == StreamFormat::kMjpeg && s_.trailer) AppendTrailer(&f);
  return f;
}

void StreamSource::BeginFrame(uint64_t now) {
  uint64_t n = ++framesStarted_;
  auto every = [n](uint32_t k) { return k && n % k == 0; };
  stillFrame_ = stillPending_;
  stillPending_ = false;
  frame_ = FrameBytes(stillFrame_);
  if (stillFrame_) ++stillsSent_;
  if (every(faults_.breakTrailer) && s_.format == StreamFormat::kMjpeg && frame_.size() >= 1)
    frame_.back() = uint8_t(frame_.back() + 1);
  if (every(faults_.oversizeFrame)) {
    std::vector<uint8_t> twice = frame_;
    frame_.insert(frame_.end(), twice.begin(), twice.end());
  }
  if (every(faults_.truncateFrame)) frame_.resize(frame_.size() - frame_.size() / 3);
  fid_ ^= 1;
  sent_ = 0;
  inFrame_ = true;
  payloadIndex_ = 0;
  frameStart_ = now;  // the frame's slot on the camera's clock (its PTS)
  // The payload count depends on the transaction size; fault positions are
  // chosen among the first few payloads so that every frame has them.
  lostPayload_ = every(faults_.losePacket) ? 1 : -1;
  errorPayload_ = every(faults_.errorPacket) ? 1 : -1;
  errBitPayload_ = every(faults_.errBit) ? 0 : -1;
  if (faults_.stall && n > faults_.stall) stalled_ = true;
  if (faults_.unplug && n > faults_.unplug) gone_ = true;
}

host::UsbInResult StreamSource::Next(uint64_t now, uint8_t* data, uint32_t capacity) {
  host::UsbInResult r;
  if (!running_) return r;
  if (gone_) {
    r.kind = host::UsbInResult::kGone;
    return r;
  }
  if (clockStart_ == 0) clockStart_ = nextFrame_ = now;
  if (!inFrame_ && now >= nextFrame_) {
    // The frame clock is steady: frames begin at start + n x interval. A
    // frame whose time came while the previous one was still being sent
    // (or while nobody asked) begins now; the frames whose whole slot
    // passed meanwhile are never sent.
    const uint64_t slot = clockStart_ + (now - clockStart_) / s_.interval100ns * s_.interval100ns;
    nextFrame_ = slot + s_.interval100ns;
    BeginFrame(slot);
    if (gone_) {
      r.kind = host::UsbInResult::kGone;
      return r;
    }
  }
  if (stalled_) {
    r.kind = host::UsbInResult::kStall;
    return r;
  }
  uint32_t room = std::min(capacity, s_.payloadSize ? s_.payloadSize : capacity);
  uint32_t h = s_.headerLength;
  if (!inFrame_ || room <= h) {
    // Between frames an isochronous endpoint sends header-only payloads;
    // a bulk endpoint has nothing to send.
    if (s_.bulk || room < h) return r;
    data[0] = uint8_t(h);
    data[1] = uint8_t(0x80 | fid_);
    if (h == 12) std::memset(data + 2, 0, 10);
    r.kind = host::UsbInResult::kData;
    r.length = h;
    return r;
  }
  size_t n = std::min<size_t>(room - h, frame_.size() - sent_);
  bool last = sent_ + n == frame_.size();
  uint8_t info = uint8_t(0x80 | fid_ | (last ? 0x02 : 0) | (stillFrame_ ? 0x20 : 0));
  int32_t index = int32_t(payloadIndex_++);
  if (index == errBitPayload_) info |= 0x40;
  data[0] = uint8_t(h);
  if (h == 12) {
    info |= 0x0C;
    uint32_t pts = uint32_t(frameStart_ / 10 * 48 / 1000);  // 48 MHz device clock
    uint32_t scr = uint32_t(now / 10 * 48 / 1000);
    uint16_t sof = uint16_t((now / 10000) & 0x7FF);
    std::memcpy(data + 2, &pts, 4);
    std::memcpy(data + 6, &scr, 4);
    std::memcpy(data + 10, &sof, 2);
  }
  data[1] = info;
  std::memcpy(data + h, frame_.data() + sent_, n);
  sent_ += n;
  if (last) inFrame_ = false;
  r.kind = host::UsbInResult::kData;
  r.length = uint32_t(h + n);
  if (index == lostPayload_) {
    // Lost on the wire: the host sees nothing (an empty packet, or no
    // bulk transfer).
    r.kind = host::UsbInResult::kNak;
    r.length = 0;
  } else if (index == errorPayload_) {
    r.kind = host::UsbInResult::kError;
  }
  return r;
}

}  // namespace camera
