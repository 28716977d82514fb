// Real-camera path end to end without hardware: the simulated camera sits
// behind an emulated USB device node and the unmodified libusb in this
// process drives it through the driver, exactly as `uvccam --device` does.
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <thread>

#include "../tools/command_run.h"
#include "camera/simulated_camera.h"
#include "platform/host/usb_devices.h"
#include "tools/commands.h"
#include "tools/device_select.h"

#if UVCCAM_USBFS
#include "camera/usbfs/emulated_node.h"
#endif

namespace {

#if !UVCCAM_USBFS
TEST(RealCameraTest, EmulatedDevice) {
  GTEST_SKIP() << "umockdev (libumockdev-dev) or libusb is missing: the emulated-device tests do not run";
}
#else
namespace fs = std::filesystem;

std::vector<uint8_t> ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Threads of this process with the given name.
int Threads(const std::string& name) {
  int n = 0;
  for (const auto& task : fs::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string line;
    n += std::getline(comm, line) && line == name;
  }
  return n;
}

class RealCameraTest : public testing::Test {
 protected:
  void SetUp() override {
    if (!camera::EmulatedUsbNode::Available())
      GTEST_SKIP() << "not under umockdev's preload library: the emulated-device tests do not run";
    dir_ = fs::temp_directory_path() / ("uvccam_realcam_" + std::to_string(getpid()));
    fs::create_directories(dir_);
  }
  void TearDown() override {
    node_.reset();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  camera::SimulatedCamera* Plug(const std::string& profile, camera::StreamFaults faults = {},
                                const std::string& kernelDriver = "") {
    node_.reset();
    std::string error;
    auto model = camera::CameraFromProfileFile(std::string(UVCCAM_PROFILE_DIR) + "/" + profile, &error);
    auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get());
    if (!sim) return nullptr;
    sim->SetStreamFaults(faults);
    camera::EmulatedNodeOptions o;
    o.kernelDriver = kernelDriver;
    node_ = camera::EmulatedUsbNode::Create(std::move(model), o, &error);
    EXPECT_TRUE(node_) << error;
    return node_ ? sim : nullptr;
  }

  CommandRun Run(int (*command)(int, char**), std::vector<std::string> args) {
    return RunCommand(command, (dir_ / "state").string(), std::move(args));
  }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  std::string Selector() const { return node_->Selector(); }

  // The frames of a raw capture file.
  static std::vector<std::vector<uint8_t>> Frames(const std::vector<uint8_t>& bytes, size_t frameBytes) {
    std::vector<std::vector<uint8_t>> out;
    for (size_t off = 0; off + frameBytes <= bytes.size(); off += frameBytes)
      out.emplace_back(bytes.begin() + off, bytes.begin() + off + frameBytes);
    return out;
  }

  fs::path dir_;
  std::unique_ptr<camera::EmulatedUsbNode> node_;
};

// Every kind of stream (isochronous and bulk, high and full speed, YUY2 and
// MJPEG, MJPEG as webcams send it) captured as YUY2 through --device gives
// frames the simulated camera's own path gives, and leaves no URB, claim or
// thread behind.
TEST_F(RealCameraTest, CapturesMatchTheSimulatedPath) {
  const struct { const char* profile; size_t width, height; } kCases[] = {
      {"default.json", 640, 480},  // MJPEG stream, decoded
      {"yuy2_only.json", 160, 120}, {"full_speed.json", 160, 120}, {"bulk.json", 320, 240},
      {"webcam_mjpeg.json", 320, 240},  // frames as webcams send them: no DHT, no vendor trailer (full speed)
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.profile);
    ASSERT_TRUE(Plug(c.profile));
    const std::string size = std::to_string(c.width) + "x" + std::to_string(c.height);
    const std::string device = Path("device.raw"), simulated = Path("simulated.raw");
    CommandRun r = Run(tools::CaptureCommand,
                       {"--device", Selector(), "--size", size, "--subtype", "YUY2", "--frames", "3", "--output", device});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(std::make_tuple(node_->UrbsInFlight(), node_->ClaimedInterfaces(), node_->Reaped() > 0),
              std::make_tuple(0u, 0, true));
    EXPECT_EQ(Threads("uvccam-usb") + Threads("libusb_event"), 0);
    r = Run(tools::CaptureCommand, {"--profile", std::string(UVCCAM_PROFILE_DIR) + "/" + c.profile, "--size", size,
                                    "--subtype", "YUY2", "--frames", "30", "--output", simulated});
    ASSERT_EQ(r.status, 0) << r.err;
    auto got = Frames(ReadFile(device), c.width * c.height * 2);
    auto want = Frames(ReadFile(simulated), c.width * c.height * 2);
    ASSERT_EQ(got.size(), 3u);
    ASSERT_GE(want.size(), got.size());
    // The device's frames are frames of the camera's own sequence, in order
    // (a frame the emulated bus delivered late may be dropped on either path).
    size_t at = 0;
    for (const auto& frame : got) {
      while (at < want.size() && want[at] != frame) ++at;
      EXPECT_LT(at, want.size()) << "a frame the simulated path never delivered";
      ++at;
    }
  }
}

// Stills by the software trigger and by the camera's button; a control
// set through the property sets reads back; the descriptors saved from the
// device are the camera's own.
TEST_F(RealCameraTest, StillsControlsAndDescriptors) {
  camera::SimulatedCamera* sim = Plug("default.json");
  ASSERT_TRUE(sim);
  CommandRun r = Run(tools::StillCommand, {"--device", Selector(), "--output", Path("soft.png")});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_GT(fs::file_size(Path("soft.png")), 100u);

  std::atomic<bool> done{false};
  std::thread presser([&] {
    while (!done) {
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      sim->PressStillButton();
    }
  });
  r = Run(tools::StillCommand, {"--device", Selector(), "--trigger", "button", "--output", Path("button.png")});
  done = true;
  presser.join();
  EXPECT_TRUE(r.status == 0 && fs::exists(Path("button.png"))) << r.err;

  r = Run(tools::ControlsCommand, {"--device", Selector(), "--set", "brightness=-7"});
  EXPECT_EQ(std::make_tuple(r.status, r.out), std::make_tuple(0, std::string("brightness=-7\n"))) << r.err;
  // The camera itself holds the value (GET_CUR of the processing unit's
  // brightness, unit 2, on the control interface).
  uint8_t cur[2] = {};
  EXPECT_FALSE(sim->Control({0xA1, 0x81, 0x0200, 0x0200, 2}, cur).stalled);
  EXPECT_EQ(int16_t(cur[0] | cur[1] << 8), -7);

  r = Run(tools::DescriptorsCommand, {"--device", Selector(), "--output", Path("d.bin")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<uint8_t> want = sim->DeviceDescriptor();
  want.insert(want.end(), sim->ConfigurationDescriptor().begin(), sim->ConfigurationDescriptor().end());
  EXPECT_EQ(ReadFile(Path("d.bin")), want);
}

// A stalling endpoint, damaged packets and an unplug mid-stream: each ends
// as the driver handles it, with no hang and nothing left in flight.
TEST_F(RealCameraTest, FaultsEndCleanly) {
  const struct {
    const char* name;
    camera::StreamFaults faults;
    int status;
    const char* error;  // expected in the one error line, or null
  } kCases[] = {
      // The driver does not get a stalled isochronous stream going again;
      // the simulated path ends the same way.
      {"stall", [] { camera::StreamFaults f; f.stall = 2; return f; }(), 1, "stopped delivering"},
      {"damaged packets", [] { camera::StreamFaults f; f.errorPacket = 2; return f; }(), 0, nullptr},
      {"unplug", [] { camera::StreamFaults f; f.unplug = 2; return f; }(), 1, "stopped delivering"},
  };
  for (const auto& c : kCases) {
    SCOPED_TRACE(c.name);
    ASSERT_TRUE(Plug("default.json", c.faults));
    CommandRun r = Run(tools::CaptureCommand, {"--device", Selector(), "--size", "160x120", "--subtype", "YUY2",
                                               "--frames", "5"});
    EXPECT_EQ(r.status, c.status) << r.err;
    EXPECT_TRUE(!c.error || r.err.find(c.error) != std::string::npos) << r.err;
    EXPECT_EQ(node_->UrbsInFlight(), 0u);
  }
}

// The kernel's driver bound to the camera: listed, refused without
// --detach, detached for the run with it and given back afterwards.
TEST_F(RealCameraTest, KernelDriverListAndDetach) {
  ASSERT_TRUE(Plug("default.json", {}, "videodrv"));
  std::vector<char*> argv = {const_cast<char*>("--json")};
  testing::internal::CaptureStdout();
  ASSERT_EQ(tools::ListCommand(1, argv.data()), 0);
  auto list = nlohmann::json::parse(testing::internal::GetCapturedStdout());
  ASSERT_EQ(list.size(), 1u);
  EXPECT_EQ(list[0].dump(),
            R"({"address":2,"bus":1,"kernelDriver":"videodrv","port":"1-1","product":"uvccam emulated camera",)"
            R"("productId":"ca3e","serial":"EMU0001","speed":"high","vendorId":"c0de"})");

  CommandRun r = Run(tools::CaptureCommand, {"--device", "usb:1-1", "--frames", "1"});
  EXPECT_TRUE(r.status == 1 && r.err.find("the kernel driver videodrv is bound to the camera") != std::string::npos) << r.err;
  r = Run(tools::CaptureCommand, {"--device", "usb:c0de:ca3e", "--detach", "--size", "160x120", "--frames", "2"});
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_TRUE(node_->KernelDriverBound());
  r = Run(tools::CaptureCommand, {"--device", "usb:c0de:ca3e#2", "--frames", "1"});
  EXPECT_TRUE(r.status == 1 && r.err.find("no video device c0de:ca3e #2") != std::string::npos) << r.err;
}
#endif

// Device selectors: what each form selects, and the malformed ones refused.
TEST(DeviceSpec, FormsAndRefusals) {
  using S = host::UsbDeviceSelector;
  // The selector as (kind, vendor, product, index, bus, address, port).
  using Fields = std::tuple<int, int, int, int, int, int, std::string>;
  const struct { const char* text; bool ok; Fields want = {}; } kCases[] = {
      {"usb:1209:c0de", true, {S::kIds, 0x1209, 0xc0de, 1, 0, 0, ""}},
      {"usb:1209:C0DE#3", true, {S::kIds, 0x1209, 0xc0de, 3, 0, 0, ""}},
      {"usb:3/17", true, {S::kBusAddress, 0, 0, 1, 3, 17, ""}},
      {"usb:2-1.4.3", true, {S::kPort, 0, 0, 1, 2, 0, "2-1.4.3"}},
      {"usb:209:c0de", false}, {"usb:1209:c0de#0", false}, {"usb:0/1", false}, {"usb:1/128", false},
      {"usb:1-", false}, {"usb:1-2..3", false}, {"1209:c0de", false}, {"usb:", false},
  };
  for (const auto& c : kCases) {
    S s;
    std::string error;
    ASSERT_EQ(host::ParseUsbDeviceSelector(c.text, &s, &error), c.ok) << c.text << ": " << error;
    EXPECT_TRUE(c.ok || error.find("bad device") != std::string::npos) << c.text << ": " << error;
    EXPECT_TRUE(!c.ok || (Fields{s.kind, s.vendorId, s.productId, s.index, s.bus, s.address, s.port} == c.want)) << c.text;
  }
}

}  // namespace

// The emulated node's requests travel a socket between libusb's threads and
// the node's handler thread, which ThreadSanitizer cannot see: the handler
// reading a URB's packet count straight from libusb's memory looks like a
// race with libusb freeing it after the reap. Reports through the handler
// are suppressed, as are those inside umockdev and GLib (uninstrumented);
// the driver's and the lower device's own are not.
extern "C" const char* __tsan_default_suppressions() {
  return "race:camera::EmulatedUsbNode::Impl\nrace:libumockdev.so\nrace:libglib-2.0.so\nrace:libgio-2.0.so\n";
}
