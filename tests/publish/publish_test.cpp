// `uvccam publish` against a real, private PipeWire: our own consumer and
// GStreamer receive the driver's frames exactly as `uvccam capture` gets
// them, with the negotiated size and rate, rising sequence numbers and
// monotonic presentation times; the camera streams only while consumed,
// and the publisher ends cleanly on SIGTERM. Requests on the publisher's
// socket are checked like command-line input.
#include <gtest/gtest.h>
#include <signal.h>
#include <spa/param/video/raw.h>
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bench/publish/private_pipewire.h"
#include "bench/publish/stream_consumer.h"
#include "tools/camera_session.h"
#include "tools/publish/live_server.h"

namespace {

using Frame = std::vector<uint8_t>;
const std::string kProfile = std::string(UVCCAM_PROFILE_DIR) + "/webcam_mjpeg.json";
const std::string kPlay = std::string(UVCCAM_PROFILE_DIR) + "/../play/webcam_mjpeg.mjpeg";
constexpr int kTimeoutMs = 30000;

pwtest::PrivatePipeWire* g_pipewire = nullptr;
std::string g_skip;

class PublishTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    g_pipewire = new pwtest::PrivatePipeWire;
    std::string error;
    if (pwtest::FindProgram("pipewire").empty() || pwtest::FindProgram("wireplumber").empty())
      g_skip = "pipewire or wireplumber is not installed (scripts/install-deps.sh installs them)";
    else if (!g_pipewire->Start(::testing::TempDir(), &error))
      g_skip = "FAILED: " + error;
  }
  static void TearDownTestSuite() {
    delete g_pipewire;
    g_pipewire = nullptr;
  }
  void SetUp() override {
    ASSERT_EQ(g_skip.find("FAILED"), std::string::npos) << g_skip;
    if (!g_skip.empty()) GTEST_SKIP() << "publish tests skipped: " << g_skip;
    state_ = g_pipewire->Folder() + "/uvccam_state";
  }
  std::string Log(const std::string& name) { return g_pipewire->Folder() + "/" + name + ".log"; }

  // A publisher of the MJPEG webcam playing its file, up once its node is.
  pid_t Publish(const std::string& name, std::vector<std::string> options) {
    std::vector<std::string> argv = {UVCCAM_BINARY, "publish", "--state", state_ + name, "--profile", kProfile,
                                     "--play", kPlay, "--name", name};
    argv.insert(argv.end(), options.begin(), options.end());
    const pid_t pid = pwtest::Spawn(argv, Log(name));
    EXPECT_TRUE(pwtest::WaitForText(Log(name), "published", kTimeoutMs)) << pwtest::ReadText(Log(name));
    return pid;
  }
  // SIGTERM: the node goes, the process exits 0.
  void EndPublisher(pid_t pid, const std::string& name) {
    int status = -1;
    kill(pid, SIGTERM);
    const bool ended = pwtest::WaitExit(pid, kTimeoutMs, &status);
    if (!ended) pwtest::EndProcess(pid);
    EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << pwtest::ReadText(Log(name));
    EXPECT_NE(pwtest::ReadText(Log(name)).find("stopped: "), std::string::npos);
  }
  // What `uvccam capture` delivers from the same camera, frame by frame.
  std::vector<Frame> Captured(const std::string& subtype, size_t frameBytes, int frames, const std::string& set = "") {
    const std::string out = g_pipewire->Folder() + "/ref_" + subtype + set + ".raw";
    std::vector<std::string> argv = {UVCCAM_BINARY, "capture", "--state", state_ + set, "--profile", kProfile,
                                     "--play", kPlay, "--subtype", subtype, "--frames", std::to_string(frames),
                                     "--output", out};
    if (!set.empty()) argv.insert(argv.end(), {"--set", set});
    const pid_t pid = pwtest::Spawn(argv, out + ".log");
    int status = -1;
    EXPECT_TRUE(pwtest::WaitExit(pid, kTimeoutMs, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0)
        << pwtest::ReadText(out + ".log");
    std::ifstream in(out, std::ios::binary);
    const Frame all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<Frame> result;
    for (size_t at = 0; at + frameBytes <= all.size(); at += frameBytes)
      result.emplace_back(all.begin() + long(at), all.begin() + long(at + frameBytes));
    return result;
  }
  std::string state_;
};

Frame FlipRows(const Frame& f, size_t stride) {
  Frame out(f.size());
  const size_t rows = f.size() / stride;
  for (size_t y = 0; y < rows; ++y)
    std::copy_n(f.begin() + long((rows - 1 - y) * stride), stride, out.begin() + long(y * stride));
  return out;
}

TEST_F(PublishTest, ConsumerGetsTheCapturedFramesInSequenceAndStreamingStopsWhenItLeaves) {
  // askFps 0: the publisher's default.
  struct Case { const char* subtype; uint32_t spaFormat; size_t frameBytes; uint32_t askFps, wantFps; } cases[] = {
      {"YUY2", SPA_VIDEO_FORMAT_YUY2, 320 * 240 * 2, 0, 30},
      {"I420", SPA_VIDEO_FORMAT_I420, 320 * 240 * 3 / 2, 0, 30},
      {"RGB24", SPA_VIDEO_FORMAT_BGR, 320 * 240 * 3, 0, 30},
      {"YUY2", SPA_VIDEO_FORMAT_YUY2, 320 * 240 * 2, 15, 15},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.subtype) + " at " + std::to_string(c.wantFps));
    // The play file loops four frames: twelve captured frames hold each.
    std::vector<Frame> captured = Captured(c.subtype, c.frameBytes, 12);
    ASSERT_EQ(captured.size(), 12u);
    if (c.spaFormat == SPA_VIDEO_FORMAT_BGR)
      for (Frame& f : captured) f = FlipRows(f, 320 * 3);  // the pin's rows come bottom-up

    const std::string name = std::string("uvccam-test-") + c.subtype + std::to_string(c.wantFps);
    const pid_t pid = Publish(name, {"--subtype", c.subtype});
    EXPECT_EQ(pwtest::ReadText(Log(name)).find("streaming"), std::string::npos) << "streams with no consumer";
    pwtest::StreamConsumer consumer;
    ASSERT_TRUE(consumer.Start(name, c.spaFormat, 320, 240, c.askFps, 20));
    EXPECT_TRUE(consumer.Wait(kTimeoutMs)) << pwtest::ReadText(Log(name));
    const std::vector<pwtest::ReceivedFrame> frames = consumer.Frames();
    consumer.Stop();
    EXPECT_TRUE(pwtest::WaitForText(Log(name), "stopped streaming", kTimeoutMs)) << pwtest::ReadText(Log(name));
    EndPublisher(pid, name);

    EXPECT_EQ(std::make_tuple(consumer.width, consumer.height, consumer.rateNum, consumer.rateDenom),
              std::make_tuple(320u, 240u, c.wantFps, 1u));
    EXPECT_NE(pwtest::ReadText(Log(name)).find("at " + std::to_string(c.wantFps) + "/1 fps"), std::string::npos);
    ASSERT_EQ(frames.size(), 20u);
    std::string sequence;
    for (const pwtest::ReceivedFrame& f : frames) sequence += " " + std::to_string(f.sequence);
    SCOPED_TRACE("sequence" + sequence);
    std::vector<Frame> distinct;
    for (size_t i = 0; i < frames.size(); ++i) {
      const pwtest::ReceivedFrame& f = frames[i];
      ASSERT_TRUE(f.hasHeader);
      EXPECT_NE(std::find(captured.begin(), captured.end(), f.data), captured.end()) << "frame " << i;
      if (std::find(distinct.begin(), distinct.end(), f.data) == distinct.end()) distinct.push_back(f.data);
      EXPECT_LE(f.ptsNs, f.receivedNs) << "frame " << i;
      EXPECT_TRUE(i == 0 || (f.sequence > frames[i - 1].sequence && f.ptsNs > frames[i - 1].ptsNs)) << "frame " << i;
    }
    EXPECT_GE(distinct.size(), 2u) << "the picture does not move";
    // Every gap is a frame the publisher says it lost: one the pin missed
    // (the driver's drop count) or one the node dropped.
    const uint64_t gaps = frames.back().sequence - frames.front().sequence + 1 - frames.size();
    const std::string log = pwtest::ReadText(Log(name));
    const size_t missedAt = log.find(" frames ("), droppedAt = log.find(" frames sent, ");
    ASSERT_TRUE(missedAt != std::string::npos && droppedAt != std::string::npos) << log;
    const uint64_t lost = std::strtoull(log.c_str() + missedAt + 9, nullptr, 10) +
                          std::strtoull(log.c_str() + droppedAt + 14, nullptr, 10);
    EXPECT_LE(gaps, lost) << log;
  }
}

TEST_F(PublishTest, GStreamerTakesASnapshot) {
  const std::string gst = pwtest::FindProgram("gst-launch-1.0");
  if (gst.empty()) GTEST_SKIP() << "gst-launch-1.0 is not installed";
  const std::string name = "uvccam-test-gst", png = g_pipewire->Folder() + "/snapshot.png";
  const pid_t pid = Publish(name, {});
  const pid_t gstPid = pwtest::Spawn({gst, "-q", "pipewiresrc", "target-object=" + name, "num-buffers=5", "!",
                                      "videoconvert", "!", "pngenc", "snapshot=true", "!", "filesink", "location=" + png},
                                     png + ".log");
  int status = -1;
  const bool ended = pwtest::WaitExit(gstPid, kTimeoutMs, &status);
  if (!ended) pwtest::EndProcess(gstPid);
  EXPECT_TRUE(ended && WIFEXITED(status) && WEXITSTATUS(status) == 0) << pwtest::ReadText(png + ".log");
  EXPECT_TRUE(pwtest::WaitForText(Log(name), "stopped streaming", kTimeoutMs)) << pwtest::ReadText(Log(name));
  EndPublisher(pid, name);
  // A PNG of the camera's size: signature, then IHDR width and height.
  const std::string bytes = pwtest::ReadText(png);
  ASSERT_GE(bytes.size(), 24u);
  EXPECT_EQ(bytes.substr(1, 3), "PNG");
  auto be32 = [&](size_t at) { return uint32_t(uint8_t(bytes[at])) << 24 | uint32_t(uint8_t(bytes[at + 1])) << 16 |
                                      uint32_t(uint8_t(bytes[at + 2])) << 8 | uint32_t(uint8_t(bytes[at + 3])); };
  EXPECT_EQ(std::make_tuple(be32(16), be32(20)), std::make_tuple(320u, 240u));
}

TEST_F(PublishTest, AControlSetThroughThePublisherShowsInTheNextFramesAndASecondPublisherIsRefused) {
  const std::vector<Frame> plain = Captured("YUY2", 320 * 240 * 2, 12);
  const std::vector<Frame> mirrored = Captured("YUY2", 320 * 240 * 2, 12, "mirror=1");
  ASSERT_EQ(mirrored.size(), 12u);
  for (const Frame& f : mirrored) ASSERT_EQ(std::find(plain.begin(), plain.end(), f), plain.end());
  const std::string name = "uvccam-test-live";
  const pid_t pid = Publish(name, {"--subtype", "YUY2"});

  // The same camera again: one line, exit 1, before it touches the camera.
  const std::string second = g_pipewire->Folder() + "/second.log";
  const pid_t secondPid = pwtest::Spawn({UVCCAM_BINARY, "publish", "--state", state_ + "2", "--profile", kProfile,
                                         "--name", "uvccam-test-second"},
                                        second);
  int status = -1;
  EXPECT_TRUE(pwtest::WaitExit(secondPid, kTimeoutMs, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 1);
  EXPECT_EQ(pwtest::ReadText(second),
            "uvccam publish: this camera is already published as node '" + name + "' by another uvccam publish\n");

  pwtest::StreamConsumer consumer;
  ASSERT_TRUE(consumer.Start(name, SPA_VIDEO_FORMAT_YUY2, 320, 240, 0, 40));
  ASSERT_TRUE(consumer.Wait(kTimeoutMs, 5));
  const std::string setLog = g_pipewire->Folder() + "/set.log";
  const pid_t setPid = pwtest::Spawn({UVCCAM_BINARY, "controls", "--node", name, "--set", "mirror=1"}, setLog);
  EXPECT_TRUE(pwtest::WaitExit(setPid, kTimeoutMs, &status) && WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_EQ(pwtest::ReadText(setLog), "mirror=1\n");
  const size_t setAt = consumer.Frames().size();
  EXPECT_TRUE(consumer.Wait(kTimeoutMs));
  const std::vector<pwtest::ReceivedFrame> frames = consumer.Frames();
  consumer.Stop();
  EndPublisher(pid, name);

  // Before the set every frame is plain; a few frames in flight later,
  // every frame is mirrored.
  for (size_t i = 0; i < frames.size(); ++i) {
    const bool isPlain = std::find(plain.begin(), plain.end(), frames[i].data) != plain.end();
    const bool isMirrored = std::find(mirrored.begin(), mirrored.end(), frames[i].data) != mirrored.end();
    EXPECT_TRUE(i >= 5 || isPlain) << "frame " << i;
    EXPECT_TRUE(i < setAt + 4 || isMirrored) << "frame " << i << " (set at " << setAt << ")";
    EXPECT_TRUE(isPlain || isMirrored) << "frame " << i;
  }
}

// Requests on the publisher's socket are checked like command-line input:
// each bad one gets one error line and a non-zero status, and changes
// nothing; good ones answer as `uvccam controls` would.
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
