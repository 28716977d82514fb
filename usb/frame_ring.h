// FrameRing: three raw-frame buffers in a circular doubly linked list,
// shared between the stream engine (producer) and the capture pin
// (consumer). The producer always owns exactly one buffer, the write node,
// and hands it over with RingCommit; the consumer takes the oldest committed
// node out of the ring with RingTake, reads it without the lock (a taken
// node is not reachable from the ring) and puts it back with RingReturn.
// When the producer laps the consumer the oldest unread frame is given up:
// the newest frames win. Every operation runs under the ring's spin lock.
#pragma once

#include "platform/wdk.h"

constexpr ULONG kFrameRingNodeCount = 3;

struct FrameRingNode {
  UCHAR* buffer;   // bufferSize bytes (kTagBuffer)
  ULONG length;    // valid bytes of the committed frame; 0 when free
  ULONG index;     // 0, 1, 2 in creation order
  FrameRingNode* next;  // both null while the consumer holds the node
  FrameRingNode* prev;
};

struct FrameRing {
  KSPIN_LOCK lock;          // protects every field of the ring and its nodes
  FrameRingNode* writeNode; // the node the producer is filling
  FrameRingNode* readNode;  // oldest committed node not yet taken; null when
                            // nothing was committed since the last reset
  ULONG bufferSize;         // bytes of each node's buffer
  // Every node in creation order, whether in the ring or taken, so that
  // RingDestroy frees all three even if the consumer never returned one.
  FrameRingNode* nodes[kFrameRingNodeCount];
};

// Creates the three nodes with zero-filled buffers of bufferSize bytes,
// linked 0 -> 1 -> 2 -> 0; the write node is node 0. Returns 0 on success
// and 1 when an allocation fails (nothing is left allocated then).
ULONG RingCreate(FrameRing* ring, ULONG bufferSize);

// Producer: commits the write node with `length` valid bytes (at most
// bufferSize), moves on to the next node and returns its buffer
// in *writeBuffer. If that node held the oldest unread frame, the frame is
// given up. On a ring that does not exist *writeBuffer is set to null.
VOID RingCommit(FrameRing* ring, UCHAR** writeBuffer, ULONG length);

// Consumer: takes the oldest committed node out of the ring. Returns FALSE
// (and *node = null) when no committed frame is waiting.
BOOLEAN RingTake(FrameRing* ring, FrameRingNode** node);

// Consumer: gives a taken node back; it becomes the next buffer the producer
// fills after the current one. A null node, a node that is already in the
// ring and a node of another ring are ignored.
VOID RingReturn(FrameRing* ring, FrameRingNode* node);

// Zeroes the buffers of the nodes in the ring, clears their lengths and
// forgets every committed frame. Called while the stream is stopped (the
// producer is not writing into the write node).
VOID RingReset(FrameRing* ring);

// Frees the three nodes and their buffers; writeNode and readNode become
// null. The consumer must not hold a node any more. Safe on a ring that was
// never created (zero-filled) or already destroyed.
VOID RingDestroy(FrameRing* ring);
