// Speed of the special effects against memcpy of the same frame, measured in
// the same run (both with hot caches: the same two frames every iteration).
// Prints time per frame, throughput and the ratio (effect time / memcpy
// time) for every effect at 640x480 and 1280x720, and for the row warp
// with its AVX-512 twin masked.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "effects/cpu_features.h"
#include "effects/special/special_effect.h"
#include "effects/special/stream_effects.h"

namespace {

struct Size {
  ULONG width, height;
};
constexpr Size kSizes[] = {{640, 480}, {1280, 720}};
constexpr ULONG kEffects[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12};
const char* const kEffectNames[13] = {"",        "negative", "photo grid", "tiles", "stretch",
                                      "emboss",  "edges",    "row warp",   "texture", "mosaic",
                                      "lens",    "copy",     "mirror half"};

// The row warp once more with the AVX-512 twins masked (the AVX2 kernel runs
// where the processor has it).
const char* const kPlainWarp = "row warp, no AVX-512";

std::vector<UCHAR> RandomFrame(size_t bytes) {
  std::vector<UCHAR> frame(bytes);
  std::mt19937 rng(1);
  for (auto& b : frame) b = static_cast<UCHAR>(rng());
  return frame;
}

std::string Key(const char* what, Size s, ULONG code) {
  return std::string(what) + " " + std::to_string(s.width) + "x" + std::to_string(s.height) +
         (code == kFormatCodeLumaFirst ? " Y-first" : " U-first");
}

// `vector` 0: the AVX-512 twins masked, as on processors without them.
void Effect(benchmark::State& state, ULONG effect, Size size, ULONG code, ULONG vector) {
  const size_t bytes = size_t(2) * size.width * size.height;
  std::vector<UCHAR> src = RandomFrame(bytes), dst(bytes);
  ColorTables tables;
  BuildColorTables(&tables);
  // A device's state as at stream start: the held-frame buffer, the warp
  // tables and the lens.
  auto* device = new EffectWorkState();
  std::vector<UCHAR> held(bytes * 3 / 2);
  SpecialEffectRecord& record = device->special;
  record.overlayBitmap = held.data();
  record.overlayBitmapSize = ULONG(held.size());
  SetupStreamEffects(device, size.width, size.height, 2, 12345);
  record.specialEffect = effect;
  EffectsAllowAvx512 = vector;
  for (auto _ : state) {
    LONG wrote = ApplySpecialEffect(&record, dst.data(), src.data(), nullptr, &tables,
                                    size.width, size.height, code);
    benchmark::DoNotOptimize(wrote);
    benchmark::ClobberMemory();
  }
  EffectsAllowAvx512 = 1;
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
  ReleaseStreamEffects(device);
  delete device;
}

void Memcpy(benchmark::State& state, Size size) {
  const size_t bytes = size_t(2) * size.width * size.height;
  std::vector<UCHAR> src = RandomFrame(bytes), dst(bytes);
  for (auto _ : state) {
    memcpy(dst.data(), src.data(), bytes);
    benchmark::DoNotOptimize(dst.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(bytes));
}

// Keeps the processor time per frame (microseconds) of every run by name:
// on a shared machine it varies less than the wall-clock time.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs)
      if (run.run_type == Run::RT_Iteration) times[run.benchmark_name()] = run.GetAdjustedCPUTime();
  }
  std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> names;
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Key("memcpy", s, kFormatCodeLumaFirst).c_str(), Memcpy, s)
        ->Unit(benchmark::kMicrosecond);
    for (ULONG e : kEffects)
      for (ULONG code : {kFormatCodeLumaFirst, kFormatCodeChromaFirst})
        benchmark::RegisterBenchmark(Key(kEffectNames[e], s, code).c_str(), Effect, e, s, code, 1u)
            ->Unit(benchmark::kMicrosecond);
    benchmark::RegisterBenchmark(Key(kPlainWarp, s, kFormatCodeLumaFirst).c_str(), Effect, 7u, s,
                                 kFormatCodeLumaFirst, 0u)
        ->Unit(benchmark::kMicrosecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\n%-32s %12s %10s %12s %8s\n", "effect", "us/frame", "GB/s", "memcpy us", "ratio");
  for (Size s : kSizes) {
    const double bytes = 2.0 * s.width * s.height;
    auto peer = reporter.times.find(Key("memcpy", s, kFormatCodeLumaFirst));
    if (peer == reporter.times.end()) continue;
    for (ULONG e : kEffects)
      for (ULONG code : {kFormatCodeLumaFirst, kFormatCodeChromaFirst}) {
        auto it = reporter.times.find(Key(kEffectNames[e], s, code));
        if (it == reporter.times.end()) continue;
        std::printf("%-32s %12.1f %10.2f %12.1f %8.2f\n", it->first.c_str(), it->second,
                    bytes / (it->second * 1e3), peer->second, it->second / peer->second);
      }
    auto plain = reporter.times.find(Key(kPlainWarp, s, kFormatCodeLumaFirst));
    if (plain != reporter.times.end())
      std::printf("%-32s %12.1f %10.2f %12.1f %8.2f\n", plain->first.c_str(), plain->second,
                  bytes / (plain->second * 1e3), peer->second, plain->second / peer->second);
  }
  return 0;
}
