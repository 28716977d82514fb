// The format report of `uvccam formats`: text and JSON from a brought-up
// camera, and the failure line.
#include <nlohmann/json.hpp>

#include "client/usb_host_camera.h"
#include "tests/usb/fake_camera.h"

namespace {

using fake::CameraConfiguration;
using fake::CameraShape;

class FormatReportTest : public fake::UsbTest {};

TEST_F(FormatReportTest, JsonCarriesEveryKeyAndTheTables) {
  client::HostUsbCamera cam(std::make_unique<fake::Camera>(CameraConfiguration()));
  client::BringUpResult r = cam.BringUp();
  ASSERT_TRUE(r.ok()) << client::BringUpFailureText(r);
  auto j = nlohmann::json::parse(client::FormatsJson(*cam.Engine()));
  EXPECT_EQ(j["vendorId"], 0x1234);
  EXPECT_EQ(j["productId"], 0x5678);
  EXPECT_EQ(j["highSpeed"], true);
  EXPECT_EQ(j["endpointType"], "isochronous");
  EXPECT_EQ(j["controlInterface"], 0);
  EXPECT_EQ(j["streamingInterface"], 1);
  ASSERT_EQ(j["formats"].size(), 9u);
  const auto& first = j["formats"][0];
  EXPECT_EQ(first["inputWidth"], 640);
  EXPECT_EQ(first["inputHeight"], 480);
  EXPECT_EQ(first["outputWidth"], 640);
  EXPECT_EQ(first["inputSubtype"], "MJPG");
  EXPECT_EQ(first["outputSubtype"], "YUY2");
  EXPECT_EQ(first["formatIndex"], 2);
  EXPECT_EQ(first["frameIndex"], 1);
  EXPECT_EQ(first["defaultInterval"], 333333);
  EXPECT_EQ(first.size(), 9u);
  const auto& last = j["formats"][8];
  EXPECT_EQ(last["outputWidth"], 2560);
  EXPECT_EQ(last["inputWidth"], 640);
  ASSERT_EQ(j["stills"].size(), 2u);
  EXPECT_EQ(j["stills"][1], nlohmann::json({{"width", 320}, {"height", 240}}));
}

TEST_F(FormatReportTest, BulkFullSpeedAndUnknownSubtype) {
  GUID nv12 = MakeFourccSubtype('N', 'V', '1', '2');
  fake::ConfigBuilder b;
  b.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 1).InputHeader(1);
  b.Uncompressed(1, nv12, {{320, 240}}).Endpoint(0x81, 2, 64);
  client::HostUsbCamera cam(std::make_unique<fake::Camera>(b.Build(), false));
  ASSERT_TRUE(cam.BringUp().ok());
  auto j = nlohmann::json::parse(client::FormatsJson(*cam.Engine()));
  EXPECT_EQ(j["highSpeed"], false);
  EXPECT_EQ(j["endpointType"], "bulk");
  EXPECT_EQ(j["formats"][0]["inputSubtype"], "{3231564E-0000-0010-8000-00AA00389B71}");
  EXPECT_TRUE(j["stills"].empty());
  std::string text = client::FormatsText(*cam.Engine());
  EXPECT_NE(text.find("camera 1234:5678, full speed, bulk streaming"), std::string::npos) << text;
  EXPECT_NE(text.find("320x240"), std::string::npos) << text;
  EXPECT_NE(text.find("stills (0)"), std::string::npos) << text;
}

TEST_F(FormatReportTest, TextListsEveryEntryAndStill) {
  client::HostUsbCamera cam(std::make_unique<fake::Camera>(CameraConfiguration()));
  ASSERT_TRUE(cam.BringUp().ok());
  std::string text = client::FormatsText(*cam.Engine());
  EXPECT_NE(text.find("high speed, isochronous streaming"), std::string::npos);
  EXPECT_NE(text.find("control interface 0, streaming interface 1"), std::string::npos);
  EXPECT_NE(text.find("formats (9)"), std::string::npos);
  EXPECT_NE(text.find("2560x1920"), std::string::npos);
  EXPECT_NE(text.find("stills (2)"), std::string::npos);
  size_t rows = 0;
  for (size_t p = text.find("MJPG"); p != std::string::npos; p = text.find("MJPG", p + 1)) ++rows;
  EXPECT_EQ(rows, 9u);
}

TEST_F(FormatReportTest, FailureNamesTheStepAndTheStatus) {
  CameraShape s;
  s.mjpg = {{1280, 720}};
  s.yuy2.clear();
  client::HostUsbCamera cam(std::make_unique<fake::Camera>(CameraConfiguration(s)));
  client::BringUpResult r = cam.BringUp();
  EXPECT_FALSE(r.ok());
  EXPECT_EQ(client::BringUpFailureText(r), "bring-up failed at restrict and extend: status 0xC0000001");
}

}  // namespace
