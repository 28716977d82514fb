// The property sets as an application reaches them: the driver started on a
// simulated camera, requests through client/, the exact camera requests,
// hostile lengths, cameras without units, threads, and the `uvccam
// controls` names.
#include <atomic>
#include <thread>

#include "controls/vendor_controls.h"
#include "driver/device_context.h"
#include "tests/controls/controls_rig.h"
#include "tools/control_settings.h"

namespace {

using namespace ctl;
using A = std::array<int, 5>;

constexpr int kCt = 1, kPu = 2;


// Every standard item through the filter: the exact camera requests, the
// auto switch sent only when the mode changes, the stored value sent after
// a switch back to manual, and the answer read back.
TEST_F(ControlsTest, StandardItemsRoundTripWithTheExactRequestAndSwitchAutoWithoutAStall) {
  Driver d;
  const GUID *pa = &kVideoProcAmpSet, *cc = &kCameraControlSet;
  const struct {
    const GUID* set;
    ULONG id;
    LONG value;
    ULONG flags;
    std::vector<A> sent;
    int entity, selector;
    int64_t onCamera;
  } cases[] = {
      {pa, kProcAmpBrightness, -5, kManual, {SetCur(kPu, 0x02, 2)}, kPu, 0x02, -5},
      {pa, kProcAmpContrast, 40, kManual, {SetCur(kPu, 0x03, 2)}, kPu, 0x03, 40},
      {pa, kProcAmpHue, -40, kManual, {SetCur(kPu, 0x06, 2)}, kPu, 0x06, -40},
      {pa, kProcAmpSaturation, 100, kManual, {SetCur(kPu, 0x07, 2)}, kPu, 0x07, 100},
      {pa, kProcAmpSharpness, 5, kManual, {SetCur(kPu, 0x08, 2)}, kPu, 0x08, 5},
      {pa, kProcAmpGamma, 300, kManual, {SetCur(kPu, 0x09, 2)}, kPu, 0x09, 300},
      {pa, kProcAmpBacklightCompensation, 2, kManual, {SetCur(kPu, 0x01, 2)}, kPu, 0x01, 2},
      {pa, kProcAmpPowerLineFrequency, 2, kManual, {SetCur(kPu, 0x05, 1)}, kPu, 0x05, 2},  // one byte on the wire
      // auto to manual: the switch, then the value
      {pa, kProcAmpWhiteBalance, 5000, kManual, {SetCur(kPu, 0x0B, 1), SetCur(kPu, 0x0A, 2)}, kPu, 0x0A, 5000},
      {cc, kCameraControlFocus, 100, kManual, {SetCur(kCt, 0x08, 1), SetCur(kCt, 0x06, 2)}, kCt, 0x06, 100},
      {cc, kCameraControlExposure, -3, kManual, {SetCur(kCt, 0x02, 1), SetCur(kCt, 0x04, 4)}, kCt, 0x04, 1250},
      {cc, kCameraControlExposure, -13, kManual, {SetCur(kCt, 0x04, 4)}, kCt, 0x04, 1},  // already manual
      // manual to auto: only the switch
      {pa, kProcAmpHue, 3, kAuto, {SetCur(kPu, 0x10, 1)}, kPu, 0x10, 1},
      {pa, kProcAmpWhiteBalance, 4000, kAuto, {SetCur(kPu, 0x0B, 1)}, kPu, 0x0B, 1},
      {cc, kCameraControlFocus, 50, kAuto, {SetCur(kCt, 0x08, 1)}, kCt, 0x08, 1},
      {cc, kCameraControlExposure, -1, kAuto, {SetCur(kCt, 0x02, 1)}, kCt, 0x02, 2},
      // and back to manual: the stored value goes out after the switch
      {cc, kCameraControlExposure, -14, kManual, {SetCur(kCt, 0x02, 1), SetCur(kCt, 0x04, 4)}, kCt, 0x02, 1},
      {pa, kProcAmpHue, 4, kManual, {SetCur(kPu, 0x10, 1), SetCur(kPu, 0x06, 2)}, kPu, 0x06, 4},
  };
  const uint32_t stalls = d.model->cam->StallCount();
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << (c.set == pa ? "procamp " : "cameracontrol ") << c.id << " = " << c.value);
    ASSERT_EQ(d.Control(*c.set, c.id, kSet, c.value, c.flags), STATUS_SUCCESS);
    EXPECT_EQ(d.Sent(), c.sent);
    EXPECT_EQ(d.Current(uint8_t(c.entity), uint8_t(c.selector)), c.onCamera);
    KSPROPERTY_VIDEOPROCAMP_S got{};
    ASSERT_EQ(d.Control(*c.set, c.id, kGet, 0, 0, &got), STATUS_SUCCESS);
    const bool hasAuto = c.set == cc || c.id == kProcAmpWhiteBalance || c.id == kProcAmpHue;
    EXPECT_EQ(std::make_tuple(got.Value, got.Flags, got.Capabilities, got.Property.Id),
              std::make_tuple(c.value, c.flags, hasAuto ? kAuto | kManual : kManual, c.id));
  }
  // -14 is exposure time 0, below the camera's own minimum of 1.
  EXPECT_EQ(d.model->cam->StallCount(), stalls + 1) << "only the exposure time 0 the table prescribes";
  // Refusals come back through the filter with nothing sent.
  EXPECT_FALSE(NT_SUCCESS(d.Control(*pa, kProcAmpBrightness, kSet, 65, kManual)));
  EXPECT_FALSE(NT_SUCCESS(d.Control(*pa, kProcAmpWhiteBalance, kSet, 5000, 3)));
  EXPECT_EQ(d.Sent(), Setups{});
}

TEST_F(ControlsTest, VendorItemsUseTheCallerBufferAfterTheRecord) {
  Driver d;
  // BufferAddress is never used: the buffer is what follows the record;
  // a block is at most the low byte of Value long.
  std::vector<uint8_t> image(64, 7), block(16, 0xEE);
  d.model->cam->SetVendorReply(0x02, std::vector<uint8_t>(16, 0x5A));
  EXPECT_EQ(d.Vendor(kSet, 3, 64, 0, 0), STATUS_INVALID_PARAMETER) << "no buffer";
  EXPECT_EQ(d.Vendor(kSet, 3, 96, 0, 0, &image), STATUS_INVALID_PARAMETER) << "longer than the buffer";
  EXPECT_EQ(d.Vendor(kGet, 241, 0, 3, 200, &block), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(d.Sent(), Setups{});
  EXPECT_EQ(d.Vendor(kGet, 241, 0, 0x10003, 0x110, &block), STATUS_SUCCESS) << "the low byte of Value";
  EXPECT_EQ(d.Sent(), (Setups{{0xC2, 0x02, 48, 0, 16}}));
  EXPECT_EQ(block, std::vector<uint8_t>(16, 0x5A));
}

TEST_F(ControlsTest, VideoControlCompressionAndExtensionItemsThroughTheFilter) {
  Driver d;
  ULONG got = 0;
  KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S info{};
  info.Property = Prop(kVideoCompressionSet, 0, kGet);
  ASSERT_EQ(d.f->Property(&info, sizeof info, &info, sizeof info, &got), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(info.DefaultKeyFrameRate, info.DefaultPFrameRate, info.DefaultQuality, info.Capabilities),
            std::make_tuple(30, 3, 5000, 13));
  KSPROPERTY_VIDEOCONTROL_CAPS_S caps{};
  caps.Property = Prop(kVideoControlSet, 0, kGet);
  EXPECT_EQ(d.f->Property(&caps, sizeof caps, &caps, sizeof caps, &got), STATUS_NOT_SUPPORTED);
  caps.StreamIndex = 1;
  EXPECT_EQ(d.f->Property(&caps, sizeof caps, &caps, sizeof caps, &got), STATUS_SUCCESS);
  EXPECT_EQ(caps.VideoControlCaps, 12u);

  // Extension unit on the node: the byte count comes back; a short camera
  // reply to the length query returns no stale bytes.
  KSP_NODE node{};
  node.Property = Prop(kExtensionUnitSet, 2, kGet | KSPROPERTY_TYPE_TOPOLOGY);
  UCHAR value[8];
  EXPECT_EQ(d.f->Property(&node, sizeof node, value, 8, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 4u);
  d.model->shorten = [](const host::UsbSetupPacket& s) { return (s.bRequest == 0x81) ? 1u : 0xFFFFu; };
  EXPECT_FALSE(NT_SUCCESS(d.f->Property(&node, sizeof node, value, 8, &got)));
  EXPECT_EQ(got, 0u);
}

TEST_F(ControlsTest, CamerasWithoutUnitsOfferNeitherSetAndTheVendorItemsSendNothing) {
  // No processing unit in the profile; and an input terminal that is not a
  // camera (type 0x0202), which is not taken for the camera terminal.
  auto notACamera = [](Interposer& m) {  // the interposer shows the bus this configuration
    m.config = m.cam->ConfigurationDescriptor();
    for (size_t i = 0; i + 5 < m.config.size() && m.config[i]; i += m.config[i])
      if (m.config[i + 1] == 0x24 && m.config[i + 2] == 0x02) m.config[i + 4] = 0x02;
  };
  for (bool procAmpMissing : {true, false}) {
    SCOPED_TRACE(procAmpMissing ? "no processing unit" : "no camera terminal");
    Driver d = procAmpMissing ? Driver(camtest::WithProfileEdit([](nlohmann::json& p) { p.erase("processingUnit"); }))
                              : Driver(camera::DefaultSimulatedCamera(), notACamera);
    const KSAUTOMATION_TABLE* t = d.f->Handle()->Descriptor->AutomationTable;
    ASSERT_EQ(t->PropertySetsCount, 4u);
    const GUID& missing = procAmpMissing ? kVideoProcAmpSet : kCameraControlSet;
    for (ULONG i = 0; i < t->PropertySetsCount; ++i) EXPECT_FALSE(IsEqualGUID(*t->PropertySets[i].Set, missing));
    EXPECT_EQ(d.Control(missing, procAmpMissing ? 0 : 4, kGet, 0, 0), STATUS_NOT_FOUND);
    // The vendor items that write the missing unit refuse and send nothing.
    for (ULONG id : procAmpMissing ? std::vector<ULONG>{9, 10, 11, 12, 13, 23, 66, 7} : std::vector<ULONG>{5})
      EXPECT_TRUE(d.Vendor(kSet, id, 3, 0, 1) == STATUS_NOT_SUPPORTED && d.Vendor(kSet, id, 255) == STATUS_NOT_SUPPORTED) << id;
    EXPECT_EQ(d.Sent(), Setups{});
  }
}

// Applications on several threads: sets, gets and vendor items at once
// while a status-reader stand-in presses the button (ThreadSanitizer).
// Every press is seen by exactly one poll, every stored value is one a
// thread set, and the camera holds the value stored last.
TEST_F(ControlsTest, PropertyTrafficFromSeveralThreads) {
  Driver d;
  constexpr int kPresses = 200;
  std::atomic<bool> done{false};
  std::atomic<int> seen{0};
  std::thread presser([&] {
    auto* latch = reinterpret_cast<LONG volatile*>(&DeviceContextOf(d.cam->Device())->effects->buttonLatch);
    for (int i = 0; i < kPresses;)
      if (InterlockedCompareExchange(latch, 1, 0) == 0) ++i;
    done = true;
  });
  // The status poll as the vendor item runs it, straight on the handler: a
  // tight loop makes a lost press likely if read and clear were two steps.
  auto poll = [&d] {
    VendorControlRequest r{};
    r.Property.Id = 225;
    VendorControlGet(DeviceContextOf(d.cam->Device())->controls, &r, nullptr, VendorStreamState{0});
    return r.Result;
  };
  std::vector<std::thread> threads;
  threads.emplace_back([&] { while (!done) seen += poll(); });
  for (int t = 0; t < 2; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; !done || i < 40; ++i) {
        KSPROPERTY_VIDEOPROCAMP_S got{};
        EXPECT_EQ(d.Control(kVideoProcAmpSet, 0, kSet, t * 10 + (i % 5), kManual), STATUS_SUCCESS);
        EXPECT_EQ(d.Control(kVideoProcAmpSet, 7, kGet, 0, 0, &got), STATUS_SUCCESS);
        VendorControlRequest r{};
        r.Property = Prop(kVendorControlSet, 4, ULONG((i & 1) ? kSet : kGet));
        r.Operation = 3, r.Value = ULONG(i & 1);
        ULONG n = 0;
        EXPECT_EQ(d.f->Property(&r, sizeof r, &r, sizeof r, &n), STATUS_SUCCESS);
        seen += poll();
      }
    });
  }
  presser.join();
  for (auto& t : threads) t.join();
  EXPECT_EQ(seen + poll(), kPresses);
  KSPROPERTY_VIDEOPROCAMP_S got{};
  ASSERT_EQ(d.Control(kVideoProcAmpSet, 0, kGet, 0, 0, &got), STATUS_SUCCESS);
  EXPECT_TRUE(got.Value % 10 < 5 && got.Value < 20) << got.Value;
  EXPECT_EQ(d.Current(kPu, 0x02), got.Value) << "store and send happen under one lock";
}

TEST_F(ControlsTest, ToolSettingsAreCheckedBeforeAnythingIsSent) {
  Driver d;
  std::vector<tools::ControlInfo> list;
  std::string error;
  ASSERT_TRUE(tools::ListControls(d.f, &list, &error)) << error;
  for (const char* n : {"mirror", "vertical_flip", "special_effect", "zoom", "focus_auto", "auto_exposure"})
    EXPECT_TRUE(std::any_of(list.begin(), list.end(), [&](const tools::ControlInfo& c) { return c.name == n; })) << n;
  d.Sent();
  const struct { std::vector<std::string> sets; const char* error; } bad[] = {
      {{"brightness=1", "brightness=65"}, "brightness: 65 is out of range -64..64"},
      {{"mirror=1", "nosuch=1"}, "unknown control 'nosuch' (uvccam controls lists them)"},
      {{"brightness=x"}, "brightness: 'x' is not an integer"},
      {{"brightness"}, "'brightness' is not NAME=VALUE"},
      {{"exposure_time_absolute=0"}, "exposure_time_absolute: 0 is out of range -14..-1"},
  };
  for (const auto& b : bad) {
    EXPECT_FALSE(tools::ApplyControlSettings(d.f, b.sets, &error));
    EXPECT_EQ(error, b.error);
  }
  EXPECT_EQ(d.Sent(), Setups{});
  ASSERT_TRUE(tools::ApplyControlSettings(
      d.f, {"white_balance_temperature_auto=0", "mirror=1", "white_balance_temperature=3500"}, &error)) << error;
  EXPECT_EQ(std::make_tuple(d.Current(kPu, 0x0B), d.Current(kPu, 0x0A)), std::make_tuple(int64_t(0), int64_t(3500)));
  tools::ControlInfo info;
  ASSERT_TRUE(tools::GetControl(d.f, "white_balance_temperature", &info, &error));
  EXPECT_EQ(std::make_tuple(info.value, info.step, info.autoMode), std::make_tuple(3500L, 10L, 0));
  EXPECT_FALSE(tools::ApplyControlSettings(d.f, {"zoom=32"}, &error)) << "zoom changes only while streaming";

  Driver noCt(camtest::WithProfileEdit([](nlohmann::json& p) { p.erase("cameraTerminal"); }));
  EXPECT_FALSE(tools::ApplyControlSettings(noCt.f, {"focus_absolute=5"}, &error));
  EXPECT_EQ(error, "this camera has no focus_absolute");
}

}  // namespace
