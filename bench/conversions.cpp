// Speed of the pixel-format conversions against libyuv on the same input, at
// 640x480, 1280x720 and 1920x1080. Each route also runs our code with every
// instruction set the processor has (for information); the summary at the
// end prints our time over the peer's for the dispatched path:
//   ratio ours/libyuv = X   (below 1 means faster than libyuv)
// from CPU time per frame (the median when --benchmark_repetitions is given).
// Peers: YUY2ToI420; YUY2 to RGB24 as YUY2ToARGB then ARGBToRGB24 (whole
// frame, and row by row through a one-row buffer; the faster counts);
// the byte swap as ARGBShuffle with a (1 0 3 2) shuffle, plus memcpy of the
// same bytes as a floor. On a processor with AVX-512 a second table caps both
// sides at AVX2 (libyuv through MaskCpuFlags).
#include <benchmark/benchmark.h>
#include <libyuv.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "pipeline/conversion_kernels.h"
#include "pipeline/conversions.h"

namespace {

struct Size { int w, h; };
constexpr Size kSizes[] = {{640, 480}, {1280, 720}, {1920, 1080}};

struct AlignedFree { void operator()(UCHAR* p) const { std::free(p); } };
using Buffer = std::unique_ptr<UCHAR, AlignedFree>;
Buffer Alloc(size_t n) {
  return Buffer(static_cast<UCHAR*>(std::aligned_alloc(64, (n + 63) / 64 * 64)));
}

// A YUY2 frame with smooth gradients and noise, the same for every run.
Buffer MakeSource(Size s) {
  Buffer b = Alloc(size_t(s.w) * s.h * 2);
  std::mt19937 rng(42);
  for (int y = 0; y < s.h; ++y) {
    for (int x = 0; x < s.w; x += 2) {
      UCHAR* p = b.get() + (size_t(y) * s.w + x) * 2;
      p[0] = UCHAR(16 + (x * 219 / s.w + rng() % 8) % 220);
      p[1] = UCHAR(64 + (y * 128 / s.h + rng() % 4));
      p[2] = UCHAR(16 + ((x + 1) * 219 / s.w + rng() % 8) % 220);
      p[3] = UCHAR(192 - (x * 128 / s.w + rng() % 4));
    }
  }
  return b;
}

const ColorTables* Tables() {
  static ColorTables* t = [] {
    ColorTables* c = new ColorTables;
    BuildColorTables(c);
    return c;
  }();
  return t;
}

const char* IsaName(int isa) {
  static const char* names[] = {"scalar", "sse2", "ssse3", "avx2", "avx512"};
  return names[isa];
}

// libyuv chooses its row functions on every call from its CPU flags; a mask
// caps them (-1: everything the processor has).
constexpr int kLibyuvAvx2Ceiling =
    ~(libyuv::kCpuHasAVX512BW | libyuv::kCpuHasAVX512VL | libyuv::kCpuHasAVX512VNNI |
      libyuv::kCpuHasAVX512VBMI | libyuv::kCpuHasAVX512VBMI2 | libyuv::kCpuHasAVX512VBITALG |
      libyuv::kCpuHasAVX512VPOPCNTDQ | libyuv::kCpuHasGFNI);
struct LibyuvCeiling {
  explicit LibyuvCeiling(int mask) { libyuv::MaskCpuFlags(mask); }
  ~LibyuvCeiling() { libyuv::MaskCpuFlags(-1); }
};

void SetBytes(benchmark::State& state, Size s, int bytesPerPixelOut) {
  state.SetBytesProcessed(int64_t(state.iterations()) * s.w * s.h * (2 + bytesPerPixelOut));
}

// ---- I420 ----
void OursI420(benchmark::State& state, Size s, int isa) {
  Buffer src = MakeSource(s), dst = Alloc(I420FrameSize(s.w, s.h));
  for (auto _ : state) {
    if (isa < 0) ConvertYuy2ToI420(dst.get(), src.get(), s.w, s.h);
    else ConvertYuy2ToI420Isa(ConversionIsa(isa), dst.get(), src.get(), s.w, s.h);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 1);
}
void PeerI420(benchmark::State& state, Size s, int mask) {
  LibyuvCeiling ceiling(mask);
  Buffer src = MakeSource(s), dst = Alloc(I420FrameSize(s.w, s.h));
  UCHAR* y = dst.get();
  UCHAR* u = y + size_t(s.w) * s.h;
  UCHAR* v = u + size_t(s.w / 2) * (s.h / 2);
  for (auto _ : state) {
    libyuv::YUY2ToI420(src.get(), s.w * 2, y, s.w, u, s.w / 2, v, s.w / 2, s.w, s.h);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 1);
}

// ---- RGB24 (rows bottom-up on both sides: libyuv flips on a negative height) ----
void OursRgb24(benchmark::State& state, Size s, int isa) {
  Buffer src = MakeSource(s), dst = Alloc(size_t(s.w) * s.h * 3);
  for (auto _ : state) {
    if (isa < 0) ConvertYuy2ToRgb24(Tables(), dst.get(), src.get(), s.w, s.h);
    else ConvertYuy2ToRgb24Isa(ConversionIsa(isa), Tables(), dst.get(), src.get(), s.w, s.h);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 3);
}
void PeerRgb24Frame(benchmark::State& state, Size s, int mask) {
  LibyuvCeiling ceiling(mask);
  Buffer src = MakeSource(s), argb = Alloc(size_t(s.w) * s.h * 4), dst = Alloc(size_t(s.w) * s.h * 3);
  for (auto _ : state) {
    libyuv::YUY2ToARGB(src.get(), s.w * 2, argb.get(), s.w * 4, s.w, -s.h);
    libyuv::ARGBToRGB24(argb.get(), s.w * 4, dst.get(), s.w * 3, s.w, s.h);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 3);
}
void PeerRgb24Rows(benchmark::State& state, Size s, int mask) {
  LibyuvCeiling ceiling(mask);
  Buffer src = MakeSource(s), argb = Alloc(size_t(s.w) * 4), dst = Alloc(size_t(s.w) * s.h * 3);
  for (auto _ : state) {
    for (int r = 0; r < s.h; ++r) {
      libyuv::YUY2ToARGB(src.get() + size_t(r) * s.w * 2, s.w * 2, argb.get(), s.w * 4, s.w, 1);
      libyuv::ARGBToRGB24(argb.get(), s.w * 4, dst.get() + size_t(s.h - 1 - r) * s.w * 3, s.w * 3, s.w, 1);
    }
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 3);
}

// ---- YUY2 -> UYVY byte swap ----
void OursSwap(benchmark::State& state, Size s, int isa) {
  const size_t n = size_t(s.w) * s.h * 2;
  Buffer src = MakeSource(s), dst = Alloc(n);
  for (auto _ : state) {
    if (isa < 0) SwapYuy2ToUyvy(dst.get(), src.get(), n);
    else SwapYuy2ToUyvyIsa(ConversionIsa(isa), dst.get(), src.get(), n);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 2);
}
void PeerSwap(benchmark::State& state, Size s, int mask) {
  LibyuvCeiling ceiling(mask);
  const size_t n = size_t(s.w) * s.h * 2;
  Buffer src = MakeSource(s), dst = Alloc(n);
  static const uint8_t kShuffle[16] = {1, 0, 3, 2, 5, 4, 7, 6, 9, 8, 11, 10, 13, 12, 15, 14};
  for (auto _ : state) {
    libyuv::ARGBShuffle(src.get(), s.w * 2, dst.get(), s.w * 2, kShuffle, s.w / 2, s.h);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 2);
}
void Memcpy(benchmark::State& state, Size s) {
  const size_t n = size_t(s.w) * s.h * 2;
  Buffer src = MakeSource(s), dst = Alloc(n);
  for (auto _ : state) {
    std::memcpy(dst.get(), src.get(), n);
    benchmark::ClobberMemory();
  }
  SetBytes(state, s, 2);
}

// Keeps every run's time per iteration and prints the ratios at the end.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    // CPU time: the machine is shared, and a preempted run's wall time says
    // nothing about the code. With --benchmark_repetitions the median wins.
    for (const Run& r : runs) {
      if (r.error_occurred) continue;
      if (r.run_type == Run::RT_Iteration && medians_.count(r.run_name.function_name) == 0) {
        times_[r.run_name.function_name] = r.GetAdjustedCPUTime();
      } else if (r.run_type == Run::RT_Aggregate && r.aggregate_name == "median") {
        times_[r.run_name.function_name] = r.GetAdjustedCPUTime();
        medians_[r.run_name.function_name] = true;
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
  double Time(const std::string& name) const {
    auto it = times_.find(name);
    return it == times_.end() ? 0 : it->second;
  }

 private:
  std::map<std::string, double> times_;
  std::map<std::string, bool> medians_;
};

std::string Name(const char* route, Size s, const char* who) {
  return std::string(route) + "/" + std::to_string(s.w) + "x" + std::to_string(s.h) + "/" + who;
}

void PrintRatios(const RatioReporter& reporter, const char* ours, const char* peer,
                 const char* title) {
  std::printf("%-22s %12s %12s   %s\n", "route/size", "ours (us)", "libyuv (us)", title);
  for (const char* route : {"i420", "rgb24", "swap"}) {
    for (Size s : kSizes) {
      const double mine = reporter.Time(Name(route, s, ours));
      double theirs = reporter.Time(Name(route, s, peer));
      if (std::string(route) == "rgb24") {  // the faster of the two libyuv routes
        const double frame = reporter.Time(Name(route, s, (std::string(peer) + "_frame").c_str()));
        const double rows = reporter.Time(Name(route, s, (std::string(peer) + "_rows").c_str()));
        theirs = frame == 0 ? rows : rows == 0 ? frame : std::min(frame, rows);
      }
      if (mine == 0 || theirs == 0) continue;  // filtered out
      const std::string label = std::string(route) + "/" + std::to_string(s.w) + "x" + std::to_string(s.h);
      std::printf("%-22s %12.1f %12.1f   ratio ours/libyuv = %.2f", label.c_str(), mine / 1e3,
                  theirs / 1e3, mine / theirs);
      const double copy = reporter.Time(Name(route, s, "memcpy"));
      if (copy != 0) std::printf("   (memcpy %.1f us, ours/memcpy = %.2f)", copy / 1e3, mine / copy);
      std::printf("\n");
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  const int best = ConversionIsaSupported();
  for (Size s : kSizes) {
    benchmark::RegisterBenchmark(Name("i420", s, "ours").c_str(), OursI420, s, -1);
    benchmark::RegisterBenchmark(Name("i420", s, "libyuv").c_str(), PeerI420, s, -1);
    benchmark::RegisterBenchmark(Name("rgb24", s, "ours").c_str(), OursRgb24, s, -1);
    benchmark::RegisterBenchmark(Name("rgb24", s, "libyuv_frame").c_str(), PeerRgb24Frame, s, -1);
    benchmark::RegisterBenchmark(Name("rgb24", s, "libyuv_rows").c_str(), PeerRgb24Rows, s, -1);
    benchmark::RegisterBenchmark(Name("swap", s, "ours").c_str(), OursSwap, s, -1);
    benchmark::RegisterBenchmark(Name("swap", s, "libyuv").c_str(), PeerSwap, s, -1);
    benchmark::RegisterBenchmark(Name("swap", s, "memcpy").c_str(), Memcpy, s);
    for (int isa = kIsaScalar; isa <= best; ++isa) {
      const std::string who = std::string("ours_") + IsaName(isa);
      benchmark::RegisterBenchmark(Name("i420", s, who.c_str()).c_str(), OursI420, s, isa);
      benchmark::RegisterBenchmark(Name("rgb24", s, who.c_str()).c_str(), OursRgb24, s, isa);
      benchmark::RegisterBenchmark(Name("swap", s, who.c_str()).c_str(), OursSwap, s, isa);
    }
    if (best >= kIsaAvx2) {
      // Both sides capped at AVX2, as on a processor without AVX-512.
      benchmark::RegisterBenchmark(Name("i420", s, "libyuv_avx2").c_str(), PeerI420, s, kLibyuvAvx2Ceiling);
      benchmark::RegisterBenchmark(Name("rgb24", s, "libyuv_avx2_frame").c_str(), PeerRgb24Frame, s, kLibyuvAvx2Ceiling);
      benchmark::RegisterBenchmark(Name("rgb24", s, "libyuv_avx2_rows").c_str(), PeerRgb24Rows, s, kLibyuvAvx2Ceiling);
      benchmark::RegisterBenchmark(Name("swap", s, "libyuv_avx2").c_str(), PeerSwap, s, kLibyuvAvx2Ceiling);
    }
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);

  std::printf("\nDispatched instruction set: %s\n", IsaName(best));
  PrintRatios(reporter, "ours", "libyuv", "ratio ours/libyuv (CPU time per frame)");
  if (best > kIsaAvx2) {
    std::printf("\nBoth capped at AVX2 (as on a processor without AVX-512):\n");
    PrintRatios(reporter, "ours_avx2", "libyuv_avx2", "ratio ours/libyuv at AVX2");
  }
  benchmark::Shutdown();
  return 0;
}
