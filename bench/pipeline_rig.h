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

#include <cstring>
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
inline void Peer(benchmark::State& state, Route r) {
  Rig& g = GetRig(r);
  tjhandle handle = tjInitDecompress();
  const int cw = int(r.iw) / 2, ocw = int(r.ow) / 2;
  const size_t slack = size_t(r.iw) * 32;
  Bytes y(size_t(r.iw) * r.ih + slack), u(size_t(cw) * r.ih + slack), v(u.size());
  Bytes sy(size_t(r.ow) * r.oh), su(size_t(ocw) * r.oh), sv(su.size());
  unsigned char* planes[3] = {y.data(), u.data(), v.data()};
  int strides[3] = {int(r.iw), cw, cw};
  const bool scale = r.iw != r.ow || r.ih != r.oh;
  for (auto _ : state) {
    if (tjDecompressToYUVPlanes(handle, g.encoded.data(), g.encoded.size(), planes, int(r.iw), strides,
                                int(r.ih), TJFLAG_ACCURATEDCT) != 0)
      state.SkipWithError("libjpeg-turbo failed");
    const uint8_t *py = y.data(), *pu = u.data(), *pv = v.data();
    if (scale) {
      libyuv::ScalePlane(y.data(), int(r.iw), int(r.iw), int(r.ih), sy.data(), int(r.ow), int(r.ow), int(r.oh),
                         libyuv::kFilterBilinear);
      libyuv::ScalePlane(u.data(), cw, cw, int(r.ih), su.data(), ocw, ocw, int(r.oh), libyuv::kFilterBilinear);
      libyuv::ScalePlane(v.data(), cw, cw, int(r.ih), sv.data(), ocw, ocw, int(r.oh), libyuv::kFilterBilinear);
      py = sy.data(), pu = su.data(), pv = sv.data();
    }
    uint8_t* o = g.output.data();
    if (IsEqualGUID(r.out, kSubtypeI420)) {
      libyuv::I422ToI420(py, int(r.ow), pu, ocw, pv, ocw, o, int(r.ow), o + size_t(r.ow) * r.oh, ocw,
                         o + size_t(r.ow) * r.oh * 5 / 4, ocw, int(r.ow), int(r.oh));
    } else {
      libyuv::I422ToYUY2(py, int(r.ow), pu, ocw, pv, ocw, o, int(r.ow) * 2, int(r.ow), int(r.oh));
    }
    benchmark::DoNotOptimize(o);
  }
  tjDestroy(handle);
}

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
