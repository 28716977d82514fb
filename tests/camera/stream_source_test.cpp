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

// What the picture controls change, measured on a packed YUY2 picture.
struct Measure {
  double y = 0, ySpread = 0, u = 0, v = 0, chroma = 0, edges = 0;
};

Measure MeasureYuy2(const std::vector<uint8_t>& f, uint32_t width) {
  Measure m;
  const size_t pixels = f.size() / 2;
  for (size_t i = 0; i < pixels; ++i) m.y += f[2 * i];
  m.y /= double(pixels);
  for (size_t i = 0; i < pixels; ++i) {
    m.ySpread += std::fabs(f[2 * i] - m.y);
    if (i % width && i % width + 1 < width) m.edges += std::fabs(2.0 * f[2 * i] - f[2 * i - 2] - f[2 * i + 2]);
  }
  for (size_t i = 0; i + 3 < f.size(); i += 4) {
    m.u += f[i + 1], m.v += f[i + 3];
    m.chroma += std::fabs(f[i + 1] - 128.0) + std::fabs(f[i + 3] - 128.0);
  }
  m.ySpread /= double(pixels), m.edges /= double(pixels);
  m.u /= double(pixels / 2), m.v /= double(pixels / 2), m.chroma /= double(pixels / 2);
  return m;
}

// Each processing-unit control changes the test picture the way its name
// says, and a control at its default changes nothing.
TEST(StreamSource, PictureControlsActOnTheTestPicture) {
  using camera::PictureControls;
  constexpr uint32_t kW = 96, kH = 48;
  const auto base = camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3);
  const Measure b = MeasureYuy2(base, kW);
  struct Case {
    const char* name;
    PictureControls::Control PictureControls::*control;
    int64_t value, def;
    std::function<bool(const Measure&, const std::vector<uint8_t>&)> acts;
  } cases[] = {
      {"brightness", &PictureControls::brightness, 30, 0,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.y > b.y + 20; }},
      {"contrast", &PictureControls::contrast, 64, 32,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.ySpread > b.ySpread * 1.5; }},
      {"gain", &PictureControls::gain, 50, 0,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.y > b.y + 20; }},
      {"gamma", &PictureControls::gamma, 200, 100,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.y > b.y + 10; }},
      {"saturation", &PictureControls::saturation, 0, 64,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.chroma < 1; }},
      {"hue", &PictureControls::hue, 40, 0,
       [&](const Measure& m, const std::vector<uint8_t>& f) {
         double moved = 0;  // chroma bytes turned, at about the same strength
         for (size_t i = 1; i < f.size(); i += 2) moved += std::fabs(double(f[i]) - base[i]);
         return std::fabs(m.chroma - b.chroma) < 6 && moved / double(f.size() / 2) > 5;
       }},
      {"sharpness", &PictureControls::sharpness, 6, 3,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.edges > b.edges * 1.5; }},
      {"white balance", &PictureControls::whiteBalance, 6500, 4600,
       [&](const Measure& m, const std::vector<uint8_t>&) { return m.v > b.v + 10 && m.u < b.u - 10; }},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    PictureControls pc;
    (pc.*c.control) = {c.def, c.def};
    EXPECT_EQ(camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3, pc), base);
    (pc.*c.control).value = c.value;
    const auto changed = camera::TestPicture(camera::StreamFormat::kYuy2, kW, kH, 3, pc);
    EXPECT_TRUE(c.acts(MeasureYuy2(changed, kW), changed));
  }
}

}  // namespace
