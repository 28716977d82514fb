// The USB bring-up: its order, its failures and what it leaves behind.
#include <functional>

#include "tests/usb/fake_camera.h"
#include "usb/usb_bringup.h"

namespace {

using fake::CameraConfiguration;
using fake::CameraShape;
using fake::ConfigBuilder;
using fake::Rig;
using fake::UsbTest;
using host::UsbRequestKind;

class BringUpTest : public UsbTest {};

TEST_F(BringUpTest, RunsTheStepsInOrderAndFillsTheEngine) {
  Rig rig;
  UsbBringUpStep step = kBringUpDeviceDescriptor;
  uint64_t before = host::ClockNow100ns();
  ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
  EXPECT_GE(host::ClockNow100ns() - before, 500u * 10000) << "500 ms settle on the host clock";
  EXPECT_EQ(step, kBringUpNone);
  StreamEngine* e = rig.engine;
  EXPECT_EQ(e->vendorId, 0x1234);
  EXPECT_EQ(e->productId, 0x5678);
  EXPECT_EQ(e->highSpeed, 1u);
  EXPECT_EQ(e->packetsPerTransfer, 256u);
  EXPECT_EQ(e->controlInterface, 0);
  EXPECT_EQ(e->streamingInterface, 1);
  EXPECT_EQ(e->endpointType, kEndpointIsochronous);
  EXPECT_EQ(e->hasInterruptPipe, 1u);
  // MJPG 640x480, 320x240 and 1280x720, plus the six scaled sizes.
  EXPECT_EQ(e->formatCount, 9u);
  EXPECT_EQ(e->stillCount, 2u);
  EXPECT_EQ(KeReadStateEvent(&e->streamWorkerDone), 0);
  EXPECT_EQ(KeReadStateEvent(&e->idleEvent), 0);

  auto log = rig.bus.ControlLog();
  ASSERT_EQ(log.size(), 7u);
  const uint16_t values[] = {0x0100, 0x0301, 0x0301, 0x0302, 0x0302, 0x0200, 0x0200};
  const uint16_t lengths[] = {18, 4, 28, 4, 30, 9, uint16_t(rig.camera.config_.size())};
  for (int i = 0; i < 7; ++i) {
    EXPECT_EQ(log[i].bRequest, 6) << i;
    EXPECT_EQ(log[i].wValue, values[i]) << i;
    EXPECT_EQ(log[i].wLength, lengths[i]) << i;
  }
  EXPECT_EQ(rig.bus.Count(UsbRequestKind::QueryInterface), 1u);
  EXPECT_EQ(rig.bus.Count(UsbRequestKind::SelectConfiguration), 1u);
  auto sel = rig.bus.InterfaceSelections();
  ASSERT_EQ(sel.size(), 1u);
  EXPECT_EQ(sel[0], std::make_pair(uint8_t(1), uint8_t(0)));
}

TEST_F(BringUpTest, EachFailingStepIsNamedWithItsStatus) {
  struct Case {
    const char* what;
    std::function<void(Rig&)> arrange;
    UsbBringUpStep step;
    NTSTATUS status;
  };
  std::vector<Case> cases = {
      {"short device descriptor", [](Rig& r) { r.camera.deviceReplyLimit = 8; },
       kBringUpDeviceDescriptor, STATUS_UNSUCCESSFUL},
      {"no product string", [](Rig& r) { r.camera.strings_.resize(2); }, kBringUpProductString,
       STATUS_UNSUCCESSFUL},
      {"short configuration", [](Rig& r) { r.camera.configReplyLimit = 4; },
       kBringUpConfigurationDescriptor, STATUS_UNSUCCESSFUL},
      {"unplugged", [](Rig& r) { r.bus.Unplug(); }, kBringUpDeviceDescriptor,
       STATUS_DEVICE_NOT_CONNECTED},
      {"removed", [](Rig& r) { r.engine->removed = 1; }, kBringUpDeviceDescriptor,
       STATUS_UNSUCCESSFUL},
      {"not in D0", [](Rig& r) { r.device->DevicePowerState = PowerDeviceD3; },
       kBringUpDeviceDescriptor, STATUS_UNSUCCESSFUL},
  };
  for (auto& c : cases) {
    Rig rig;
    c.arrange(rig);
    UsbBringUpStep step = kBringUpNone;
    EXPECT_EQ(BringUpUsb(rig.engine, &step), c.status) << c.what;
    EXPECT_EQ(step, c.step) << c.what << ": " << BringUpStepName(step);
  }
}

TEST_F(BringUpTest, DescriptorProblemsFailTheirStep) {
  auto run = [](const std::vector<uint8_t>& cfg, bool hs, UsbBringUpStep* step) {
    Rig rig(cfg, hs);
    return BringUpUsb(rig.engine, step);
  };
  UsbBringUpStep step;
  ConfigBuilder noVideo;
  noVideo.Interface(0, 0, 1, 1, 0);
  EXPECT_EQ(run(noVideo.Build(), true, &step), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(step, kBringUpSelectConfiguration);

  ConfigBuilder interruptStream;
  interruptStream.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 1).Endpoint(0x81, 3, 64);
  EXPECT_EQ(run(interruptStream.Build(), true, &step), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(step, kBringUpStreamEndpoint);

  ConfigBuilder noFrames;
  noFrames.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).InputHeader(1).Mjpeg(1, {{0, 0}});
  noFrames.Interface(1, 1, 14, 2, 1).Endpoint(0x81, 5, 1024);
  EXPECT_EQ(run(noFrames.Build(), false, &step), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(step, kBringUpFormatTable) << "a camera without one usable size";

  CameraShape noSource;
  noSource.mjpg = {{1280, 720}};
  noSource.yuy2.clear();
  EXPECT_EQ(run(CameraConfiguration(noSource), true, &step), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(step, kBringUpRestrictAndExtend);
  EXPECT_EQ(run(CameraConfiguration(noSource), false, &step), STATUS_SUCCESS);
}

TEST_F(BringUpTest, PendingBusGivesTheSameResult) {
  Rig rig;
  rig.bus.SetCompletionMode(host::UsbCompletionMode::Pending);
  UsbBringUpStep step;
  ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
  EXPECT_EQ(rig.engine->formatCount, 9u);
  EXPECT_EQ(rig.bus.PendingReturned(), 10u);  // 7 descriptor reads, query, 2 selections
}

TEST_F(BringUpTest, EveryAllocationFailureIsReportedAndLeaksNothing) {
  // Count the allocations of a good run, then fail each one in turn.
  uint64_t total;
  {
    Rig rig;
    host::PoolReset();
    ASSERT_EQ(BringUpUsb(rig.engine, nullptr), STATUS_SUCCESS);
    total = host::PoolAllocationCount();
  }
  ASSERT_GT(total, 5u);
  for (uint64_t n = 1; n <= total; ++n) {
    Rig rig;
    uint64_t live = host::PoolOutstanding();
    host::PoolReset();
    host::PoolFailNth(n);
    UsbBringUpStep step;
    NTSTATUS s = BringUpUsb(rig.engine, &step);
    host::PoolFailNth(0);
    EXPECT_FALSE(NT_SUCCESS(s)) << "allocation " << n;
    EXPECT_TRUE(s == STATUS_INSUFFICIENT_RESOURCES || s == STATUS_NO_MEMORY)
        << "allocation " << n << " at " << BringUpStepName(step) << ": " << std::hex << s;
    ReleaseUsbTables(rig.engine);
    EXPECT_EQ(host::PoolOutstanding(), live) << "allocation " << n << "\n" << host::PoolLeakReport();
    EXPECT_EQ(host::KsDeviceMutexDepth(rig.device), 0);
  }
}

}  // namespace
