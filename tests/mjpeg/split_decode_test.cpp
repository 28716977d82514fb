// The scan split at a restart marker and decoded by two workers gives the
// serial decode's bytes (damaged markers are among the malformed frames).
#include <gtest/gtest.h>

#include "mjpeg/mjpeg_decoder.h"
#include "platform/host/pair_runner.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using namespace mjpeg_fixtures;

TEST(SplitDecode, EveryLayoutGivesTheSerialBytes) {
  struct Shape {
    EncodeOptions options;
    bool webcam;
  };
  // Intervals of one MCU, of a row, not dividing the MCU count, a single
  // interval (no split); the camera's and the webcam's layout (with fill).
  const Shape shapes[] = {
      {{1280, 720, 85, Sampling::k422, 80}, true},  {{640, 480, 75, Sampling::k420, 1}, false},
      {{176, 144, 80, Sampling::k422, 7}, true},    {{64, 48, 75, Sampling::kGrey, 3}, false},
      {{48, 32, 75, Sampling::k422, 12}, false},    {{200, 120, 90, Sampling::k420, 5, false, 3}, true},
  };
  // The runner, counting the pairs it ran: every frame with two or more
  // intervals is split.
  struct Counting {
    host::PairRunner runner;
    int pairs = 0;
  } counting;
  const MjpegWorkers workers = {[](void* context, MjpegWorkFunction work, void* first, void* second) {
                                  Counting* c = static_cast<Counting*>(context);
                                  ++c->pairs;
                                  host::PairRunner::RunPair(&c->runner, work, first, second);
                                },
                                &counting};
  for (const Shape& s : shapes) {
    counting.pairs = 0;
    const Bytes encoded = Encode(s.options);
    const Bytes frame = s.webcam ? WebcamLayout(encoded, true) : CameraLayout(encoded, true);
    const size_t size = 3 * static_cast<size_t>(s.options.width + 16) * (s.options.height + 16);
    Bytes serial(size, 0x5A), scratch(size);
    ASSERT_EQ(DecodeMjpeg(serial.data(), size, frame.data(), frame.size(), scratch.data(), size), kMjpegOk);
    for (int round = 0; round < 2; ++round) {
      Bytes split(size, 0x5A);
      std::fill(scratch.begin(), scratch.end(), 0x33);
      ASSERT_EQ(DecodeMjpegSplit(split.data(), size, frame.data(), frame.size(), scratch.data(), size, &workers),
                kMjpegOk);
      EXPECT_EQ(serial, split) << s.options.width << "x" << s.options.height << " interval "
                               << s.options.restartInterval;
    }
    EXPECT_EQ(counting.pairs, s.options.width == 48 ? 0 : 2) << s.options.width;
  }
}

}  // namespace
