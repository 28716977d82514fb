// Payload assembly throughput against memcpy of the same bytes: a YUY2
// 640x480 frame cut into 3072-byte isochronous payloads (12-byte headers)
// is parsed and committed to the ring, against copying the same data bytes
// with memcpy. Both run with hot caches (the same buffers every iteration).
// The ratio printed is memcpy time / assembly time (goal: at least 0.8).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "usb/stream_engine.h"

namespace {

constexpr ULONG kW = 640, kH = 480, kPacket = 3072, kHeader = 12;

struct Stream {
  std::vector<std::vector<uint8_t>> payloads[2];  // one frame per frame-ID value
  Stream() {
    ULONG frame = kW * kH * 2;
    for (int fid = 0; fid < 2; ++fid) {
      for (ULONG off = 0; off < frame; off += kPacket - kHeader) {
        ULONG n = std::min(kPacket - kHeader, frame - off);
        std::vector<uint8_t> p(kHeader + n, uint8_t(off));
        p[0] = kHeader;
        p[1] = uint8_t(0x8C | fid | (off + n == frame ? 2 : 0));
        payloads[fid].push_back(std::move(p));
      }
    }
  }
};

double gAssembly = 0, gMemcpy = 0;

void BM_Assembly(benchmark::State& state) {
  Stream s;
  StreamEngine* e = CreateStreamEngine(nullptr);
  e->currentFormat.inputSubtype = kSubtypeYuy2;
  e->expectedFrameSize = kW * kH * 2;
  CreateStreamResources(e, nullptr, e->expectedFrameSize, 0);
  e->writeBuffer = e->ring.writeNode->buffer;
  e->lastFid = kNoFrameId;
  int fid = 0;
  for (auto _ : state) {
    for (const auto& p : s.payloads[fid]) ParsePayload(e, p.data(), ULONG(p.size()));
    fid ^= 1;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 2);
  if (e->framesCommitted + 1 < state.iterations()) state.SkipWithError("frames were not committed");
  FreeStreamEngine(e);
}

void BM_Memcpy(benchmark::State& state) {
  Stream s;
  std::vector<uint8_t> dst(kW * kH * 2);
  int fid = 0;
  for (auto _ : state) {
    size_t at = 0;
    for (const auto& p : s.payloads[fid]) {
      std::memcpy(dst.data() + at, p.data() + kHeader, p.size() - kHeader);
      at += p.size() - kHeader;
    }
    benchmark::DoNotOptimize(dst.data());
    fid ^= 1;
  }
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 2);
}

BENCHMARK(BM_Assembly);
BENCHMARK(BM_Memcpy);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      double t = r.GetAdjustedCPUTime();
      if (r.benchmark_name().find("Assembly") != std::string::npos) gAssembly = t;
      if (r.benchmark_name().find("Memcpy") != std::string::npos) gMemcpy = t;
    }
    ConsoleReporter::ReportRuns(runs);
  }
};

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  if (gAssembly > 0)
    std::printf("assembly throughput / memcpy throughput = %.2f (hot caches, YUY2 640x480, 3072-byte payloads)\n",
                gMemcpy / gAssembly);
  return 0;
}
