// The capture tests' rig: a simulated camera through the client, a filter,
// the capture pin of a chosen range, known frames to play, and the frames
// they must become.
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
#include "driver/device_state.h"
#include "driver/pin_context.h"
#include "pipeline/frame_pipeline.h"
#include "platform/host/host_control.h"
#include "tests/camera/camera_test_util.h"
#include "tests/usb/camera_rig.h"
#include "tests/pipeline/reference_conversions.h"

namespace capture_test {

using Bytes = std::vector<uint8_t>;
using client::Camera;
using client::Filter;
using client::Pin;

using rig::Prop;

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

  // Plugs a simulated camera and, unless told not to, starts the device
  // and opens a filter.
  void Plug(const std::string& profile = "default.json", bool start = true) {
    cam_.reset();
    auto model = camtest::Load(profile);
    ASSERT_TRUE((sim_ = model.get()) != nullptr);
    ASSERT_EQ(Camera::Plug(std::move(model), &cam_), STATUS_SUCCESS);
    if (!start) return;
    ASSERT_EQ(cam_->Start(), STATUS_SUCCESS);
    ASSERT_EQ(cam_->OpenFilter(&filter_), STATUS_SUCCESS);
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
  // and returns what each must come out as where that is known without the
  // driver's image code: the played bytes where nothing converts (MJPEG with
  // the camera's trailer), the conversion formulas at the camera's size.
  // Empty where the frame is decoded or scaled: the decoder and the scaler
  // are held to their reference models in their own tests.
  std::vector<Bytes> PlayKnownFrames(int count, const GUID& outputSubtype) {
    const FrameFormat& f = Engine()->currentFormat;
    const camera::StreamFormat sf = StreamFormatOf(f.inputSubtype);
    const bool sameSize = f.inputWidth == f.outputWidth && f.inputHeight == f.outputHeight;
    Bytes play;
    std::vector<Bytes> expected;
    for (int n = 0; n < count; ++n) {
      Bytes picture = Picture(sf, f.inputWidth, f.inputHeight, n * 3);
      play.insert(play.end(), picture.begin(), picture.end());
      if (!sameSize) continue;
      if (sf == camera::StreamFormat::kMjpeg) {
        if (IsEqualGUID(outputSubtype, kSubtypeMjpg) && !Engine()->noTrailer) camera::AppendTrailer(&picture);
        if (IsEqualGUID(outputSubtype, kSubtypeMjpg)) expected.push_back(picture);
        continue;
      }
      if (IsEqualGUID(outputSubtype, f.inputSubtype)) {
        expected.push_back(picture);
        continue;
      }
      if (sf == camera::StreamFormat::kUyvy)
        for (size_t i = 0; i + 1 < picture.size(); i += 2) std::swap(picture[i], picture[i + 1]);
      if (IsEqualGUID(outputSubtype, kSubtypeYuy2)) expected.push_back(picture);
      if (IsEqualGUID(outputSubtype, kSubtypeI420))
        expected.push_back(reference_conversions::RefI420(Bytes(picture.size() * 3 / 4), picture, f.outputWidth,
                                                          f.outputHeight));
      if (IsEqualGUID(outputSubtype, kSubtypeRgb24) && f.outputWidth % 4 == 0)
        expected.push_back(reference_conversions::RefRgb24(picture, f.outputWidth, f.outputHeight));
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

  double clockRate_ = 100.0;
  std::unique_ptr<Camera> cam_;
  camera::SimulatedCamera* sim_ = nullptr;
  Filter* filter_ = nullptr;
  uint64_t baseline_ = 0;
};

}  // namespace capture_test
