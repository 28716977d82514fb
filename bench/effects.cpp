// Speed of the effect routines, the image filters and the whole effect chain
// (also with auto framing and an overlay) at 640x480 and 1280x720, each
// against memcpy of the same frame measured in the same run (hot caches for
// both: the same buffers every iteration); the zoom window also against libyuv's planar bilinear scaling
// of the same window (I422Scale, kFilterBilinear). After the runs a table
// prints time per frame, throughput and the ratios (ours / peer), and the
// share of one core the full chain needs at 30 frames per second.
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "effects/effect_chain.h"
#include "effects/special/special_effect_record.h"
#include "effects/image_filters.h"
#include "media/color_tables.h"

namespace {

// What the chain is handed: its settings and its work state, in one record.
struct ChainState : EffectSettings, EffectWorkState {};

struct Size {
  ULONG w, h;
};
constexpr Size kSizes[] = {{640, 480}, {1280, 720}};

// A camera-like frame: smooth gradients with a little noise, so the
// data-dependent filters take their usual paths.
std::vector<UCHAR> SceneFrame(ULONG w, ULONG h) {
  std::vector<UCHAR> f(size_t(w) * h * 2);
  std::mt19937 rng(1);
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) {
      UCHAR* p = &f[(size_t(y) * w + x) * 2];
      p[0] = UCHAR(40 + (x * 160) / w + (y * 30) / h + rng() % 6);
      p[1] = UCHAR((x & 1) ? 120 + (y * 20) / h : 110 + (x * 40) / w);
    }
  return f;
}

const ColorTables& Tables() {
  static ColorTables* t = [] {
    auto* p = new ColorTables;
    BuildColorTables(p);
    return p;
  }();
  return *t;
}

struct Buffers {
  std::vector<UCHAR> scene, a, b, work;
  Buffers(ULONG w, ULONG h)
      : scene(SceneFrame(w, h)), a(scene), b(scene.size()), work(size_t(w) * h * 3) {}
};

// name -> CPU seconds per frame (the machine may be shared, so CPU time
// of the benchmark thread is steadier than wall time), filled by the reporter.
std::map<std::string, double>& Results() {
  static std::map<std::string, double> r;
  return r;
}

std::string Key(const char* what, Size s) {
  return std::string(what) + "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
}

template <typename F>
void Register(const char* what, F body) {
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Key(what, s).c_str(), [s, body](benchmark::State& st) {
      Buffers buf(s.w, s.h);
      for (auto _ : st) {
        body(buf, s);
        benchmark::ClobberMemory();
      }
      st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(s.w) * s.h * 2);
    })->Unit(benchmark::kMicrosecond);
  }
}

// The chain on a fresh copy of the scene every frame, in YUY2 order.
void RunChain(benchmark::State& st, Size s, Buffers& buf, ChainState* state) {
  FrameFormat format{};
  format.inputWidth = format.outputWidth = s.w;
  format.inputHeight = format.outputHeight = s.h;
  format.inputSubtype = format.outputSubtype = kSubtypeYuy2;
  for (auto _ : st) {
    std::memcpy(buf.a.data(), buf.scene.data(), buf.scene.size());
    benchmark::DoNotOptimize(ApplyEffects(buf.a.data(), buf.work.data(), buf.b.data(), &Tables(),
                                          &format, state, state));
    benchmark::ClobberMemory();
  }
  st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(s.w) * s.h * 2);
}

void RegisterAll() {
  Register("memcpy", [](Buffers& b, Size) { std::memcpy(b.b.data(), b.a.data(), b.a.size()); });
  Register("ApplySpecialColor", [](Buffers& b, Size s) {
    ApplySpecialColor(b.a.data(), s.w, s.h, 4, 3);
  });
  Register("FlipVertical", [](Buffers& b, Size s) { FlipVertical(b.a.data(), s.w, s.h, 3); });
  Register("MirrorHorizontal", [](Buffers& b, Size s) { MirrorHorizontal(b.a.data(), s.w, s.h, 1); });
  Register("RotateFrame1", [](Buffers& b, Size s) {
    RotateFrame(b.b.data(), b.a.data(), s.w, s.h, 1, 0);
  });
  Register("RotateFrame2", [](Buffers& b, Size s) {
    RotateFrame(b.b.data(), b.a.data(), s.w, s.h, 2, 0);
  });
  Register("ZoomPreset3", [](Buffers& b, Size s) { ZoomPreset(b.b.data(), b.a.data(), s.w, s.h, 3, 1); });
  Register("ApplyLumaCurve", [](Buffers& b, Size s) { ApplyLumaCurve(b.a.data(), s.w, s.h, 1); });
  Register("BadPixelCorrection", [](Buffers& b, Size s) {
    static ULONG phase = 0;
    BadPixelCorrection(b.a.data(), Tables().ClampPointer, s.w, s.h, phase++ & 3,
                       kBadPixelMargin, 0);
  });
  Register("ChromaSmoothing", [](Buffers& b, Size s) {
    ChromaSmoothing(b.b.data(), b.a.data(), s.w, s.h, 1);
  });
  Register("AutoContrast", [](Buffers& b, Size s) {
    AutoContrast(b.a.data(), Tables().ClampPointer, 1, s.w, s.h);
  });
  Register("NoiseFilter", [](Buffers& b, Size s) { NoiseFilter(b.b.data(), b.a.data(), s.w, s.h); });
  Register("ZoomWindow32", [](Buffers& b, Size s) {
    ZoomWindow(b.b.data(), b.a.data(), s.w, s.h, 32, s.w / 4, s.h / 4, 1);
  });

  // Peer of the zoom window: the same half-size window, as I422 planes,
  // scaled bilinearly to the whole frame by libyuv.
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Key("libyuv.I422Scale", s).c_str(), [s](benchmark::State& st) {
      std::vector<UCHAR> scene = SceneFrame(s.w, s.h);
      std::vector<UCHAR> y(size_t(s.w) * s.h), u(size_t(s.w / 2) * s.h), v(u.size());
      libyuv::YUY2ToI422(scene.data(), int(s.w * 2), y.data(), int(s.w), u.data(), int(s.w / 2),
                         v.data(), int(s.w / 2), int(s.w), int(s.h));
      std::vector<UCHAR> dy(y.size()), du(u.size()), dv(v.size());
      const int ww = int(s.w / 2), wh = int(s.h / 2), x0 = int(s.w / 4) & ~1, y0 = int(s.h / 4) & ~1;
      for (auto _ : st) {
        libyuv::I422Scale(y.data() + size_t(y0) * s.w + x0, int(s.w),
                          u.data() + size_t(y0) * (s.w / 2) + x0 / 2, int(s.w / 2),
                          v.data() + size_t(y0) * (s.w / 2) + x0 / 2, int(s.w / 2), ww, wh,
                          dy.data(), int(s.w), du.data(), int(s.w / 2), dv.data(), int(s.w / 2),
                          int(s.w), int(s.h), libyuv::kFilterBilinear);
        benchmark::ClobberMemory();
      }
      st.SetBytesProcessed(int64_t(st.iterations()) * int64_t(s.w) * s.h * 2);
    })->Unit(benchmark::kMicrosecond);
  }

  // The whole chain with every effect of this build switched on.
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Key("ApplyEffects.all", s).c_str(), [s](benchmark::State& st) {
      Buffers buf(s.w, s.h);
      auto* state = new ChainState();
      state->badPixelCorrection = 1;
      state->chromaSmoothing = 1;
      state->autoContrast = 1;
      state->specialColor = 4;
      state->verticalFlip = 1;
      state->mirror = 1;
      state->noiseFilter = 1;
      state->zoom.digitalZoom = 1;
      state->zoom.zoomFactor = 48;
      state->zoom.panX = 64 * 40;
      state->zoom.panY = 64 * 30;
      state->special.specialEffect = 11;  // copy: the chain leaves the frame where it is
      state->zoomPreset = 2;
      state->rotation = 1;
      RunChain(st, s, buf, state);
      delete state;
    })->Unit(benchmark::kMicrosecond);
  }
}

// The chain with auto framing (a skin-coloured face in the scene, so the
// whole detector runs) and an overlay already loaded: a numbered frame
// (keyed) or the magnifier (zoom window, lens disc, keyed glass).
void RegisterFramingAndOverlay(const char* name, ULONG overlayMode) {
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Key(name, s).c_str(), [s, overlayMode](benchmark::State& st) {
      Buffers buf(s.w, s.h);
      for (ULONG y = s.h / 4; y < s.h * 3 / 4; ++y)
        for (ULONG x = s.w * 3 / 8; x < s.w * 5 / 8; ++x) {
          UCHAR* p = &buf.scene[(size_t(y) * s.w + x) * 2];
          p[0] = 120;
          p[1] = (x & 1) ? 150 : 100;
        }
      auto* state = new ChainState();
      state->zoom.zoomFactor = 64;
      state->autoFraming.enabled = 1;
      std::vector<UCHAR> bitmap(size_t(s.w) * s.h * 3, 0);
      for (ULONG y = 0; y < s.h; ++y)
        for (ULONG x = 0; x < s.w; ++x)
          if (x < 24 || y < 24 || x >= s.w - 24 || y >= s.h - 24) {
            bitmap[(size_t(y) * s.w + x) * 2] = 200;
            bitmap[(size_t(y) * s.w + x) * 2 + 1] = 90;
          }
      SpecialEffectRecord& r = state->special;
      r.overlayBitmap = bitmap.data();
      r.overlayBitmapSize = ULONG(bitmap.size());
      r.overlayMode = r.loadedOverlayMode = overlayMode;
      r.loadedWidth = s.w;
      r.loadedHeight = s.h;
      r.overlayLoaded = 1;
      RunChain(st, s, buf, state);
      delete state;
    })->Unit(benchmark::kMicrosecond);
  }
}

class CollectingReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !r.error_occurred) {
        Results()[r.benchmark_name()] = r.cpu_accumulated_time / double(r.iterations);
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

void PrintSummary() {
  auto& r = Results();
  std::printf("\n%-32s %-10s %12s %10s %12s %10s\n", "routine", "size", "us/frame", "MB/s",
              "memcpy us", "ratio");
  const char* names[] = {"ApplySpecialColor", "FlipVertical",  "MirrorHorizontal", "RotateFrame1",
                         "RotateFrame2",      "ZoomPreset3",   "ApplyLumaCurve",   "BadPixelCorrection",
                         "ChromaSmoothing",   "AutoContrast",  "NoiseFilter",      "ZoomWindow32",
                         "ApplyEffects.all", "ApplyEffects.framing+frame",
                         "ApplyEffects.framing+magnifier"};
  for (Size s : kSizes) {
    const auto mc = r.find(Key("memcpy", s));
    for (const char* n : names) {
      const auto it = r.find(Key(n, s));
      if (it == r.end() || mc == r.end()) continue;
      const double bytes = double(s.w) * s.h * 2;
      std::printf("%-32s %4lux%-5lu %12.1f %10.0f %12.1f %10.2f\n", n, (unsigned long)s.w,
                  (unsigned long)s.h, it->second * 1e6, bytes / it->second / 1e6, mc->second * 1e6,
                  it->second / mc->second);
    }
    const auto zw = r.find(Key("ZoomWindow32", s));
    const auto ly = r.find(Key("libyuv.I422Scale", s));
    if (zw != r.end() && ly != r.end()) {
      std::printf("ZoomWindow32 vs libyuv I422Scale bilinear %lux%lu: %.1f us / %.1f us = %.2f\n",
                  (unsigned long)s.w, (unsigned long)s.h, zw->second * 1e6, ly->second * 1e6,
                  zw->second / ly->second);
    }
  }
  const auto chain = r.find(Key("ApplyEffects.all", kSizes[1]));
  if (chain != r.end()) {
    std::printf("Full chain at 1280x720, 30 frames/s: %.1f%% of one core\n",
                chain->second * 30.0 * 100.0);
  }
}

}  // namespace

int main(int argc, char** argv) {
  RegisterAll();
  RegisterFramingAndOverlay("ApplyEffects.framing+frame", 4);
  RegisterFramingAndOverlay("ApplyEffects.framing+magnifier", 1);
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  CollectingReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  PrintSummary();
  return 0;
}
