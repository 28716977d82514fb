#include <gtest/gtest.h>

#include <cstring>

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

}  // namespace
