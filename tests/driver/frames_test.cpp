// Frames through the capture pin: every advertised size and subtype of
// every profile, to the byte where the frame is known independently;
// headers, frame information, pacing and time stamps.
#include <cmath>
#include <thread>

#include "tests/driver/capture_rig.h"

namespace capture_test {
namespace {

class Frames : public CaptureRig {
 protected:
  void ExpectRangesFollowTheTables() {
    const StreamEngine& table = *Engine();
    const std::vector<client::PinInfo> pins = filter_->Pins();
    ASSERT_EQ(pins.size(), 2u);
    // A range as (width, height, subtype's first word, sample size, bit
    // rate, frame-interval bounds and default): the intervals of the
    // camera's frame the range streams (a scaled or converted size those of
    // its source).
    using R = std::tuple<ULONG, ULONG, ULONG, ULONG, ULONG, LONGLONG, LONGLONG, LONGLONG>;
    auto want = [](ULONG w, ULONG h, const GUID& s, ULONG bytes, const FrameFormat& e) {
      return R{w, h, s.Data1, bytes, ULONG(std::min<uint64_t>(uint64_t(bytes) * 240, 0xFFFFFFFF)),
               e.minInterval, e.maxInterval, e.defaultInterval};
    };
    std::vector<R> expected, got;
    std::vector<const FrameFormat*> yuy2, mjpg;
    for (ULONG i = 0; i < table.formatCount; ++i) {
      const FrameFormat& e = table.formatTable[i];
      expected.push_back(want(e.outputWidth, e.outputHeight, e.outputSubtype, e.outputWidth * e.outputHeight * 2, e));
      auto same = [&](const FrameFormat* o) { return o->outputWidth == e.outputWidth && o->outputHeight == e.outputHeight; };
      if (IsEqualGUID(e.outputSubtype, kSubtypeYuy2) && std::find_if(yuy2.begin(), yuy2.end(), same) == yuy2.end()) {
        yuy2.push_back(&e);
        if (IsEqualGUID(e.inputSubtype, kSubtypeMjpg) && e.inputWidth == e.outputWidth && e.inputHeight == e.outputHeight)
          mjpg.push_back(&e);
      }
    }
    for (const FrameFormat* e : yuy2) {
      const ULONG w = e->outputWidth, h = e->outputHeight;
      expected.push_back(want(w, h, kSubtypeI420, w * h * 3 / 2, *e));
      expected.push_back(want(w, h, kSubtypeRgb24, ((w * 3 + 3) & ~3u) * h, *e));
    }
    for (const FrameFormat* e : mjpg)
      expected.push_back(want(e->outputWidth, e->outputHeight, kSubtypeMjpg, e->outputWidth * e->outputHeight * 3, *e));
    for (const KS_DATARANGE_VIDEO& r : pins[kCapturePinId].ranges)
      got.push_back(R{ULONG(r.VideoInfoHeader.bmiHeader.biWidth), ULONG(r.VideoInfoHeader.bmiHeader.biHeight),
                      r.DataRange.SubFormat.Data1, r.DataRange.SampleSize, r.VideoInfoHeader.dwBitRate,
                      r.ConfigCaps.MinFrameInterval, r.ConfigCaps.MaxFrameInterval, r.VideoInfoHeader.AvgTimePerFrame});
    EXPECT_EQ(got, expected);
    // The yuy2_only camera's 15 and 10 fps sizes, and 1280x1024 scaled
    // from its 640x480: (fastest, slowest, default).
    for (ULONG i = 0; i < table.formatCount && table.productId == 0xca42; ++i)
      if (const FrameFormat& e = table.formatTable[i]; e.outputWidth == 800 || e.outputWidth == 1280) {
        const ULONG fastest = e.outputWidth == 800 ? 666666 : e.outputHeight == 720 ? 1000000 : 333333;
        EXPECT_EQ(std::make_tuple(e.minInterval, e.maxInterval, e.defaultInterval),
                  std::make_tuple(fastest, 2000000ul, fastest)) << e.outputHeight;
      }
    ASSERT_EQ(pins[kStillPinId].ranges.size(), table.stillCount);
    for (ULONG i = 0; i < table.stillCount; ++i)
      EXPECT_EQ(ULONG(pins[kStillPinId].ranges[i].VideoInfoHeader.bmiHeader.biWidth), table.stillTable[i].inputWidth);
  }
};

// Every profile: Stop frees what Start took, again after a restart; the
// capture ranges follow the format table (one range per usable entry in
// order, then I420 and RGB24 for each YUY2 size, then the MJPEG sizes sent
// undecoded), the still ranges the still table; and every capture range
// delivers a whole frame with its information, to the byte where the frame
// is known independently (nothing converts, or a conversion at the camera's
// size).
TEST_F(Frames, EveryProfileRestartsAndEveryRangeDeliversTheKnownFrame) {
  int cases = 0, exact = 0;
  for (const std::string& profile : ProfileNames()) {
    SCOPED_TRACE(profile);
    Plug(profile);
    std::vector<uint64_t> live[2];
    for (auto& l : live) {
      ASSERT_EQ(cam_->Stop(), STATUS_SUCCESS);
      EXPECT_TRUE(host::KsFactories(cam_->Device()).empty());
      for (uint32_t tag : {kTagContext, kTagBuffer, kTagFormat, kTagRequest}) l.push_back(host::PoolStats(tag).outstanding);
      ASSERT_EQ(cam_->Start(), STATUS_SUCCESS);
    }
    EXPECT_EQ(live[0], live[1]) << host::PoolLeakReport();
    EXPECT_EQ(cam_->Start(), STATUS_SUCCESS) << "a started device answers at once";
    ASSERT_EQ(cam_->OpenFilter(&filter_), STATUS_SUCCESS);
    ExpectRangesFollowTheTables();
    const std::vector<client::PinInfo> pins = filter_->Pins();
    for (const KS_DATARANGE_VIDEO& range : pins[kCapturePinId].ranges) {
      const ULONG w = ULONG(range.VideoInfoHeader.bmiHeader.biWidth), h = ULONG(range.VideoInfoHeader.bmiHeader.biHeight);
      const GUID& subtype = range.DataRange.SubFormat;
      SCOPED_TRACE(std::to_string(w) + "x" + std::to_string(h) + " " + std::to_string(subtype.Data1));
      Pin* pin = CreateCapture(w, h, subtype);
      ASSERT_TRUE(pin);
      std::vector<Bytes> expected = PlayKnownFrames(2, subtype);
      Bytes format = Format(kCapturePinId, w, h, subtype);
      auto frames = RunAndCollect(pin, 1, ImageSize(format));
      filter_->ClosePin(pin);
      ASSERT_EQ(frames.size(), 1u);
      const auto& f = frames[0];
      EXPECT_EQ(f.header.DataUsed, IsEqualGUID(subtype, kSubtypeMjpg) ? f.data.size() : ImageSize(format));
      if (!expected.empty()) {
        EXPECT_NE(std::find(expected.begin(), expected.end(), f.data), expected.end()) << "not the known frame";
        ++exact;
      } else if (!IsEqualGUID(subtype, kSubtypeRgb24)) {
        // Decoded or scaled: the picture's mean brightness survives both.
        const FrameFormat& in = Engine()->currentFormat;
        const bool i420 = IsEqualGUID(subtype, kSubtypeI420);
        auto meanLuma = [](const Bytes& b, size_t n, size_t step) {
          double sum = 0;
          for (size_t i = 0; i < n; i += step) sum += b[i];
          return sum * double(step) / double(n);
        };
        const double got = meanLuma(f.data, i420 ? size_t(w) * h : f.data.size(), i420 ? 1 : 2);
        double nearest = 1e9;
        for (int n : {0, 3}) {
          const Bytes& raw = Picture(camera::StreamFormat::kYuy2, in.inputWidth, in.inputHeight, n);
          nearest = std::min(nearest, std::abs(got - meanLuma(raw, raw.size(), 2)));
        }
        EXPECT_LT(nearest, 12.0) << "mean luma " << got;
      }
      const KS_FRAME_INFO info = InfoOf(f);
      EXPECT_TRUE(info.ExtendedHeaderSize == sizeof(KS_FRAME_INFO) && info.PictureNumber >= 1) << "frame information";
      ++cases;
    }
  }
  EXPECT_GT(cases, 50);
  EXPECT_GE(exact, 12);
}

// Streams 320x240 YUY2 (decoded from the camera's MJPEG) at the interval
// the application asked for; `queued` buffers stay queued throughout,
// `pauseIntervals` host frame intervals pass before each buffer goes back.
struct PacedRun { std::vector<host::KsCompletedFrame> frames; uint64_t startHost = 0, endHost = 0; };

class Pacing : public CaptureRig {
 protected:
  Pacing() { clockRate_ = 3.0; }
  PacedRun Run(LONGLONG interval, int count, int queued, double pauseIntervals) {
    PacedRun run;
    Plug();
    Pin* pin = CreateCapture(320, 240, kSubtypeYuy2, interval);
    if (!pin) return ADD_FAILURE() << "no pin", run;
    PlayKnownFrames(2, kSubtypeYuy2);
    const ULONG size = 320 * 240 * 2;
    for (int i = 0; i < queued; ++i) pin->QueueBuffer(size);
    EXPECT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    run.startHost = host::ClockNow100ns();
    for (int i = 0; i < count; ++i) {
      host::KsCompletedFrame f;
      if (!pin->WaitFrame(10000, &f)) {
        ADD_FAILURE() << "frame " << i << " did not come";
        break;
      }
      run.frames.push_back(std::move(f));
      if (pauseIntervals > 0) {
        uint64_t until = host::ClockNow100ns() + uint64_t(pauseIntervals * double(interval));
        while (host::ClockNow100ns() < until) std::this_thread::sleep_for(std::chrono::microseconds(200));
      }
      pin->QueueBuffer(size);
    }
    run.endHost = host::ClockNow100ns();
    ULONG got = 0;
    dropped_.Property = Prop(kDroppedFramesSet, KSPROPERTY_DROPPEDFRAMES_CURRENT, KSPROPERTY_TYPE_GET);
    EXPECT_EQ(pin->Property(&dropped_, sizeof dropped_, &dropped_, sizeof dropped_, &got), STATUS_SUCCESS);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    return run;
  }
  // Every delivered frame: a whole frame with the splice point, time and
  // duration valid, Duration the interval, its drop count the ticks since
  // the first frame minus the frames delivered (picture k has DropCount
  // PictureNumber - k, so the first one 0), counts never falling.
  void CheckCounters(const PacedRun& run, LONGLONG interval) {
    LONGLONG lastDrops = 0, lastPicture = 0;
    for (size_t k = 0; k < run.frames.size(); ++k) {
      const host::KsCompletedFrame& f = run.frames[k];
      SCOPED_TRACE(k);
      const ULONG want = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT | KSSTREAM_HEADER_OPTIONSF_TIMEVALID |
                         KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
      EXPECT_EQ(std::make_tuple(f.header.DataUsed, f.header.OptionsFlags & want, f.header.Duration),
                std::make_tuple(320u * 240 * 2, want, interval));
      KS_FRAME_INFO info = InfoOf(f);
      EXPECT_EQ(info.DropCount, info.PictureNumber - LONGLONG(k + 1));
      EXPECT_TRUE(info.DropCount >= lastDrops && info.PictureNumber > lastPicture) << "counts never fall";
      lastDrops = info.DropCount, lastPicture = info.PictureNumber;
    }
    EXPECT_TRUE(dropped_.DropCount >= ULONG(lastDrops) && dropped_.PictureNumber >= lastPicture);
    EXPECT_EQ(dropped_.AverageFrameSize, 320u * 240 * 2);
  }
  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped_{};
};

// A 15 fps format on a 30 fps camera: frames come on 66.7 ms ticks of host
// time (absolute deadlines: no drift from the 33 ms truncation), stamped
// from the reference clock in step with the ticks counted, none dropped
// with buffers waiting.
TEST_F(Pacing, DeliveryFollowsTheAcceptedIntervalOnTheHostClock) {
  const LONGLONG interval = 666666;
  PacedRun run = Run(interval, 16, 4, 0);
  ASSERT_EQ(run.frames.size(), 16u);
  CheckCounters(run, interval);
  const LONGLONG first = run.frames.front().header.PresentationTime.Time;
  const LONGLONG last = run.frames.back().header.PresentationTime.Time;
  const double perFrame = double(last - first) / 15.0;
  // Never faster than the interval; a host too busy to keep up loses
  // ticks, which the picture numbers below account for.
  EXPECT_GE(perFrame, double(interval) * 0.9);
  EXPECT_GE(first, LONGLONG(run.startHost));
  EXPECT_LE(last, LONGLONG(run.endHost));
  EXPECT_TRUE(Discontinuous(run.frames.front())) << "the stream starts after empty ticks";
  LONGLONG picture = InfoOf(run.frames.back()).PictureNumber;
  // Buffers were always queued: ticks are lost only to a host too busy to
  // run the timer in time, never one in every two or three.
  EXPECT_LT(3 * InfoOf(run.frames.back()).DropCount, picture) << "picture " << picture;
  EXPECT_GE(double(last - first) / double(interval), double(picture - 1) - 1.0) << "stamps keep up with the ticks";
}

// An application that takes three intervals per frame: the ticks between
// its buffers count as dropped, in the frame information and in the
// dropped-frames property.
TEST_F(Pacing, ASlowApplicationSeesItsDropsCounted) {
  const LONGLONG interval = 333333;
  PacedRun run = Run(interval, 6, 1, 3.0);
  ASSERT_EQ(run.frames.size(), 6u);
  CheckCounters(run, interval);
  EXPECT_GE(InfoOf(run.frames.back()).DropCount, 8);
}

class Buffers : public CaptureRig {};

// Buffers that cannot take a frame come back empty without stalling the
// queue, and the next frame is marked discontinuous: a buffer smaller than
// the frame (nothing written: the host buffer is exactly that size, so a
// write past it is caught), and a header without a data buffer. A header
// without room asked for still gets the frame information: the pin
// declares the header size it needs.
TEST_F(Buffers, SmallOrMissingBuffersDropTheFrameAndMarkTheNext) {
  Plug("yuy2_only.json");
  Pin* pin = CreateCapture(320, 240, kSubtypeI420);
  ASSERT_TRUE(pin);
  std::vector<Bytes> expected = PlayKnownFrames(2, kSubtypeI420);
  const ULONG size = 320 * 240 * 3 / 2;
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Collect(pin, 1, size).size(), 1u);
  struct Case { ULONG bytes; ULONG extension; };
  for (Case c : {Case{size - 1, sizeof(KS_FRAME_INFO)}, Case{0, sizeof(KS_FRAME_INFO)}, Case{size, 0}}) {
    SCOPED_TRACE(c.bytes);
    pin->QueueBuffer(c.bytes, c.extension);
    pin->QueueBuffer(size, c.extension);
    host::KsCompletedFrame first, next;
    ASSERT_TRUE(pin->WaitFrame(5000, &first));
    ASSERT_TRUE(pin->WaitFrame(5000, &next));
    EXPECT_EQ(next.header.DataUsed, size);
    EXPECT_NE(std::find(expected.begin(), expected.end(), next.data), expected.end());
    EXPECT_EQ(InfoOf(first).ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
    if (c.bytes == size) continue;
    EXPECT_EQ(first.header.DataUsed, 0u);
    EXPECT_TRUE(first.data.empty());
    EXPECT_TRUE(Discontinuous(next));
  }
  EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
}

}  // namespace
}  // namespace capture_test
