// `uvccam capture` and `uvccam still` end to end, in-process, through the
// driver on the simulated cameras with the host clock sped up: the y4m file,
// the JSON summary, the time-stamp log, a capture the camera cuts short, and
// stills by both triggers.
#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "tests/tools/command_run.h"
#include "tools/camera_session.h"
#include "tools/commands.h"

namespace {

class CaptureStreamTest : public ::testing::Test {
 protected:
  void SetUp() override { tools::SetStreamingClockRate(4.0); }
  void TearDown() override { tools::SetStreamingClockRate(1.0); }
  static CommandRun Call(int (*command)(int, char**), std::vector<std::string> args) {
    return RunCommand(command, ::testing::TempDir() + "capture_stream_state", args);
  }
  static std::string Temp(const std::string& name) { return ::testing::TempDir() + name; }
  static std::string Read(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  }
};

// The y4m header names the size, the rate and the chroma layout; the file
// holds exactly the asked frames, each a FRAME line and its planes.
TEST_F(CaptureStreamTest, Y4mHoldsTheAskedFramesAtTheAskedFormat) {
  struct Case {
    const char* subtype;
    const char* colour;
    size_t planes;  // bytes of one 320x240 frame in the file
  } cases[] = {{"YUY2", "C422", 320 * 240 * 2}, {"I420", "C420jpeg", 320 * 240 * 3 / 2}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.subtype);
    const std::string path = Temp(std::string("capture_") + c.subtype + ".y4m");
    CommandRun r = Call(tools::CaptureCommand,
                    {"--size", "320x240", "--subtype", c.subtype, "--frames", "4", "--output", path});
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string file = Read(path);
    const std::string header =
        std::string("YUV4MPEG2 W320 H240 F10000000:333333 Ip A1:1 ") + c.colour + "\n";
    ASSERT_EQ(file.compare(0, header.size(), header), 0) << file.substr(0, 80);
    ASSERT_EQ(file.size(), header.size() + 4 * (6 + c.planes));
    for (size_t i = 0; i < 4; ++i)
      EXPECT_EQ(file.compare(header.size() + i * (6 + c.planes), 6, "FRAME\n"), 0) << i;
    EXPECT_NE(r.out.find(std::string("4 frames 320x240 ") + c.subtype), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(path), std::string::npos);
  }
}

// The summary object has exactly its keys; the time-stamp log has one line
// per frame, numbered and timed in order, each frame whole.
TEST_F(CaptureStreamTest, JsonSummaryAndTimestampLines) {
  const std::string stamps = Temp("stamps.jsonl"), raw = Temp("capture.raw");
  CommandRun r = Call(tools::CaptureCommand, {"--size", "160x120", "--subtype", "RGB24", "--frames", "6", "--json",
                                         "--timestamps", stamps, "--output", raw});
  ASSERT_EQ(r.status, 0) << r.err;
  const auto j = nlohmann::json::parse(r.out);
  std::vector<std::string> keys;
  for (auto& item : j.items()) keys.push_back(item.key());
  EXPECT_EQ(keys, (std::vector<std::string>{"discontinuities", "dropped", "fps", "frames", "height", "seconds",
                                            "subtype", "width"}));
  EXPECT_EQ(j["frames"], 6);
  EXPECT_EQ(j["width"], 160);
  EXPECT_EQ(j["height"], 120);
  EXPECT_EQ(j["subtype"], "RGB24");
  EXPECT_GT(j["fps"].get<double>(), 10.0);
  EXPECT_LT(j["fps"].get<double>(), 40.0);
  EXPECT_GT(j["seconds"].get<double>(), 0.1);
  EXPECT_EQ(Read(raw).size(), 6u * 160 * 120 * 3);

  std::istringstream lines(Read(stamps));
  std::string line;
  int n = 0, discontinuities = 0;
  long long lastPicture = -1, lastTime = -1;
  while (std::getline(lines, line)) {
    SCOPED_TRACE(line);
    const auto s = nlohmann::json::parse(line);
    ASSERT_EQ(s.size(), 6u);
    EXPECT_GT(s["pictureNumber"].get<long long>(), lastPicture);
    EXPECT_GE(s["presentationTime"].get<long long>(), lastTime);
    EXPECT_GE(s["dropCount"].get<long long>(), 0);
    EXPECT_EQ(s["duration"], 333333);
    EXPECT_EQ(s["dataUsed"], 160 * 120 * 3);
    discontinuities += s["discontinuity"].get<bool>();
    lastPicture = s["pictureNumber"], lastTime = s["presentationTime"];
    ++n;
  }
  EXPECT_EQ(n, 6);
  EXPECT_EQ(discontinuities, j["discontinuities"].get<int>());
}

// A duration instead of a count, and a camera unplugged mid-stream: the
// capture ends with what it got, one error line and status 1.
TEST_F(CaptureStreamTest, SecondsAndAnUnpluggedCamera) {
  CommandRun timed = Call(tools::CaptureCommand, {"--size", "160x120", "--seconds", "1", "--json"});
  ASSERT_EQ(timed.status, 0) << timed.err;
  const auto t = nlohmann::json::parse(timed.out);
  EXPECT_GE(t["frames"].get<int>(), 10);
  EXPECT_LE(t["frames"].get<int>(), 31);
  EXPECT_GE(t["seconds"].get<double>(), 1.0);

  const std::string path = Temp("unplugged.y4m");
  CommandRun cut = Call(tools::CaptureCommand,
                    {"--size", "160x120", "--frames", "100", "--fault", "unplug=20", "--output", path, "--json"});
  EXPECT_EQ(cut.status, 1);
  EXPECT_NE(cut.err.find("uvccam capture: the camera stopped delivering frames"), std::string::npos) << cut.err;
  const auto c = nlohmann::json::parse(cut.out);
  EXPECT_GT(c["frames"].get<int>(), 0);
  EXPECT_LE(c["frames"].get<int>(), 20);
  const std::string file = Read(path);
  const size_t frames = size_t(c["frames"].get<int>());
  EXPECT_EQ(file.size(), file.find('\n') + 1 + frames * (6 + 160 * 120 * 2)) << "every frame kept whole";
}

// A still by each trigger, saved as a PNG of the still size.
TEST_F(CaptureStreamTest, StillsByTriggerAndButtonArePngOfTheStillSize) {
  for (const char* trigger : {"software", "button"}) {
    SCOPED_TRACE(trigger);
    const std::string path = Temp(std::string("still_") + trigger + ".png");
    std::remove(path.c_str());
    CommandRun r = Call(tools::StillCommand, {"--size", "320x240", "--trigger", trigger, "--output", path});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "still 320x240 YUY2 -> " + path + "\n");
    png_image image;
    std::memset(&image, 0, sizeof image);
    image.version = PNG_IMAGE_VERSION;
    ASSERT_TRUE(png_image_begin_read_from_file(&image, path.c_str())) << image.message;
    EXPECT_EQ(image.width, 320u);
    EXPECT_EQ(image.height, 240u);
    image.format = PNG_FORMAT_RGB;
    std::vector<uint8_t> rgb(PNG_IMAGE_SIZE(image));
    ASSERT_TRUE(png_image_finish_read(&image, nullptr, rgb.data(), 0, nullptr));
    // The camera's test picture, not an empty buffer.
    EXPECT_GT(*std::max_element(rgb.begin(), rgb.end()) - *std::min_element(rgb.begin(), rgb.end()), 100);
  }
}

// A still whose frame arrives damaged is asked for again: whichever frame
// parity the damage hits, the still comes; and a trailer-less camera whose
// every other frame is damaged still delivers video.
TEST_F(CaptureStreamTest, OneDamagedFrameLosesNoStillAndNoVideo) {
  for (const char* trigger : {"software", "button"})
    for (const char* fault : {"lose-packet=2", "lose-packet=3"}) {
      SCOPED_TRACE(std::string(trigger) + " " + fault);
      const std::string path = Temp("still_damaged.png");
      CommandRun r = Call(tools::StillCommand, {"--size", "320x240", "--trigger", trigger, "--fault", fault,
                                                "--output", path});
      EXPECT_EQ(r.status, 0) << r.err;
    }
  const std::string profiles = UVCCAM_PROFILE_DIR;
  const std::pair<std::string, const char*> cameras[] = {{profiles + "/webcam_no_trailer.json", "truncate-frame=2"},
                                                         {profiles + "/webcam_mjpeg.json", "break-trailer=2"}};
  for (const auto& [profile, fault] : cameras) {
    SCOPED_TRACE(fault);
    CommandRun r = Call(tools::CaptureCommand, {"--profile", profile, "--fault", fault, "--frames", "4", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["frames"], 4);
  }
}

}  // namespace
