// Producer and consumer on two threads, as the stream worker and the capture
// pin run them: every delivered frame must be whole and be the frame its first
// word names, frame numbers only grow (a frame is delivered or replaced by a newer
// one), nothing older than the two newest commits is handed out, and a
// frame the consumer holds never changes. Also runs under ThreadSanitizer,
// which flags any buffer access outside the hand-over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host_control.h"
#include "usb/frame_ring.h"

namespace {

// Frame n holds n, its length (derived from n), then a pattern of both.
ULONG FrameLength(ULONG n, ULONG size) { return 8 + (n * 2654435761u) % (size - 7); }
UCHAR PatternByte(ULONG n, ULONG i) { return UCHAR(n * 131u + i * 7u + (n >> 8)); }
bool FrameIsWhole(const FrameRingNode* node, ULONG size) {
  ULONG head[2];
  std::memcpy(head, node->buffer, 8);
  bool whole = head[1] == node->length &&
               head[1] == FrameLength(head[0], size);
  for (ULONG i = 8; whole && i < head[1]; ++i) whole = node->buffer[i] == PatternByte(head[0], i);
  return whole;
}

// Returns the number of frames delivered and the last one.
std::pair<ULONG, ULONG> RunStress(ULONG frames, ULONG size, ULONG holdEvery) {
  FrameRing ring{};
  ULONG delivered = 0, last = 0;
  EXPECT_EQ(RingCreate(&ring, size), 0u);
  if (ring.writeNode == nullptr) return {0, 0};
  UCHAR* wb = ring.writeNode->buffer;
  std::atomic<ULONG> committed{0};
  std::atomic<bool> producerDone{false};

  std::thread producer([&] {
    for (ULONG n = 0; n < frames; ++n) {
      const ULONG length = FrameLength(n, size);
      std::memcpy(wb, &n, 4);
      std::memcpy(wb + 4, &length, 4);
      for (ULONG i = 8; i < length; ++i) wb[i] = PatternByte(n, i);
      RingCommit(&ring, &wb, length);
      committed.store(n + 1);
      std::this_thread::yield();  // keep both empty takes and laps frequent
    }
    producerDone.store(true);
  });

  for (int errors = 0; errors < 10;) {
    const ULONG before = committed.load();
    const bool done = producerDone.load();
    FrameRingNode* node = nullptr;
    if (!RingTake(&ring, &node)) {
      if (done) break;
      std::this_thread::yield();
      continue;
    }
    ULONG n;
    std::memcpy(&n, node->buffer, 4);
    errors += !FrameIsWhole(node, size);
    EXPECT_TRUE(FrameIsWhole(node, size)) << "frame " << n;
    EXPECT_TRUE(delivered == 0 || n > last) << n << " after " << last;
    EXPECT_GE(n + 2, before) << "stale frame";
    // Hold some frames as a slow conversion would, so that the producer
    // laps the ring; the frame must not change meanwhile.
    if (holdEvery != 0 && delivered % holdEvery == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      EXPECT_TRUE(FrameIsWhole(node, size)) << "frame " << n << " changed while held";
    }
    last = n;
    ++delivered;
    RingReturn(&ring, node);
  }
  producer.join();
  RingDestroy(&ring);
  return {delivered, last};
}

TEST(RingStress, TwoThreadsDeliverWholeFramesNewestWinning) {
  // A slow consumer with 1 KiB frames, then a fast one with tiny frames.
  const struct { ULONG frames, size, holdEvery; } runs[] = {{20000, 1024, 50}, {30000, 16, 0}};
  for (const auto& run : runs) {
    host::PoolReset();
    const auto [delivered, last] = RunStress(run.frames, run.size, run.holdEvery);
    EXPECT_EQ(last, run.frames - 1);  // draining reaches the very last frame
    EXPECT_GT(delivered, 0u);
    if (run.holdEvery) {
      EXPECT_LT(delivered, run.frames);  // the held frames made the producer lap
    }
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  }
}

}  // namespace
