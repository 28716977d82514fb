// What the once-per-frame save and restore of the extended processor state
// costs, against the work of one frame. In Windows kernel mode
// KeSaveExtendedProcessorState / KeRestoreExtendedProcessorState come down to
// an XSAVE and an XRSTOR of the enabled AVX (and AVX-512) state; the host
// measures exactly that instruction pair on this processor, with and without
// allocating the save area each time (an upper bound for the kernel's
// bookkeeping), and the host SimdStateScope around a real frame. The peer is
// one 640x480 YUY2 -> RGB24 conversion (the dispatched AVX path), hot caches
// on both sides. The summary prints the pattern's time over the frame's.
#include <benchmark/benchmark.h>
#include <cpuid.h>
#include <immintrin.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "media/color_tables.h"
#include "pipeline/conversions.h"
#include "platform/simd_state.h"

namespace {

constexpr ULONG kWidth = 640, kHeight = 480;

struct Frame {
  std::vector<UCHAR> src = std::vector<UCHAR>(2 * kWidth * kHeight);
  std::vector<UCHAR> dst = std::vector<UCHAR>(3 * kWidth * kHeight);
  ColorTables tables;
  Frame() {
    std::mt19937 rng(1);
    for (auto& b : src) b = UCHAR(rng());
    BuildColorTables(&tables);
  }
};
Frame& TheFrame() {
  static Frame f;
  return f;
}

void BM_Frame(benchmark::State& state) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    ConvertYuy2ToRgb24(&f.tables, f.dst.data(), f.src.data(), kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Frame);

void BM_FrameWithScope(benchmark::State& state) {
  Frame& f = TheFrame();
  for (auto _ : state) {
    SimdStateScope scope;
    ConvertYuy2ToRgb24(&f.tables, f.dst.data(), f.src.data(), kWidth, kHeight);
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_FrameWithScope);

// The state components the kernel saves for AVX code: SSE, AVX and, when the
// system enabled them, the AVX-512 components; and the XSAVE area size.
bool XsaveMask(unsigned long long* mask, unsigned* size) {
  unsigned a, b, c, d;
  if (!__get_cpuid(1, &a, &b, &c, &d) || !(c & bit_OSXSAVE)) return false;
  unsigned lo, hi;
  __asm__ volatile("xgetbv" : "=a"(lo), "=d"(hi) : "c"(0));
  *mask = ((unsigned long long)hi << 32 | lo) & 0xE6;  // SSE, AVX, opmask, ZMM_H, Hi16_ZMM
  __cpuid_count(0xD, 0, a, b, c, d);
  *size = b;
  return true;
}

__attribute__((target("xsave"))) void SaveRestore(void* area, unsigned long long mask) {
  _xsave64(area, mask);
  _xrstor64(area, mask);
}

void BM_XsaveXrstor(benchmark::State& state) {
  unsigned long long mask;
  unsigned size;
  if (!XsaveMask(&mask, &size)) return state.SkipWithError("no XSAVE");
  void* area = std::aligned_alloc(64, (size + 63) / 64 * 64);
  std::memset(area, 0, size);
  for (auto _ : state) SaveRestore(area, mask);
  std::free(area);
  char label[64];
  std::snprintf(label, sizeof label, "mask 0x%llx, %u-byte area", mask, size);
  state.SetLabel(label);
}
BENCHMARK(BM_XsaveXrstor);

void BM_XsaveXrstorWithArea(benchmark::State& state) {
  unsigned long long mask;
  unsigned size;
  if (!XsaveMask(&mask, &size)) return state.SkipWithError("no XSAVE");
  const size_t bytes = (size + 63) / 64 * 64;
  for (auto _ : state) {
    void* area = std::aligned_alloc(64, bytes);
    std::memset(area, 0, 64);  // the XSAVE header must start clear
    SaveRestore(area, mask);
    std::free(area);
  }
}
BENCHMARK(BM_XsaveXrstorWithArea);

class Collector : public benchmark::ConsoleReporter {
 public:
  std::map<std::string, double> ns;
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      if (r.run_type == Run::RT_Iteration && !ns.count(r.run_name.function_name)) {
        ns[r.run_name.function_name] = r.GetAdjustedCPUTime();  // ns per iteration
      }
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Collector c;
  benchmark::RunSpecifiedBenchmarks(&c);
  const double frame = c.ns["BM_Frame"];
  if (frame <= 0) return 0;
  std::printf("\nper 640x480 RGB24 frame of %.1f us (hot caches):\n", frame / 1e3);
  const char* rows[][2] = {{"BM_XsaveXrstor", "XSAVE+XRSTOR of the AVX state"},
                           {"BM_XsaveXrstorWithArea", "same, area allocated per frame"},
                           {"BM_FrameWithScope", "frame with the host SimdStateScope"}};
  for (auto& row : rows) {
    if (c.ns.count(row[0])) {
      std::printf("  %-38s %9.1f ns   ratio pattern/frame = %.5f\n", row[1], c.ns[row[0]],
                  c.ns[row[0]] / frame);
    }
  }
  return 0;
}
