// Figures for `uvccam publish`, on a private PipeWire: the CPU share of
// publishing 1280x720 YUY2 at 30 fps from the built-in camera (MJPEG on the
// wire, decoded by the driver) to a consumer, against `uvccam capture` of
// the same stream in the same run; and the latency from the pin's delivery
// (the frame's presentation time) to the consumer's receipt.
//   bench_publish [SECONDS]
#include <signal.h>
#include <spa/param/video/raw.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/publish/private_pipewire.h"
#include "bench/publish/stream_consumer.h"

namespace {

struct Usage {
  double cpuSeconds = 0;
  double wallSeconds = 0;
  bool ok = false;
  double frames = 0;  // frames the process took from the pin
  // CPU per frame at 30 frames a second, start-up and idle time included.
  double Share() const { return frames > 0 ? cpuSeconds * 30 / frames : 0; }
};

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Waits for the child and takes its CPU time (user and system) from the kernel.
Usage Reap(pid_t pid, double started, int signal) {
  Usage u;
  if (signal != 0) kill(pid, signal);
  int status = 0;
  rusage ru{};
  if (wait4(pid, &status, 0, &ru) != pid) return u;
  u.wallSeconds = Now() - started;
  u.cpuSeconds = double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
  u.ok = WIFEXITED(status) && WEXITSTATUS(status) == 0;
  return u;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, size_t(p * double(v.size() - 1) + 0.5))];
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::max(2, std::atoi(argv[1])) : 10;
  const size_t frames = size_t(seconds) * 30;
  pwtest::PrivatePipeWire pipewire;
  std::string error;
  const char* tmp = std::getenv("TMPDIR");
  if (!pipewire.Start(tmp ? tmp : "/tmp", &error)) {
    std::fprintf(stderr, "bench_publish: %s\n", error.c_str());
    return 1;
  }
  const std::string state = pipewire.Folder() + "/state_bench";
  const std::vector<std::string> camera = {"--state", state, "--size", "1280x720", "--subtype", "YUY2"};

  // The peer: the same stream into the application, counted, not kept.
  std::vector<std::string> argv1 = {UVCCAM_BINARY, "capture"};
  argv1.insert(argv1.end(), camera.begin(), camera.end());
  argv1.insert(argv1.end(), {"--frames", std::to_string(frames)});
  double started = Now();
  Usage capture = Reap(pwtest::Spawn(argv1, pipewire.Folder() + "/capture.log"), started, 0);
  capture.frames = double(frames);

  // Ours: the same stream published and consumed for as many frames.
  std::vector<std::string> argv2 = {UVCCAM_BINARY, "publish", "--name", "uvccam-bench"};
  argv2.insert(argv2.end(), camera.begin(), camera.end());
  const std::string log = pipewire.Folder() + "/publish.log";
  started = Now();
  const pid_t pid = pwtest::Spawn(argv2, log);
  std::vector<double> latencyMs;
  size_t received = 0;
  if (pwtest::WaitForText(log, "published", 30000)) {
    pwtest::StreamConsumer consumer;
    if (consumer.Start("uvccam-bench", SPA_VIDEO_FORMAT_YUY2, 1280, 720, 30, frames) &&
        consumer.Wait(seconds * 3000)) {
      for (const pwtest::ReceivedFrame& f : consumer.Frames())
        if (f.hasHeader) latencyMs.push_back(double(f.receivedNs - f.ptsNs) / 1e6);
    }
    received = consumer.Frames().size();
    consumer.Stop();
  }
  Usage publish = Reap(pid, started, SIGTERM);
  const std::string summary = pwtest::ReadText(log);
  const size_t sent = summary.rfind("stopped: ");
  if (sent != std::string::npos) publish.frames = std::atof(summary.c_str() + sent + 9);
  pipewire.Stop();

  if (!capture.ok || !publish.ok || received < frames) {
    std::fprintf(stderr, "bench_publish: a run failed (capture %s, publish %s, %zu of %zu frames)\n",
                 capture.ok ? "ok" : "failed", publish.ok ? "ok" : "failed", received, frames);
    return 1;
  }
  std::printf("1280x720 YUY2 at 30 fps from the MJPEG camera, %zu frames each:\n", frames);
  std::printf("  uvccam capture: %.2f s CPU for %.0f frames (%.2f s wall) = %.1f%% of a core at 30 fps\n",
              capture.cpuSeconds, capture.frames, capture.wallSeconds, 100 * capture.Share());
  std::printf("  uvccam publish: %.2f s CPU for %.0f frames (%.2f s wall) = %.1f%% of a core at 30 fps\n",
              publish.cpuSeconds, publish.frames, publish.wallSeconds, 100 * publish.Share());
  std::printf("  publish / capture CPU share: %.2f\n", capture.Share() > 0 ? publish.Share() / capture.Share() : 0);
  std::printf("  latency pin delivery -> consumer receipt: median %.2f ms, p95 %.2f ms (%zu frames)\n",
              Percentile(latencyMs, 0.5), Percentile(latencyMs, 0.95), latencyMs.size());
  return 0;
}
