// Speed of every scaler route against libyuv on the same picture: bilinear
// planar scaling of the Y, U and V planes of the same 4:2:2 frame for the
// enlargers, the doublers and the general routine, box filtering for the
// halver, memcpy for the copy and the centre crop. Each pair runs in the same
// process; the table at the end prints our time over the peer's.
#include <benchmark/benchmark.h>
#include <libyuv/cpu_id.h>
#include <libyuv/scale.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "media/color_tables.h"
#include "pipeline/scaler.h"
#include "pipeline/scaler_kernels.h"

namespace {

using Bytes = std::vector<uint8_t>;

Bytes RandomBytes(size_t n, uint32_t seed) {
  Bytes b(n);
  std::mt19937 rng(seed);
  for (size_t i = 0; i < n; i += 4) {
    const uint32_t v = rng();
    memcpy(&b[i], &v, n - i < 4 ? n - i : 4);
  }
  return b;
}

const UCHAR* Clamp() {
  static ColorTables* tables = [] {
    auto* t = new ColorTables;
    BuildColorTables(t);
    return t;
  }();
  return tables->ClampPointer;
}

struct Case {
  const char* route;
  int iw, ih, ow, oh;
  libyuv::FilterMode filter;
  bool memcpyPeer;
};

// ScaleFrame as the driver calls it (widest kernels the processor runs).
void Ours(benchmark::State& state, Case c) {
  Bytes src = RandomBytes(2 * size_t(c.iw) * c.ih, 1);
  Bytes dst(2 * size_t(c.ow) * c.oh);
  for (auto _ : state) {
    ScaleFrame(dst.data(), src.data(), c.iw, c.ih, c.ow, c.oh, Clamp(), 1);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

// The same with the SSE2 kernels only (processors without AVX2).
void OursSse2(benchmark::State& state, Case c) {
  Bytes src = RandomBytes(2 * size_t(c.iw) * c.ih, 1);
  Bytes dst(2 * size_t(c.ow) * c.oh);
  for (auto _ : state) {
    ScaleFrameOnPath(dst.data(), src.data(), c.iw, c.ih, c.ow, c.oh, Clamp(), 1, kScalerSse2);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
}

// The widest path with the AVX-512 twins masked (processors with AVX2 only).
void OursAvx2(benchmark::State& state, Case c) {
  Bytes src = RandomBytes(2 * size_t(c.iw) * c.ih, 1);
  Bytes dst(2 * size_t(c.ow) * c.oh);
  ScalerAllowAvx512 = 0;
  for (auto _ : state) {
    ScaleFrame(dst.data(), src.data(), c.iw, c.ih, c.ow, c.oh, Clamp(), 1);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  ScalerAllowAvx512 = 1;
}

// Routes with an AVX-512 twin, timed with it masked too.
bool HasAvx512Twin(const Case& c) {
  return strcmp(c.route, "doubler") == 0 || strcmp(c.route, "cropdouble") == 0;
}

// The peer gets the same picture as three planes (4:2:2). The centre crop and
// crop-and-double scale the cropped window, as our routes do.
void Peer(benchmark::State& state, Case c) {
  if (c.memcpyPeer) {
    const size_t bytes = 2 * size_t(c.ow) * c.oh;
    Bytes src = RandomBytes(2 * size_t(c.iw) * c.ih, 1);
    Bytes dst(bytes);
    const size_t offset = (src.size() - bytes) / 2;
    for (auto _ : state) {
      memcpy(dst.data(), src.data() + offset, bytes);
      benchmark::DoNotOptimize(dst.data());
      benchmark::ClobberMemory();
    }
    return;
  }
  int iw = c.iw, ih = c.ih;
  if (c.iw == 640 && c.ih == 480 && c.ow == 1280 && c.oh == 720) ih = 360;
  Bytes y = RandomBytes(size_t(iw) * ih, 2), u = RandomBytes(size_t(iw / 2) * ih, 3),
        v = RandomBytes(size_t(iw / 2) * ih, 4);
  // The 6:5 route enlarges and keeps the left 704 of 768 columns.
  int sw = c.ow, sh = c.oh;
  if (c.ow == 704 && c.iw == 640) sw = 768;
  Bytes dy(size_t(sw) * sh), du(size_t(sw / 2) * sh), dv(size_t(sw / 2) * sh);
  for (auto _ : state) {
    libyuv::ScalePlane(y.data(), iw, iw, ih, dy.data(), sw, sw, sh, c.filter);
    libyuv::ScalePlane(u.data(), iw / 2, iw / 2, ih, du.data(), sw / 2, sw / 2, sh, c.filter);
    libyuv::ScalePlane(v.data(), iw / 2, iw / 2, ih, dv.data(), sw / 2, sw / 2, sh, c.filter);
    benchmark::DoNotOptimize(dy.data());
    benchmark::ClobberMemory();
  }
}

const Case kCases[] = {
    {"copy", 640, 480, 640, 480, libyuv::kFilterNone, true},
    {"copy", 1280, 720, 1280, 720, libyuv::kFilterNone, true},
    {"copy", 1920, 1080, 1920, 1080, libyuv::kFilterNone, true},
    {"halver", 640, 480, 320, 240, libyuv::kFilterBox, false},
    {"halver", 1280, 720, 640, 360, libyuv::kFilterBox, false},
    {"halver", 1920, 1080, 960, 540, libyuv::kFilterBox, false},
    {"doubler", 640, 480, 1280, 960, libyuv::kFilterBilinear, false},
    {"doubler", 1280, 720, 2560, 1440, libyuv::kFilterBilinear, false},
    {"doubler", 1920, 1080, 3840, 2160, libyuv::kFilterBilinear, false},
    {"enlarge5:4", 640, 480, 800, 600, libyuv::kFilterBilinear, false},
    {"enlarge5:4", 1280, 720, 1600, 900, libyuv::kFilterBilinear, false},
    {"enlarge5:4", 1920, 1080, 2400, 1350, libyuv::kFilterBilinear, false},
    {"enlarge8:5", 640, 480, 1024, 768, libyuv::kFilterBilinear, false},
    {"enlarge8:5", 1280, 720, 2048, 1152, libyuv::kFilterBilinear, false},
    {"enlarge8:5", 1920, 1080, 3072, 1728, libyuv::kFilterBilinear, false},
    {"enlarge6:5crop", 640, 480, 704, 576, libyuv::kFilterBilinear, false},
    {"centrecrop", 1280, 960, 1280, 720, libyuv::kFilterNone, true},
    {"cropdouble", 640, 480, 1280, 720, libyuv::kFilterBilinear, false},
    {"general", 640, 480, 1280, 1024, libyuv::kFilterBilinear, false},
    {"general", 1280, 720, 1920, 1080, libyuv::kFilterBilinear, false},
    {"general", 1920, 1080, 1280, 720, libyuv::kFilterBilinear, false},
    {"general", 640, 480, 176, 144, libyuv::kFilterBilinear, false},
};

std::string Name(const Case& c) {
  char s[96];
  snprintf(s, sizeof s, "%s/%dx%d->%dx%d", c.route, c.iw, c.ih, c.ow, c.oh);
  return s;
}

// Collects the times and prints the ratios after the usual report.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration || r.aggregate_name == "median")
        times_[r.benchmark_name()] = r.GetAdjustedCPUTime();
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    printf("\n%-36s %9s %9s %9s %7s %10s %10s\n", "route (input->output)", "ours ms", "sse2 ms",
           "peer ms", "ratio", "sse2 ratio", "avx2 ratio");
    for (const Case& c : kCases) {
      const std::string n = Name(c);
      double ours = 0, sse2 = 0, peer = 0, avx2 = 0;
      for (auto& [k, t] : times_) {
        if (k.rfind("ours/" + n, 0) == 0) ours = t;
        if (k.rfind("avx2/" + n, 0) == 0) avx2 = t;
        if (k.rfind("sse2/" + n, 0) == 0) sse2 = t;
        if (k.rfind("peer/" + n, 0) == 0) peer = t;
      }
      if (ours > 0 && peer > 0) {
        printf("%-36s %9.3f %9.3f %9.3f %7.2f %10.2f", n.c_str(), ours / 1000, sse2 / 1000,
               peer / 1000, ours / peer, sse2 / peer);
        if (avx2 > 0) printf(" %10.2f", avx2 / peer);
        printf("\n");
      }
    }
    printf("ratio = our CPU time / peer CPU time, same process; sse2 ratio: SSE2 kernels only (peer: libyuv ScalePlane on the Y, U and V\n"
           "planes of the same 4:2:2 picture, memcpy for the copy and the centre crop); avx2 ratio: AVX-512 twins masked\n");
  }

 private:
  std::map<std::string, double> times_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Case& c : kCases) {
    benchmark::RegisterBenchmark(("ours/" + Name(c)).c_str(), Ours, c)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("sse2/" + Name(c)).c_str(), OursSse2, c)->Unit(benchmark::kMicrosecond);
    if (HasAvx512Twin(c))
      benchmark::RegisterBenchmark(("avx2/" + Name(c)).c_str(), OursAvx2, c)->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(("peer/" + Name(c)).c_str(), Peer, c)->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return 0;
}
