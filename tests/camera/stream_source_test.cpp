// The simulated camera's stream: its steady frame clock and the picture
// controls of its processing unit.
#include "camera/stream_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <vector>

namespace {

// Frames begin at start + n x interval whoever polls when: polled every
// microframe with a pause of 2.5 intervals, each frame's first payload comes
// within one microframe of its slot, at 30 fps and at 15 fps alike.
TEST(StreamSource, FramesKeepTheirSlotsThroughPollingGaps) {
  constexpr uint64_t kMicroframe = 1250, kStart = 1000000;
  for (uint32_t interval : {333333u, 666666u}) {
    SCOPED_TRACE(interval);
    camera::StreamSource source;
    camera::StreamSettings s;
    s.width = 16, s.height = 8, s.interval100ns = interval, s.payloadSize = 3072;
    source.Start(s, kStart);
    uint8_t data[3072];
    int lastFid = -1, frames = 0;
    for (uint64_t t = kStart; t < kStart + 12ull * interval; t += kMicroframe) {
      const uint64_t pauseFrom = kStart + 4ull * interval + interval / 3;
      if (t >= pauseFrom && t < pauseFrom + interval * 5 / 2) continue;  // nobody asks
      host::UsbInResult r = source.Next(t, data, sizeof data);
      if (r.kind != host::UsbInResult::kData || r.length <= data[0]) continue;
      const int fid = data[1] & 1;
      if (fid == lastFid) continue;
      lastFid = fid;
      ++frames;
      const uint64_t late = (t - kStart) % interval;
      if (t < pauseFrom || t >= pauseFrom + interval * 3) {
        EXPECT_LT(late, kMicroframe) << "frame at " << t;
      }
    }
    EXPECT_EQ(frames, 11);  // the one slot that passed unasked is never sent
  }
}

// The mean of fn over the picture's bytes from `first` on, every `step`.
double Mean(const std::vector<uint8_t>& f, size_t first, size_t step, const std::function<double(const uint8_t*)>& fn) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = first; i + 2 < f.size(); i += step, ++n) sum += fn(&f[i]);
  return sum / double(n);
}

// Each processing-unit control changes the test picture the way its name
// says, and a control at its default changes nothing.
TEST(StreamSource, PictureControlsActOnTheTestPicture) {
  using camera::PictureControls;
  using Bytes = std::vector<uint8_t>;
  constexpr uint32_t kW = 96, kH = 48;
  const Bytes base = camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3);
  auto luma = [](const Bytes& f) { return Mean(f, 0, 2, [](const uint8_t* p) { return *p; }); };
  auto spread = [](const Bytes& f, size_t first) {
    return Mean(f, first, 2, [](const uint8_t* p) { return std::fabs(*p - 128.0); });
  };
  auto edges = [](const Bytes& f) {
    return Mean(f, 2, 2, [](const uint8_t* p) { return std::fabs(2.0 * *p - p[-2] - p[2]); });
  };
  auto warmth = [](const Bytes& f) { return Mean(f, 1, 4, [](const uint8_t* p) { return p[2] - p[0]; }); };  // V - U
  struct Case {
    const char* name;
    PictureControls::Control PictureControls::*control;
    int64_t value, def;
    std::function<bool(const Bytes&)> acts;
  } cases[] = {
      {"brightness", &PictureControls::brightness, 30, 0, [&](const Bytes& f) { return luma(f) > luma(base) + 20; }},
      {"contrast", &PictureControls::contrast, 64, 32,
       [&](const Bytes& f) { return spread(f, 0) > spread(base, 0) * 1.5; }},
      {"gain", &PictureControls::gain, 50, 0, [&](const Bytes& f) { return luma(f) > luma(base) + 20; }},
      {"gamma", &PictureControls::gamma, 200, 100, [&](const Bytes& f) { return luma(f) > luma(base) + 10; }},
      {"saturation", &PictureControls::saturation, 0, 64, [&](const Bytes& f) { return spread(f, 1) < 1; }},
      {"hue", &PictureControls::hue, 40, 0,  // turned, at about the same strength
       [&](const Bytes& f) { return f != base && std::fabs(spread(f, 1) - spread(base, 1)) < 6; }},
      {"sharpness", &PictureControls::sharpness, 6, 3, [&](const Bytes& f) { return edges(f) > edges(base) * 1.5; }},
      {"white balance", &PictureControls::whiteBalance, 6500, 4600,
       [&](const Bytes& f) { return warmth(f) > warmth(base) + 20; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PictureControls pc;
    (pc.*c.control) = {c.def, c.def};
    EXPECT_EQ(camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3, pc), base);
    (pc.*c.control).value = c.value;
    EXPECT_TRUE(c.acts(camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3, pc)));
  }
}

}  // namespace
