// `uvccam formats` run as a program: options, output and exit status.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "camera/simulated_camera.h"
#include "tests/tools/command_run.h"

namespace {

struct ToolRun {
  int status = -1;
  std::string out, err;
};

ToolRun Uvccam(const std::string& args) {
  ToolRun r;
  std::string errFile = ::testing::TempDir() + "uvccam_stderr.txt";
  std::string cmd = Tool() + " " + args + " 2>" + errFile;
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return r;
  char buf[4096];
  size_t k;
  while ((k = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, k);
  int s = pclose(p);
  r.status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
  std::ifstream e(errFile);
  r.err.assign(std::istreambuf_iterator<char>(e), std::istreambuf_iterator<char>());
  return r;
}

std::string WriteTemp(const std::string& name, const std::string& bytes) {
  std::string path = ::testing::TempDir() + name;
  std::ofstream(path, std::ios::binary) << bytes;
  return path;
}

TEST(CliTest, JsonOfTheBuiltInCamera) {
  ASSERT_EQ(access(Tool().c_str(), X_OK), 0) << Tool();
  ToolRun r = Uvccam("formats --json");
  ASSERT_EQ(r.status, 0) << r.err;
  auto j = nlohmann::json::parse(r.out);
  EXPECT_EQ(std::make_tuple(j["highSpeed"], j["endpointType"], j["controlInterface"], j["streamingInterface"]),
            std::make_tuple(nlohmann::json(true), nlohmann::json("isochronous"), nlohmann::json(0), nlohmann::json(1)));
  ASSERT_FALSE(j["formats"].empty());
  for (const auto& f : j["formats"]) {
    EXPECT_EQ(std::make_pair(f["inputSubtype"], f["outputSubtype"]), std::make_pair(nlohmann::json("MJPG"), nlohmann::json("YUY2")));
    EXPECT_GT(f["defaultInterval"].get<int>(), 0);
  }
  // The first range streams the camera's 160x120 MJPEG frame: 30 to 5 fps.
  const auto& first = j["captureRanges"][0];
  EXPECT_EQ(first["maxFps"].dump() + first["minFps"].dump() + first["defaultFps"].dump(), "30.05.030.0");
  EXPECT_EQ(first["maxFrameInterval"], 2000000);
  EXPECT_EQ(j["stills"][0].size(), 2u);
}

// High-speed cameras with nothing to scale from (MJPEG at 1280x720 and
// 1920x1080 only; UYVY only) start with their own sizes and stream; a
// camera that cannot start says why, with its status.
TEST(CliTest, CamerasStartWithWhatTheyHaveAndFailuresSayWhy) {
  const auto base = nlohmann::json::parse(camera::DefaultProfileJson());
  auto hd = base, uyvy = base, six = base;
  hd["formats"] = {base["formats"][0]};
  hd["formats"][0]["frames"] = {{{"width", 1280}, {"height", 720}, {"intervals", {333333, 666666}}},
                                {{"width", 1920}, {"height", 1080}, {"intervals", {333333, 666666}}}};
  hd["formats"][0]["defaultFrame"] = 1;
  uyvy["formats"] = {base["formats"][1]};
  uyvy["formats"][0]["type"] = "uyvy";
  for (int i = 0; i < 5; ++i) six["formats"].push_back(base["formats"][0]);
  for (auto* p : {&hd, &uyvy, &six}) (*p)["stills"] = nlohmann::json::array();
  const std::string hdPath = WriteTemp("hd_only.json", hd.dump()), uyvyPath = WriteTemp("uyvy_only.json", uyvy.dump());
  for (const std::string& path : {hdPath, uyvyPath}) {
    SCOPED_TRACE(path);
    ToolRun f = Uvccam("formats --json --profile " + path);
    ASSERT_EQ(f.status, 0) << f.err;
    EXPECT_EQ(nlohmann::json::parse(f.out)["formats"].size(), path == hdPath ? 2u : 7u) << "no scaled size";
    ToolRun c = Uvccam("capture --frames 3 --json --profile " + path);
    ASSERT_EQ(c.status, 0) << c.err;
    EXPECT_EQ(nlohmann::json::parse(c.out)["frames"], 3);
  }
  const std::string sixPath = WriteTemp("six_formats.json", six.dump());
  for (const char* verb : {"formats", "capture"}) {
    ToolRun r = Uvccam(std::string(verb) + " --profile " + sixPath);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(r.err.find("describes no video format this driver can stream"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("(status 0xC0000001)\n"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
  }
}

// The conventions of the command line: usage, hints, per-command help,
// version, --opt=value, errors that name the valid choices or the system's
// reason, inputs that are not files of their kind, and output that cannot
// be written.
TEST(CliTest, CommandLineConventions) {
  const std::string st = " --state " + ::testing::TempDir() + "uvccam_cli_state", dir = ::testing::TempDir();
  const std::string big = WriteTemp("big_dump.bin", std::string(64 * 1024 + 1, '\x12'));
  const struct {
    const std::string args;
    int status;
    const char* out;  // expected in stdout ("" = empty)
    const char* err;  // expected in stderr ("" = empty)
  } cases[] = {
      {"", 2, "", "usage: uvccam <command>"},
      {"captrue", 2, "", "uvccam: unknown command 'captrue'; did you mean 'capture'? (uvccam help"},
      {"--version", 0, "uvccam 0.", ""},
      {"capture --help", 0, "usage: uvccam capture", ""},
      {"still -h", 0, "usage: uvccam still", ""},
      {"formats --help", 0, "usage: uvccam formats", ""},
      {"controls -h", 0, "usage: uvccam controls", ""},
      {"descriptors --help", 0, "usage: uvccam descriptors", ""},
      {"help overlays", 0, "usage: uvccam overlays", ""},
      {"formats --json=yes" + st, 2, "", "uvccam formats: --json takes no value"},
      {"formats --full-speed" + st, 2, "", "uvccam formats: --full-speed applies to --descriptors only"},
      {"formats --fault=bogus=1" + st, 2, "", "names: lose-packet, error-packet"},
      {"formats --profile=/nonexistent/p.json" + st, 1, "", "cannot open /nonexistent/p.json: No such file or directory"},
      {"descriptors" + st, 2, "", "--output FILE is required"},
      {"formats --profile " UVCCAM_PROFILE_DIR "/yuy2_only.json" + st, 0, "   666666     15\n", ""},
      {"formats" + st + " >/dev/full", 1, "", "uvccam formats: cannot write standard output: No space left on device"},
      {"help >/dev/full", 1, "", "uvccam help: cannot write standard output: No space left"},
      {"controls" + st + " >/dev/full", 1, "", "uvccam controls: cannot write standard output"},
      {"capture --frames 1 --json" + st + " >/dev/full", 1, "", "uvccam capture: cannot write standard output"},
      // Inputs that are not files of their kind.
      {"formats --descriptors /dev/zero" + st, 1, "", "/dev/zero: not a regular file"},
      {"formats --descriptors " + dir + st, 1, "", ": is a directory"},
      {"formats --descriptors " + big + st, 1, "", "larger than 64 KiB"},
      {"formats --profile /dev/zero" + st, 1, "", "/dev/zero: not a regular file"},
      {"capture --frames 1 --play /dev/zero" + st, 1, "", "--play: /dev/zero: not a regular file"},
      {"capture --frames 1 --play " + dir + st, 1, "", ": is a directory"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    const ToolRun r = Uvccam(c.args);
    EXPECT_EQ(r.status, c.status);
    EXPECT_NE(r.out.find(c.out), std::string::npos) << r.out;
    EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    EXPECT_EQ(r.out.empty(), !*c.out) << r.out;
    // One error line; the usage text (no command) lists every command.
    const long lines = std::count(r.err.begin(), r.err.end(), '\n');
    if (c.args.empty())
      EXPECT_GT(lines, 5) << r.err;
    else
      EXPECT_EQ(lines, *c.err ? 1 : 0) << r.err;
  }
}

// `descriptors` writes a dump that --descriptors reads back as the same
// camera; read at full speed, the default camera loses the scaled sizes
// only a high-speed camera is given.
TEST(CliTest, DescriptorDumpOfAnyCameraReadsBack) {
  const std::string dump = ::testing::TempDir() + "dump.bin";
  for (const std::string profile : {"bulk.json", "yuy2_only.json", "default.json"}) {
    SCOPED_TRACE(profile);
    const std::string opts = " --profile " UVCCAM_PROFILE_DIR "/" + profile;
    ToolRun d = Uvccam("descriptors --output " + dump + opts);
    ASSERT_EQ(d.status, 0) << d.err;
    ToolRun original = Uvccam("formats --json" + opts), read = Uvccam("formats --json --descriptors " + dump);
    ASSERT_EQ(read.status, 0) << read.err;
    auto a = nlohmann::json::parse(original.out), b = nlohmann::json::parse(read.out);
    EXPECT_EQ(std::make_pair(a["formats"], a["captureRanges"]), std::make_pair(b["formats"], b["captureRanges"]));
    if (profile == "bulk.json") EXPECT_EQ(a["endpointType"], "bulk");
  }
  ToolRun hs = Uvccam("formats --json --descriptors " + dump), fs = Uvccam("formats --json --full-speed --descriptors " + dump);
  ASSERT_EQ(fs.status, 0) << fs.err;
  auto h = nlohmann::json::parse(hs.out), f = nlohmann::json::parse(fs.out);
  EXPECT_EQ(std::make_pair(h["highSpeed"], f["highSpeed"]), std::make_pair(nlohmann::json(true), nlohmann::json(false)));
  EXPECT_EQ(h["formats"].size(), f["formats"].size() + 4) << "six scaled sizes, two already offered";
  ToolRun text = Uvccam("formats --full-speed --descriptors " + dump);
  EXPECT_NE(text.out.find("full speed, isochronous streaming"), std::string::npos) << text.out;
}

// Two savers at once: the file holds all 35 values of one of them (each
// save is whole), so Mirror that both set stays; a save that cannot be
// written names the settings it lost and fails.
TEST(CliTest, ControlsSavesSurviveConcurrentAndFailedWrites) {
  const std::string state = ::testing::TempDir() + "uvccam_concurrent_state";
  std::system(("rm -rf " + state + " && mkdir -p " + state).c_str());
  for (int round = 0; round < 3; ++round) {
    FILE* a = popen((Tool() + " controls --state " + state + " --set brightness=5 --set mirror=1 2>&1").c_str(), "r");
    FILE* b = popen((Tool() + " controls --state " + state + " --set brightness=9 --set mirror=1 2>&1").c_str(), "r");
    ASSERT_TRUE(a && b);
    for (FILE* p : {a, b}) {
      char out[256];
      while (fread(out, 1, sizeof out, p) > 0) {
      }
      EXPECT_EQ(pclose(p), 0);
    }
    std::ifstream key(state + "/device.driver.reg");
    int values = 0;
    bool mirror = false, brightness = false;
    for (std::string line; std::getline(key, line); ++values) {
      mirror |= line == "Mirror\t4\t01000000";
      brightness |= line == "Brightness\t4\t05000000" || line == "Brightness\t4\t09000000";
    }
    EXPECT_EQ(values, 35);
    EXPECT_TRUE(mirror && brightness) << round;
  }
  std::system(("rm -f " + state + "/device.driver.reg && mkdir " + state + "/device.driver.reg").c_str());
  ToolRun failed = Uvccam("controls --state " + state + " --set mirror=1 --set brightness=3");
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(failed.err.rfind("uvccam controls: not stored: mirror=1, brightness=3 (cannot write ", 0), 0u) << failed.err;
  EXPECT_EQ(std::count(failed.err.begin(), failed.err.end(), '\n'), 1) << failed.err;
}

// The names, checks and errors are tested on the functions (test_controls);
// here the command line: output forms and exit statuses.
TEST(CliTest, ControlsListGetSetAndRefuse) {
  std::filesystem::remove_all(::testing::TempDir() + "uvccam_controls_state");
  std::filesystem::remove_all(::testing::TempDir() + "uvccam_kept_state");
  const std::string state = " --state " + ::testing::TempDir() + "uvccam_controls_state";
  ToolRun list = Uvccam("controls --json" + state);
  ASSERT_EQ(list.status, 0) << list.err;
  auto j = nlohmann::json::parse(list.out);
  ASSERT_GT(j.size(), 20u);
  EXPECT_EQ(j[0].dump(), R"({"auto":null,"default":0,"id":0,"max":64,"min":-64,"name":"brightness","set":"VIDEOPROCAMP","step":1,"value":0})");
  EXPECT_EQ(Uvccam("controls" + state).out.rfind(
                "                     brightness VIDEOPROCAMP/0   (int)    : min=-64 max=64 step=1 default=0 value=0\n", 0),
            0u);
  ToolRun bad = Uvccam("controls --set brightness=65" + state);
  EXPECT_EQ(std::make_tuple(bad.status, bad.out, bad.err),
            std::make_tuple(1, std::string(), std::string("uvccam controls: brightness: 65 is out of range -64..64\n")));
  EXPECT_EQ(Uvccam("controls --set" + state).status, 2);

  // Several values, in order; an object with --json; menu items by name.
  const struct {
    std::string args, out;
  } shown[] = {
      {"--set brightness=-3 --set vertical_flip=1", "brightness=-3\nvertical_flip=1\n"},
      {"--get mirror --get zoom", "mirror=0\nzoom=64\n"},
      {"--get=contrast", "32\n"},
      {"--get contrast --json", "{\"contrast\":32}\n"},
      {"--set sharpness=5 --set sharpness=6", "sharpness=5\nsharpness=6\n"},
  };
  for (const auto& c : shown) EXPECT_EQ(Uvccam("controls " + c.args + state).out, c.out) << c.args;
  const std::string listing = Uvccam("controls" + state).out;
  EXPECT_NE(listing.find("(menu)   : min=1 max=2 step=1 default=1 value=1 (50 Hz)\n"
                         "                                    1: 50 Hz\n"
                         "                                    2: 60 Hz\n"),
            std::string::npos)
      << listing;
  EXPECT_NE(listing.find("                                    1: negative\n"), std::string::npos);
  auto menu = nlohmann::json::parse(Uvccam("controls --json" + state).out);
  auto overlay = std::find_if(menu.begin(), menu.end(), [](const auto& c) { return c["name"] == "overlay"; });
  ASSERT_NE(overlay, menu.end());
  EXPECT_EQ((*overlay)["items"]["3"], "newspaper");

  // Values set once are what later runs report and use; zoom, which acts
  // only on a running stream, is kept for the next one, and a capture sets
  // it once frames flow.
  const std::string kept = " --state " + ::testing::TempDir() + "uvccam_kept_state";
  ToolRun keep = Uvccam("controls --set brightness=10 --set special_effect=1 --set zoom=32" + kept);
  EXPECT_EQ(keep.out, "brightness=10\nspecial_effect=1\nzoom=32 (kept for the next stream: it acts only while a "
                     "stream runs)\n") << keep.err;
  EXPECT_EQ(Uvccam("controls --get brightness --get special_effect --get zoom" + kept).out,
            "brightness=10\nspecial_effect=1\nzoom=32\n");
  EXPECT_EQ(Uvccam("capture --frames 3" + kept).status, 0);
  ToolRun zoomed = Uvccam("capture --frames 3 --set zoom=16" + kept);
  EXPECT_EQ(zoomed.status, 0) << zoomed.err;
}

}  // namespace
