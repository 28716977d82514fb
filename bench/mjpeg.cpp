// DecodeMjpeg against libjpeg-turbo on the same frames in the same run:
// libjpeg-turbo decompresses to planar YUV (no colour conversion, no
// upsampling, accurate integer IDCT); DecodeMjpeg decodes and interleaves to
// YUY2. Prints our time / their time for every frame. The ratio uses CPU
// time: the machine is shared, and wall time there measures the neighbours.
// The webcam frames (no DHT, a restart interval of one MCU row) are also
// decoded split in two at a restart marker on two threads
// (DecodeMjpegSplit): its wall time against libjpeg-turbo's single-thread
// wall time, and its CPU time (both threads) against ours serial.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "platform/host/pair_runner.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using mjpeg_fixtures::Sampling;

struct Shape {
  int width, height;
  Sampling sampling;
  const char* name;
  bool webcam = false;  // no DHT, a restart interval of one MCU row
};

const Shape kShapes[] = {
    {640, 480, Sampling::k422, "640x480_422"},   {640, 480, Sampling::k420, "640x480_420"},
    {1280, 720, Sampling::k422, "1280x720_422"}, {1280, 720, Sampling::k420, "1280x720_420"},
    {1920, 1080, Sampling::k422, "1920x1080_422"}, {1920, 1080, Sampling::k420, "1920x1080_420"},
    {1280, 720, Sampling::k422, "webcam_1280x720_422", true},
    {1920, 1080, Sampling::k422, "webcam_1920x1080_422", true},
    {1920, 1080, Sampling::k420, "webcam_1920x1080_420", true},
};

struct Fixture {
  std::vector<uint8_t> encoded;  // the encoder's own layout
  std::vector<uint8_t> camera;   // the camera's layout (one DQT, the standard DHT before SOS)
};

const Fixture& GetFixture(const Shape& s) {
  static std::map<std::string, Fixture> cache;
  Fixture& f = cache[s.name];
  if (f.encoded.empty()) {
    const unsigned interval = s.webcam ? (s.width + 15) / 16 : 0;
    f.encoded = mjpeg_fixtures::Encode({s.width, s.height, 85, s.sampling, interval});
    f.camera = s.webcam ? mjpeg_fixtures::WebcamLayout(f.encoded, false) : mjpeg_fixtures::CameraLayout(f.encoded, true);
  }
  return f;
}

void Ours(benchmark::State& state, Shape s, MjpegKernels kernels) {
  const Fixture& f = GetFixture(s);
  const size_t size = static_cast<size_t>(3) * s.width * s.height;
  std::vector<uint8_t> destination(size), scratch(size);
  MjpegSelectKernels(kernels);
  for (auto _ : state) {
    const LONG rc = DecodeMjpeg(destination.data(), destination.size(), f.camera.data(), f.camera.size(),
                                scratch.data(), scratch.size());
    if (rc != kMjpegOk) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(destination.data());
  }
  MjpegSelectKernels(kMjpegKernelsBest);
}

void Split(benchmark::State& state, Shape s) {
  const Fixture& f = GetFixture(s);
  const size_t size = static_cast<size_t>(3) * s.width * s.height;
  std::vector<uint8_t> destination(size), scratch(size);
  host::PairRunner runner;
  const MjpegWorkers workers = {host::PairRunner::RunPair, &runner};
  for (auto _ : state) {
    const LONG rc = DecodeMjpegSplit(destination.data(), destination.size(), f.camera.data(), f.camera.size(),
                                     scratch.data(), scratch.size(), &workers);
    if (rc != kMjpegOk) state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(destination.data());
  }
}

void LibjpegTurbo(benchmark::State& state, Shape s) {
  const Fixture& f = GetFixture(s);
  tjhandle handle = tjInitDecompress();
  const int subsampling = s.sampling == Sampling::k420 ? TJSAMP_420 : TJSAMP_422;
  const int chromaWidth = tjPlaneWidth(1, s.width, subsampling);
  const int chromaHeight = tjPlaneHeight(1, s.height, subsampling);
  const size_t slack = static_cast<size_t>(s.width) * 32;
  std::vector<uint8_t> y(static_cast<size_t>(s.width) * s.height + slack);
  std::vector<uint8_t> cb(static_cast<size_t>(chromaWidth) * chromaHeight + slack), cr(cb.size());
  unsigned char* planes[3] = {y.data(), cb.data(), cr.data()};
  int strides[3] = {s.width, chromaWidth, chromaWidth};
  for (auto _ : state) {
    if (tjDecompressToYUVPlanes(handle, f.encoded.data(), f.encoded.size(), planes, s.width, strides, s.height,
                                TJFLAG_ACCURATEDCT) != 0)
      state.SkipWithError("libjpeg-turbo failed");
    benchmark::DoNotOptimize(y.data());
  }
  tjDestroy(handle);
}

// Console output plus a record of every run's time for the ratio table.
class RatioReporter : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    // The mean over the repetitions (--benchmark_repetitions), so that a
    // burst of load from elsewhere during one of them counts for its share.
    for (const Run& r : runs)
      if (r.run_type == Run::RT_Iteration) {
        const std::string name = r.benchmark_name();
        const double n = ++repetitions_[name];
        times_[name] += (r.GetAdjustedCPUTime() - times_[name]) / n;
        wall_[name] += (r.GetAdjustedRealTime() - wall_[name]) / n;
      }
  }
  void PrintRatios() const {
    printf("\nour CPU time / libjpeg-turbo CPU time (lower is better; 1.0 = equal speed)\n");
    for (const Shape& s : kShapes) {
      const std::string name = s.name;
      auto findIn = [&](const std::map<std::string, double>& times, const std::string& prefix) {
        for (const auto& t : times)
          if (t.first.rfind(prefix + "/" + name, 0) == 0) return t.second;
        return 0.0;
      };
      auto find = [&](const std::string& prefix) { return findIn(times_, prefix); };
      const double turbo = find("libjpeg_turbo"), ours = find("DecodeMjpeg");
      const double sse2 = find("DecodeMjpeg_sse2"), scalar = find("DecodeMjpeg_scalar");
      if (turbo > 0 && ours > 0)
        printf("  %-14s DecodeMjpeg %.3f   (SSE2 kernels %.3f, scalar kernels %.3f)\n", s.name, ours / turbo,
               sse2 > 0 ? sse2 / turbo : 0.0, scalar > 0 ? scalar / turbo : 0.0);
      const double splitWall = findIn(wall_, "DecodeMjpegSplit"), turboWall = findIn(wall_, "libjpeg_turbo");
      if (splitWall > 0 && turboWall > 0 && ours > 0)
        printf("  %-14s split on two threads: wall %.3f of libjpeg-turbo's, CPU %.3f of ours serial\n", "",
               splitWall / turboWall, find("DecodeMjpegSplit") / ours);
    }
  }

 private:
  std::map<std::string, double> times_, wall_;
  std::map<std::string, int> repetitions_;
};

}  // namespace

int main(int argc, char** argv) {
  for (const Shape& s : kShapes) {
    benchmark::RegisterBenchmark((std::string("libjpeg_turbo/") + s.name).c_str(), LibjpegTurbo, s)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("DecodeMjpeg/") + s.name).c_str(), Ours, s, kMjpegKernelsBest)
        ->Unit(benchmark::kMillisecond);
    if (s.webcam)
      benchmark::RegisterBenchmark((std::string("DecodeMjpegSplit/") + s.name).c_str(), Split, s)
          ->Unit(benchmark::kMillisecond)
          ->UseRealTime()
          ->MeasureProcessCPUTime();
    benchmark::RegisterBenchmark((std::string("DecodeMjpeg_sse2/") + s.name).c_str(), Ours, s,
                                 kMjpegKernelsSse2)
        ->Unit(benchmark::kMillisecond);
    benchmark::RegisterBenchmark((std::string("DecodeMjpeg_scalar/") + s.name).c_str(), Ours, s,
                                 kMjpegKernelsScalar)
        ->Unit(benchmark::kMillisecond);
  }
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.PrintRatios();
  benchmark::Shutdown();
  return 0;
}
