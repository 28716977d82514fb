// The capture tests' rig: a simulated camera through the client, a filter,
// the capture pin of a chosen range, known frames to play, and the frames
// the image code makes of them.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <map>
#include <tuple>
#include <memory>
#include <string>
#include <vector>

#include "camera/simulated_camera.h"
#include "camera/stream_source.h"
#include "client/camera.h"
#include "driver/device_context.h"
#include "effects/effect_state.h"
#include "driver/pin_context.h"
#include "pipeline/frame_pipeline.h"
#include "platform/host/host_control.h"

namespace capture_test {

using Bytes = std::vector<uint8_t>;
using client::Camera;
using client::Filter;
using client::Pin;

inline std::string ProfilePath(const std::string& name) {
  return std::string(UVCCAM_PROFILE_DIR) + "/" + name;
}

inline std::vector<std::string> ProfileNames() {
  std::vector<std::string> out;
  for (auto& e : std::filesystem::directory_iterator(UVCCAM_PROFILE_DIR))
    if (e.path().extension() == ".json") out.push_back(e.path().filename().string());
  std::sort(out.begin(), out.end());
  return out;
}

inline camera::StreamFormat StreamFormatOf(const GUID& subtype) {
  if (IsEqualGUID(subtype, kSubtypeMjpg)) return camera::StreamFormat::kMjpeg;
  if (IsEqualGUID(subtype, kSubtypeUyvy)) return camera::StreamFormat::kUyvy;
  return camera::StreamFormat::kYuy2;
}

inline bool Discontinuous(const host::KsCompletedFrame& f) {
  return (f.header.OptionsFlags & KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY) != 0;
}

inline KS_FRAME_INFO InfoOf(const host::KsCompletedFrame& f) {
  KS_FRAME_INFO info{};
  EXPECT_TRUE(client::FrameInfoOf(f, &info));
  return info;
}

struct Range {
  ULONG width, height;
  GUID subtype;
};

class CaptureRig : public ::testing::Test {
 protected:
  void SetUp() override {
    host::PoolReset();
    host::ClearPlatformFaults();
    host::SetDebugEcho(getenv("UVCCAM_ECHO") != nullptr);
    baseline_ = host::PoolOutstanding();
    host::SetClockRate(clockRate_);
  }
  void TearDown() override {
    cam_.reset();
    host::SetClockRate(1.0);
    EXPECT_TRUE(host::WaitPlatformIdle(5000));
    EXPECT_EQ(host::PoolOutstanding(), baseline_) << host::PoolLeakReport();
    EXPECT_EQ(host::PlatformFaultCount(), 0u) << host::PlatformFaults();
  }

  void Plug(const std::string& profile = "default.json") {
    cam_.reset();
    std::string error;
    auto model = camera::SimulatedCameraFromProfileFile(ProfilePath(profile), &error);
    ASSERT_TRUE(model) << error;
    sim_ = model.get();
    ASSERT_EQ(Camera::Plug(std::move(model), &cam_), STATUS_SUCCESS);
    ASSERT_EQ(cam_->Start(), STATUS_SUCCESS);
    ASSERT_EQ(cam_->OpenFilter(&filter_), STATUS_SUCCESS);
  }

  std::vector<Range> CaptureRanges() {
    std::vector<Range> out;
    std::vector<client::PinInfo> pins = filter_->Pins();
    for (const KS_DATARANGE_VIDEO& r : pins[kCapturePinId].ranges)
      out.push_back({ULONG(r.VideoInfoHeader.bmiHeader.biWidth), ULONG(r.VideoInfoHeader.bmiHeader.biHeight),
                     r.DataRange.SubFormat});
    return out;
  }

  // The capture format of a range, with the frame interval asked for (0:
  // the range's own).
  Bytes Format(ULONG pinId, ULONG w, ULONG h, const GUID& subtype, LONGLONG interval = 0) {
    Bytes format;
    EXPECT_EQ(filter_->FormatFor(pinId, w, h, subtype, &format), STATUS_SUCCESS);
    if (interval && format.size() >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER))
      reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.AvgTimePerFrame = interval;
    return format;
  }

  Pin* CreateCapture(ULONG w, ULONG h, const GUID& subtype, LONGLONG interval = 0) {
    Pin* pin = nullptr;
    Bytes format = Format(kCapturePinId, w, h, subtype, interval);
    EXPECT_EQ(filter_->CreatePin(kCapturePinId, format, &pin), STATUS_SUCCESS);
    return pin;
  }

  DeviceContext* Device() { return DeviceContextOf(cam_->Device()); }
  StreamEngine* Engine() { return Device()->engine; }

  // Plays `count` known pictures of the selected format (call before RUN)
  // and returns what the image code makes of each, computed with the
  // device's own tables and settings while nothing streams.
  std::vector<Bytes> PlayKnownFrames(int count, const GUID& outputSubtype) {
    FrameFormat f = Engine()->currentFormat;
    f.outputSubtype = outputSubtype;
    camera::StreamFormat sf = StreamFormatOf(f.inputSubtype);
    Bytes play;
    std::vector<Bytes> expected;
    for (int n = 0; n < count; ++n) {
      const Bytes& picture = Picture(sf, f.inputWidth, f.inputHeight, n * 3);
      play.insert(play.end(), picture.begin(), picture.end());
      // The same camera frame and format give the same output on every
      // profile (effects off, trailer aside): computed once.
      static std::map<std::string, Bytes> cache;
      std::string key(reinterpret_cast<const char*>(&f), offsetof(FrameFormat, formatIndex));
      key += char(n) + std::string(Engine()->noTrailer ? "n" : "t");
      Bytes& out = cache[key];
      if (out.empty()) out = Expected(picture, f);
      expected.push_back(out);
    }
    sim_->SetPlayBytes(play);
    return expected;
  }

  // Test pictures, made once per run of the binary.
  static const Bytes& Picture(camera::StreamFormat sf, ULONG w, ULONG h, int n) {
    static std::map<std::tuple<int, ULONG, ULONG, int>, Bytes> cache;
    Bytes& p = cache[{int(sf), w, h, n}];
    if (p.empty()) p = camera::TestPicture(sf, w, h, uint64_t(n));
    return p;
  }

  // Runs the pin, collects `count` buffers of `size` bytes and stops it.
  // The host clock runs as fast as the camera's data rate allows while
  // streaming (the camera and the bus would otherwise eat every core), and
  // fast through the stops and starts.
  std::vector<host::KsCompletedFrame> RunAndCollect(Pin* pin, int count, ULONG size) {
    const FrameFormat& f = Engine()->currentFormat;
    double bytes = double(RawFrameSize(f.inputWidth, f.inputHeight));
    host::SetClockRate(std::max(1.0, std::min(clockRate_, 1e8 / std::max(bytes, 1.0))));
    std::vector<host::KsCompletedFrame> frames;
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    if (pin->State() == KSSTATE_RUN) frames = Collect(pin, count, size);
    host::SetClockRate(clockRate_);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    return frames;
  }

  // The pipeline on one camera frame, as the capture pin runs it.
  Bytes Expected(const Bytes& picture, const FrameFormat& f) {
    DeviceContext* d = Device();
    ULONG raw = std::max<ULONG>(ULONG(picture.size()), RawFrameSize(f.inputWidth, f.inputHeight));
    Bytes input(raw);
    std::copy(picture.begin(), picture.end(), input.begin());
    bool mjpegOut = IsEqualGUID(f.outputSubtype, kSubtypeMjpg);
    if (mjpegOut) {
      // Passed through as the ring holds it: with the camera's trailer.
      Bytes frame = picture;
      if (!Engine()->noTrailer) camera::AppendTrailer(&frame);
      return frame;
    }
    ULONG outSize = mjpegOut ? ULONG(picture.size()) : FrameOutputBytes(f.outputSubtype, f.outputWidth, f.outputHeight);
    Bytes out(outSize);
    work_.resize(d->frameBufferSize);
    effect_.resize(d->frameBufferSize);
    Bytes& work = work_;
    Bytes& effect = effect_;
    LONG ok = FramePipeline(FrameJob{input.data(), ULONG(picture.size()), raw, out.data(), outSize, work.data(),
                                     ULONG(work.size()), effect.data(), ULONG(effect.size()), d->colorTables, &f,
                                     d->effects});
    EXPECT_EQ(ok, 1);
    return out;
  }

  // Waits for `count` completed buffers, queueing one buffer of `size`
  // bytes for each.
  std::vector<host::KsCompletedFrame> Collect(Pin* pin, int count, ULONG size, uint32_t timeoutMs = 10000) {
    std::vector<host::KsCompletedFrame> out;
    for (int i = 0; i < count; ++i) {
      pin->QueueBuffer(size);
      host::KsCompletedFrame f;
      if (!pin->WaitFrame(timeoutMs, &f)) {
        ADD_FAILURE() << "no frame " << i << " within " << timeoutMs << " ms";
        break;
      }
      out.push_back(std::move(f));
    }
    return out;
  }

  static ULONG ImageSize(const Bytes& format) {
    return reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.data())->VideoInfoHeader.bmiHeader.biSizeImage;
  }

  Bytes work_, effect_;  // the pipeline's device buffers for Expected
  double clockRate_ = 100.0;
  std::unique_ptr<Camera> cam_;
  camera::SimulatedCamera* sim_ = nullptr;
  Filter* filter_ = nullptr;
  uint64_t baseline_ = 0;
};

}  // namespace capture_test
