// The simulated camera's stream: its steady frame clock and the picture
// controls of its processing unit.
#include "camera/stream_source.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
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
      if (t < pauseFrom || t >= pauseFrom + interval * 3) { EXPECT_LT(late, kMicroframe) << "frame at " << t; }
    }
    EXPECT_EQ(frames, 11);  // the one slot that passed unasked is never sent
  }
}

// The mean of fn over a packed YUY2 picture at bytes first, first + step, ...
using Bytes = std::vector<uint8_t>;
double Mean(const Bytes& f, size_t first, size_t step, double (*fn)(const uint8_t*)) {
  double sum = 0;
  size_t n = 0;
  for (size_t i = first; i + 2 < f.size(); i += step, ++n) sum += fn(&f[i]);
  return sum / double(n);
}
// Each processing-unit control changes the test picture the way its name
// says (a measure of it moves by a factor between lo and hi), and a control
// at its default changes nothing.
TEST(StreamSource, PictureControlsActOnTheTestPicture) {
  using camera::PictureControls;
  const Bytes base = camera::TestPicture(camera::StreamFormat::kYuy2, 96, 48, 3);
  const struct {
    PictureControls::Control PictureControls::*control;
    int64_t value, def;
    size_t first, step;  // the bytes measured: luma 0, 2; chroma 1, 2; U with its V 1, 4
    double (*measure)(const uint8_t*);
    double lo, hi;
  } cases[] = {
      {&PictureControls::brightness, 30, 0, 0, 2, [](const uint8_t* p) { return double(*p); }, 1.15, 2},
      {&PictureControls::gain, 50, 0, 0, 2, [](const uint8_t* p) { return double(*p); }, 1.15, 2},
      {&PictureControls::gamma, 200, 100, 0, 2, [](const uint8_t* p) { return double(*p); }, 1.05, 2},
      {&PictureControls::contrast, 64, 32, 0, 2, [](const uint8_t* p) { return std::fabs(*p - 128.0); }, 1.5, 3},
      {&PictureControls::sharpness, 6, 3, 2, 2, [](const uint8_t* p) { return std::fabs(2.0 * *p - p[-2] - p[2]); },
       1.5, 1e9},
      {&PictureControls::saturation, 0, 64, 1, 2, [](const uint8_t* p) { return std::fabs(*p - 128.0); }, -1, 0.1},
      {&PictureControls::hue, 40, 0, 1, 4, [](const uint8_t* p) { return (p[0] - 128.0) * (p[2] - 128.0); }, 3, 10},
      {&PictureControls::whiteBalance, 6500, 4600, 1, 4, [](const uint8_t* p) { return 128.0 + p[2] - p[0]; }, 1.2, 2},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(&c - cases);
    PictureControls pc;
    (pc.*c.control) = {c.def, c.def};
    EXPECT_EQ(camera::TestPicture(camera::StreamFormat::kYuy2, 96, 48, 3, pc), base);
    (pc.*c.control).value = c.value;
    const double factor =
        Mean(camera::TestPicture(camera::StreamFormat::kYuy2, 96, 48, 3, pc), c.first, c.step, c.measure) /
        Mean(base, c.first, c.step, c.measure);
    EXPECT_GT(factor, c.lo);
    EXPECT_LT(factor, c.hi);
  }
}

}  // namespace
