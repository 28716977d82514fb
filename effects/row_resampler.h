// Horizontal resampling of one packed row, byte by byte through a table:
// output byte i is (row[a[i]] * (64 - phase[i]) + row[b[i]] * phase[i] + 32)
// >> 6, phase 0..64. The table is built once per frame (it is the same for
// every row); with SSSE3 the row is then made 16 output bytes at a time:
// their sources lie in a 32-byte span of the source row, gathered with byte
// shuffles and weighted with a multiply-add of byte pairs. Serves the zoom
// window and the breathing stretch.
#pragma once

#include "platform/wdk.h"

// Sixteen output bytes whose sources all lie in row[base .. base + 31].
// masks[0..1]: the (a, b) pairs of output bytes 0..7 taken from the low and
// the high 16 source bytes (0x80 = from the other half); masks[2..3] the same
// for output bytes 8..15; masks[4..5] the weight pairs (64 - phase, phase).
struct ShuffleGroup {
  UCHAR masks[6][16];
  ULONG base;  // kNoShuffleGroup: done by the per-byte path
  ULONG reserved[3];
};
constexpr ULONG kNoShuffleGroup = 0xFFFFFFFFu;

struct RowPlan {
  ULONG bytes;           // output (and source) bytes per row
  ULONG* a;              // per output byte: source byte with weight 64 - phase
  ULONG* b;              // source byte with weight phase
  UCHAR* phase;
  ShuffleGroup* groups;  // bytes / 16 entries, or null for the per-byte path
};

// Memory a plan for rows of `bytes` bytes takes, with or without the
// shuffle groups.
SIZE_T RowPlanBytes(ULONG bytes, bool groups);
// Lays the plan out in `memory` (RowPlanBytes bytes); the caller then fills
// a, b and phase and calls PlanShuffleGroups when it asked for groups.
RowPlan LayOutRowPlan(UCHAR* memory, ULONG bytes, bool groups);
// Builds the shuffle groups from the per-byte table. A group whose sources
// do not fit one 32-byte span inside the row stays on the per-byte path.
VOID PlanShuffleGroups(RowPlan& plan);
// One source row through the plan.
VOID InterpolateRow(UCHAR* out, const UCHAR* row, const RowPlan& plan);
// Whether a new plan should carry shuffle groups (SSSE3 allowed and present,
// and rows of at least one group).
bool RowPlanWantsGroups(ULONG bytes);
