// The USB bring-up: its order, its failures and what it leaves behind.
#include <functional>
#include "tests/usb/camera_rig.h"
#include "usb/usb_bringup.h"

namespace {

using namespace rig;
using host::UsbRequestKind;

class BringUpTest : public rig::UsbTest {};

TEST_F(BringUpTest, RunsTheStepsInOrderSynchronousOrPending) {
  for (auto mode : {host::UsbCompletionMode::Synchronous, host::UsbCompletionMode::Pending}) {
    Rig rig;
    rig.bus.SetCompletionMode(mode);
    UsbBringUpStep step = kBringUpDeviceDescriptor;
    uint64_t before = host::ClockNow100ns();
    ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
    EXPECT_GE(host::ClockNow100ns() - before, 500u * 10000) << "500 ms settle on the host clock";
    const StreamEngine* e = rig.engine;
    // High speed: 256 packets a transfer (the rest is checked against every profile); the
    // three MJPG sizes and the six scaled from them.
    EXPECT_EQ(std::make_tuple(step, e->vendorId, e->productId, e->packetsPerTransfer, e->formatCount, e->stillCount),
              std::make_tuple(kBringUpNone, 0x1234, 0x5678, 256u, 9u, 2u));
    EXPECT_EQ(KeReadStateEvent(&rig.engine->streamWorkerDone) + KeReadStateEvent(&rig.engine->idleEvent), 0);
    // 7 descriptor reads, the bus query and two selections.
    EXPECT_EQ(rig.bus.PendingReturned(), mode == host::UsbCompletionMode::Pending ? 10u : 0u);

    // Strings "Generic" and "USB Video Camera": two bytes a character after the header.
    const int total = int(rig.model.ConfigurationDescriptor().size());
    EXPECT_EQ(SetupsOf(rig.bus), (Setups{{0x80, 6, 0x0100, 0, 18}, {0x80, 6, 0x0301, 0x0409, 4},
                                         {0x80, 6, 0x0301, 0x0409, 2 + 2 * 7}, {0x80, 6, 0x0302, 0x0409, 4},
                                         {0x80, 6, 0x0302, 0x0409, 2 + 2 * 16}, {0x80, 6, 0x0200, 0, 9},
                                         {0x80, 6, 0x0200, 0, total}}));
    EXPECT_EQ(rig.bus.Count(UsbRequestKind::QueryInterface) * 10 + rig.bus.Count(UsbRequestKind::SelectConfiguration), 11u);
    EXPECT_EQ(rig.bus.InterfaceSelections(), (std::vector<std::pair<uint8_t, uint8_t>>{{1, 0}}));
  }
}

TEST_F(BringUpTest, EachFailingStepIsNamedWithItsStatus) {
  CameraShape noSource;  // high speed, nothing to scale from: starts with its own sizes
  noSource.mjpg = {{1280, 720}};
  noSource.yuy2.clear();
  const Bytes noFrames = ConfigBuilder().Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0).InputHeader(1)
      .Mjpeg(1, {{0, 0}}).Interface(1, 1, 14, 2, 1).Endpoint(0x81, 5, 1024).Build();
  const auto cfg = CameraConfiguration();
  struct Case {
    const char* what;
    Bytes cfg;
    bool highSpeed;
    std::function<void(Rig&)> arrange;
    UsbBringUpStep step;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
  } cases[] = {
      {"short device descriptor", cfg, 1,
       [](Rig& r) { r.model.shorten = [](auto& s) { return s.wValue == 0x0100 ? 8u : 0xFFFFu; }; }, kBringUpDeviceDescriptor},
      {"no product string", cfg, 1,
       [](Rig& r) { r.model.hook = [](auto& s, uint8_t*, auto* res) { return s.wValue == 0x0302 && (res->stalled = true); }; },
       kBringUpProductString},
      {"unplugged", cfg, 1, [](Rig& r) { r.bus.Unplug(); }, kBringUpDeviceDescriptor, STATUS_DEVICE_NOT_CONNECTED},
      {"no video interface", ConfigBuilder().Interface(0, 0, 1, 1, 0).Build(), 1, {}, kBringUpSelectConfiguration,
       STATUS_INVALID_PARAMETER},
      {"interrupt stream endpoint",
       ConfigBuilder().Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 1).Endpoint(0x81, 3, 64).Build(), 1, {},
       kBringUpStreamEndpoint, STATUS_INVALID_PARAMETER},
      {"no usable size", noFrames, 0, {}, kBringUpFormatTable},
      {"no source size", CameraConfiguration(noSource), 1, {}, kBringUpNone, STATUS_SUCCESS},
      {"no source size, full speed", CameraConfiguration(noSource), 0, {}, kBringUpNone, STATUS_SUCCESS},
  };
  for (const Case& c : cases) {
    Rig rig(c.cfg, c.highSpeed);
    if (c.arrange) c.arrange(rig);
    UsbBringUpStep step = kBringUpNone;
    EXPECT_EQ(BringUpUsb(rig.engine, &step), c.status) << c.what;
    EXPECT_EQ(step, c.step) << c.what << ": " << BringUpStepName(step);
  }
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
    EXPECT_TRUE(s == STATUS_INSUFFICIENT_RESOURCES || s == STATUS_NO_MEMORY)
        << "allocation " << n << " at " << BringUpStepName(step) << ": " << std::hex << s;
    ReleaseUsbTables(rig.engine);
    EXPECT_EQ(host::PoolOutstanding(), live) << "allocation " << n << "\n" << host::PoolLeakReport();
  }
}

}  // namespace
