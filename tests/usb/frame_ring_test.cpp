// The frame ring between the stream worker and the capture pin: the
// hand-over rules step by step, misuse, allocation failure, and the two
// threads under stress.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <thread>

#include "platform/host/host_control.h"
#include "usb/frame_ring.h"

namespace {

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::PoolReset();
    ASSERT_EQ(RingCreate(&ring, kSize), 0u);
    writeBuffer = ring.writeNode->buffer;
  }
  void TearDown() override {
    RingDestroy(&ring);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  }
  // A frame is known by the tag in its first four bytes.
  void Commit(ULONG tag, ULONG length = 16) {
    if (ring.writeNode) std::memcpy(ring.writeNode->buffer, &tag, 4);
    RingCommit(&ring, &writeBuffer, length);
  }
  static ULONG TagOf(const FrameRingNode* node) {
    ULONG tag;
    std::memcpy(&tag, node->buffer, 4);
    return tag;
  }
  // Tag of the taken node (0 when none); the node is kept in `taken`.
  ULONG Take() {
    taken = reinterpret_cast<FrameRingNode*>(1);
    const bool ok = RingTake(&ring, &taken) != FALSE;
    EXPECT_EQ(ok, taken != nullptr);
    return ok ? TagOf(taken) : 0;
  }
  int RingLength() {  // nodes reachable from the write node, links checked
    int n = 0;
    for (FrameRingNode* p = ring.writeNode; n == 0 || (n < 10 && p != ring.writeNode); ++n) {
      EXPECT_EQ(p->next->prev, p);
      p = p->next;
    }
    return n;
  }

  static constexpr ULONG kSize = 64;
  FrameRing ring{};
  UCHAR* writeBuffer = nullptr;
  FrameRingNode* taken = nullptr;
};

TEST_F(RingTest, DeliversOldestFirstKeepsTheNewestAndRefillsTheReturnedNode) {
  FrameRingNode* n = ring.writeNode;  // three zeroed nodes in creation order
  for (ULONG i = 0; i < 3; ++i, n = n->next) {
    EXPECT_EQ(n->index, i);
    for (ULONG b = 0; b < kSize; ++b) ASSERT_EQ(n->buffer[b], 0);
  }
  EXPECT_EQ(Take(), 0u);  // fresh ring
  UCHAR* first = writeBuffer;
  Commit(7, 40);
  ASSERT_EQ(Take(), 7u);
  FrameRingNode* node0 = taken;
  EXPECT_EQ(node0->buffer, first);
  EXPECT_EQ(node0->length, 40u);
  EXPECT_EQ(Take(), 0u);  // the next node is still being filled
  RingReturn(&ring, node0);
  EXPECT_EQ(node0->length, 0u);
  Commit(1);  // the producer moves on to the returned node 0, not node 2
  EXPECT_EQ(writeBuffer, first);
  Commit(2);  // three commits without a take: the two newest remain
  Commit(3);
  ASSERT_EQ(Take(), 2u);
  FrameRingNode* held = taken;
  for (ULONG t = 4; t <= 8; ++t) {  // with a node taken the producer laps the other two
    Commit(t);
    EXPECT_NE(writeBuffer, held->buffer) << t;
  }
  ASSERT_EQ(Take(), 8u);
  FrameRingNode* newest = taken;
  EXPECT_EQ(Take(), 0u);
  EXPECT_EQ(TagOf(held), 2u);
  RingReturn(&ring, held);
  RingReturn(&ring, newest);
  EXPECT_EQ(RingLength(), 3);
}

TEST_F(RingTest, MisuseIsContained) {
  Commit(1, kSize + 1000);  // a length past the buffer is clamped
  ASSERT_EQ(Take(), 1u);
  EXPECT_EQ(taken->length, kSize);
  RingReturn(&ring, taken);
  RingReturn(&ring, taken);  // returned twice or null: ignored
  RingReturn(&ring, nullptr);
  Commit(9);
  EXPECT_EQ(RingLength(), 3);
  ASSERT_EQ(Take(), 9u);
  RingReturn(&ring, taken);
  // Reset zeroes the ring's buffers but leaves the consumer's node alone.
  Commit(2);
  std::memset(writeBuffer, 0xCD, kSize);
  Commit(3);
  ASSERT_EQ(Take(), 2u);
  std::memset(taken->buffer, 0x5A, kSize);
  const FrameRingNode* held = taken;
  RingReset(&ring);
  EXPECT_EQ(Take(), 0u);
  for (FrameRingNode* n : ring.nodes)
    for (ULONG b = 0; b < kSize; ++b) ASSERT_EQ(n->buffer[b], n == held ? 0x5A : 0) << b;
  // Destroy frees all three nodes although one was never returned, and a
  // destroyed ring answers safely.
  RingDestroy(&ring);
  EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  Commit(4);
  EXPECT_EQ(writeBuffer, nullptr);
  EXPECT_EQ(Take(), 0u);
  RingReset(&ring);
}

TEST(RingCreateFailure, EveryAllocationFailureLeavesNothingBehind) {
  for (uint64_t nth = 1; nth <= 7; ++nth) {
    host::PoolReset();
    host::PoolFailNth(nth);
    FrameRing ring{};
    EXPECT_EQ(RingCreate(&ring, 128), nth <= 6 ? 1u : 0u) << nth;
    EXPECT_EQ(ring.writeNode == nullptr, nth <= 6) << nth;
    RingDestroy(&ring);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << nth << host::PoolLeakReport();
  }
  host::PoolReset();
}

// Producer and consumer on two threads, as the stream worker and the capture
// pin run them: every delivered frame must be whole and be the frame its first
// word names, frame numbers only grow (a frame is delivered or replaced by a newer
// one), nothing older than the two newest commits is handed out, and a
// frame the consumer holds never changes. Also runs under ThreadSanitizer,
// which flags any buffer access outside the hand-over.

// Frame n holds n, its length (derived from n), then a pattern of both.
ULONG FrameLength(ULONG n, ULONG size) { return 8 + (n * 2654435761u) % (size - 7); }
UCHAR PatternByte(ULONG n, ULONG i) { return UCHAR(n * 131u + i * 7u + (n >> 8)); }
bool FrameIsWhole(const FrameRingNode* node, ULONG size) {
  ULONG head[2];
  std::memcpy(head, node->buffer, 8);
  bool whole = head[1] == node->length && head[1] == FrameLength(head[0], size);
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
