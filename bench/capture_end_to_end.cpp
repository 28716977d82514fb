// CPU share of end-to-end capture: the driver started on the built-in
// simulated camera, which plays one MJPEG frame over and over, the capture
// pin at RUN on a real-time host clock, and the application taking a fixed
// number of frames. The process CPU time over those frames is set against
// their wall time at 30 fps. The frame pipeline's pieces (decoder, effect
// chain, scaler, conversion) and a peer (libjpeg-turbo and libyuv doing the
// same decode, scale and packing) are timed alone on the same frame in the
// same run. Caches: the end-to-end frames travel the real path (the camera
// writes the ring, the pipeline reads it: warm, not hot); the pieces and the
// peer reuse their buffers every iteration (hot).
#include <time.h>

#include <cstdio>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "bench/pipeline_rig.h"
#include "camera/simulated_camera.h"
#include "client/camera.h"
#include "driver/device_context.h"
#include "platform/host/host_control.h"
#include "platform/host/host_files.h"

namespace {

using namespace pipeline_rig;

// 720p as the camera sends it, and the largest size the driver makes by
// scaling (640x480 to 2560x1920).
const Route kRoutes[] = {
    {"mjpg1280x720_yuy2", 1280, 720, 1280, 720, kSubtypeYuy2},
    {"mjpg640x480_yuy2_2560x1920", 640, 480, 2560, 1920, kSubtypeYuy2},
};

constexpr int kWarmupFrames = 10;
constexpr int kMeasuredFrames = 90;  // 3 s at 30 fps
constexpr double kFps = 30.0;


struct EndToEndResult {
  double cpuPerFrame = 0;  // seconds
  double fps = 0;          // delivered
  uint64_t dropped = 0;
};
std::map<std::string, EndToEndResult> g_endToEnd;

// Takes `count` frames with data, keeping the buffers queued; false when
// the stream goes quiet.
bool TakeFrames(client::Pin* pin, ULONG bytes, int count, uint64_t* dropped) {
  for (int taken = 0; taken < count;) {
    host::KsCompletedFrame f;
    if (!pin->WaitFrame(5000, &f) || f.cancelled) return false;
    pin->QueueBuffer(bytes);
    if (f.header.DataUsed == 0) continue;
    ++taken;
    KS_FRAME_INFO info;
    if (client::FrameInfoOf(f, &info)) *dropped = uint64_t(info.DropCount);
  }
  return true;
}

void EndToEnd(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  const std::string folder = std::filesystem::temp_directory_path().string() + "/uvccam_bench_state";
  std::filesystem::create_directories(folder);
  host::SetStateFolder(folder);
  for (auto _ : state) {
    auto model = camera::DefaultCamera();
    auto* sim = dynamic_cast<camera::SimulatedCamera*>(model.get());
    if (sim == nullptr) {
      state.SkipWithError("the built-in camera is not simulated");
      return;
    }
    sim->SetPlayBytes(g.camera);
    host::SetClockRate(100.0);  // start-up delays
    std::unique_ptr<client::Camera> cam;
    client::Filter* filter = nullptr;
    client::Pin* pin = nullptr;
    std::vector<uint8_t> format;
    NTSTATUS s = client::Camera::Plug(std::move(model), &cam);
    if (NT_SUCCESS(s)) s = cam->Start();
    if (NT_SUCCESS(s)) s = cam->OpenFilter(&filter);
    if (NT_SUCCESS(s)) s = filter->FormatFor(kCapturePinId, r.ow, r.oh, r.out, &format);
    if (NT_SUCCESS(s)) s = filter->CreatePin(kCapturePinId, format, &pin);
    if (!NT_SUCCESS(s)) {
      state.SkipWithError("the driver did not start the capture pin");
      return;
    }
    const ULONG bytes = ULONG(FrameOutputBytes(r.out, r.ow, r.oh));
    for (int i = 0; i < 3; ++i) pin->QueueBuffer(bytes);
    host::SetClockRate(1.0);
    uint64_t dropped = 0, droppedBefore = 0;
    bool ok = NT_SUCCESS(pin->SetState(KSSTATE_RUN)) && TakeFrames(pin, bytes, kWarmupFrames, &droppedBefore);
    const double cpu0 = ProcessCpuSeconds(), wall0 = WallSeconds();
    ok = ok && TakeFrames(pin, bytes, kMeasuredFrames, &dropped);
    const double cpu = ProcessCpuSeconds() - cpu0, wall = WallSeconds() - wall0;
    pin->SetState(KSSTATE_STOP);
    host::SetClockRate(100.0);
    cam->Stop();
    cam.reset();
    host::SetClockRate(1.0);
    if (!ok) {
      state.SkipWithError("the capture pin delivered no frames");
      return;
    }
    state.SetIterationTime(wall);
    EndToEndResult& e = g_endToEnd[r.name];
    e.cpuPerFrame = cpu / kMeasuredFrames;
    e.fps = kMeasuredFrames / wall;
    e.dropped = dropped - droppedBefore;
    state.counters["cpu_share_pct"] = cpu / (kMeasuredFrames / kFps) * 100;
    state.counters["fps"] = e.fps;
  }
}

class ShareReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration && !run.error_occurred)
        Add(run.benchmark_name(), run.cpu_accumulated_time / double(run.iterations));
      paired_.Take(run);
    }
  }
  void Print() const {
    std::printf(
        "\nEnd-to-end capture, CPU share of one core at %.0f fps: process CPU time over %d frames (after %d)\n"
        "against their %.1f s at %.0f fps. It includes the simulated camera, the USB bus stand-in and the\n"
        "host kernel-streaming runtime; frames travel camera -> ring -> pipeline (warm caches). The pieces and\n"
        "the peer (libjpeg-turbo + libyuv) are timed alone on the same frame with hot caches.\n",
        kFps, kMeasuredFrames, kWarmupFrames, kMeasuredFrames / kFps, kFps);
    for (const Route& r : kRoutes) {
      auto t = [&](const char* stage) {
        auto it = seconds_.find(std::string(stage) + "/" + r.name);
        return it == seconds_.end() ? 0.0 : it->second * kFps * 100;
      };
      auto e = g_endToEnd.find(r.name);
      const bool scaled = r.iw != r.ow || r.ih != r.oh;
      if (e == g_endToEnd.end()) {
        std::printf("  %-28s no end-to-end figure (the capture did not run)\n", r.name);
        continue;
      }
      const double total = e->second.cpuPerFrame * kFps * 100, pipeline = t("FramePipeline");
      const double peer = t("peer_turbojpeg_libyuv");
      std::printf("  %-28s end to end %5.1f%% of a core (%.2f ms CPU/frame, %.1f fps delivered, %llu dropped)\n",
                  r.name, total, e->second.cpuPerFrame * 1e3, e->second.fps,
                  static_cast<unsigned long long>(e->second.dropped));
      std::printf("  %-28s   pipeline %.1f%%: decoder %.1f%%, chain %.1f%%, scaler %.1f%%; the rest (transport, "
                  "host) %.1f%%\n",
                  "", pipeline, t("decoder"), t("chain"), scaled ? t("scaler") : 0.0, total - pipeline);
      if (peer > 0)
        std::printf("  %-28s   peer %.1f%%; pipeline / peer %.2f, end to end / peer %.2f\n", "", peer,
                    pipeline / peer, total / peer);
      paired_.Print(r.name);
    }
  }

 private:
  // Mean time per iteration over the repetitions (--benchmark_repetitions).
  void Add(const std::string& name, double seconds) {
    const int n = ++repetitions_[name];
    seconds_[name] += (seconds - seconds_[name]) / n;
  }
  std::map<std::string, double> seconds_;
  std::map<std::string, int> repetitions_;
  PairedNotes paired_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Route& r : kRoutes) {
    benchmark::RegisterBenchmark((std::string("end_to_end/") + r.name).c_str(), EndToEnd, r)
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->UseManualTime();
    RegisterStages(r);
  }
  return RunAndPrint<ShareReporter>(argc, argv);
}
