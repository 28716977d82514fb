// Producer and consumer on two threads, as the stream worker and the capture
// pin run them: every delivered frame must be whole and be the frame its tag
// names, frame numbers only grow (a frame is delivered or replaced by a newer
// one), nothing older than the two newest commits is handed out, and no
// buffer is ever owned by both sides. Also runs under ThreadSanitizer, which
// flags any buffer access outside the hand-over.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host_control.h"
#include "usb/frame_ring.h"

namespace {

enum Owner : int { kInRing, kProducer, kConsumer };

ULONG FrameLength(ULONG n, ULONG size) { return 8 + (n * 2654435761u) % (size - 7); }
UCHAR PatternByte(ULONG n, ULONG i) { return UCHAR(n * 131u + i * 7u + (n >> 8)); }

// A frame carries its number and length in its first 8 bytes, then a
// pattern derived from both over the rest of its length.
bool FrameIsWhole(const FrameRingNode* node, ULONG size) {
  ULONG n, length;
  std::memcpy(&n, node->buffer, 4);
  std::memcpy(&length, node->buffer + 4, 4);
  if (n != node->tag || length != node->length || length != FrameLength(n, size)) return false;
  for (ULONG i = 8; i < length; ++i) {
    if (node->buffer[i] != PatternByte(n, i)) return false;
  }
  return true;
}

struct Result { ULONG delivered = 0, last = 0; };

Result RunStress(ULONG frames, ULONG size, ULONG holdEvery) {
  FrameRing ring{};
  Result r;
  EXPECT_EQ(RingCreate(&ring, size), 0u);
  if (ring.writeNode == nullptr) return r;
  std::atomic<int> owner[kFrameRingNodeCount];
  for (auto& o : owner) o.store(kInRing);
  auto indexOf = [&](const UCHAR* b) {  // nodes[] is fixed while streaming
    for (ULONG i = 0; i < kFrameRingNodeCount; ++i)
      if (ring.nodes[i]->buffer == b) return int(i);
    return -1;
  };
  auto claim = [&](int idx, int who) {
    int expected = kInRing;
    return idx >= 0 && owner[idx].compare_exchange_strong(expected, who);
  };
  UCHAR* first = ring.writeNode->buffer;
  EXPECT_TRUE(claim(indexOf(first), kProducer));
  std::atomic<ULONG> committed{0};
  std::atomic<bool> producerDone{false}, producerOk{true};

  std::thread producer([&] {
    UCHAR* wb = first;
    for (ULONG n = 0; n < frames && producerOk.load(); ++n) {
      const int idx = indexOf(wb);
      const ULONG length = FrameLength(n, size);
      std::memcpy(wb, &n, 4);
      std::memcpy(wb + 4, &length, 4);
      for (ULONG i = 8; i < length; ++i) wb[i] = PatternByte(n, i);
      owner[idx].store(kInRing);
      RingCommit(&ring, &wb, length, n);
      committed.store(n + 1);
      producerOk.store(claim(indexOf(wb), kProducer));  // not a buffer someone else owns
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
    const ULONG n = node->tag;
    if (!claim(int(node->index), kConsumer)) {
      ADD_FAILURE() << "node " << node->index << " handed out while owned";
      break;
    }
    errors += !FrameIsWhole(node, size);
    EXPECT_TRUE(FrameIsWhole(node, size)) << "frame " << n;
    EXPECT_TRUE(r.delivered == 0 || n > r.last) << n << " after " << r.last;
    EXPECT_GE(n + 2, before) << "stale frame";
    // Hold some frames as a slow conversion would, so that the producer
    // laps the ring; the frame must not change meanwhile.
    if (holdEvery != 0 && r.delivered % holdEvery == 0) {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
      EXPECT_TRUE(FrameIsWhole(node, size)) << "frame " << n << " changed while held";
    }
    r.last = n;
    ++r.delivered;
    owner[node->index].store(kInRing);
    RingReturn(&ring, node);
  }
  producer.join();
  EXPECT_TRUE(producerOk.load());
  RingDestroy(&ring);
  return r;
}

TEST(RingStress, TwoThreadsDeliverWholeFramesNewestWinning) {
  // A slow consumer with 1 KiB frames, then a fast one with tiny frames.
  const struct { ULONG frames, size, holdEvery; } runs[] = {{20000, 1024, 50}, {30000, 16, 0}};
  for (const auto& run : runs) {
    host::PoolReset();
    Result r = RunStress(run.frames, run.size, run.holdEvery);
    EXPECT_EQ(r.last, run.frames - 1);  // draining reaches the very last frame
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
    // Held frames make the producer lap; a fast consumer still sees some frames.
    EXPECT_LT(r.delivered, run.holdEvery ? run.frames : run.frames + 1);
    EXPECT_GT(r.delivered, 0u);
    std::printf("delivered %u of %u frames\n", r.delivered, run.frames);
  }
}

}  // namespace
