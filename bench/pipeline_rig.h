// The frame pipeline's benchmark rig, shared by the pipeline and capture
// benchmarks: device-sized buffers and a camera frame per route, the whole
// FramePipeline, each of its stages alone on the same buffers, and a peer
// (libjpeg-turbo and libyuv) doing the same work. Every buffer is reused from
// iteration to iteration: hot caches.
#pragma once

#include <benchmark/benchmark.h>
#include <libyuv/convert.h>
#include <libyuv/convert_from.h>
#include <libyuv/scale.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "effects/effect_chain.h"
#include "mjpeg/mjpeg_decoder.h"
#include "pipeline/conversions.h"
#include "pipeline/frame_pipeline.h"
#include "pipeline/scaler.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace pipeline_rig {

using Bytes = std::vector<uint8_t>;
// What the chain is handed: its settings and its work state, in one record.
struct ChainState : EffectSettings, EffectWorkState {};

struct Route {
  const char* name;
  uint32_t iw, ih, ow, oh;
  GUID out;
};

inline const ColorTables* Tables() {
  static ColorTables* t = [] { auto* p = new ColorTables; BuildColorTables(p); return p; }();
  return t;
}

// Device-sized buffers (3 x the largest pixel count, as the driver
// allocates them) and the route's frames.
struct Rig {
  Route r;
  Bytes encoded, camera, input, output, work, effect;
  std::unique_ptr<ChainState> state = std::make_unique<ChainState>();
  FrameFormat format{};
  explicit Rig(const Route& route) : r(route) {
    encoded = mjpeg_fixtures::Encode({int(r.iw), int(r.ih), 85, mjpeg_fixtures::Sampling::k422, 0});
    camera = mjpeg_fixtures::CameraLayout(encoded, true);
    const size_t device = 3 * size_t(2560) * 1920;
    input.assign(std::max(camera.size(), size_t(r.iw) * r.ih * 2), 0);
    output.assign(FrameOutputBytes(r.out, r.ow, r.oh), 0);
    work.assign(device, 0);
    effect.assign(device, 0);
    state->zoom.zoomFactor = 64;
    format.inputWidth = r.iw, format.inputHeight = r.ih;
    format.outputWidth = r.ow, format.outputHeight = r.oh;
    format.inputSubtype = kSubtypeMjpg, format.outputSubtype = r.out;
  }
  // The ring hands over a fresh compressed frame every time.
  void Refill() { memcpy(input.data(), camera.data(), camera.size()); }
  LONG Run() {
    return FramePipeline(FrameJob{input.data(), ULONG(camera.size()), ULONG(input.size()), output.data(),
                                  ULONG(output.size()), work.data(), ULONG(work.size()), effect.data(),
                                  ULONG(effect.size()), Tables(), &format, state.get(),
                                  state.get()});
  }
};

inline Rig& GetRig(const Route& r) {
  static std::map<std::string, std::unique_ptr<Rig>> rigs;
  auto& rig = rigs[r.name];
  if (!rig) rig = std::make_unique<Rig>(r);
  return *rig;
}

inline void Pipeline(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  for (auto _ : state) {
    g.Refill();
    if (g.Run() != 1) state.SkipWithError("pipeline refused the frame");
    benchmark::DoNotOptimize(g.output.data());
  }
}

// The stages, each alone on the same buffers.
inline void Decoder(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  g.Refill();
  for (auto _ : state) {
    if (DecodeMjpeg(g.work.data(), ULONG(g.work.size()), g.input.data(), ULONG(g.camera.size()),
                    g.effect.data(), ULONG(g.effect.size())) != 0)
      state.SkipWithError("decode failed");
    benchmark::DoNotOptimize(g.work.data());
  }
}

inline void Chain(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ApplyEffects(g.input.data(), g.work.data(), g.effect.data(), Tables(), &g.format,
                                          g.state.get(), g.state.get()));
  }
}

inline void Scaler(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  for (auto _ : state) {
    ScaleFrame(g.output.data(), g.input.data(), r.iw, r.ih, r.ow, r.oh, Tables()->ClampPointer, 1);
    benchmark::DoNotOptimize(g.output.data());
  }
}

// The last pass into the application's buffer for I420 (YUY2 at the
// camera's size is decoded straight into it and has none).
inline void Conversion(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  for (auto _ : state) {
    ConvertYuy2ToI420(g.output.data(), g.input.data(), r.ow, r.oh);
    benchmark::DoNotOptimize(g.output.data());
  }
}

// libjpeg-turbo to planar 4:2:2, libyuv's bilinear scaler on each plane
// when the size changes, then libyuv packs YUY2 or makes I420.
class PeerRun {
 public:
  explicit PeerRun(const Route& r)
      : r_(r), cw_(int(r.iw) / 2), ocw_(int(r.ow) / 2), y_(size_t(r.iw) * r.ih + Slack(r)),
        u_(size_t(cw_) * r.ih + Slack(r)), v_(u_.size()), sy_(size_t(r.ow) * r.oh), su_(size_t(ocw_) * r.oh),
        sv_(su_.size()), handle_(tjInitDecompress()) {}
  ~PeerRun() { tjDestroy(handle_); }
  PeerRun(const PeerRun&) = delete;
  PeerRun& operator=(const PeerRun&) = delete;

  // One frame of `g` into its output buffer; false when libjpeg-turbo fails.
  bool Once(Rig& g) {
    unsigned char* planes[3] = {y_.data(), u_.data(), v_.data()};
    int strides[3] = {int(r_.iw), cw_, cw_};
    if (tjDecompressToYUVPlanes(handle_, g.encoded.data(), g.encoded.size(), planes, int(r_.iw), strides,
                                int(r_.ih), TJFLAG_ACCURATEDCT) != 0)
      return false;
    const uint8_t *py = y_.data(), *pu = u_.data(), *pv = v_.data();
    if (r_.iw != r_.ow || r_.ih != r_.oh) {
      libyuv::ScalePlane(y_.data(), int(r_.iw), int(r_.iw), int(r_.ih), sy_.data(), int(r_.ow), int(r_.ow),
                         int(r_.oh), libyuv::kFilterBilinear);
      libyuv::ScalePlane(u_.data(), cw_, cw_, int(r_.ih), su_.data(), ocw_, ocw_, int(r_.oh), libyuv::kFilterBilinear);
      libyuv::ScalePlane(v_.data(), cw_, cw_, int(r_.ih), sv_.data(), ocw_, ocw_, int(r_.oh), libyuv::kFilterBilinear);
      py = sy_.data(), pu = su_.data(), pv = sv_.data();
    }
    uint8_t* o = g.output.data();
    if (IsEqualGUID(r_.out, kSubtypeI420)) {
      libyuv::I422ToI420(py, int(r_.ow), pu, ocw_, pv, ocw_, o, int(r_.ow), o + size_t(r_.ow) * r_.oh, ocw_,
                         o + size_t(r_.ow) * r_.oh * 5 / 4, ocw_, int(r_.ow), int(r_.oh));
    } else {
      libyuv::I422ToYUY2(py, int(r_.ow), pu, ocw_, pv, ocw_, o, int(r_.ow) * 2, int(r_.ow), int(r_.oh));
    }
    return true;
  }

 private:
  static size_t Slack(const Route& r) { return size_t(r.iw) * 32; }
  Route r_;
  int cw_, ocw_;
  Bytes y_, u_, v_, sy_, su_, sv_;
  tjhandle handle_;
};

inline void Peer(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  PeerRun peer(r);
  for (auto _ : state) {
    if (!peer.Once(g)) state.SkipWithError("libjpeg-turbo failed");
    benchmark::DoNotOptimize(g.output.data());
  }
}

// Seconds on one of the system's clocks: this thread's CPU time, the whole
// process's CPU time, or wall time.
inline double ClockSeconds(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}
inline double ThreadCpuSeconds() { return ClockSeconds(CLOCK_THREAD_CPUTIME_ID); }
inline double ProcessCpuSeconds() { return ClockSeconds(CLOCK_PROCESS_CPUTIME_ID); }
inline double WallSeconds() { return ClockSeconds(CLOCK_MONOTONIC); }

// The pipeline and the peer in turn on every iteration, each timed on its
// own (thread CPU time), so that both see the same machine: a burst of
// load from elsewhere lands on both instead of on whichever ran at the
// time. Counters: each side's mean time per frame and the median of the
// per-iteration ratios ours / peer. Caches are warm for both (each evicts
// part of the other's working set), not hot as in the separate runs.
inline void Paired(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  PeerRun peer(r);
  std::vector<double> ratios;
  double ours = 0, theirs = 0;
  for (auto _ : state) {
    const double t0 = ThreadCpuSeconds();
    g.Refill();
    if (g.Run() != 1) state.SkipWithError("pipeline refused the frame");
    const double t1 = ThreadCpuSeconds();
    if (!peer.Once(g)) state.SkipWithError("libjpeg-turbo failed");
    const double t2 = ThreadCpuSeconds();
    ours += t1 - t0, theirs += t2 - t1;
    if (t2 > t1) ratios.push_back((t1 - t0) / (t2 - t1));
  }
  if (ratios.empty()) return;
  std::nth_element(ratios.begin(), ratios.begin() + ratios.size() / 2, ratios.end());
  const double frames = double(state.iterations());
  state.counters["ours_ms"] = ours / frames * 1e3;
  state.counters["peer_ms"] = theirs / frames * 1e3;
  state.counters["median_ratio"] = ratios[ratios.size() / 2];
}

// The paired figures of each route as the reporters saw them (repetitions
// averaged), printed as one line under the route's other figures.
class PairedNotes {
 public:
  void Take(const benchmark::BenchmarkReporter::Run& run) {
    const std::string name = run.benchmark_name();
    if (run.run_type != benchmark::BenchmarkReporter::Run::RT_Iteration || run.error_occurred ||
        name.rfind("paired/", 0) != 0)
      return;
    Figures& f = figures_[name.substr(7)];
    const double n = ++f.runs;
    auto mean = [&](double& into, const char* counter) {
      auto it = run.counters.find(counter);
      if (it != run.counters.end()) into += (double(it->second) - into) / n;
    };
    mean(f.ours, "ours_ms");
    mean(f.peer, "peer_ms");
    mean(f.median, "median_ratio");
  }
  void Print(const char* route) const {
    auto it = figures_.find(route);
    if (it == figures_.end()) return;
    const Figures& f = it->second;
    std::printf("  %-28s   in turn with the peer, frame by frame (warm caches): ours %.2f ms, peer %.2f ms; "
                "pipeline / peer %.2f (median of the frame ratios %.2f)\n",
                "", f.ours, f.peer, f.peer > 0 ? f.ours / f.peer : 0.0, f.median);
  }

 private:
  struct Figures {
    double ours = 0, peer = 0, median = 0;
    int runs = 0;
  };
  std::map<std::string, Figures> figures_;
};

// Registers the whole pipeline, the peer and each stage for one route
// (the scaler for a scaled route, the conversion for I420), named
// "<stage>/<route>".
inline void RegisterStages(const Route& r) {
  const bool scaled = r.iw != r.ow || r.ih != r.oh;
  auto add = [&](const char* stage, void (*fn)(benchmark::State&, Route)) {
    benchmark::RegisterBenchmark((std::string(stage) + "/" + r.name).c_str(), fn, r)->Unit(benchmark::kMillisecond);
  };
  add("FramePipeline", Pipeline);
  add("peer_turbojpeg_libyuv", Peer);
  add("paired", Paired);
  add("decoder", Decoder);
  add("chain", Chain);
  if (scaled) add("scaler", Scaler);
  else if (IsEqualGUID(r.out, kSubtypeI420)) add("conversion", Conversion);
}

// Runs the registered benchmarks through `Reporter` (a console reporter
// with a Print() of its own figures after the table).
template <class Reporter>
int RunAndPrint(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  Reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  reporter.Print();
  benchmark::Shutdown();
  return 0;
}

}  // namespace pipeline_rig
