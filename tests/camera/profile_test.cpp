// Profiles: the shipped ones load, the built-in default equals
// profiles/default.json, and malformed profiles are refused with a message
// that names the offending key.
#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "camera_test_util.h"

namespace {

std::string ReadText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

TEST(CameraProfiles, EveryShippedProfileLoads) {
  for (const std::string& name : camtest::ProfileNames()) {
    std::string error;
    auto cam = camera::CameraFromProfileFile(camtest::ProfilePath(name), &error);
    EXPECT_TRUE(cam) << name << ": " << error;
  }
}

TEST(CameraProfiles, BuiltInDefaultMatchesTheFile) {
  const auto file = nlohmann::json::parse(ReadText(camtest::ProfilePath("default.json")));
  const auto builtIn = nlohmann::json::parse(camera::DefaultProfileJson());
  EXPECT_EQ(file, builtIn);
  std::string error;
  auto fromFile = camera::CameraFromProfileFile(camtest::ProfilePath("default.json"), &error);
  ASSERT_TRUE(fromFile) << error;
  auto def = camera::DefaultCamera();
  EXPECT_EQ(fromFile->DeviceDescriptor(), def->DeviceDescriptor());
  EXPECT_EQ(fromFile->ConfigurationDescriptor(), def->ConfigurationDescriptor());
}

// Applies an edit to the default profile and expects a refusal mentioning `key`.
void ExpectRefused(const std::function<void(nlohmann::json&)>& edit, const std::string& key) {
  auto profile = nlohmann::json::parse(camera::DefaultProfileJson());
  edit(profile);
  std::string error;
  auto cam = camera::CameraFromProfile(profile.dump(), &error);
  EXPECT_FALSE(cam) << "accepted; expected a complaint about " << key;
  EXPECT_NE(error.find(key), std::string::npos) << "error was: " << error;
}

TEST(CameraProfiles, MalformedProfilesNameTheKey) {
  using J = nlohmann::json;
  ExpectRefused([](J& p) { p.erase("speed"); }, "speed");
  ExpectRefused([](J& p) { p["speed"] = "super"; }, "speed");
  ExpectRefused([](J& p) { p["vendorId"] = 70000; }, "vendorId");
  ExpectRefused([](J& p) { p["vendorId"] = "0xZZ"; }, "vendorId");
  ExpectRefused([](J& p) { p["vendorId"] = "0x-1"; }, "vendorId");
  ExpectRefused([](J& p) { p["vendorId"] = 1.5; }, "vendorId");
  ExpectRefused([](J& p) { p["colour"] = 1; }, "colour");
  ExpectRefused([](J& p) { p["formats"] = J::array(); }, "formats");
  ExpectRefused([](J& p) { p["formats"][0]["type"] = "h264"; }, "formats[0].type");
  ExpectRefused([](J& p) { p["formats"][1]["frames"][2]["width"] = 0; },
                "formats[1].frames[2].width");
  ExpectRefused([](J& p) { p["formats"][1]["frames"][2]["width"] = 321; },
                "formats[1].frames[2].width");
  ExpectRefused([](J& p) { p["formats"][0]["frames"][0].erase("intervals"); },
                "formats[0].frames[0]");
  ExpectRefused([](J& p) { p["formats"][0]["frames"][0]["intervals"] = J::array({0}); },
                "formats[0].frames[0].intervals[0]");
  ExpectRefused([](J& p) { p["formats"][0]["frames"][0]["defaultInterval"] = 123; },
                "formats[0].frames[0].defaultInterval");
  ExpectRefused([](J& p) { p["formats"][1]["frames"][2]["intervalRange"]["max"] = 1; },
                "formats[1].frames[2].intervalRange.max");
  ExpectRefused([](J& p) { p["formats"][0]["defaultFrame"] = 8; }, "formats[0].defaultFrame");
  ExpectRefused([](J& p) { p["stills"][0]["height"] = -1; }, "stills[0].height");
  ExpectRefused([](J& p) { p["processingUnit"]["controls"]["shine"] = J::object(); },
                "processingUnit.controls.shine");
  ExpectRefused([](J& p) { p["processingUnit"]["controls"]["brightness"]["def"] = 100; },
                "processingUnit.controls.brightness.def");
  ExpectRefused([](J& p) { p["processingUnit"]["controls"]["contrast"]["max"] = 70000; },
                "processingUnit.controls.contrast.max");
  ExpectRefused([](J& p) { p["cameraTerminal"]["controls"]["autoExposureMode"]["def"] = 3; },
                "cameraTerminal.controls.autoExposureMode.def");
  ExpectRefused([](J& p) { p["processingUnit"]["id"] = 1; }, "processingUnit.id");
  ExpectRefused([](J& p) { p["extensionUnit"]["guid"] = "not-a-guid"; }, "extensionUnit.guid");
  ExpectRefused([](J& p) { p["extensionUnit"]["controls"][1]["selector"] = 1; },
                "extensionUnit.controls[1].selector");
  ExpectRefused([](J& p) { p["streaming"]["alternateSettings"][0] = 1025; },
                "streaming.alternateSettings[0]");
  ExpectRefused([](J& p) { p["streaming"]["alternateSettings"][0] = "0x1c00"; },
                "streaming.alternateSettings[0]");
  ExpectRefused([](J& p) { p["streaming"]["type"] = "interrupt"; }, "streaming.type");
  ExpectRefused(
      [](J& p) {
        p["streaming"] = {{"type", "bulk"}, {"maxPacketSize", 64}};
      },
      "streaming.maxPacketSize");
  ExpectRefused([](J& p) { p["speed"] = "full"; }, "streaming.alternateSettings");
  ExpectRefused([](J& p) { p["faults"] = {{"rejectProbe", "yes"}}; }, "faults.rejectProbe");
  ExpectRefused([](J& p) { p["faults"] = {{"stallEverything", true}}; }, "faults.stallEverything");
  ExpectRefused(
      [](J& p) {
        p["vendorReplies"] = J::array({{{"request", 1}, {"data", {1, 300}}}});
      },
      "vendorReplies[0].data[1]");
  ExpectRefused([](J& p) { p["manufacturer"] = std::string(200, 'x'); }, "manufacturer");
}

TEST(CameraProfiles, DecimalStringsAreNotOctal) {
  auto profile = nlohmann::json::parse(camera::DefaultProfileJson());
  profile["vendorId"] = "010";
  profile["productId"] = "0X1F";
  std::string error;
  auto cam = camera::CameraFromProfile(profile.dump(), &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_EQ(cam->DeviceDescriptor()[8], 10);
  EXPECT_EQ(cam->DeviceDescriptor()[10], 0x1F);
}

TEST(CameraProfiles, NotJsonAtAll) {
  std::string error;
  EXPECT_FALSE(camera::CameraFromProfile("{ \"speed\": ", &error));
  EXPECT_NE(error.find("not valid JSON"), std::string::npos) << error;
  EXPECT_FALSE(camera::CameraFromProfile("[1, 2]", &error));
  EXPECT_NE(error.find("expected an object"), std::string::npos) << error;
  EXPECT_FALSE(camera::CameraFromProfileFile("/nonexistent/profile.json", &error));
  EXPECT_NE(error.find("/nonexistent/profile.json"), std::string::npos) << error;
}

TEST(CameraProfiles, MinimalProfileGetsACameraTerminalAndStreams) {
  const char* text = R"({
    "speed": "high", "vendorId": 1, "productId": 2,
    "formats": [ { "type": "uyvy", "frames": [ { "width": 64, "height": 48, "intervals": [333333] } ] } ],
    "streaming": { "type": "isochronous", "alternateSettings": [ 1024 ] }
  })";
  std::string error;
  auto cam = camera::SimulatedCameraFromProfile(text, &error);
  ASSERT_TRUE(cam) << error;
  ASSERT_EQ(cam->Layout().entities.size(), 2u);  // camera terminal and output terminal
  EXPECT_EQ(cam->Layout().entities[0].subtype, 2);
  EXPECT_EQ(cam->Layout().entities[0].bmControls, 0u);
  EXPECT_FALSE(cam->Layout().hasInterruptEndpoint);
  // No strings were given: index 1 is not answered.
  EXPECT_TRUE(camtest::In(*cam, 0x80, 6, 0x0301, 0x0409, 255).stalled);
  EXPECT_EQ(cam->CurrentProbe().dwMaxVideoFrameSize, 64u * 48 * 2);
}

}  // namespace
