// FramePipeline against the routines applied by hand on every route and size
// (exactly sized buffers), its refusals, and the decode-error report.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "pipeline/conversions.h"
#include "pipeline/frame_pipeline.h"
#include "pipeline/scaler.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "platform/worker_pair.h"
#include <sys/stat.h>
#include <unistd.h>
#include "tests/effects/frames.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using Bytes = std::vector<uint8_t>;
constexpr uint8_t kFill = 0xA5;

struct Effects {
  bool on;
  std::unique_ptr<ChainState> Make() const {
    auto s = std::make_unique<ChainState>();
    s->zoom.zoomFactor = 64;
    if (on) {
      s->mirror = 1;
      s->chromaSmoothing = 1;  // leaves the frame in the effect buffer
      s->specialColor = 2;
    }
    return s;
  }
};

const auto Packed = fx::GentleFrame;  // smooth packed frames

Bytes Jpeg(uint32_t w, uint32_t h) {
  return mjpeg_fixtures::CameraLayout(mjpeg_fixtures::Encode({int(w), int(h), 80}), true);
}

size_t Up(size_t v, size_t m) { return (v + m - 1) / m * m; }

// Buffer sizes a route needs: the decoder pads to whole MCUs (4:2:2: 16 x 8)
// in its scratch and to a multiple of 4 x 2 in its output.
struct Sizes {
  size_t frame, work, effect;
  Sizes(const FrameFormat& f) {
    frame = size_t(f.inputWidth) * f.inputHeight * 2;
    work = std::max({frame, size_t(f.outputWidth) * f.outputHeight * 2,
                     Up(f.inputWidth, 4) * Up(f.inputHeight, 2) * 2});
    effect = std::max(frame, Up(f.inputWidth, 16) * Up(f.inputHeight, 8) * 2);
  }
};

// What the pipeline must produce, by hand: decode (rows of the padded
// width), effect chain at the camera size, scale, then copy, swap or convert.
Bytes Expected(const FrameFormat& f, const Bytes& camera, const Effects& fx) {
  const Sizes sz(f);
  const uint32_t iw = f.inputWidth, ih = f.inputHeight, ow = f.outputWidth, oh = f.outputHeight;
  const bool mjpeg = IsEqualGUID(f.inputSubtype, kSubtypeMjpg);
  const bool uyvy = IsEqualGUID(f.inputSubtype, kSubtypeUyvy);
  Bytes frame(sz.frame), work(sz.work), effect(sz.effect);
  if (mjpeg) {
    Bytes decoded(sz.work);
    EXPECT_EQ(DecodeMjpeg(decoded.data(), ULONG(decoded.size()), camera.data(), ULONG(camera.size()),
                          effect.data(), ULONG(effect.size())), 0);
    for (uint32_t r = 0; r < ih; ++r)
      memcpy(&frame[size_t(r) * iw * 2], &decoded[size_t(r) * Up(iw, 4) * 2], size_t(iw) * 2);
  } else {
    frame = camera;
  }
  auto state = fx.Make();
  const LONG which = ApplyEffects(frame.data(), work.data(), effect.data(), &Tables(), &f, state.get(),
                                   state.get());
  Bytes src = which ? Bytes(effect.begin(), effect.begin() + sz.frame) : frame;
  Bytes sized(size_t(ow) * oh * 2);
  if (iw == ow && ih == oh) sized = src;
  else ScaleFrame(sized.data(), src.data(), iw, ih, ow, oh, Tables().ClampPointer, uyvy ? 0 : 1);

  const bool toUyvy = IsEqualGUID(f.outputSubtype, kSubtypeUyvy);
  const bool toYuy2 = IsEqualGUID(f.outputSubtype, kSubtypeYuy2);
  if ((toUyvy && !uyvy) || (toYuy2 && uyvy) ||
      (uyvy && !toUyvy && !toYuy2))  // conversions start from YUY2 order
    for (size_t i = 0; i + 1 < sized.size(); i += 2) std::swap(sized[i], sized[i + 1]);  // Y0 U <-> U Y0 ...
  if (toUyvy || toYuy2) return sized;
  if (IsEqualGUID(f.outputSubtype, kSubtypeI420)) {
    Bytes out(I420FrameSize(ow, oh), kFill);
    ConvertYuy2ToI420(out.data(), sized.data(), ow, oh);
    return out;
  }
  Bytes rgb(size_t(ow) * oh * 3);
  ConvertYuy2ToRgb24(&Tables(), rgb.data(), sized.data(), ow, oh);
  const size_t stride = (size_t(ow) * 3 + 3) & ~size_t(3);
  Bytes out(stride * oh, 0);
  for (uint32_t r = 0; r < oh; ++r) memcpy(&out[r * stride], &rgb[r * size_t(ow) * 3], size_t(ow) * 3);
  return out;
}

FrameFormat Format(uint32_t iw, uint32_t ih, uint32_t ow, uint32_t oh, GUID in, GUID out) {
  FrameFormat f{};
  f.inputWidth = iw, f.inputHeight = ih, f.outputWidth = ow, f.outputHeight = oh;
  f.inputSubtype = in, f.outputSubtype = out;
  return f;
}

// One call with exactly sized buffers; `camera` is a packed frame or a JPEG.
struct Call {
  FrameFormat f;
  Bytes input, output, work, effect;
  std::unique_ptr<ChainState> state;
  Call(const FrameFormat& format, const Bytes& camera, size_t outputBytes, const Effects& fx)
      : f(format), output(outputBytes, kFill), state(fx.Make()) {
    const Sizes sz(f);
    input = camera;
    if (IsEqualGUID(f.inputSubtype, kSubtypeMjpg)) input.resize(std::max(camera.size(), sz.frame), 0);
    work.assign(sz.work, 0x11);
    effect.assign(sz.effect, 0x22);
    inputSize = ULONG(camera.size());
  }
  ULONG inputSize;
  // nullArg 1 passes no settings, 2 no frame format.
  LONG Run(int nullArg = 0) {
    return FramePipeline(FrameJob{input.data(), inputSize, ULONG(input.size()), output.data(), ULONG(output.size()),
                                  work.data(), ULONG(work.size()), effect.data(), ULONG(effect.size()), &Tables(),
                                  nullArg == 2 ? nullptr : &f, state.get(),
                                  nullArg == 1 ? nullptr : state.get(), workers});
  }
  const WorkerPair* workers = nullptr;
  // A refusal returns 0 and leaves the input, the output and the chain as they were.
  void ExpectRefused(int nullArg = 0) {
    const Bytes before = input;
    EXPECT_EQ(Run(nullArg), 0);
    EXPECT_TRUE(input == before);
    EXPECT_TRUE(std::all_of(output.begin(), output.end(), [](uint8_t b) { return b == kFill; }));
    EXPECT_EQ(state->chainFrameCounter, 0u);
  }
};

struct SizePair { uint32_t iw, ih, ow, oh; };
const SizePair kSizes[] = {
    {640, 480, 640, 480},  {640, 480, 1280, 720}, {320, 240, 176, 144}, {320, 240, 352, 288},
    {642, 482, 642, 482},  {162, 120, 80, 60},    {2, 2, 2, 2},         {8, 4, 4, 2},
    {4, 2, 8, 4},          {6, 2, 6, 2},          {5, 3, 5, 3},
};
const GUID kOutputs[] = {kSubtypeYuy2, kSubtypeUyvy, kSubtypeI420, kSubtypeRgb24};

TEST(FramePipelineTest, EveryRouteEqualsTheRoutinesAppliedByHand) {
  host::PoolReset();
  for (const SizePair& s : kSizes) {
    const Bytes jpeg = Jpeg(s.iw, s.ih);
    for (GUID in : {kSubtypeYuy2, kSubtypeUyvy, kSubtypeMjpg}) {
      const Bytes camera = IsEqualGUID(in, kSubtypeMjpg) ? jpeg : Packed(s.iw, s.ih, s.iw * 7 + s.oh);
      for (GUID out : kOutputs) {
        for (bool on : {false, true}) {
          const FrameFormat f = Format(s.iw, s.ih, s.ow, s.oh, in, out);
          SCOPED_TRACE(testing::Message() << s.iw << "x" << s.ih << " -> " << s.ow << "x" << s.oh << " in "
                                          << std::hex << in.Data1 << " out " << out.Data1 << " effects " << on);
          const Bytes expected = Expected(f, camera, Effects{on});
          ASSERT_EQ(expected.size(), FrameOutputBytes(out, s.ow, s.oh));
          Call call(f, camera, expected.size(), Effects{on});
          ASSERT_EQ(call.Run(), 1);
          EXPECT_TRUE(call.output == expected);
        }
      }
    }
  }
  EXPECT_EQ(host::PoolOutstanding(), 0u);
}

// A frame with restart intervals decodes on the worker pair the caller lends,
// with the serial decode's bytes (the decoder's tests cover damaged markers).
TEST(FramePipelineTest, RestartIntervalFramesDecodeOnTheLentWorkers) {
  static int pairs = 0;
  static const WorkerPair counting = {
      [](void*, WorkerPairFunction work, void* first, void* second) {
        ++pairs;
        PlatformWorkerPair()->runPair(PlatformWorkerPair()->context, work, first, second);
      },
      nullptr};
  const Bytes jpeg = mjpeg_fixtures::WebcamLayout(
      mjpeg_fixtures::Encode({320, 240, 80, mjpeg_fixtures::Sampling::k422, 20}), false);
  const FrameFormat f = Format(320, 240, 320, 240, kSubtypeMjpg, kSubtypeYuy2);
  const Bytes expected = Expected(f, jpeg, Effects{true});
  Call call(f, jpeg, expected.size(), Effects{true});
  call.workers = &counting;
  ASSERT_EQ(call.Run(), 1);
  EXPECT_TRUE(call.output == expected);
  EXPECT_EQ(pairs, 1);
}

TEST(FramePipelineTest, MjpegToMjpegCopiesTheCompressedFrameOnly) {
  const Bytes jpeg = Jpeg(64, 48);
  for (SizePair s : {SizePair{64, 48, 64, 48}, SizePair{64, 48, 1280, 720}}) {
    Call call(Format(s.iw, s.ih, s.ow, s.oh, kSubtypeMjpg, kSubtypeMjpg), jpeg, jpeg.size(), Effects{true});
    const Bytes inputBefore = call.input;
    ASSERT_EQ(call.Run(), 1);
    EXPECT_TRUE(call.output == jpeg);
    EXPECT_TRUE(call.input == inputBefore);   // not decoded, no effects
    EXPECT_EQ(call.state->chainFrameCounter, 0u);
  }
}

// Refusals: a buffer one byte short for the route, a pair no route produces, a null argument.
TEST(FramePipelineTest, RefusalsLeaveTheOutputUntouched) {
  const Bytes packed = Packed(64, 48, 1), jpeg = Jpeg(64, 48);
  enum Short { kNone, kInputSize, kInputBuffer, kOutput, kWork, kEffect };
  const struct {
    GUID in, out;
    uint32_t ow, oh;
    Short shortBuffer;
    int nullArg;  // 0 none, else which pointer argument is null
  } cases[] = {
      {kSubtypeYuy2, kSubtypeYuy2, 64, 48, kOutput, 0},
      {kSubtypeYuy2, kSubtypeRgb24, 66, 48, kOutput, 0},   // row padding counts
      {kSubtypeUyvy, kSubtypeI420, 64, 48, kOutput, 0},
      {kSubtypeYuy2, kSubtypeYuy2, 64, 48, kInputSize, 0},
      {kSubtypeYuy2, kSubtypeI420, 128, 96, kWork, 0},     // scaled frame before the conversion
      {kSubtypeUyvy, kSubtypeUyvy, 64, 48, kEffect, 0},
      {kSubtypeMjpg, kSubtypeYuy2, 64, 48, kInputBuffer, 0},  // no room to decode back into
      {kSubtypeMjpg, kSubtypeMjpg, 64, 48, kOutput, 0},
      {kSubtypeYuy2, kSubtypeMjpg, 64, 48, kNone, 0},      // nothing encodes MJPEG
      {kSubtypeYuy2, MakeFourccSubtype('N', 'V', '1', '2'), 64, 48, kNone, 0},
      {MakeFourccSubtype('N', 'V', '1', '2'), kSubtypeYuy2, 64, 48, kNone, 0},
      {kSubtypeYuy2, kSubtypeYuy2, 64, 48, kNone, 1},
      {kSubtypeMjpg, kSubtypeYuy2, 64, 48, kNone, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "case " << (&c - cases));
    const FrameFormat f = Format(64, 48, c.ow, c.oh, c.in, c.out);
    const bool mjpeg = IsEqualGUID(c.in, kSubtypeMjpg);
    ULONG need = FrameOutputBytes(c.out, c.ow, c.oh);
    if (IsEqualGUID(c.out, kSubtypeMjpg)) need = ULONG(jpeg.size());
    Call call(f, mjpeg ? jpeg : packed, std::max<ULONG>(need, 16) - (c.shortBuffer == kOutput), Effects{true});
    if (c.shortBuffer == kInputSize) call.inputSize -= 1;
    if (c.shortBuffer == kInputBuffer) call.input.resize(64 * 48 * 2 - 1);
    if (c.shortBuffer == kWork) call.work.resize(size_t(c.ow) * c.oh * 2 - 1);
    if (c.shortBuffer == kEffect) call.effect.resize(64 * 48 * 2 - 1);
    call.ExpectRefused(c.nullArg);
  }
}

TEST(FramePipelineTest, FrameSizeIsReadFromTheLastFrameHeader) {
  Bytes jpeg = Jpeg(642, 16);
  ULONG w = 0, h = 0;
  ASSERT_TRUE(ReadMjpegFrameSize(jpeg.data(), ULONG(jpeg.size()), &w, &h) && w == 642u && h == 16u);
  // Cut inside the frame header: no size.
  size_t sof = 2;
  while (!(jpeg[sof] == 0xFF && jpeg[sof + 1] == 0xC0)) ++sof;
  EXPECT_FALSE(ReadMjpegFrameSize(jpeg.data(), ULONG(sof + 6), &w, &h));
  EXPECT_FALSE(ReadMjpegFrameSize(jpeg.data(), 2, &w, &h));
}

// The decode-error report. One state folder for the whole binary, so that
// its "aa" folder holds every dump written since load.
class DecodeErrorTest : public ::testing::Test {
 protected:
  static std::string Folder() {
    static std::string folder = [] {
      char name[] = "/tmp/uvccam-pipeline-XXXXXX";
      std::string f = mkdtemp(name);
      mkdir((f + "/aa").c_str(), 0755);  // the driver does not create it
      return f;
    }();
    return folder;
  }
  void SetUp() override {
    host::SetStateFolder(Folder());
    host::ClearDebugLog();
  }
  void TearDown() override { host::SetClockRate(1); }
  static std::vector<std::string> Dumps() {
    std::vector<std::string> names;
    for (const auto& e : std::filesystem::directory_iterator(Folder() + "/aa")) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  static Bytes ReadFile(const std::string& name) {
    std::ifstream in(Folder() + "/aa/" + name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), {});
  }
  // Lets more than the dump interval pass on the host clock.
  static void NextInterval() {
    host::SetClockRate(100000);
    std::this_thread::sleep_for(std::chrono::milliseconds(25));
    host::SetClockRate(1);
  }
  // One 64x48 MJPG -> YUY2 frame that must be refused.
  static void Fail(const Bytes& jpeg, ULONG inputSize) {
    Call call(Format(64, 48, 64, 48, kSubtypeMjpg, kSubtypeYuy2), jpeg, 64 * 48 * 2, Effects{false});
    call.inputSize = inputSize;
    call.ExpectRefused();
  }
};

TEST_F(DecodeErrorTest, BrokenFramesAreReportedAndDumpedCompressed) {
  const Bytes good = Jpeg(64, 48);
  const struct {
    Bytes jpeg;
    ULONG length;
    LONG error;
  } cases[] = {
      {good, ULONG(good.size() / 2), kMjpegErrorTruncated},
      {Jpeg(32, 48), ULONG(Jpeg(32, 48).size()), kDecodeErrorFrameSize},  // smaller: decodes, wrong size
      {Jpeg(64, 40), ULONG(Jpeg(64, 40).size()), kDecodeErrorFrameSize},
      {Jpeg(96, 48), ULONG(Jpeg(96, 48).size()), kMjpegErrorImageTooLarge},  // larger than the buffers
  };
  for (const auto& c : cases) {
    NextInterval();
    host::ClearDebugLog();
    const std::vector<std::string> before = Dumps();
    Fail(c.jpeg, c.length);
    EXPECT_EQ(host::DebugLog(), "decoder error=" + std::to_string(c.error) + "\n");
    const std::vector<std::string> after = Dumps();
    ASSERT_EQ(after.size(), before.size() + 1);
    std::string added;
    for (const std::string& n : after)
      if (!std::binary_search(before.begin(), before.end(), n)) added = n;
    const std::string suffix = "_" + std::to_string(c.error) + ".dat";
    EXPECT_EQ(added.rfind("Image", 0), 0u) << added;
    EXPECT_EQ(added.substr(added.size() - suffix.size()), suffix) << added;
    EXPECT_TRUE(ReadFile(added) == Bytes(c.jpeg.begin(), c.jpeg.begin() + c.length));
  }
  EXPECT_EQ(host::OpenHandleCount(), 0u);
}

TEST_F(DecodeErrorTest, DumpsAreRateLimited) {
  const Bytes jpeg = Jpeg(64, 48);
  const ULONG cut = ULONG(jpeg.size() / 2);
  NextInterval();
  const size_t before = Dumps().size();
  for (int i = 0; i < 5; ++i) Fail(jpeg, cut);  // within one interval: one dump
  std::string log;
  for (int i = 0; i < 5; ++i) log += "decoder error=21\n";
  EXPECT_EQ(host::DebugLog(), log);
  ASSERT_EQ(Dumps().size(), before + 1);

  // A camera that keeps failing: at most kDecodeDumpLimit files per load.
  for (ULONG i = 0; i < kDecodeDumpLimit + 5; ++i) {
    NextInterval();
    Fail(jpeg, cut);
  }
  EXPECT_EQ(Dumps().size(), size_t(kDecodeDumpLimit));
  EXPECT_EQ(host::OpenHandleCount(), 0u);
}

// Two devices' capture pins can fail at the same time: every error gets its
// message and its own number, and one interval still yields one dump.
TEST_F(DecodeErrorTest, ConcurrentReportsShareTheCounterAndTheLimit) {
  NextInterval();
  const size_t before = Dumps().size();
  const Bytes frame = Packed(8, 4, 1);
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([&] {
      for (int i = 0; i < 50; ++i) ReportDecodeError(9, frame.data(), ULONG(frame.size()));
    });
  for (auto& t : threads) t.join();
  std::string log;
  for (int i = 0; i < 200; ++i) log += "decoder error=9\n";
  EXPECT_EQ(host::DebugLog(), log);
  EXPECT_LE(Dumps().size(), before + 1);
}

}  // namespace
