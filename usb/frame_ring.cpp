#include "usb/frame_ring.h"

namespace {

VOID FreeNode(FrameRingNode* node) {
  if (node == nullptr) return;
  if (node->buffer != nullptr) ExFreePoolWithTag(node->buffer, kTagBuffer);
  ExFreePoolWithTag(node, kTagBuffer);
}

}  // namespace

ULONG RingCreate(FrameRing* ring, ULONG bufferSize) {
  if (ring == nullptr) return 1;
  KeInitializeSpinLock(&ring->lock);
  ring->writeNode = nullptr;
  ring->readNode = nullptr;
  ring->bufferSize = 0;
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) ring->nodes[i] = nullptr;

  FrameRingNode* nodes[kFrameRingNodeCount] = {};
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) {
    FrameRingNode* node = static_cast<FrameRingNode*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameRingNode), kTagBuffer));
    if (node != nullptr) {
      RtlZeroMemory(node, sizeof(FrameRingNode));
      // A zero-byte request still gets a buffer of its own, so that every
      // node always has a valid (if empty) buffer to hand out.
      node->buffer = static_cast<UCHAR*>(
          ExAllocatePoolWithTag(NonPagedPool, bufferSize != 0 ? bufferSize : 1, kTagBuffer));
    }
    if (node == nullptr || node->buffer == nullptr) {
      FreeNode(node);
      for (ULONG j = 0; j < i; ++j) FreeNode(nodes[j]);
      return 1;
    }
    RtlZeroMemory(node->buffer, bufferSize);
    node->index = i;
    nodes[i] = node;
  }
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) {
    nodes[i]->next = nodes[(i + 1) % kFrameRingNodeCount];
    nodes[i]->prev = nodes[(i + kFrameRingNodeCount - 1) % kFrameRingNodeCount];
    ring->nodes[i] = nodes[i];
  }
  ring->writeNode = nodes[0];
  ring->bufferSize = bufferSize;
  return 0;
}

VOID RingCommit(FrameRing* ring, UCHAR** writeBuffer, ULONG length) {
  if (ring == nullptr) {
    if (writeBuffer != nullptr) *writeBuffer = nullptr;
    return;
  }
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring->lock);
  FrameRingNode* write = ring->writeNode;
  if (write == nullptr) {
    KeReleaseSpinLock(&ring->lock, irql);
    if (writeBuffer != nullptr) *writeBuffer = nullptr;
    return;
  }
  // The consumer trusts length to stay inside the buffer.
  write->length = length <= ring->bufferSize ? length : ring->bufferSize;
  if (ring->readNode == nullptr) ring->readNode = write;
  write = write->next;
  ring->writeNode = write;
  if (write == ring->readNode) {
    // The producer caught up with the oldest unread frame: give it up.
    ring->readNode = ring->readNode->next;
  }
  UCHAR* buffer = write->buffer;
  KeReleaseSpinLock(&ring->lock, irql);
  if (writeBuffer != nullptr) *writeBuffer = buffer;
}

BOOLEAN RingTake(FrameRing* ring, FrameRingNode** node) {
  FrameRingNode* taken = nullptr;
  if (ring == nullptr) {
    if (node != nullptr) *node = nullptr;
    return FALSE;
  }
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring->lock);
  FrameRingNode* read = ring->readNode;
  if (read != nullptr && read != ring->writeNode) {
    read->prev->next = read->next;
    read->next->prev = read->prev;
    ring->readNode = read->next;
    // Out of the ring: no link leads to it and it leads nowhere.
    read->next = nullptr;
    read->prev = nullptr;
    taken = read;
  }
  KeReleaseSpinLock(&ring->lock, irql);
  if (node != nullptr) *node = taken;
  return taken != nullptr ? TRUE : FALSE;
}

VOID RingReturn(FrameRing* ring, FrameRingNode* node) {
  if (ring == nullptr || node == nullptr) return;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring->lock);
  FrameRingNode* write = ring->writeNode;
  // Only a node of this ring that is out of it goes back: a node that is
  // still linked was returned twice, and inserting it again, or a stranger,
  // would tear the list apart.
  bool ours = false;
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) ours = ours || ring->nodes[i] == node;
  if (ours && write != nullptr && node->next == nullptr && node->prev == nullptr) {
    node->length = 0;
    node->next = write->next;
    write->next->prev = node;
    write->next = node;
    node->prev = write;
  }
  KeReleaseSpinLock(&ring->lock, irql);
}

VOID RingReset(FrameRing* ring) {
  if (ring == nullptr) return;
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring->lock);
  FrameRingNode* start = ring->writeNode;
  FrameRingNode* node = start;
  // Only the nodes in the ring: a node the consumer holds is its own until
  // returned (and comes back with length 0).
  for (ULONG i = 0; node != nullptr && i < kFrameRingNodeCount; ++i) {
    RtlZeroMemory(node->buffer, ring->bufferSize);
    node->length = 0;
    node = node->next;
    if (node == start) break;
  }
  ring->readNode = nullptr;
  KeReleaseSpinLock(&ring->lock, irql);
}

VOID RingDestroy(FrameRing* ring) {
  if (ring == nullptr) return;
  FrameRingNode* nodes[kFrameRingNodeCount];
  KIRQL irql = KeAcquireSpinLockRaiseToDpc(&ring->lock);
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) {
    nodes[i] = ring->nodes[i];
    ring->nodes[i] = nullptr;
  }
  ring->writeNode = nullptr;
  ring->readNode = nullptr;
  ring->bufferSize = 0;
  KeReleaseSpinLock(&ring->lock, irql);
  // The nodes are unreachable now; free them outside the lock.
  for (ULONG i = 0; i < kFrameRingNodeCount; ++i) FreeNode(nodes[i]);
}
