// Settings persistence: the values the started driver writes at stream
// stop, Mirror and Vertical Flip read back at the next start, missing and
// malformed values.
#include <unistd.h>

#include <filesystem>

#include "controls/settings_store.h"
#include "driver/device_context.h"
#include "platform/host/host_files.h"
#include "tests/controls/controls_rig.h"

namespace {

using namespace ctl;

class SettingsTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    char pattern[] = "/tmp/uvccam-settings-XXXXXX";
    host::SetStateFolder(folder_ = mkdtemp(pattern));
    host::SetDeviceRegistryName(&pdo_, "camera");
  }
  void TearDown() override {
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    host::ForgetDeviceRegistryName(&pdo_);
    host::SetStateFolder("");
    std::filesystem::remove_all(folder_);
    ControlsTest::TearDown();
  }
  // Writes a value of any type and bytes, as another tool might have.
  void Put(const char* name, ULONG type, std::vector<uint8_t> data) {
    HANDLE key;
    ASSERT_EQ(IoOpenDeviceRegistryKey(&pdo_, PLUGPLAY_REGKEY_DRIVER, KEY_ALL_ACCESS, &key), STATUS_SUCCESS);
    std::u16string wide(name, name + std::strlen(name));
    UNICODE_STRING s;
    RtlInitUnicodeString(&s, wide.c_str());
    EXPECT_EQ(ZwSetValueKey(key, &s, 0, type, data.data(), ULONG(data.size())), STATUS_SUCCESS);
    ZwClose(key);
  }
  // A stored DWORD of the simulated device ("camera") or of the started
  // driver ("device"); -1 when absent.
  static int64_t Stored(const char* name, const char* device = "camera") {
    host::RegistryValue v;
    if (!host::ReadDeviceRegistryValue(device, name, &v)) return -1;
    EXPECT_TRUE(v.type == uint32_t(REG_DWORD) && v.data.size() == 4u) << name;
    uint32_t x = 0;
    std::memcpy(&x, v.data.data(), std::min<size_t>(4, v.data.size()));
    return x;
  }
  // Takes the capture pin to RUN (or only to PAUSE, so that no stream
  // starts) and back to STOP.
  static void RunOnce(Driver& d, bool run) {
    std::vector<client::PinInfo> pins = d.f->Pins();
    std::vector<uint8_t> format;
    client::Pin* pin = nullptr;
    ASSERT_EQ(d.f->Intersect(pins[0].id, pins[0].ranges[0], &format), STATUS_SUCCESS);
    ASSERT_EQ(d.f->CreatePin(pins[0].id, format, &pin), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(run ? KSSTATE_RUN : KSSTATE_PAUSE), STATUS_SUCCESS);
    ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    d.f->ClosePin(pin);
  }
  DEVICE_OBJECT pdo_{};
  std::string folder_;
};

TEST_F(SettingsTest, SettingsAreSavedAtStreamStopAndOrientationRestoredAtStart) {
  {
    Driver d;
    RunOnce(d, false);
    EXPECT_EQ(Stored("Mirror", "device"), -1) << "a stop without a stream writes nothing";
    for (NTSTATUS s : {d.Vendor(kSet, 4, 3, 0, 1), d.Vendor(kSet, 4, 3, 1, 1),  // mirror and flip
                       d.Control(kVideoProcAmpSet, 0, kSet, -7, kManual), d.Control(kVideoProcAmpSet, 7, kSet, 4000, kManual)})
      EXPECT_EQ(s, STATUS_SUCCESS);
    RunOnce(d, true);
    std::vector<int64_t> stored;
    for (const char* name : {"Mirror", "Vertical Flip", "Brightness", "WhiteBalance_T", "WhiteBalance_TFlags", "Exposure"})
      stored.push_back(Stored(name, "device"));
    EXPECT_EQ(stored, (std::vector<int64_t>{1, 1, uint32_t(-7), 4000, 2, uint32_t(-7)}));
    EXPECT_EQ(DeviceContextOf(d.cam->Device())->streaming, 0u);
  }
  {
    // The next start: orientation back, the rest from the camera.
    Driver d;
    for (ULONG index : {0, 1}) EXPECT_TRUE(d.Vendor(kGet, 4, 3, index) == STATUS_SUCCESS && d.r.Result == 1) << index;
    KSPROPERTY_VIDEOPROCAMP_S got{};
    EXPECT_TRUE(d.Control(kVideoProcAmpSet, 0, kGet, 0, 0, &got) == STATUS_SUCCESS && got.Value == 0);
    // A key that cannot be written: the stop succeeds, the driver says so.
    std::filesystem::remove(folder_ + "/device.driver.reg");
    std::filesystem::create_directory(folder_ + "/device.driver.reg");
    host::ClearDebugLog();
    RunOnce(d, true);
    EXPECT_NE(host::DebugLog().find("settings: \"Mirror\" and the values after it not stored (status 0xC0000001)"),
              std::string::npos) << host::DebugLog();
  }
}

TEST_F(SettingsTest, MissingAndMalformedValuesCountAsAbsent) {
  const struct { const char* what; ULONG type; std::vector<uint8_t> data; ULONG mirror; } cases[] = {
      {"REG_DWORD", REG_DWORD, {1, 0, 0, 0}, 1},
      {"two bytes", REG_DWORD, {1, 0}, 0},
      {"empty", REG_BINARY, {}, 0},
      {"REG_SZ of four bytes and more: its first four", REG_SZ, {1, 0, 0, 0, 0, 0}, 1},
      {"larger than the query block", REG_BINARY, std::vector<uint8_t>(600, 1), 0},
  };
  Rig rig;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    Put("Mirror", c.type, c.data);
    Put("Vertical Flip", REG_DWORD, {1, 0, 0, 0});
    rig.state->mirror = 5;
    LoadSettings(&pdo_, rig.state, rig.state);
    EXPECT_EQ(std::make_tuple(rig.state->mirror, rig.state->verticalFlip), std::make_tuple(c.mirror, 1u));
    ULONG field = 77;
    EXPECT_EQ(NT_SUCCESS(ReadSetting(&pdo_, "Mirror", &field)), c.mirror != 0);
    EXPECT_EQ(field, c.mirror ? c.mirror : 77u) << "a failed read leaves the field";
  }
  // No registry at all: both 0, and a save fails without harm, naming the
  // first value.
  host::SetStateFolder("");
  rig.state->mirror = rig.state->verticalFlip = 1;
  LoadSettings(&pdo_, rig.state, rig.state);
  EXPECT_EQ(std::make_pair(rig.state->mirror, rig.state->verticalFlip), std::make_pair(0u, 0u));
  const CHAR* failed = nullptr;
  EXPECT_FALSE(NT_SUCCESS(SaveSettings(&pdo_, rig.state, &failed)));
  EXPECT_STREQ(failed, "Mirror");
  EXPECT_NE(WriteSetting(&pdo_, "Mirror", 1), STATUS_SUCCESS);
  host::SetStateFolder(folder_);
  EXPECT_EQ(Stored("Low Light"), -1) << "nothing was written without a key";
}

}  // namespace
