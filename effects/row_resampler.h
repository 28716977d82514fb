// Horizontal resampling of one packed row, byte by byte through a table:
// output byte i is (row[a[i]] * (64 - phase[i]) + row[b[i]] * phase[i] + 32)
// >> 6, phase 0..64. The table is built once per frame (it is the same for
// every row). With SSSE3 the row is then made 16 output bytes at a time:
// their sources lie in a 32-byte span of the source row, gathered with byte
// shuffles and weighted with a multiply-add of byte pairs. With AVX-512 VBMI
// the same is done 64 output bytes at a time from a 128-byte span, gathered
// with two-source byte permutes (row_resampler_avx512.cpp). Serves the zoom
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

// Sixty-four output bytes [64 g, 64 g + 64) whose sources all lie in
// row[base .. base + 127]. index[v] and weights[v] feed one permute and one
// multiply-add: pair p of vector v (p = 8 L + k, L the 16-byte lane) holds
// the (a, b) sources and (64 - phase, phase) weights of output byte
// 16 L + 8 v + k, so that packing the two vectors' sums gives the bytes in
// order. Only the source and output bytes inside the row are read and
// written.
struct WideGroup {
  UCHAR index[2][64];
  UCHAR weights[2][64];
  ULONG base;  // kNoShuffleGroup: done by the per-byte path
  ULONG reserved[15];
};

struct RowPlan {
  ULONG bytes;           // output (and source) bytes per row
  ULONG* a;              // per output byte: source byte with weight 64 - phase
  ULONG* b;              // source byte with weight phase
  UCHAR* phase;
  ShuffleGroup* groups;  // bytes / 16 entries, or null for the per-byte path
  WideGroup* wide;       // (bytes + 63) / 64 entries when the AVX-512 path is used, else null
};

// Memory a plan for rows of `bytes` bytes takes, with or without the
// shuffle groups.
SIZE_T RowPlanBytes(ULONG bytes, bool groups);
// Lays the plan out in `memory` (RowPlanBytes bytes); the caller then fills
// a, b and phase and calls PlanShuffleGroups when it asked for groups. With
// groups the plan takes the AVX-512 VBMI groups when that code may run now,
// else the SSSE3 ones.
RowPlan LayOutRowPlan(UCHAR* memory, ULONG bytes, bool groups);
// Builds the shuffle groups from the per-byte table. A group whose sources
// do not fit one 32-byte span inside the row (128 bytes for the AVX-512
// groups) stays on the per-byte path.
VOID PlanShuffleGroups(RowPlan& plan);
// One source row through the plan.
VOID InterpolateRow(UCHAR* out, const UCHAR* row, const RowPlan& plan);
// Whether a new plan should carry shuffle groups (SSSE3 allowed and present,
// and rows of at least one group).
bool RowPlanWantsGroups(ULONG bytes);

// Vertical blend of two rows: out = (a * (64 - f) + b * f + 32) >> 6 per
// byte, f in 0..64. `wide`: the AVX-512 path may be used (a plan's wide !=
// null says so for the current frame).
VOID BlendRowPair(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f, bool wide);

// AVX-512 twins (F, BW, VBMI), used only when EffectsUseAvx512Vbmi() held
// when the plan was made: every wide group that has a base (the others are
// left to the caller, which runs the per-byte path over them), and the
// whole blend.
VOID InterpolateWideGroupsAvx512(UCHAR* out, const UCHAR* row, const RowPlan& plan);
VOID BlendRowPairAvx512(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f);
