// End-to-end FramePipeline per frame, its stages on their own, and a peer
// doing the same work with libjpeg-turbo and libyuv, all in the same run on
// the same frames with hot caches (every buffer is reused from iteration to
// iteration). Prints each route's CPU share of one core at 30 fps, the share
// of each stage, and our time / the peer's time. CPU time, not wall time:
// the machine is shared.
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "bench/pipeline_rig.h"

namespace {

using namespace pipeline_rig;

// The camera's 720p frame offered as it is, the largest size the driver
// makes by scaling, and the 720p frame converted to planar output.
const Route kRoutes[] = {
    {"mjpg1280x720_yuy2", 1280, 720, 1280, 720, kSubtypeYuy2},
    {"mjpg640x480_yuy2_2560x1920", 640, 480, 2560, 1920, kSubtypeYuy2},
    {"mjpg1280x720_i420", 1280, 720, 1280, 720, kSubtypeI420},
};

class ShareReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.run_type == Run::RT_Iteration) Add(run.benchmark_name(), run.cpu_accumulated_time / double(run.iterations));
      paired_.Take(run);
    }
  }
  void Print() const {
    printf("\nCPU share of one core at 30 fps (CPU time per frame x 30), hot caches for ours and the peer\n");
    for (const Route& r : kRoutes) {
      auto t = [&](const char* stage) {
        auto it = seconds_.find(std::string(stage) + "/" + r.name);
        return it == seconds_.end() ? 0.0 : it->second;
      };
      const double total = t("FramePipeline"), peer = t("peer_turbojpeg_libyuv");
      if (total <= 0) continue;
      const bool scaled = r.iw != r.ow || r.ih != r.oh;
      printf("  %-28s %6.2f ms/frame = %5.1f%% of a core; decoder %.1f%%, chain %.1f%%, scaler %.1f%%, "
             "conversion %.1f%%",
             r.name, total * 1e3, total * 3000, t("decoder") * 3000, t("chain") * 3000,
             scaled ? t("scaler") * 3000 : 0.0, scaled ? 0.0 : t("conversion") * 3000);
      if (peer > 0) printf("; peer %.2f ms, ours / peer %.2f", peer * 1e3, total / peer);
      printf("\n");
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
    RegisterStages(r);
  }
  return RunAndPrint<ShareReporter>(argc, argv);
}
