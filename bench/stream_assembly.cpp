// Payload assembly throughput against memcpy of the same bytes: a YUY2
// 640x480 frame cut into 3072-byte isochronous payloads (12-byte headers)
// is parsed and committed to the ring, against copying the same data bytes
// with memcpy. Both run with hot caches (the same buffers every iteration).
// The ratio printed is memcpy time / assembly time (goal: at least 0.8).
//
// Second figure: the CPU share of streaming 1280x720 MJPEG at 30 fps through
// the engine's payload parsing, frame assembly, the frame checks and the ring
// commit — the driver's own work per frame; the bus and the camera model are
// left out (the payloads are prepared once). Hot caches as above.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "camera/stream_source.h"
#include "usb/stream_engine.h"

namespace {

constexpr ULONG kW = 640, kH = 480, kPacket = 3072, kHeader = 12;

// Frames cut into payloads of at most kPacket bytes, one frame per
// frame-ID value; `frames` null gives YUY2 640x480 filler frames.
struct Stream {
  std::vector<std::vector<uint8_t>> payloads[2];
  explicit Stream(const std::vector<uint8_t>* frames = nullptr) {
    for (int fid = 0; fid < 2; ++fid) {
      std::vector<uint8_t> filler;
      const std::vector<uint8_t>* data = frames ? &frames[fid] : &filler;
      if (!frames) filler.assign(kW * kH * 2, 0);
      const ULONG frame = ULONG(data->size());
      for (ULONG off = 0; off < frame; off += kPacket - kHeader) {
        ULONG n = std::min(kPacket - kHeader, frame - off);
        std::vector<uint8_t> p(kHeader + n, uint8_t(off));
        if (frames) std::memcpy(p.data() + kHeader, data->data() + off, n);
        p[0] = kHeader;
        p[1] = uint8_t(0x8C | fid | (off + n == frame ? 2 : 0));
        payloads[fid].push_back(std::move(p));
      }
    }
  }
};

// An engine ready to assemble `subtype` frames of `frameSize` bytes, and a
// loop feeding the stream's two frames alternately; returns the frames
// committed.
ULONG RunEngine(benchmark::State& state, const Stream& s, const GUID& subtype, ULONG frameSize,
                bool noTrailer) {
  StreamEngine* e = CreateStreamEngine(nullptr);
  e->currentFormat.inputSubtype = subtype;
  e->expectedFrameSize = frameSize;
  e->noTrailer = noTrailer;
  CreateStreamResources(e, nullptr, e->expectedFrameSize, 0);
  e->writeBuffer = e->ring.writeNode->buffer;
  e->lastFid = kNoFrameId;
  int fid = 0;
  for (auto _ : state) {
    for (const auto& p : s.payloads[fid]) ParsePayload(e, p.data(), ULONG(p.size()));
    fid ^= 1;
  }
  const ULONG committed = e->framesCommitted;
  FreeStreamEngine(e);
  return committed;
}

double gMjpegFrame = 0;
size_t gMjpegBytes = 0;

// The engine's work for 1280x720 MJPEG frames from a camera without a
// vendor trailer (end-of-image check), one frame per iteration.
void BM_Mjpeg720pFrame(benchmark::State& state) {
  const std::vector<uint8_t> frames[2] = {
      camera::TestPicture(camera::StreamFormat::kMjpeg, 1280, 720, 0),
      camera::TestPicture(camera::StreamFormat::kMjpeg, 1280, 720, 1)};
  if (frames[0].empty() || frames[1].empty()) {
    state.SkipWithError("no MJPEG encoder");
    return;
  }
  gMjpegBytes = (frames[0].size() + frames[1].size()) / 2;
  Stream s(frames);
  const ULONG committed = RunEngine(state, s, kSubtypeMjpg, RawFrameSize(1280, 720), true);
  // The first three MJPEG frames of a stream are never committed, and a
  // frame is finished by the next one's first payload.
  if (committed + 4 < state.iterations()) state.SkipWithError("frames were not committed");
}

double gAssembly = 0, gMemcpy = 0;

void BM_Assembly(benchmark::State& state) {
  Stream s;
  const ULONG committed = RunEngine(state, s, kSubtypeYuy2, kW * kH * 2, false);
  state.SetBytesProcessed(int64_t(state.iterations()) * kW * kH * 2);
  if (committed + 1 < state.iterations()) state.SkipWithError("frames were not committed");
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
BENCHMARK(BM_Mjpeg720pFrame)->Unit(benchmark::kMicrosecond);

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& r : runs) {
      double t = r.GetAdjustedCPUTime();
      if (r.benchmark_name().find("Assembly") != std::string::npos) gAssembly = t;
      if (r.benchmark_name().find("Memcpy") != std::string::npos) gMemcpy = t;
      if (r.benchmark_name().find("Mjpeg720p") != std::string::npos)
        gMjpegFrame = r.GetAdjustedCPUTime() / benchmark::GetTimeUnitMultiplier(r.time_unit);
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
  if (gMjpegFrame > 0)
    std::printf("1280x720 MJPEG at 30 fps through the engine: %.1f us a frame (%zu-byte frames), "
                "CPU share %.3f%% of one core (hot caches; bus and camera model excluded)\n",
                gMjpegFrame * 1e6, gMjpegBytes, gMjpegFrame * 30 * 100);
  return 0;
}
