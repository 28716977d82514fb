// Producer and consumer on two threads, as the stream worker and the capture
// pin run them. Checks that every delivered frame is whole and is the frame
// its tag names, that frame numbers only grow (a frame is either delivered or
// replaced by a newer one), that nothing older than the two newest commits is
// handed out, and that no buffer is ever owned by both sides. Also runs under
// ThreadSanitizer, which sees any access to a buffer outside the hand-over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host_control.h"
#include "usb/frame_ring.h"

namespace {

enum Owner : int { kInRing = 0, kProducer = 1, kConsumer = 2 };

constexpr ULONG kHeader = 8;

ULONG FrameLength(ULONG n, ULONG size) { return kHeader + (n * 2654435761u) % (size - kHeader + 1); }
UCHAR PatternByte(ULONG n, ULONG i) { return UCHAR((n * 131u + i * 7u + (n >> 8)) & 0xFF); }

void WriteFrame(UCHAR* buffer, ULONG n, ULONG length) {
  std::memcpy(buffer, &n, 4);
  std::memcpy(buffer + 4, &length, 4);
  for (ULONG i = kHeader; i < length; ++i) buffer[i] = PatternByte(n, i);
}

// Returns the first inconsistent byte offset, or -1 when the frame is whole.
long CheckFrame(const FrameRingNode* node, ULONG size) {
  ULONG n, length;
  std::memcpy(&n, node->buffer, 4);
  std::memcpy(&length, node->buffer + 4, 4);
  if (n != node->tag) return 0;
  if (length != node->length || length != FrameLength(n, size)) return 4;
  for (ULONG i = kHeader; i < length; ++i) {
    if (node->buffer[i] != PatternByte(n, i)) return long(i);
  }
  return -1;
}

struct StressResult {
  ULONG delivered = 0;
  ULONG emptyTakes = 0;
  ULONG lastFrame = 0;
  int errors = 0;
};

StressResult RunStress(ULONG frames, ULONG size, ULONG slowEvery) {
  FrameRing ring{};
  EXPECT_EQ(RingCreate(&ring, size), 0u);
  if (ring.writeNode == nullptr) return StressResult{};
  std::atomic<int> owner[kFrameRingNodeCount];
  for (auto& o : owner) o.store(kInRing);
  UCHAR* buffers[kFrameRingNodeCount];
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) buffers[i] = ring.nodes[i]->buffer;
  auto indexOf = [&](const UCHAR* b) -> int {
    for (ULONG i = 0; i < kFrameRingNodeCount; ++i) {
      if (buffers[i] == b) return int(i);
    }
    return -1;
  };

  UCHAR* first = ring.writeNode->buffer;
  owner[indexOf(first)].store(kProducer);
  std::atomic<ULONG> committed{0};
  std::atomic<bool> producerDone{false};
  std::atomic<int> producerErrors{0};

  std::thread producer([&] {
    UCHAR* wb = first;
    for (ULONG n = 0; n < frames; ++n) {
      int idx = indexOf(wb);
      if (idx < 0 || owner[idx].load() != kProducer) {
        ++producerErrors;
        break;
      }
      ULONG length = FrameLength(n, size);
      WriteFrame(wb, n, length);
      owner[idx].store(kInRing);
      RingCommit(&ring, &wb, length, n);
      committed.store(n + 1);
      int next = indexOf(wb);
      int expected = kInRing;
      if (next < 0 || !owner[next].compare_exchange_strong(expected, kProducer)) {
        ++producerErrors;
        break;
      }
      // Pace the producer roughly like the consumer so both empty takes
      // and laps happen often.
      std::this_thread::yield();
    }
    producerDone.store(true);
  });

  StressResult r;
  bool any = false;
  for (;;) {
    ULONG before = committed.load();
    bool done = producerDone.load();
    FrameRingNode* node = nullptr;
    if (!RingTake(&ring, &node)) {
      if (done) break;
      ++r.emptyTakes;
      std::this_thread::yield();
      continue;
    }
    int expected = kInRing;
    if (!owner[node->index].compare_exchange_strong(expected, kConsumer)) {
      ADD_FAILURE() << "node " << node->index << " handed to the consumer while owned by " << expected;
      ++r.errors;
      break;
    }
    ULONG n = node->tag;
    long bad = CheckFrame(node, size);
    if (bad >= 0) {
      ADD_FAILURE() << "frame " << n << " inconsistent at byte " << bad;
      ++r.errors;
    }
    if (any && n <= r.lastFrame) {
      ADD_FAILURE() << "frame " << n << " after " << r.lastFrame;
      ++r.errors;
    }
    if (n + 2 < before) {
      ADD_FAILURE() << "frame " << n << " delivered while " << before << " were committed";
      ++r.errors;
    }
    // Hold some frames for a while, as a slow conversion would, so that the
    // producer laps the ring; the frame must be unchanged afterwards.
    if (slowEvery != 0 && r.delivered % slowEvery == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      if (CheckFrame(node, size) >= 0) {
        ADD_FAILURE() << "frame " << n << " changed while the consumer held it";
        ++r.errors;
      }
    }
    any = true;
    r.lastFrame = n;
    ++r.delivered;
    owner[node->index].store(kInRing);
    RingReturn(&ring, node);
    if (r.errors > 10) break;
  }
  producer.join();
  EXPECT_EQ(producerErrors.load(), 0) << "the producer was handed a buffer it did not own";
  r.errors += producerErrors.load();
  RingDestroy(&ring);
  return r;
}

TEST(RingStress, TwoThreadsDeliverWholeFramesNewestWinning) {
  host::PoolReset();
  constexpr ULONG kFrames = 20000;
  StressResult r = RunStress(kFrames, 1024, 50);
  EXPECT_EQ(r.errors, 0);
  // Draining after the producer stopped must reach its very last frame.
  EXPECT_EQ(r.lastFrame, kFrames - 1);
  EXPECT_GT(r.delivered, 0u);
  // The slow frames make the producer lap: some frames must have been
  // replaced by newer ones.
  EXPECT_LT(r.delivered, kFrames);
  EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  std::printf("delivered %u of %u frames, %u empty takes\n", r.delivered, kFrames, r.emptyTakes);
}

TEST(RingStress, FastConsumerWithTinyFrames) {
  host::PoolReset();
  constexpr ULONG kFrames = 30000;
  StressResult r = RunStress(kFrames, kHeader + 8, 0);
  EXPECT_EQ(r.errors, 0);
  EXPECT_EQ(r.lastFrame, kFrames - 1);
  EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  std::printf("delivered %u of %u frames, %u empty takes\n", r.delivered, kFrames, r.emptyTakes);
}

}  // namespace
