// The capture pin's lifecycle and the still pin: stills by button and by
// software trigger, unplug while capturing, stop/run cycles, closing a
// running pin, the stored controls at stream start, allocation failure at
// every allocation of the RUN path.
#include <thread>

#include "tests/driver/capture_rig.h"

namespace capture_test {
namespace {

class Lifecycle : public CaptureRig {
 protected:
  Lifecycle() { clockRate_ = 20.0; }
};

// Stills by the camera's button and by the software trigger on a YUY2
// camera: each request gives exactly one still, equal to the camera's still
// picture as sent, and nothing comes without a request. (MJPEG stills,
// decoded, are taken by both triggers with the still command.)
TEST_F(Lifecycle, StillsByButtonAndTriggerAreTheCamerasStillPicture) {
  for (bool button : {true, false}) {
    SCOPED_TRACE(button ? "button" : "trigger");
    Plug("yuy2_only.json");
    std::vector<client::PinInfo> pins = filter_->Pins();
    ASSERT_FALSE(pins[kStillPinId].ranges.empty());
    const KS_BITMAPINFOHEADER& sh = pins[kStillPinId].ranges.front().VideoInfoHeader.bmiHeader;
    const ULONG sw = ULONG(sh.biWidth), sht = ULONG(sh.biHeight);
    Pin* capture = CreateCapture(320, 240, kSubtypeYuy2);
    ASSERT_TRUE(capture);
    PlayKnownFrames(2, kSubtypeYuy2);
    Pin* still = nullptr;
    ASSERT_EQ(filter_->CreatePin(kStillPinId, Format(kStillPinId, sw, sht, kSubtypeYuy2), &still), STATUS_SUCCESS);
    ASSERT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(still->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    ASSERT_EQ(Collect(capture, 1, 320 * 240 * 2).size(), 1u);
    for (int n = 0; n < 2; ++n) {
      still->QueueBuffer(sw * sht * 2, 0);
      ASSERT_TRUE(button ? cam_->PressStillButton() : filter_->TriggerStill() == STATUS_SUCCESS);
      host::KsCompletedFrame f{};
      for (int i = 0; i < 200 && !still->WaitFrame(10, &f); ++i) capture->QueueBuffer(320 * 240 * 2);
      ASSERT_EQ(f.header.DataUsed, sw * sht * 2) << "still " << n;
      bool match = false;
      for (int k = 0; k < 8 && !match; ++k) match = f.data == camera::TestPicture(camera::StreamFormat::kYuy2, sw, sht, k);
      EXPECT_TRUE(match) << "still " << n << " is not the camera's still picture";
    }
    // Consumed once: no request, no still.
    still->QueueBuffer(sw * sht * 2, 0);
    host::KsCompletedFrame none;
    EXPECT_FALSE(still->WaitFrame(300, &none));
    EXPECT_EQ(still->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(Device()->stillPin, nullptr) << "the still pin left the device at stop";
  }
}

// The camera disappears mid-stream: the frames before are intact, then
// nothing more comes, the timer ends by itself, and stop and close work.
TEST_F(Lifecycle, UnplugWhileCapturing) {
  Plug("yuy2_only.json");
  Pin* pin = CreateCapture(320, 240, kSubtypeRgb24);
  ASSERT_TRUE(pin);
  std::vector<Bytes> expected = PlayKnownFrames(2, kSubtypeRgb24);
  camera::StreamFaults faults;
  faults.unplug = 12;
  sim_->SetStreamFaults(faults);
  const ULONG size = FrameOutputBytes(kSubtypeRgb24, 320, 240);
  host::SetClockRate(4.0);  // the worker keeps up even under ThreadSanitizer
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  int delivered = 0;
  for (int i = 0; i < 3; ++i) pin->QueueBuffer(size);
  host::KsCompletedFrame f;
  while (pin->WaitFrame(1500, &f)) {
    EXPECT_NE(std::find(expected.begin(), expected.end(), f.data), expected.end());
    pin->QueueBuffer(size);
    ASSERT_LT(++delivered, 50) << "frames keep coming after the unplug";
  }
  EXPECT_GE(delivered, 1);
  for (int i = 0; i < 500 && ReadULongNoFence(&Device()->capturePin->timerRunning); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(ReadULongNoFence(&Engine()->removed), 1u) << "errors " << Engine()->transferErrors;
  EXPECT_EQ(ReadULongNoFence(&Device()->capturePin->timerRunning), 0u) << "the timer ends itself";
  EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  filter_->ClosePin(pin);
}

// RUN/PAUSE/RUN and RUN/STOP cycles: every run starts its counts afresh
// and delivers, and sends the driver's stored control values to the camera
// (through the hook the controls install at device start); closing a
// running pin stops its timer and stream (nothing runs on, nothing leaks),
// and a new pin runs after it.
TEST_F(Lifecycle, StopRunCyclesStoredControlsAndClosingARunningPin) {
  Plug("yuy2_only.json");
  Pin* pin = CreateCapture(160, 120, kSubtypeYuy2);
  ASSERT_TRUE(pin);
  std::vector<Bytes> expected = PlayKnownFrames(2, kSubtypeYuy2);
  const ULONG size = 160 * 120 * 2;
  const UCHAR unit = Device()->engine->processingUnitId;
  int64_t brightness = 0;
  ASSERT_TRUE(unit && sim_->ControlCurrentInt(unit, 0x02, &brightness) && brightness != 7);
  Device()->effects->brightness.Current = 7;  // stored, never sent
  for (KSSTATE between : {KSSTATE_PAUSE, KSSTATE_STOP, KSSTATE_PAUSE, KSSTATE_ACQUIRE}) {
    ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    auto frames = Collect(pin, 3, size);
    ASSERT_EQ(frames.size(), 3u);
    EXPECT_TRUE(sim_->ControlCurrentInt(unit, 0x02, &brightness) && brightness == 7) << "stored value not sent";
    EXPECT_EQ(InfoOf(frames[0]).DropCount, 0);
    for (const auto& f : frames) EXPECT_NE(std::find(expected.begin(), expected.end(), f.data), expected.end());
    ASSERT_EQ(pin->SetState(between), STATUS_SUCCESS);
    EXPECT_EQ(Device()->streaming, 0u);
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Collect(pin, 1, size).size(), 1u);
  filter_->ClosePin(pin);
  EXPECT_TRUE(host::WaitPlatformIdle(5000)) << "a timer or DPC outlived the pin";
  EXPECT_EQ(Device()->streaming, 0u);
  EXPECT_FALSE(sim_->Streaming());
  EXPECT_EQ(Device()->captureSlot, 0);
  pin = CreateCapture(160, 120, kSubtypeYuy2);
  ASSERT_TRUE(pin);
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Collect(pin, 1, size).size(), 1u);
}

// Every allocation made from RUN to the first frame fails once in turn: the
// pin either delivers or not, but stop leaves every driver tag's live
// count as it was before RUN.
TEST_F(Lifecycle, AllocationFailureAtEveryAllocationOfTheRunPath) {
  Plug("yuy2_only.json");
  Pin* pin = CreateCapture(160, 120, kSubtypeYuy2);
  ASSERT_TRUE(pin);
  PlayKnownFrames(1, kSubtypeYuy2);
  const ULONG size = 160 * 120 * 2;
  const uint32_t tags[] = {kTagContext, kTagBuffer, kTagFormat, kTagRequest};
  auto live = [&] {
    std::vector<uint64_t> v;
    for (uint32_t t : tags) v.push_back(host::PoolStats(t).outstanding);
    return v;
  };
  const std::vector<uint64_t> before = live();
  uint64_t start = host::PoolAllocationCount();
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(Collect(pin, 1, size).size(), 1u);
  const uint64_t perRun = host::PoolAllocationCount() - start;
  ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  ASSERT_EQ(live(), before);
  ASSERT_GE(perRun, 4u);
  for (uint64_t n = 1; n <= perRun; ++n) {
    SCOPED_TRACE(n);
    host::PoolFailNth(n);
    NTSTATUS s = pin->SetState(KSSTATE_RUN);
    if (NT_SUCCESS(s)) {
      pin->QueueBuffer(size);
      host::KsCompletedFrame f;
      if (pin->WaitFrame(1000, &f)) { EXPECT_TRUE(f.data.empty() || f.data.size() == size); }
    }
    host::PoolFailNth(0);
    EXPECT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(live(), before) << host::PoolLeakReport();
  }
  ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(Collect(pin, 1, size).size(), 1u) << "the pin runs again after the failures";
}

}  // namespace
}  // namespace capture_test
