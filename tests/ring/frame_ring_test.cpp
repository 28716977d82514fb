#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "platform/host/host_control.h"
#include "usb/frame_ring.h"

namespace {

class RingTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host::PoolReset();
    ring = FrameRing{};
    ASSERT_EQ(RingCreate(&ring, kSize), 0u);
    writeBuffer = ring.writeNode->buffer;
  }
  void TearDown() override {
    RingDestroy(&ring);
    EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  }
  void Commit(ULONG tag, ULONG length = 16) { RingCommit(&ring, &writeBuffer, length, tag); }
  FrameRingNode* Take() {
    FrameRingNode* node = reinterpret_cast<FrameRingNode*>(1);
    BOOLEAN ok = RingTake(&ring, &node);
    EXPECT_EQ(ok != FALSE, node != nullptr);
    return node;
  }

  static constexpr ULONG kSize = 64;
  FrameRing ring;
  UCHAR* writeBuffer = nullptr;
};

TEST_F(RingTest, CreateLinksThreeZeroedNodes) {
  FrameRingNode* n0 = ring.writeNode;
  EXPECT_EQ(n0->index, 0u);
  EXPECT_EQ(n0->next->index, 1u);
  EXPECT_EQ(n0->next->next->index, 2u);
  EXPECT_EQ(n0->next->next->next, n0);
  EXPECT_EQ(n0->prev->index, 2u);
  EXPECT_EQ(n0->prev->prev->index, 1u);
  EXPECT_EQ(ring.readNode, nullptr);
  EXPECT_EQ(ring.bufferSize, kSize);
  FrameRingNode* n = n0;
  for (int i = 0; i < 3; ++i, n = n->next) {
    EXPECT_EQ(n->length, 0u);
    for (ULONG b = 0; b < kSize; ++b) ASSERT_EQ(n->buffer[b], 0) << i << " " << b;
  }
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 6u);
}

TEST_F(RingTest, TakeFromFreshRingFails) { EXPECT_EQ(Take(), nullptr); }

TEST_F(RingTest, OneCommitGivesNodeZeroOnce) {
  UCHAR* first = writeBuffer;
  Commit(77, 40);
  EXPECT_NE(writeBuffer, first);
  FrameRingNode* node = Take();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->index, 0u);
  EXPECT_EQ(node->buffer, first);
  EXPECT_EQ(node->length, 40u);
  EXPECT_EQ(node->tag, 77u);
  EXPECT_EQ(Take(), nullptr);  // the next one is still being filled
  RingReturn(&ring, node);
}

TEST_F(RingTest, ThreeCommitsKeepTheTwoNewestOldestFirst) {
  Commit(1);
  Commit(2);
  Commit(3);
  FrameRingNode* a = Take();
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(a->tag, 2u);
  EXPECT_EQ(a->index, 1u);
  FrameRingNode* b = Take();
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->tag, 3u);
  EXPECT_EQ(b->index, 2u);
  EXPECT_EQ(Take(), nullptr);
  RingReturn(&ring, a);
  RingReturn(&ring, b);
}

TEST_F(RingTest, ReturnedNodeIsFilledNextAndComesBackEmpty) {
  Commit(1);  // node 0 committed, node 1 being filled
  FrameRingNode* node = Take();
  ASSERT_NE(node, nullptr);
  RingReturn(&ring, node);
  EXPECT_EQ(node->length, 0u);
  Commit(2);  // node 1 committed: the producer moves to node 0, not node 2
  EXPECT_EQ(writeBuffer, node->buffer);
  EXPECT_EQ(ring.writeNode, node);
  FrameRingNode* next = Take();
  ASSERT_NE(next, nullptr);
  EXPECT_EQ(next->tag, 2u);
  EXPECT_EQ(next->index, 1u);
  RingReturn(&ring, next);
}

TEST_F(RingTest, WithANodeTakenTheProducerOverwritesTheSingleCommittedFrame) {
  Commit(1);
  FrameRingNode* held = Take();
  ASSERT_NE(held, nullptr);
  for (ULONG t = 2; t <= 6; ++t) {
    Commit(t);
    // Only two nodes in the ring: never hand out the held buffer.
    EXPECT_NE(writeBuffer, held->buffer) << t;
  }
  FrameRingNode* newest = Take();
  ASSERT_NE(newest, nullptr);
  EXPECT_EQ(newest->tag, 6u);
  EXPECT_EQ(held->tag, 1u);  // the held frame was not touched
  EXPECT_EQ(Take(), nullptr);
  RingReturn(&ring, held);
  RingReturn(&ring, newest);
}

TEST_F(RingTest, CommitClampsLengthToTheBuffer) {
  Commit(1, kSize + 1000);
  FrameRingNode* node = Take();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->length, kSize);
  RingReturn(&ring, node);
}

TEST_F(RingTest, SecondReturnOfTheSameNodeIsIgnored) {
  Commit(1);
  FrameRingNode* node = Take();
  ASSERT_NE(node, nullptr);
  RingReturn(&ring, node);
  RingReturn(&ring, node);
  // The ring must still be the three-node cycle.
  FrameRingNode* n = ring.writeNode;
  int count = 0;
  do {
    EXPECT_EQ(n->next->prev, n);
    n = n->next;
    ++count;
  } while (n != ring.writeNode && count < 10);
  EXPECT_EQ(count, 3);
  RingReturn(&ring, nullptr);
}

TEST_F(RingTest, ResetZeroesRingNodesButNotTheTakenOne) {
  Commit(1, 8);
  std::memset(writeBuffer, 0xAB, kSize);
  Commit(2, 8);
  std::memset(writeBuffer, 0xCD, kSize);
  FrameRingNode* held = Take();
  ASSERT_NE(held, nullptr);
  std::memset(held->buffer, 0x5A, kSize);
  RingReset(&ring);
  EXPECT_EQ(Take(), nullptr);
  FrameRingNode* n = ring.writeNode;
  for (int i = 0; i < 2; ++i, n = n->next) {
    EXPECT_EQ(n->length, 0u);
    for (ULONG b = 0; b < kSize; ++b) ASSERT_EQ(n->buffer[b], 0) << i << " " << b;
  }
  for (ULONG b = 0; b < kSize; ++b) ASSERT_EQ(held->buffer[b], 0x5A) << b;
  RingReturn(&ring, held);
  Commit(3);
  FrameRingNode* node = Take();
  ASSERT_NE(node, nullptr);
  EXPECT_EQ(node->tag, 3u);
  RingReturn(&ring, node);
}

TEST_F(RingTest, DestroyFreesEverythingEvenWithANodeTaken) {
  Commit(1);
  ASSERT_NE(Take(), nullptr);  // never returned
  RingDestroy(&ring);
  EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport();
  EXPECT_EQ(ring.writeNode, nullptr);
  EXPECT_EQ(ring.readNode, nullptr);
  // A destroyed ring answers safely.
  UCHAR* wb = writeBuffer;
  RingCommit(&ring, &wb, 4, 1);
  EXPECT_EQ(wb, nullptr);
  EXPECT_EQ(Take(), nullptr);
  RingReset(&ring);
  RingDestroy(&ring);
}

TEST(RingCreateFailure, EveryAllocationFailureLeavesNothingBehind) {
  for (uint64_t nth = 1; nth <= 6; ++nth) {
    host::PoolReset();
    host::PoolFailNth(nth);
    FrameRing ring{};
    EXPECT_EQ(RingCreate(&ring, 128), 1u) << nth;
    EXPECT_EQ(ring.writeNode, nullptr) << nth;
    EXPECT_EQ(host::PoolOutstanding(), 0u) << nth << host::PoolLeakReport();
    RingDestroy(&ring);
  }
  host::PoolReset();
  FrameRing ring{};
  EXPECT_EQ(RingCreate(&ring, 128), 0u);
  EXPECT_EQ(host::PoolAllocationCount(), 6u);
  RingDestroy(&ring);
  EXPECT_EQ(host::PoolOutstanding(), 0u);
}

// Every operation waits while someone else holds the ring's lock.
TEST_F(RingTest, EveryOperationTakesTheLock) {
  Commit(1);
  FrameRingNode* held = Take();
  ASSERT_NE(held, nullptr);
  Commit(2);
  const char* names[] = {"commit", "take", "return", "reset"};
  for (int op = 0; op < 4; ++op) {
    std::atomic<bool> done{false};
    KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring.lock);
    std::thread worker([&] {
      UCHAR* wb = nullptr;
      FrameRingNode* node = nullptr;
      switch (op) {
        case 0: RingCommit(&ring, &wb, 4, 3); break;
        case 1: if (RingTake(&ring, &node)) RingReturn(&ring, node); break;
        case 2: RingReturn(&ring, held); break;
        case 3: RingReset(&ring); break;
      }
      done.store(true);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(30));
    EXPECT_FALSE(done.load()) << names[op];
    KeReleaseSpinLock(&ring.lock, irql);
    worker.join();
    EXPECT_TRUE(done.load()) << names[op];
  }
}

}  // namespace
