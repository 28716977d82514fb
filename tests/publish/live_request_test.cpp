// Requests on the publisher's socket are checked like command-line input:
// each bad one gets one error line and a non-zero status, and changes
// nothing; good ones answer as `uvccam controls` would.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <string>

#include "tools/camera_session.h"
#include "tools/publish/live_server.h"

namespace {

TEST(LiveRequestTest, BadRequestsAreRefusedWithOneLineAndGoodOnesAnswer) {
  tools::CameraOptions options;
  options.state = ::testing::TempDir() + "live_request_state";
  tools::CameraSession session;
  std::string error;
  ASSERT_TRUE(tools::OpenCameraSession("publish", options, &session, &error)) << error;
  const std::string longName(65, 'a'), longSetting = "mirror=" + std::string(130, '1');
  std::string manySettings;
  for (int i = 0; i < 65; ++i) manySettings += std::string(i ? "," : "") + "\"mirror=1\"";
  struct Case {
    std::string request;
    int status;
    std::string out, err;  // err: a part of the one line
  } cases[] = {
      {"", 2, "", "bad request"},
      {"[1,2]", 2, "", "bad request"},
      {"{\"get\":\"mirror\"}", 2, "", "bad request"},
      {"{\"request\":\"format-disk\"}", 2, "", "unknown request 'format-disk'"},
      {"{\"request\":\"controls\",\"path\":\"/etc\"}", 2, "", "unknown field 'path'"},
      {"{\"request\":\"controls\",\"get\":\"" + longName + "\"}", 2, "", "bad control name"},
      {"{\"request\":\"controls\",\"get\":7}", 2, "", "bad control name"},
      {"{\"request\":\"controls\",\"set\":[\"" + longSetting + "\"]}", 2, "", "bad setting"},
      {"{\"request\":\"controls\",\"set\":[" + manySettings + "]}", 2, "", "bad settings"},
      {"{\"request\":\"controls\",\"set\":[\"mirror\"]}", 2, "", "bad setting 'mirror' (NAME=VALUE)"},
      {"{\"request\":\"controls\",\"set\":[\"mirror=1\",\"zoom=999\"]}", 1, "", "zoom"},
      {"{\"request\":\"controls\",\"get\":\"mirror\"}", 0, "0\n", ""},
      {"{\"request\":\"controls\",\"set\":[\"mirror=1\"],\"get\":\"mirror\"}", 0, "mirror=1\n1\n", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.request.substr(0, 80));
    const auto reply = nlohmann::json::parse(publish::LiveServer::Answer(session.filter, c.request));
    EXPECT_EQ(reply["status"], c.status);
    EXPECT_EQ(reply["out"], c.out);
    const std::string err = reply["err"];
    if (c.err.empty()) {
      EXPECT_EQ(err, "");
    } else {
      EXPECT_NE(err.find(c.err), std::string::npos) << err;
      EXPECT_EQ(std::count(err.begin(), err.end(), '\n'), 1) << err;
    }
  }
}

}  // namespace
