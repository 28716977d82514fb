// The stream engine over the bus stand-in and the simulated camera: frames
// from every kind of profile reach the ring intact and in order; injected
// faults drop frames but never commit a bad one; stop, unplug, stop during
// start retries and allocation failure leave nothing behind and never hang.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "camera/simulated_camera.h"
#include "client/usb_host_camera.h"
#include "controls/camera_controls.h"
#include "driver/stream_hooks.h"
#include "effects/effect_state.h"
#include "platform/host/host_control.h"
#include "usb/stream_engine.h"

namespace {

using Bytes = std::vector<uint8_t>;

struct Case {
  const char* name;
  const char* profile;
  GUID subtype;
  ULONG width, height;
  bool noTrailer;
};

class Rig {
 public:
  camera::SimulatedCamera* cam = nullptr;
  std::unique_ptr<client::HostUsbCamera> host;
  StreamEngine* e = nullptr;
  std::vector<uint8_t> effectBytes = std::vector<uint8_t>(sizeof(EffectState));
  EffectState* effects = reinterpret_cast<EffectState*>(effectBytes.data());
  StreamHookContext hooks{};

  bool Open(const Case& c) {
    std::string error;
    auto model = camera::SimulatedCameraFromProfileFile(
        std::string(UVCCAM_PROFILE_DIR) + "/" + c.profile, &error);
    if (!model) {
      ADD_FAILURE() << error;
      return false;
    }
    cam = model.get();
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
    if (e->currentFormat.inputWidth != c.width) {
      // The driver's table offers MJPEG only when the camera has it; stream
      // the camera's uncompressed format directly.
      for (const camera::FormatInfo& f : cam->Layout().formats) {
        bool mjpeg = f.kind == camera::FormatKind::kMjpeg;
        if (mjpeg != IsEqualGUID(c.subtype, kSubtypeMjpg)) continue;
        if (!mjpeg && std::memcmp(f.guid, &c.subtype.Data1, 4) != 0) continue;
        for (const camera::FrameInfo& fr : f.frames) {
          if (fr.width != c.width || fr.height != c.height) continue;
          FrameFormat& cf = e->currentFormat;
          cf.inputWidth = cf.outputWidth = c.width;
          cf.inputHeight = cf.outputHeight = c.height;
          cf.inputSubtype = cf.outputSubtype = c.subtype;
          cf.formatIndex = f.index;
          cf.frameIndex = fr.index;
          cf.defaultInterval = fr.defaultInterval;
          e->formatTable[0] = cf;  // negotiation looks the format up in the table
        }
      }
    }
    if (e->currentFormat.inputWidth != c.width) {
      ADD_FAILURE() << "format not offered by the camera";
      return false;
    }
    e->expectedFrameSize = RawFrameSize(c.width, c.height);
    hooks.effects = effects;
    InstallStreamHooks(e, &hooks);
    e->noTrailer = c.noTrailer;
    return CreateStreamResources(e, nullptr, e->expectedFrameSize, e->expectedFrameSize) == STATUS_SUCCESS;
  }
};

Bytes Expected(const Case& c, uint64_t n, bool trailer) {
  camera::StreamFormat f = IsEqualGUID(c.subtype, kSubtypeMjpg)   ? camera::StreamFormat::kMjpeg
                           : IsEqualGUID(c.subtype, kSubtypeUyvy) ? camera::StreamFormat::kUyvy
                                                                  : camera::StreamFormat::kYuy2;
  Bytes b = camera::TestPicture(f, c.width, c.height, n);
  if (f == camera::StreamFormat::kMjpeg && trailer) camera::AppendTrailer(&b);
  return b;
}

// Takes frames from the ring for `ms` real milliseconds and checks each one
// against the camera's pictures, in order. Returns the frames taken.
int Consume(StreamEngine* e, const Case& c, int ms, std::string* problem) {
  bool mjpeg = IsEqualGUID(c.subtype, kSubtypeMjpg);
  uint64_t modulo = mjpeg ? camera::kMjpegPictures : 1u << 30;
  std::vector<Bytes> pictures;
  for (uint64_t n = 0; mjpeg && n < modulo; ++n) pictures.push_back(Expected(c, n, !c.noTrailer));
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
    if (mjpeg) {
      for (size_t n = 0; n < pictures.size() && found < 0; ++n)
        if (pictures[n] == got) found = int64_t(n);
    } else {
      for (int64_t n = last + 1; n < last + 400 && found < 0; ++n)
        if (Expected(c, uint64_t(n), false) == got) found = n;
    }
    if (found < 0) {
      Bytes want = Expected(c, uint64_t(last + 1), !c.noTrailer);
      size_t diff = 0;
      while (diff < got.size() && diff < want.size() && got[diff] == want[diff]) ++diff;
      *problem = "frame " + std::to_string(taken) + " (" + std::to_string(got.size()) +
                 " bytes) is not a picture the camera sent; after picture " + std::to_string(last) +
                 " it differs from the next at byte " + std::to_string(diff);
      return taken;
    }
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
  host::SetDebugEcho(getenv("ECHO") != nullptr);
  ASSERT_EQ(StartStream(e), STATUS_SUCCESS);
  std::string problem;
  int taken = Consume(e, c, 1500, &problem);
  EXPECT_EQ(problem, "");
  EXPECT_GE(taken, 10) << "committed " << e->framesCommitted << " dropped " << e->framesDropped;
  bool mjpeg = IsEqualGUID(c.subtype, kSubtypeMjpg);
  EXPECT_LE(ReadULongNoFence(&e->framesDropped), mjpeg ? 4u : 1u) << "only the first frames";
  EXPECT_EQ(ReadULongNoFence(&e->controlsApplied), 1u);
  ASSERT_EQ(StopStream(e), STATUS_SUCCESS);
  EXPECT_EQ(rig.host->Bus().QueuedTransfers(), 0u);
  EXPECT_EQ(host::PoolStats(kHostIrpTag).outstanding, 0u);
  EXPECT_FALSE(rig.cam->Streaming()) << "alternate setting 0 after stop";
}

INSTANTIATE_TEST_SUITE_P(
    Profiles, Streams,
    ::testing::Values(Case{"IsoMjpeg", "default.json", kSubtypeMjpg, 640, 480, false},
                      Case{"IsoYuy2", "default.json", kSubtypeYuy2, 320, 240, false},
                      Case{"IsoUyvy", "uyvy_no_interrupt.json", kSubtypeUyvy, 320, 240, false},
                      Case{"BulkMjpeg", "bulk.json", kSubtypeMjpg, 640, 480, false},
                      Case{"BulkYuy2", "bulk.json", kSubtypeYuy2, 320, 240, false},
                      Case{"FullSpeedMjpeg", "full_speed.json", kSubtypeMjpg, 160, 120, false},
                      Case{"NoTrailerMjpeg", "webcam_no_trailer.json", kSubtypeMjpg, 640, 480, true}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace

namespace {

const Case kMjpeg640{"IsoMjpeg", "default.json", kSubtypeMjpg, 640, 480, false};
const Case kYuy2Iso{"IsoYuy2", "default.json", kSubtypeYuy2, 320, 240, false};

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

TEST_F(Engine, UnplugMidStreamEndsTheWorkerAndStopLeavesNothing) {
  ASSERT_TRUE(rig.Open(kYuy2Iso));
  camera::StreamFaults f;
  f.unplug = 5;
  rig.cam->SetStreamFaults(f);
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  LARGE_INTEGER t;
  t.QuadPart = -50000000;
  ASSERT_EQ(KeWaitForSingleObject(&rig.e->streamWorkerDone, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS)
      << "the worker ends after the unplug";
  EXPECT_EQ(ReadULongNoFence(&rig.e->removed), 1u);
  uint64_t submitted = rig.host->Bus().Count(host::UsbRequestKind::IsochronousTransfer);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
  EXPECT_EQ(rig.host->Bus().Count(host::UsbRequestKind::IsochronousTransfer), submitted)
      << "no resubmission after the unplug";
  EXPECT_EQ(host::PoolStats(kHostIrpTag).outstanding, 0u);
}

TEST_F(Engine, StopDuringOpenRetriesAndAStallingCameraNeverHang) {
  ASSERT_TRUE(rig.Open(kYuy2Iso));
  camera::CameraFaults probeFault;
  probeFault.rejectProbe = true;
  rig.cam->SetFaults(probeFault);
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(700));  // a few failed attempts
  EXPECT_EQ(ReadULongNoFence(&rig.e->transfersActive), 0u);
  auto t0 = std::chrono::steady_clock::now();
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
  EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(3));
  // A camera that stalls its endpoint: the worker backs off and gives up.
  rig.cam->SetFaults(camera::CameraFaults{});
  camera::StreamFaults f;
  f.stall = 3;
  rig.cam->SetStreamFaults(f);
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  LARGE_INTEGER t;
  t.QuadPart = -100000000;
  EXPECT_EQ(KeWaitForSingleObject(&rig.e->streamWorkerDone, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  EXPECT_GE(rig.host->Bus().Count(host::UsbRequestKind::ResetPipe), 1u);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
}

TEST_F(Engine, AllocationFailureAtEveryStartAllocationLeaksNothingAndTheNextStartWorks) {
  ASSERT_TRUE(rig.Open(kYuy2Iso));
  // Count the allocations of one start/stop.
  host::PoolReset();
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  std::string problem;
  ASSERT_GE(Consume(rig.e, kYuy2Iso, 400, &problem), 1);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
  uint64_t allocations = host::PoolAllocationCount();
  ASSERT_GE(allocations, 6u);
  // The device-lifetime blocks (tables, ring, still buffer) stay live.
  const uint64_t base = host::PoolStats(kTagBuffer).outstanding;
  for (uint64_t n = 1; n <= allocations; ++n) {
    SCOPED_TRACE(n);
    host::PoolReset();
    host::PoolFailNth(n);
    ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
    ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
    ASSERT_EQ(host::PoolStats(kTagBuffer).outstanding, base) << host::PoolLeakReport();
    EXPECT_EQ(host::PoolStats(kHostIrpTag).outstanding, 0u);
  }
  host::PoolReset();
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  EXPECT_GE(Consume(rig.e, kYuy2Iso, 600, &problem), 3);
  EXPECT_EQ(problem, "");
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
}

TEST_F(Engine, RapidStartStopCyclesWithTheStatusReader) {
  ASSERT_TRUE(rig.Open(kMjpeg640));
  rig.effects->stillPinPresent = 1;
  ASSERT_TRUE(rig.e->hasInterruptPipe);
  for (int i = 0; i < 4; ++i) {
    ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
    ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS) << "running: nothing queued twice";
    if (i == 2) std::this_thread::sleep_for(std::chrono::milliseconds(400));
    ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
    EXPECT_EQ(ReadULongNoFence(&rig.e->statusReaderRunning), 0u);
  }
  // The button: the reader forwards it as a still trigger and sets the flags.
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  rig.cam->PressStillButton();
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!ReadULongNoFence(&rig.effects->buttonPressed) && std::chrono::steady_clock::now() < end)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(ReadULongNoFence(&rig.effects->buttonPressed), 1u);
  EXPECT_EQ(rig.cam->StillTriggerCount(), 1u);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
}

TEST_F(Engine, RestoreControlsSendsTheStoredValuesInOrderAndFpsFollowsTheHostClock) {
  ASSERT_TRUE(rig.Open(kMjpeg640));
  rig.e->processingUnitId = 2;
  rig.e->cameraTerminalId = 1;
  EffectState& s = *rig.effects;
  // The controls record device start builds: both units, every control.
  CameraControls controls{};
  controls.engine = rig.e;
  controls.state = rig.effects;
  controls.units.hasProcessingUnit = controls.units.hasCameraTerminal = 1;
  controls.units.processingUnitId = 2;
  controls.units.cameraTerminalId = 1;
  controls.units.processingControls = 0xFFFF;
  controls.units.cameraControls = 0xFFFFFF;
  rig.hooks.controls = &controls;
  s.whiteBalanceAuto.AutoCurrent = kControlFlagManual;
  ControlValue* pu[] = {&s.powerLineFrequency, &s.brightness, &s.contrast, &s.sharpness,
                        &s.hue, &s.saturation, &s.gamma, &s.backlightCompensation};
  for (ControlValue* c : pu) c->Supported = 1, c->Current = 1;
  s.brightness.Current = -3;
  s.exposure.Supported = 1;
  s.exposure.Current = -20;  // outside -14..-1: never looked up or sent
  s.exposureMode.AutoSupported = 1;
  s.whiteBalanceTemperature.Supported = 1;
  s.whiteBalanceTemperature.Current = 4600;
  rig.host->Bus().ResetCounters();
  ASSERT_EQ(StartStream(rig.e), STATUS_SUCCESS);
  std::string problem;
  Consume(rig.e, kMjpeg640, 900, &problem);
  ASSERT_EQ(ReadULongNoFence(&rig.e->controlsApplied), 1u);
  std::vector<std::pair<uint16_t, uint16_t>> sets;  // (wValue, wIndex) of unit SET_CURs
  for (const host::UsbSetupPacket& p : rig.host->Bus().ControlLog())
    if (p.bmRequestType == 0x21 && p.bRequest == 0x01 && (p.wIndex >> 8) != 0) sets.emplace_back(p.wValue, p.wIndex);
  std::vector<std::pair<uint16_t, uint16_t>> want = {
      {0x0500, 0x0200}, {0x0200, 0x0200}, {0x0300, 0x0200}, {0x0800, 0x0200}, {0x0600, 0x0200},
      {0x0700, 0x0200}, {0x0900, 0x0200}, {0x0100, 0x0200}, {0x0200, 0x0100}, {0x0A00, 0x0200}};
  EXPECT_EQ(sets, want);
  ULONG t;
  EXPECT_TRUE(ExposureTimeFor(-7, &t));
  EXPECT_EQ(t, 78u) << "-7 = 1/128 s";
  EXPECT_FALSE(ExposureTimeFor(0, &t));
  EXPECT_FALSE(ExposureTimeFor(-15, &t));
  ULONG fps = ReadULongNoFence(&rig.e->fps);
  EXPECT_GE(fps, 25u);
  EXPECT_LE(fps, 30u);
  ASSERT_EQ(StopStream(rig.e), STATUS_SUCCESS);
}

}  // namespace
