// Decodes on two devices at once, and the pool block of a frame with its own
// Huffman tables.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "mjpeg/mjpeg_decoder.h"
#include "platform/host/host_control.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using namespace mjpeg_fixtures;

constexpr size_t kBufferBytes = 3 * 64 * 48;

struct Job {
  bool still;
  Bytes frame, expected;
};

// Webcam frames on one device, stills with their own tables (the pool block)
// on another, code paths switching meanwhile: every decode as single-threaded.
TEST(MjpegConcurrency, TwoDevicesDecodeAtOnce) {
  Job jobs[2] = {{false, WebcamLayout(Encode({64, 48, 75, Sampling::k420, 2}), true), {}},
                 {true, CameraLayout(Encode({48, 32, 80, Sampling::k422, 0, true}), false), {}}};
  for (Job& j : jobs) {
    Bytes scratch(kBufferBytes);
    j.expected.assign(kBufferBytes, 0);
    ASSERT_EQ(Decode(j.still, j.expected, j.frame, scratch), kMjpegOk);
  }
  std::atomic<bool> stop{false};
  std::thread switcher([&] {
    for (int i = 0; !stop.load(); ++i) {
      MjpegSelectKernels(static_cast<MjpegKernels>(i % 4));
      std::this_thread::yield();
    }
  });
  int wrong[2] = {0, 0};
  auto device = [&](int index) {
    Bytes destination(kBufferBytes), scratch(kBufferBytes);
    for (int i = 0; i < 100; ++i) {
      std::fill(destination.begin(), destination.end(), 0);
      if (Decode(jobs[index].still, destination, jobs[index].frame, scratch) != kMjpegOk ||
          destination != jobs[index].expected)
        ++wrong[index];
    }
  };
  std::thread first(device, 0), second(device, 1);
  first.join();
  second.join();
  stop = true;
  switcher.join();
  MjpegSelectKernels(kMjpegKernelsBest);
  EXPECT_EQ(wrong[0], 0);
  EXPECT_EQ(wrong[1], 0);
}

// Own tables take one pool block per call (standard ones none); without it the
// frame fails with kMjpegErrorNoMemory, destination untouched, nothing leaked.
TEST(MjpegOwnTables, OneBlockPerCallAndAllocationFailureFailsTheFrame) {
  const Bytes encoded = Encode({48, 32, 80, Sampling::k420, 0, true});
  const Bytes own = CameraLayout(encoded, false), standard = WebcamLayout(Encode({48, 32, 80}), false);
  Bytes scratch(kBufferBytes), good(kBufferBytes, 0);
  for (bool still : {false, true}) {
    host::PoolReset();
    ASSERT_EQ(Decode(still, good, standard, scratch), kMjpegOk);
    EXPECT_EQ(host::PoolAllocationCount(), 0u);
    ASSERT_EQ(Decode(still, good, own, scratch), kMjpegOk);
    EXPECT_EQ(host::PoolStats(kTagBuffer).allocations, 1u);
    host::PoolFailNth(1);
    Bytes destination(kBufferBytes, 0x5A);
    EXPECT_EQ(Decode(still, destination, own, scratch), kMjpegErrorNoMemory);
    EXPECT_EQ(destination, Bytes(kBufferBytes, 0x5A));
    EXPECT_EQ(host::PoolStats(kTagBuffer).failures, 1u);
    EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 0u);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
    host::PoolReset();
  }
}

}  // namespace
