// The camera's input files. Profiles: the built-in default equals
// profiles/default.json, and malformed profiles are refused with a message
// that names the offending key. Play files are read a frame at a time and
// loop; inputs read whole have limits that fit their kind.
#include <fstream>
#include <sstream>

#include "camera/play_file.h"
#include "camera_test_util.h"

namespace {

using namespace camtest;
using J = nlohmann::json;

TEST(CameraProfiles, BuiltInDefaultMatchesTheFile) {
  std::ifstream in(ProfilePath("default.json"));
  std::stringstream text;
  text << in.rdbuf();
  EXPECT_EQ(J::parse(text.str()), J::parse(camera::DefaultProfileJson()));
}

TEST(CameraProfiles, MalformedProfilesNameTheKey) {
  const struct {
    const char* pointer;
    J value;  // null: the key is removed
    const char* key;
  } cases[] = {
      {"/speed", nullptr, "speed"}, {"/speed", "super", "speed"}, {"/colour", 1, "colour"},
      {"/streaming/type", "interrupt", "streaming.type"},
      {"/vendorId", 70000, "vendorId"}, {"/vendorId", "0xZZ", "vendorId"},
      {"/formats", J::array(), "formats"}, {"/formats/0/type", "h264", "formats[0].type"},
      {"/formats/1/frames/2/width", 0, "formats[1].frames[2].width"},
      {"/formats/1/frames/2/width", 321, "formats[1].frames[2].width"},
      {"/formats/0/frames/0/intervals", nullptr, "formats[0].frames[0]"},
      {"/formats/0/frames/0/intervals", J::array({0}), "formats[0].frames[0].intervals[0]"},
      {"/formats/0/frames/0/defaultInterval", 123, "formats[0].frames[0].defaultInterval"},
      {"/formats/1/frames/2/intervalRange/max", 1, "formats[1].frames[2].intervalRange.max"},
      {"/formats/0/defaultFrame", 8, "formats[0].defaultFrame"},
      {"/processingUnit/controls/shine", J::object(), "processingUnit.controls.shine"},
      {"/processingUnit/controls/brightness/def", 100, "processingUnit.controls.brightness.def"},
      {"/processingUnit/controls/contrast/max", 70000, "processingUnit.controls.contrast.max"},
      {"/cameraTerminal/controls/autoExposureMode/def", 3,
       "cameraTerminal.controls.autoExposureMode.def"},
      {"/processingUnit/id", 1, "processingUnit.id"}, {"/stills/0/height", -1, "stills[0].height"},
      {"/extensionUnit/guid", "not-a-guid", "extensionUnit.guid"},
      {"/extensionUnit/controls/1/selector", 1, "extensionUnit.controls[1].selector"},
      {"/streaming/alternateSettings/0", 1025, "streaming.alternateSettings[0]"},
      {"/streaming/alternateSettings/0", "0x1c00", "streaming.alternateSettings[0]"},
      {"/streaming", {{"type", "bulk"}, {"maxPacketSize", 64}}, "streaming.maxPacketSize"},
      {"/speed", "full", "streaming.alternateSettings"},  // high-speed packet sizes
      {"/faults", {{"rejectProbe", "yes"}}, "faults.rejectProbe"},
      {"/faults", {{"stallEverything", true}}, "faults.stallEverything"},
      {"/vendorReplies", J::array({{{"request", 1}, {"data", {1, 300}}}}),
       "vendorReplies[0].data[1]"},
      {"/manufacturer", std::string(200, 'x'), "manufacturer"},
  };
  for (const auto& c : cases) {
    const J::json_pointer at(c.pointer);
    std::string error;
    auto edit = [&](J& p) {
      if (c.value.is_null()) p.at(at.parent_pointer()).erase(at.back());
      else p[at] = c.value;
    };
    auto cam = WithProfileEdit(edit, &error);
    EXPECT_FALSE(cam) << "accepted " << c.pointer << " = " << c.value;
    EXPECT_NE(error.find(c.key), std::string::npos) << "expected " << c.key << ", got " << error;
  }
  std::string error;
  EXPECT_FALSE(camera::CameraFromProfile("{ \"speed\": ", &error));
  EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
  EXPECT_FALSE(camera::CameraFromProfile("[1, 2]", &error));
  EXPECT_NE(error.find("expected an object"), std::string::npos) << error;
  EXPECT_FALSE(camera::CameraFromProfileFile("/nonexistent/profile.json", &error));
  EXPECT_NE(error.find("/nonexistent/profile.json"), std::string::npos) << error;
}

TEST(CameraProfiles, MinimalProfileGetsACameraTerminalAndStreams) {
  // Integer strings are decimal unless 0x-prefixed, never octal.
  const char* text = R"({
    "speed": "high", "vendorId": "010", "productId": "0X1F",
    "formats": [ { "type": "uyvy", "frames": [ { "width": 64, "height": 48, "intervals": [333333] } ] } ],
    "streaming": { "type": "isochronous", "alternateSettings": [ 1024 ] }
  })";
  std::string error;
  auto cam = camera::SimulatedCameraFromProfile(text, &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_EQ(std::make_tuple(Le16(cam->DeviceDescriptor(), 8), Le16(cam->DeviceDescriptor(), 10)), std::make_tuple(10, 0x1F));
  const camera::CameraLayout& l = cam->Layout();
  ASSERT_EQ(l.entities.size(), 2u);  // camera terminal and output terminal
  EXPECT_EQ(std::make_tuple(l.entities[0].subtype, l.entities[0].bmControls, l.hasInterruptEndpoint),
            std::make_tuple(2, 0u, false));
  EXPECT_TRUE(In(*cam, 0x80, 6, 0x0301, 0x0409, 255).stalled);  // no strings given
  EXPECT_EQ(cam->CurrentProbe().dwMaxVideoFrameSize, 64u * 48 * 2);
}

std::string Write(const std::string& name, const Bytes& bytes) {
  const std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), long(bytes.size()));
  return path;
}

TEST(PlayFile, FramesComeOneAtATimeAndLoop) {
  // Two images with junk around them, then one with no end marker.
  const Bytes a = {0xFF, 0xD8, 1, 0xFF, 0xD9}, b = {0xFF, 0xD8, 0xFF, 0xD9};
  Bytes file = {7, 0xFF};
  for (const Bytes* image : {&a, &b}) file.insert(file.end(), image->begin(), image->end()), file.push_back(9);
  file.insert(file.end(), {0xFF, 0xD8, 5});
  auto play = camera::PlayFile::Open(Write("play.mjpeg", file), nullptr);
  ASSERT_TRUE(play);
  Bytes frame;
  for (const Bytes* want : {&a, &b, &a, &b}) {
    ASSERT_TRUE(play->NextJpeg(&frame));
    EXPECT_EQ(frame, *want);
  }
  // Raw: two whole frames of 4 and a partial one, which is skipped.
  auto raw = camera::PlayFile::FromBytes({1, 1, 1, 1, 2, 2, 2, 2, 3});
  for (uint8_t want : {1, 2, 1}) {
    ASSERT_TRUE(raw->NextRaw(4, &frame));
    EXPECT_EQ(frame, Bytes(4, want));
  }
  EXPECT_FALSE(raw->NextRaw(16, &frame));  // shorter than one frame
  EXPECT_FALSE(camera::PlayFile::FromBytes(Bytes(100, 0xFF))->NextJpeg(&frame));
}

// Devices, folders and oversized inputs are refused by the command line's tests.
TEST(PlayFile, EmptyPlayFilesAndInputsPastTheirLimitAreRefused) {
  std::string error;
  const std::string empty = Write("empty.mjpeg", {});
  EXPECT_FALSE(camera::PlayFile::Open(empty, &error));
  EXPECT_EQ(error, empty + ": is empty");
  const std::string fits = Write("fits.bin", Bytes(camera::kMaxDescriptorDump, 2));
  const std::string big = Write("big.bin", Bytes(camera::kMaxDescriptorDump + 1, 1));
  Bytes bytes;
  EXPECT_FALSE(camera::ReadInputFile(big, camera::kMaxDescriptorDump, &bytes, &error));
  EXPECT_EQ(error, big + ": larger than 64 KiB, the most this input may be");
  ASSERT_TRUE(camera::ReadInputFile(fits, camera::kMaxDescriptorDump, &bytes, &error)) << error;
  EXPECT_EQ(bytes, Bytes(camera::kMaxDescriptorDump, 2));
}

}  // namespace
