// Settings persistence: the values written at stream stop, Mirror and
// Vertical Flip read back at start, missing and malformed values.
#include <unistd.h>

#include <filesystem>

#include "controls/settings_store.h"
#include "platform/host/host_files.h"
#include "tests/controls/controls_rig.h"

namespace {

using namespace ctl;

class SettingsTest : public ControlsTest {
 protected:
  void SetUp() override {
    ControlsTest::SetUp();
    char pattern[] = "/tmp/uvccam-settings-XXXXXX";
    folder_ = mkdtemp(pattern);
    host::SetStateFolder(folder_);
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
  int64_t Stored(const char* name) {
    host::RegistryValue v;
    if (!host::ReadDeviceRegistryValue("camera", name, &v)) return -1;
    EXPECT_EQ(v.type, uint32_t(REG_DWORD)) << name;
    EXPECT_EQ(v.data.size(), 4u) << name;
    uint32_t x = 0;
    std::memcpy(&x, v.data.data(), std::min<size_t>(4, v.data.size()));
    return x;
  }
  DEVICE_OBJECT pdo_{};
  std::string folder_;
};

TEST_F(SettingsTest, StopWritesEverySettingAndTheNextStartRestoresOrientationOnly) {
  {
    Rig rig;
    LoadSettings(&pdo_, rig.state, rig.state);
    ResetDeviceFlags(rig.state, rig.engine);
    EXPECT_EQ(rig.state->idle.usbTarget, rig.bus.DeviceObject());
    rig.state->mirror = 1;
    rig.state->verticalFlip = 1;
    rig.state->lowLight = 1;
    rig.state->brightness.Current = -5;
    const CHAR* failed = "none";
    EXPECT_EQ(SaveSettings(&pdo_, rig.state, &failed), STATUS_SUCCESS);
    EXPECT_EQ(failed, nullptr);
  }
  const struct {
    const char* name;
    int64_t value;
  } saved[] = {{"Mirror", 1},           {"Vertical Flip", 1},         {"Low Light", 1},
               {"Anti Flicker", 1},     {"Back Light", 1},            {"Exposure Auto", 1},
               {"Exposure", uint32_t(-7)}, {"Brightness", uint32_t(-5)}, {"Contrast", 32},
               {"Hue Auto", kControlFlagManual}, {"WhiteBalance_TFlags", kControlFlagAuto},
               {"WhiteBalance_T", 4600}, {"White Balance GGain", 50}, {"Noise filter", 0}};
  for (const auto& v : saved) EXPECT_EQ(Stored(v.name), v.value) << v.name;

  Rig next;
  next.state->lowLight = 7;
  LoadSettings(&pdo_, next.state, next.state);
  EXPECT_EQ(std::make_tuple(next.state->mirror, next.state->verticalFlip, next.state->lowLight,
                            next.state->brightness.Current),
            std::make_tuple(1u, 1u, 0u, 0)) << "only the orientation comes back";
}

TEST_F(SettingsTest, MissingAndMalformedValuesCountAsAbsent) {
  const struct {
    const char* what;
    ULONG type;
    std::vector<uint8_t> data;
    ULONG mirror;
  } cases[] = {
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
    EXPECT_EQ(rig.state->mirror, c.mirror);
    EXPECT_EQ(rig.state->verticalFlip, 1u);
    ULONG field = 77;
    EXPECT_EQ(NT_SUCCESS(ReadSetting(&pdo_, "Mirror", &field)), c.mirror != 0);
    EXPECT_EQ(field, c.mirror ? c.mirror : 77u) << "a failed read leaves the field";
  }
  // No registry at all: both 0, and a save fails without harm, naming the
  // first value; so does a save whose key file cannot be replaced.
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
  const std::string file = folder_ + "/camera.driver.reg";
  std::filesystem::remove(file);
  std::filesystem::create_directory(file);
  failed = nullptr;
  EXPECT_EQ(SaveSettings(&pdo_, rig.state, &failed), STATUS_UNSUCCESSFUL);
  EXPECT_STREQ(failed, "Mirror");
  EXPECT_EQ(WriteSetting(&pdo_, "Mirror", 1), STATUS_UNSUCCESSFUL);
}

}  // namespace
