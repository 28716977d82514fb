// The format report of `uvccam formats`: text and JSON from a brought-up
// camera, and the failure line.
#include <nlohmann/json.hpp>

#include "client/usb_host_camera.h"
#include "tests/usb/camera_rig.h"

namespace {

using rig::CameraConfiguration;
using rig::CameraShape;

class FormatReportTest : public rig::UsbTest {};

TEST_F(FormatReportTest, BulkFullSpeedAndUnknownSubtype) {
  GUID nv12 = MakeFourccSubtype('N', 'V', '1', '2');
  rig::ConfigBuilder b;
  b.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 1).InputHeader(1);
  b.Uncompressed(1, nv12, {{320, 240}}).Endpoint(0x81, 2, 64);
  client::HostUsbCamera cam(rig::CameraFor(b.Build(), false));
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

}  // namespace
