// `uvccam capture` and `uvccam still` run in-process: option and file
// errors, the format a request and an output container choose, and whole
// captures and stills from the simulated cameras.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tests/tools/command_run.h"
#include "tools/camera_session.h"
#include "tools/capture_options.h"
#include "tools/commands.h"
#include "media/frame_format.h"

namespace {

std::string Temp(const std::string& name) { return ::testing::TempDir() + name; }

// Every command runs against its own state folder, on a fast host clock.
class CaptureCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    state_ = Temp("capture_state");
    tools::SetStreamingClockRate(4.0);
  }
  void TearDown() override { tools::SetStreamingClockRate(1.0); }
  CommandRun Capture(std::vector<std::string> args) { return RunCommand(tools::CaptureCommand, state_, args); }
  CommandRun Still(std::vector<std::string> args) { return RunCommand(tools::StillCommand, state_, args); }
  std::string state_;
};

TEST_F(CaptureCommandTest, OptionAndFileErrorsAreOneLineAndNonZero) {
  const std::string profiles = UVCCAM_PROFILE_DIR, webcam = profiles + "/../play/webcam_mjpeg.mjpeg";
  const std::string noise = Temp("noise.bin");
  FILE* f = std::fopen(noise.c_str(), "wb");
  for (int i = 0; i < 3000; ++i) std::fputc((i * 7919) & 0xFF, f);
  std::fclose(f);
  struct Case {
    bool still;
    std::vector<std::string> args;
    int status;
    const char* message;
  } cases[] = {
      {false, {"--size", "640"}, 2, "bad size '640'"},
      {false, {"--size", "640x480x2"}, 2, "bad size"},
      {false, {"--subtype", "NV12"}, 2, "unknown subtype 'NV12'"},
      {false, {"--frames", "-3"}, 2, "bad frame count"},
      {false, {"--seconds", "nan"}, 2, "bad duration"},
      {false, {"--frames", "3", "--seconds", "1"}, 2, "exclude each other"},
      {false, {"--fps", "fast"}, 2, "bad frame rate 'fast'"},
      {false, {"--fps", "60"}, 1, "--fps 60 is not a rate the 160x120 YUY2 format offers (5 to 30 fps)"},
      {false, {"--fps", "30", "--size", "800x600", "--profile", profiles + "/yuy2_only.json"}, 1,
       "--fps 30 is not a rate the 800x600 YUY2 format offers (5 to 15 fps)"},
      {false, {"--output", "clip.avi"}, 2, "unknown output file type: clip.avi"},
      {false, {"--set"}, 2, "--set needs a value"},
      {false, {"--set", "brightness"}, 2, "bad setting 'brightness' (NAME=VALUE)"},
      {false, {"--bogus"}, 2, "unknown option '--bogus'"},
      {false, {"--size", "641x480"}, 1, "offers no 641x480 capture format"},
      {false, {"--subtype", "mjpg", "--profile", profiles + "/yuy2_only.json"}, 1, "offers no MJPG capture format"},
      {false, {"--size", "640x480", "--subtype", "UYVY"}, 1, "offers no 640x480 UYVY capture format"},
      {false, {"--subtype", "RGB24", "--output", Temp("c.y4m")}, 1, "a .y4m file cannot hold RGB24 frames"},
      {false, {"--output", Temp("c.mjpeg"), "--profile", profiles + "/yuy2_only.json"}, 1,
       "no capture format fits a .mjpeg file"},
      {false, {"--output", "/nonexistent/dir/c.y4m"}, 1, "cannot write /nonexistent/dir/c.y4m"},
      {false, {"--timestamps", "/nonexistent/dir/t.json"}, 1, "cannot write /nonexistent/dir/t.json"},
      {false, {"--set", "nosuchcontrol=1"}, 1, "unknown control 'nosuchcontrol'"},
      {false, {"--play", webcam, "--size", "160x120"}, 1, "holds 320x240 JPEG frames; the stream is 160x120 MJPG"},
      {false, {"--play", noise}, 1, "the file (3000 bytes) is not whole JPEG frames; the 160x120 MJPG stream"},
      {false, {"--play", noise, "--profile", profiles + "/yuy2_only.json"}, 1,
       "holds 3000 bytes, not a whole number of 160x120 YUY2 frames (38400 bytes each)"},
      {true, {"--output", "s.png", "--play", webcam, "--size", "640x480"}, 1,
       "holds 320x240 frames; the still is 640x480 (--size picks another)"},
      {true, {"--output", "s.png", "--play", noise}, 1, "the file (3000 bytes) is not whole JPEG frames"},
      {true, {}, 2, "--output FILE.png is required"},
      {true, {"--output", "s.jpg"}, 2, "does not end in .png"},
      {true, {"--output", "s.png", "--trigger", "shutter"}, 2, "unknown trigger 'shutter'"},
      {true, {"--output", "s.png", "--size", "641x480"}, 1, "offers no 641x480 still format"},
      {true, {"--output", "s.png", "--profile", profiles + "/no_still.json"}, 1, "the camera offers no still formats"},
      {true, {"--output", "s.png", "--trigger", "button", "--profile", profiles + "/uyvy_no_interrupt.json"}, 1,
       "this camera has no still button"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    const CommandRun r = c.still ? Still(c.args) : Capture(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(r.err.rfind(c.still ? "uvccam still: " : "uvccam capture: ", 0), 0u) << r.err;
    EXPECT_TRUE(r.out.empty()) << r.out;
  }
  // A play file of JPEG frames sets the default size.
  EXPECT_EQ(Capture({"--play", webcam, "--frames", "1"}).out.rfind("1 frame 320x240 YUY2", 0), 0u);
}

// What a command line leaves in the request: the frame count a container
// implies (into a file: until stopped; counted only: 30), the container
// standard output takes for the subtype, sizes and subtypes in any case,
// repeated settings in order.
TEST_F(CaptureCommandTest, DefaultsAndRepeatedSettings) {
  using output_files::Container;
  const struct {
    std::vector<std::string> args;
    uint64_t frames;
    Container container;
    uint32_t width;
    double seconds;
    std::vector<std::string> sets;
  } cases[] = {
      {{}, 30, Container::kRaw, 0, 0, {}},
      {{"--set", "a=1", "--json", "--set=b=-2", "--output=x.YUV"}, 0, Container::kRaw, 0, 0, {"a=1", "b=-2"}},
      {{"--seconds", "1.5", "--size", "320X240", "--subtype", "i420"}, 0, Container::kRaw, 320, 1.5, {}},
      {{"--output", "-"}, 0, Container::kY4m, 0, 0, {}},
      {{"--output", "-", "--subtype", "MJPG", "--frames", "0"}, 0, Container::kMjpeg, 0, 0, {}},
      {{"--output=-", "--subtype=RGB24", "--frames=7"}, 7, Container::kRaw, 0, 0, {}},
  };
  for (auto c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::vector<char*> argv;
    for (std::string& a : c.args) argv.push_back(&a[0]);
    tools::CaptureRequest q;
    ASSERT_EQ(tools::ParseCaptureOptions(int(argv.size()), argv.data(), &q), 0);
    EXPECT_EQ(std::make_tuple(q.frames, q.container, q.width, q.seconds, q.sets),
              std::make_tuple(c.frames, c.container, c.width, c.seconds, c.sets));
  }
  tools::CaptureRequest q;
  std::vector<std::string> args = {"--json", "--size", "320x240", "--subtype", "i420"};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(&a[0]);
  ASSERT_EQ(tools::ParseCaptureOptions(int(argv.size()), argv.data(), &q), 0);
  EXPECT_TRUE(q.json && q.hasSubtype && IsEqualGUID(q.subtype, kSubtypeI420) && q.height == 240);
}

// The first range that fits the size, the subtype and what the output file
// can hold, in the pin's order.
TEST_F(CaptureCommandTest, RangeChoiceFollowsSizeSubtypeAndContainer) {
  auto range = [](ULONG w, ULONG h, const GUID& s) {
    KS_DATARANGE_VIDEO r{};
    r.VideoInfoHeader.bmiHeader.biWidth = LONG(w);
    r.VideoInfoHeader.bmiHeader.biHeight = LONG(h);
    r.DataRange.SubFormat = s;
    return r;
  };
  client::PinInfo capture;
  capture.id = 0;
  capture.ranges = {range(640, 480, kSubtypeRgb24), range(640, 480, kSubtypeMjpg), range(320, 240, kSubtypeYuy2),
                    range(640, 480, kSubtypeI420), range(320, 240, kSubtypeRgb24)};
  const std::vector<client::PinInfo> pins = {capture};
  using output_files::Container;
  const Container y4m = Container::kY4m, raw = Container::kRaw, mjpeg = Container::kMjpeg;
  struct Case {
    ULONG w, h;
    const GUID* subtype;
    const Container* container;
    int index;  // -1: none
  } cases[] = {
      {0, 0, nullptr, nullptr, 0},       {0, 0, nullptr, &y4m, 2},          {0, 0, nullptr, &raw, 0},
      {0, 0, nullptr, &mjpeg, 1},        {640, 480, nullptr, &y4m, 3},      {320, 240, nullptr, nullptr, 2},
      {320, 240, &kSubtypeRgb24, &raw, 4}, {320, 240, &kSubtypeRgb24, &y4m, -1}, {320, 240, nullptr, &mjpeg, -1},
      {0, 0, &kSubtypeUyvy, nullptr, -1}, {800, 600, nullptr, nullptr, -1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.index);
    tools::RangeRequest q;
    q.width = c.w, q.height = c.h, q.subtype = c.subtype, q.container = c.container;
    std::string error;
    const KS_DATARANGE_VIDEO* r = tools::ChooseRange(pins, 0, q, &error);
    if (c.index < 0) {
      EXPECT_EQ(r, nullptr);
      EXPECT_FALSE(error.empty());
    } else {
      EXPECT_EQ(r, &pins[0].ranges[size_t(c.index)]) << error;
    }
  }
  std::string error;
  EXPECT_EQ(tools::ChooseRange(pins, 1, tools::RangeRequest(), &error), nullptr);
  EXPECT_EQ(error, "the camera offers no still formats");
}

}  // namespace
