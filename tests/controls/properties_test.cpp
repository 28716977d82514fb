// The property sets as an application reaches them: the driver started on a
// simulated camera, requests through client/, the exact camera requests,
// hostile lengths, cameras without units, the settings at start and stop,
// and the `uvccam controls` names.
#include <unistd.h>

#include <climits>
#include <thread>
#include <filesystem>

#include "client/camera.h"
#include "controls/property_sets.h"
#include "driver/device_context.h"
#include "driver/device_state.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"
#include "tests/controls/controls_rig.h"
#include "tools/control_settings.h"

namespace {

using namespace ctl;
using A = std::array<int, 5>;

constexpr int kCt = 1, kPu = 2;

KSPROPERTY Prop(const GUID& set, ULONG id, ULONG flags) {
  KSPROPERTY p{};
  p.Set = set, p.Id = id, p.Flags = flags;
  return p;
}

// The driver started on a camera behind the interposer, one filter open.
struct Driver {
  explicit Driver(std::unique_ptr<camera::SimulatedCamera> sim = camera::DefaultSimulatedCamera(),
                  std::function<void(Interposer&)> prepare = nullptr) {
    auto m = std::make_unique<Interposer>(std::move(sim));
    model = m.get();
    if (prepare) prepare(*m);
    EXPECT_EQ(client::Camera::Plug(std::move(m), &cam), STATUS_SUCCESS);
    EXPECT_EQ(cam->Start(), STATUS_SUCCESS);
    EXPECT_EQ(cam->OpenFilter(&f), STATUS_SUCCESS);
    Sent();
  }
  Setups Sent() { return SentSince(cam->Bus(), &mark); }
  NTSTATUS Control(const GUID& set, ULONG id, ULONG type, LONG value, ULONG flags,
                   KSPROPERTY_VIDEOPROCAMP_S* out = nullptr) {
    KSPROPERTY_VIDEOPROCAMP_S r{};
    r.Property = Prop(set, id, type);
    r.Value = value;
    r.Flags = flags;
    ULONG got = 0;
    NTSTATUS s = f->Property(&r, sizeof r, &r, sizeof r, &got);
    if (out) *out = r;
    return s;
  }
  // A vendor item; `tail` is the caller buffer after the record.
  NTSTATUS Vendor(ULONG type, ULONG id, ULONG op, ULONG index = 0, ULONG value = 0,
                  std::vector<uint8_t>* tail = nullptr) {
    std::vector<uint8_t> data(sizeof(VendorControlRequest) + (tail ? tail->size() : 0));
    r = VendorControlRequest{};
    r.Property = Prop(kVendorControlSet, id, type);
    r.Operation = op, r.Index = index, r.Value = value;
    r.BufferAddress = 0xDEADBEEF;  // never dereferenced
    r.Result = r.Result2 = -12345;
    std::memcpy(data.data(), &r, sizeof r);
    if (tail) std::copy(tail->begin(), tail->end(), data.begin() + sizeof r);
    ULONG got = 0;
    NTSTATUS s = f->Property(&r, sizeof r, data.data(), ULONG(data.size()), &got);
    std::memcpy(&r, data.data(), sizeof r);
    if (tail) std::copy(data.begin() + sizeof r, data.end(), tail->begin());
    return s;
  }
  int64_t Current(uint8_t entity, uint8_t selector) { return CurrentOf(*model->cam, entity, selector); }
  std::unique_ptr<client::Camera> cam;
  client::Filter* f = nullptr;
  Interposer* model = nullptr;
  VendorControlRequest r{};
  size_t mark = 0;
};

constexpr ULONG kGet = KSPROPERTY_TYPE_GET, kSet = KSPROPERTY_TYPE_SET;

TEST_F(ControlsTest, StandardItemsRoundTripThroughTheFilterWithTheExactRequest) {
  Driver d;
  const struct {
    const GUID* set;
    ULONG id;
    LONG value;
    std::vector<A> sent;
    int entity, selector;
    int64_t onCamera;
  } cases[] = {
      {&kVideoProcAmpSet, 0, -5, {SetCur(kPu, 0x02, 2)}, kPu, 0x02, -5},
      {&kVideoProcAmpSet, 2, -40, {SetCur(kPu, 0x06, 2)}, kPu, 0x06, -40},
      {&kVideoProcAmpSet, 13, 2, {SetCur(kPu, 0x05, 1)}, kPu, 0x05, 2},  // one byte on the wire
      // Manual white balance: the auto switch, then the temperature.
      {&kVideoProcAmpSet, 7, 3000, {SetCur(kPu, 0x0B, 1), SetCur(kPu, 0x0A, 2)}, kPu, 0x0A, 3000},
      {&kCameraControlSet, 6, 100, {SetCur(kCt, 0x08, 1), SetCur(kCt, 0x06, 2)}, kCt, 0x06, 100},
      // Manual exposure: mode 1 on the wire, then the time of 2^-1 s.
      {&kCameraControlSet, 4, -1, {SetCur(kCt, 0x02, 1), SetCur(kCt, 0x04, 4)}, kCt, 0x04, 5000},
      {&kCameraControlSet, 4, -13, {SetCur(kCt, 0x04, 4)}, kCt, 0x04, 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << c.id << " = " << c.value);
    ASSERT_EQ(d.Control(*c.set, c.id, kSet, c.value, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL), STATUS_SUCCESS);
    EXPECT_EQ(d.Sent(), Setups(c.sent.begin(), c.sent.end()));
    EXPECT_EQ(d.Current(uint8_t(c.entity), uint8_t(c.selector)), c.onCamera);
    KSPROPERTY_VIDEOPROCAMP_S got{};
    ASSERT_EQ(d.Control(*c.set, c.id, kGet, 0, 0, &got), STATUS_SUCCESS);
    EXPECT_EQ(got.Value, c.value);
    EXPECT_EQ(got.Flags, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL);
    EXPECT_EQ(got.Property.Id, c.id) << "the request is copied into the answer";
  }
  // Out of range (every bound is tried on the handlers): refused, nothing sent or stored.
  const struct {
    const GUID* set;
    ULONG id;
    LONG bad;
  } refused[] = {{&kVideoProcAmpSet, 0, 65}, {&kVideoProcAmpSet, 13, 3}, {&kCameraControlSet, 4, -15},
                 {&kCameraControlSet, 6, 251}, {&kVideoProcAmpSet, 6, 0}};
  for (const auto& c : refused) {
    SCOPED_TRACE(testing::Message() << c.id << " = " << c.bad);
    KSPROPERTY_VIDEOPROCAMP_S before{}, after{};
    d.Control(*c.set, c.id, kGet, 0, 0, &before);
    EXPECT_FALSE(NT_SUCCESS(d.Control(*c.set, c.id, kSet, c.bad, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL)));
    d.Control(*c.set, c.id, kGet, 0, 0, &after);
    EXPECT_EQ(after.Value, before.Value);
    EXPECT_EQ(d.Sent(), Setups{});
  }
  // The auto flag and the capabilities go through the filter both ways; a
  // flag that is neither auto nor manual is refused.
  ASSERT_EQ(d.Control(kVideoProcAmpSet, 7, kSet, 5000, KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO), STATUS_SUCCESS);
  KSPROPERTY_VIDEOPROCAMP_S got{};
  ASSERT_EQ(d.Control(kVideoProcAmpSet, 7, kGet, 0, 0, &got), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(got.Flags, got.Capabilities),
            std::make_tuple(ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO),
                            ULONG(KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO | KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL)));
  EXPECT_EQ(d.Current(kPu, 0x0B), 1);
  EXPECT_EQ(d.Sent(), (Setups{SetCur(kPu, 0x0B, 1)}));
  EXPECT_FALSE(NT_SUCCESS(d.Control(kVideoProcAmpSet, 7, kSet, 5000, 3)));
  EXPECT_EQ(d.Sent(), Setups{});
}

TEST_F(ControlsTest, VendorItemsThroughTheFilterCheckEveryLengthAndBuffer) {
  Driver d;
  // A camera-backed item (values and refusals are tested on the handlers).
  EXPECT_EQ(d.Vendor(kSet, 9, 3, 0, 0xFFFB), STATUS_SUCCESS);  // -5, sign-extended
  EXPECT_EQ(d.Current(kPu, 0x02), -5);
  EXPECT_EQ(d.Vendor(kGet, 9, 3), STATUS_SUCCESS);
  EXPECT_EQ(d.r.Result, -5);
  d.Sent();

  // Caller buffers live after the record; BufferAddress is never used.
  std::vector<uint8_t> image(64, 0);
  for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 7);
  d.model->cam->SetVendorReply(0x01, {0});
  EXPECT_EQ(d.Vendor(kSet, 3, 31, 0, 0, &image), STATUS_INVALID_PARAMETER) << "below one chunk";
  EXPECT_EQ(d.Vendor(kSet, 3, 64, 0, 0), STATUS_INVALID_PARAMETER) << "no buffer";
  EXPECT_EQ(d.Vendor(kSet, 3, 96, 0, 0, &image), STATUS_INVALID_PARAMETER) << "longer than the buffer";
  EXPECT_EQ(d.Vendor(kSet, 3, 32 * 753, 0, 0, &image), STATUS_INVALID_PARAMETER) << "above the cap";
  EXPECT_EQ(d.Sent(), Setups{});
  std::vector<uint8_t> block(16, 0xEE);
  d.model->cam->SetVendorReply(0x02, std::vector<uint8_t>(16, 0x5A));
  EXPECT_EQ(d.Vendor(kGet, 241, 0, 3, 200, &block), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(block, std::vector<uint8_t>(16, 0xEE));
  EXPECT_EQ(d.Sent(), Setups{});
  EXPECT_EQ(d.Vendor(kGet, 241, 0, 3, 16, &block), STATUS_SUCCESS);
  EXPECT_EQ(d.Sent(), (Setups{{0xC2, 0x02, 48, 0, 16}}));
  EXPECT_EQ(block, std::vector<uint8_t>(16, 0x5A));

  // Records shorter than 56 bytes never reach the handler.
  VendorControlRequest r{};
  r.Property = Prop(kVendorControlSet, 4, kGet);
  ULONG got = 0;
  EXPECT_EQ(d.f->Property(&r, 55, &r, sizeof r, &got), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(d.f->Property(&r, sizeof r, &r, 55, &got), STATUS_BUFFER_TOO_SMALL);
}

TEST_F(ControlsTest, VideoControlCompressionAndExtensionItemsThroughTheFilter) {
  Driver d;
  ULONG got = 0;  // the frame-rate list's sizes: the dispatch checks and the handler tests
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

  // The still trigger without a still pin would freeze the video: not sent.
  KSPROPERTY_VIDEOCONTROL_MODE_S mode{};
  mode.Property = Prop(kVideoControlSet, 3, kSet);
  mode.StreamIndex = 1;
  mode.Mode = 4;
  d.Sent();
  EXPECT_EQ(d.f->Property(&mode, sizeof mode, &mode, sizeof mode, &got), STATUS_SUCCESS);
  EXPECT_EQ(d.Sent(), Setups{});

  // Extension unit on the node: the control's length against the caller's.
  KSP_NODE node{};
  node.Property = Prop(kExtensionUnitSet, 2, kGet | KSPROPERTY_TYPE_TOPOLOGY);
  UCHAR value[8];
  std::memset(value, 0xEE, sizeof value);
  EXPECT_EQ(d.f->Property(&node, sizeof node, value, 3, &got), STATUS_UNSUCCESSFUL) << "4-byte control";
  EXPECT_EQ(value[0], 0xEE);
  EXPECT_EQ(d.f->Property(&node, sizeof node, value, 8, &got), STATUS_SUCCESS);
  EXPECT_EQ(got, 4u);
  // A short camera reply returns no stale bytes.
  d.model->shorten = [](const host::UsbSetupPacket& s) { return (s.bRequest == 0x81) ? 1u : 0xFFFFu; };
  EXPECT_FALSE(NT_SUCCESS(d.f->Property(&node, sizeof node, value, 8, &got)));
  EXPECT_EQ(got, 0u);
}

TEST_F(ControlsTest, CamerasWithoutUnitsOfferNeitherSetAndTheVendorItemsSendNothing) {
  // No processing unit in the profile; and an input terminal that is not a
  // camera (type 0x0202), which is not taken for the camera terminal.
  auto noPu = DefaultProfile();
  noPu.erase("processingUnit");
  auto notACamera = [](Interposer& m) {
    m.config = m.cam->ConfigurationDescriptor();
    for (size_t i = 0; i + 5 < m.config.size() && m.config[i]; i += m.config[i])
      if (m.config[i + 1] == 0x24 && m.config[i + 2] == 0x02) m.config[i + 4] = 0x02;
    // The driver reads the configuration with GET_DESCRIPTOR.
    m.hook = [&m](const host::UsbSetupPacket& s, uint8_t* data, host::UsbControlResult* r) {
      if (s.bmRequestType != 0x80 || s.bRequest != 6 || (s.wValue >> 8) != 2) return false;
      r->length = uint32_t(std::min<size_t>(s.wLength, m.config.size()));
      std::memcpy(data, m.config.data(), r->length);
      return true;
    };
  };
  for (bool procAmpMissing : {true, false}) {
    SCOPED_TRACE(procAmpMissing ? "no processing unit" : "no camera terminal");
    Driver d = procAmpMissing ? Driver(ProfileCamera(noPu)) : Driver(camera::DefaultSimulatedCamera(), notACamera);
    const KSAUTOMATION_TABLE* t = d.f->Handle()->Descriptor->AutomationTable;
    ASSERT_EQ(t->PropertySetsCount, 4u);
    const GUID& missing = procAmpMissing ? kVideoProcAmpSet : kCameraControlSet;
    for (ULONG i = 0; i < t->PropertySetsCount; ++i) EXPECT_FALSE(IsEqualGUID(*t->PropertySets[i].Set, missing));
    EXPECT_EQ(d.Control(missing, procAmpMissing ? 0 : 4, kGet, 0, 0), STATUS_NOT_FOUND);
    // The vendor items that write the missing unit refuse and send nothing.
    const std::vector<ULONG> items = procAmpMissing ? std::vector<ULONG>{9, 10, 11, 12, 13, 23, 66, 7}
                                                    : std::vector<ULONG>{5};
    for (ULONG id : items) {
      EXPECT_EQ(d.Vendor(kSet, id, 3, 0, 1), STATUS_NOT_SUPPORTED) << id;
      EXPECT_EQ(d.Vendor(kSet, id, 255), STATUS_NOT_SUPPORTED) << id;
    }
    EXPECT_EQ(d.Sent(), Setups{});
  }
}

// Applications on several threads: sets, gets and vendor items at once
// (ThreadSanitizer); every stored value is one a thread set, and the camera
// holds the value stored last.
TEST_F(ControlsTest, PropertyTrafficFromSeveralThreads) {
  Driver d;
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&d, t] {
      for (int i = 0; i < 40; ++i) {
        KSPROPERTY_VIDEOPROCAMP_S got{};
        EXPECT_EQ(d.Control(kVideoProcAmpSet, 0, kSet, t * 10 + (i % 5), KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL),
                  STATUS_SUCCESS);
        EXPECT_EQ(d.Control(kVideoProcAmpSet, 7, kGet, 0, 0, &got), STATUS_SUCCESS);
        VendorControlRequest r{};
        r.Property = Prop(kVendorControlSet, 4, ULONG((i & 1) ? kSet : kGet));
        r.Operation = 3, r.Value = ULONG(i & 1);
        ULONG n = 0;
        EXPECT_EQ(d.f->Property(&r, sizeof r, &r, sizeof r, &n), STATUS_SUCCESS);
        r.Property = Prop(kVendorControlSet, 225, kGet);
        EXPECT_EQ(d.f->Property(&r, sizeof r, &r, sizeof r, &n), STATUS_SUCCESS);
      }
    });
  }
  for (auto& t : threads) t.join();
  KSPROPERTY_VIDEOPROCAMP_S got{};
  ASSERT_EQ(d.Control(kVideoProcAmpSet, 0, kGet, 0, 0, &got), STATUS_SUCCESS);
  EXPECT_EQ(got.Value % 10 < 5 && got.Value < 40, true) << got.Value;
  EXPECT_EQ(d.Current(kPu, 0x02), got.Value) << "store and send happen under one lock";
}

class PersistenceTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    char pattern[] = "/tmp/uvccam-properties-XXXXXX";
    folder_ = mkdtemp(pattern);
    host::SetStateFolder(folder_);
  }
  void TearDown() override {
    host::SetStateFolder("");
    std::filesystem::remove_all(folder_);
    ControlsTest::TearDown();
  }
  static int64_t Stored(const char* name) {
    host::RegistryValue v;
    if (!host::ReadDeviceRegistryValue("device", name, &v) || v.data.size() != 4) return -1;
    uint32_t x;
    std::memcpy(&x, v.data.data(), 4);
    return x;
  }
  // Takes the capture pin to RUN (or only to PAUSE, so that no stream
  // starts) and back to STOP.
  static void RunOnce(Driver& d, bool run) {
    std::vector<client::PinInfo> pins = d.f->Pins();
    std::vector<uint8_t> format;
    ASSERT_EQ(d.f->Intersect(pins[0].id, pins[0].ranges[0], &format), STATUS_SUCCESS);
    client::Pin* pin = nullptr;
    ASSERT_EQ(d.f->CreatePin(pins[0].id, format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(run ? KSSTATE_RUN : KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    d.f->ClosePin(pin);
  }
  std::string folder_;
};

TEST_F(PersistenceTest, SettingsAreSavedAtStreamStopAndOrientationRestoredAtStart) {
  {
    Driver d;
    RunOnce(d, false);
    EXPECT_EQ(Stored("Mirror"), -1) << "a stop without a stream writes nothing";
    EXPECT_EQ(d.Vendor(kSet, 4, 3, 0, 1), STATUS_SUCCESS);
    EXPECT_EQ(d.Vendor(kSet, 4, 3, 1, 1), STATUS_SUCCESS);
    EXPECT_EQ(d.Control(kVideoProcAmpSet, 0, kSet, -7, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL), STATUS_SUCCESS);
    EXPECT_EQ(d.Control(kVideoProcAmpSet, 7, kSet, 4000, KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL), STATUS_SUCCESS);
    RunOnce(d, true);
    EXPECT_EQ(std::make_tuple(Stored("Mirror"), Stored("Vertical Flip"), Stored("Brightness"),
                              Stored("WhiteBalance_T"), Stored("WhiteBalance_TFlags"), Stored("Exposure")),
              std::make_tuple(1, 1, uint32_t(-7), 4000, 2, uint32_t(-7)));
    EXPECT_EQ(DeviceContextOf(d.cam->Device())->streaming, 0u);
  }
  {
    // The next start: orientation back, the rest from the camera.
    Driver d;
    EXPECT_EQ(d.Vendor(kGet, 4, 3, 0), STATUS_SUCCESS);
    EXPECT_EQ(d.r.Result, 1);
    EXPECT_EQ(d.Vendor(kGet, 4, 3, 1), STATUS_SUCCESS);
    EXPECT_EQ(d.r.Result, 1);
    KSPROPERTY_VIDEOPROCAMP_S got{};
    EXPECT_EQ(d.Control(kVideoProcAmpSet, 0, kGet, 0, 0, &got), STATUS_SUCCESS);
    EXPECT_EQ(got.Value, 0);
    // A key that cannot be written: the stop succeeds, the driver says so.
    std::filesystem::remove(folder_ + "/device.driver.reg");
    std::filesystem::create_directory(folder_ + "/device.driver.reg");
    host::ClearDebugLog();
    RunOnce(d, true);
    EXPECT_NE(host::DebugLog().find("settings: \"Mirror\" and the values after it not stored (status 0xC0000001)"),
              std::string::npos) << host::DebugLog();
  }
}

TEST_F(ControlsTest, ToolSettingsAreCheckedBeforeAnythingIsSent) {
  Driver d;
  std::vector<tools::ControlInfo> list;
  std::string error;
  ASSERT_TRUE(tools::ListControls(d.f, &list, &error)) << error;
  std::vector<std::string> names;
  for (const auto& c : list) names.push_back(c.name);
  for (const char* n : {"brightness", "white_balance_temperature_auto", "exposure_time_absolute", "mirror",
                        "vertical_flip", "special_effect", "zoom", "focus_auto", "auto_exposure"})
    EXPECT_NE(std::find(names.begin(), names.end(), n), names.end()) << n;
  d.Sent();
  const struct {
    std::vector<std::string> sets;
    const char* error;
  } bad[] = {
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
  ASSERT_TRUE(tools::ApplyControlSettings(d.f, {"white_balance_temperature_auto=0", "mirror=1",
                                                "white_balance_temperature=3500"},
                                          &error))
      << error;
  EXPECT_EQ(d.Current(kPu, 0x0B), 0);
  EXPECT_EQ(d.Current(kPu, 0x0A), 3500);
  tools::ControlInfo info;
  ASSERT_TRUE(tools::GetControl(d.f, "mirror", &info, &error));
  EXPECT_EQ(info.value, 1);
  ASSERT_TRUE(tools::GetControl(d.f, "white_balance_temperature", &info, &error));
  EXPECT_EQ(std::make_tuple(info.min, info.max, info.step, info.def, info.autoMode),
            std::make_tuple(2800L, 6500L, 10L, 4600L, 0));
  EXPECT_FALSE(tools::ApplyControlSettings(d.f, {"zoom=32"}, &error)) << "zoom changes only while streaming";
  // The overlay and effects 2 and 7 exclude each other.
  ASSERT_TRUE(tools::ApplyControlSettings(d.f, {"special_effect=7", "overlay=3"}, &error)) << error;
  ASSERT_TRUE(tools::GetControl(d.f, "special_effect", &info, &error));
  EXPECT_EQ(info.value, 0);
  ASSERT_TRUE(tools::GetControl(d.f, "overlay", &info, &error));
  EXPECT_EQ(std::make_tuple(info.value, info.max), std::make_tuple(3L, 20L));

  auto p = DefaultProfile();
  p.erase("cameraTerminal");
  Driver noCt(ProfileCamera(p));
  EXPECT_FALSE(tools::ApplyControlSettings(noCt.f, {"focus_absolute=5"}, &error));
  EXPECT_EQ(error, "this camera has no focus_absolute");
}

}  // namespace
