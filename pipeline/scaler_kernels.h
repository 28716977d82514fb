// Internal pieces of the frame scaler shared between the per-sample route
// code (scaler.cpp and the scaler_*.cpp route files) and the vector kernels
// (scaler_sse2.cpp with their AVX2 twins in scaler_avx2.cpp). Not for other
// users.
#pragma once

#include "platform/wdk.h"

// Vector code is built where the compiler targets x86-64 (SSE2 is always
// there); the AVX2 twins where the compiler can target AVX2 per function.
#if defined(__SSE2__) || defined(_M_X64)
#define UVCCAM_SCALER_SSE2 1
#endif
#if defined(UVCCAM_SCALER_SSE2) && defined(__GNUC__)
#define UVCCAM_SCALER_AVX2 1
#define UVCCAM_AVX2 __attribute__((target("avx2")))
#endif

// Which code the scaler runs. The plain path works sample by sample exactly
// as the routines are defined, plane by plane; the vector paths use the SSE2
// kernels (kScalerSse2) or the widest kernels the processor runs (AVX2 when
// present) and row caching where a route has them. All give the same bytes.
enum ScalerCodePath : ULONG {
  kScalerPlain = 0,
  kScalerSse2 = 1,
  kScalerVector = 2,
};

// True when the processor runs the AVX2 kernels (checked once).
bool ScalerCpuHasAvx2();

// 1 (the default) lets the vector path use the AVX-512 (F, BW, VBMI) twins
// where the processor has them; 0 keeps it on AVX2 (tests compare both).
extern ULONG ScalerAllowAvx512;
bool ScalerUseAvx512();

LONG ScaleFrameOnPath(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                      ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst,
                      ScalerCodePath path);

// The general routine's plan for a size pair: steps, fill groups per row and
// filled rows at the bottom. False where the routine writes nothing.
struct GeneralScalingPlan {
  ULONG dx, dy;
  ULONG groupsComputed, fillGroups;
  ULONG rowsComputed, rowsFilled;
};
bool PlanGeneralScaling(ULONG inW, ULONG inH, ULONG outW, ULONG outH, GeneralScalingPlan* plan);

// Weight tables: entry x of table k/n is x * k / n rounded to nearest, halves up.
struct ScalerWeights {
  UCHAR t1of5[256];
  UCHAR t2of5[256];
  UCHAR t3of5[256];
  UCHAR t4of5[256];
  UCHAR t3of8[256];
  UCHAR t5of8[256];
};
extern const ScalerWeights kScalerWeights;

// How one output sample is made from two neighbouring samples a (first) and
// b (next): horizontally two samples of a row, vertically two rows.
enum PairOp : UCHAR {
  kPairTakeA = 0,      // a (b is not read)
  kPair1of5_4of5,      // T1/5[a] + T4/5[b]
  kPair2of5_3of5,      // T2/5[a] + T3/5[b]
  kPair3of5_2of5,      // T3/5[a] + T2/5[b]
  kPair4of5_1of5,      // T4/5[a] + T1/5[b]
  kPair3of8_5of8,      // T3/8[a] + T5/8[b]
  kPair5of8_3of8,      // T5/8[a] + T3/8[b]
  kPair3_1Rounded,     // (3a + b + 2) >> 2
  kPair1_7Rounded,     // (a + 7b + 4) >> 3
  kPair1_1Rounded,     // (a + b + 1) >> 1
  kPair7_1Rounded,     // (7a + b + 4) >> 3
  kPair1_3Rounded,     // (a + 3b + 2) >> 2
  kPair1_3,            // (a + 3b) >> 2
  kPair1_1,            // (a + b) >> 1
  kPair3_1,            // (3a + b) >> 2
  kPairOpCount
};

// The arithmetic behind each PairOp. Table ops: round(ka*a/n) + round(kb*b/n)
// with each term rounded on its own; the others: (wa*a + wb*b + bias) >> shift.
struct PairOpShape {
  UCHAR table;  // 1: table op
  UCHAR wa, wb, bias, shift;
  UCHAR n;      // denominator of a table op
};
extern const PairOpShape kPairOpShapes[kPairOpCount];

// ---- vector kernels (scaler_sse2.cpp) ----
// Each returns how many leading bytes/groups it handled; the caller finishes
// the rest with the per-sample code. `wide`: the AVX2 forms may be used (the
// caller has checked ScalerCpuHasAvx2).

// out[i] = op(a[i], b[i]) for i < count.
void VectorPairRow(PairOp op, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count,
                   bool wide);
// out[i] = ((64 - f) * a[i] + f * b[i] + 32) >> 6, 0 <= f <= 64.
void VectorBlendRow(ULONG f, const UCHAR* a, const UCHAR* b, UCHAR* out, SIZE_T count, bool wide);
// Box halver row: 2 x 2 pixel boxes of two input rows into `groups` output
// groups. Returns the groups done.
ULONG VectorHalveRow(const UCHAR* row0, const UCHAR* row1, UCHAR* out, ULONG groups,
                     ULONG lumaFirst, bool wide);
// Sharpening doubler: the bilinear 2x luma row from packed rows p and q
// (q == p for rows taken straight from the input). Returns luma samples done
// (a multiple of 16 starting at 0).
ULONG VectorDoublerLumaRow(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out,
                           ULONG lumaFirst, bool wide);
// Sharpening doubler: one output row over output groups [firstGroup, endGroup)
// (both multiples of 8). `above`, `center`, `below` are bilinear luma rows
// (2 * inW samples); mode as in the doubler. p, q: packed source rows for chroma.
// Returns the group after the last one written (firstGroup when none).
ULONG VectorDoublerOutputRow(int mode, const UCHAR* above, const UCHAR* center,
                            const UCHAR* below, const UCHAR* p, const UCHAR* q, UCHAR* out,
                            ULONG firstGroup, ULONG endGroup, ULONG lumaFirst, bool wide);

// Sharpening doubler: the two middle output rows 2i and 2i + 1 over output
// groups [firstGroup, endGroup) (both even, at least 16 apart, firstGroup >=
// 2, endGroup + 2 <= inW) straight from packed source rows i - 1, i, i + 1.
// Returns endGroup when done, firstGroup when the caller must do the rows.
ULONG VectorDoublerRowPair(const UCHAR* prev, const UCHAR* row, const UCHAR* next, UCHAR* out0,
                           UCHAR* out1, ULONG firstGroup, ULONG endGroup, ULONG lumaFirst,
                           bool wide);

// General routine, horizontal pass of one packed source row: output groups
// [0, n) with n <= groups, phases advancing by dx, into `out` in the frame's
// byte order. Only chunks whose chroma stays inside the row are made.
// Returns n.
ULONG VectorGeneralRow(const UCHAR* s, ULONG inW, ULONG dx, ULONG groups, UCHAR* out,
                       ULONG lumaFirst, bool wide);

// Doubler output-row modes.
enum DoublerRowMode : int {
  kDoublerTopRow = 0,     // no row above
  kDoublerMiddleRow = 1,  // rows above and below (below may be the row itself)
  kDoublerLastRow = 2,    // last output row: 2U - horizontal neighbours
};

#if defined(UVCCAM_SCALER_AVX2)
// ---- AVX2 twins (scaler_avx2.cpp) ----
// Called by the vector kernels above when `wide`; each does the leading part
// of the row it can and returns where it stopped, in the same units.
UVCCAM_AVX2 SIZE_T PairRowAvx2(PairOp op, const UCHAR* a, const UCHAR* b, UCHAR* out,
                               SIZE_T count);
UVCCAM_AVX2 SIZE_T BlendRowAvx2(ULONG f, const UCHAR* a, const UCHAR* b, UCHAR* out,
                                SIZE_T count);
UVCCAM_AVX2 ULONG HalveRowAvx2(const UCHAR* row0, const UCHAR* row1, UCHAR* out, ULONG groups,
                               ULONG lumaFirst);
// Returns input pixels done (the caller's luma samples are twice that).
UVCCAM_AVX2 ULONG DoublerLumaRowAvx2(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out,
                                     ULONG lumaFirst);
UVCCAM_AVX2 ULONG DoublerOutputRowAvx2(int mode, const UCHAR* above, const UCHAR* center,
                                       const UCHAR* below, const UCHAR* p, const UCHAR* q,
                                       UCHAR* out, ULONG firstGroup, ULONG endGroup,
                                       ULONG lumaFirst);
// Sharpening doubler: the two middle output rows 2i and 2i + 1 over output
// groups [firstGroup, endGroup) in steps of 16, from packed source rows
// i - 1 (prev), i (row) and i + 1 (next). Reads one source pixel left of the
// first group and two source pixels past the last. Returns the group after
// the last one written.
UVCCAM_AVX2 ULONG DoublerRowPairAvx2(const UCHAR* prev, const UCHAR* row, const UCHAR* next,
                                     UCHAR* out0, UCHAR* out1, ULONG firstGroup, ULONG endGroup,
                                     ULONG lumaFirst);
// ---- AVX-512 twin (scaler_avx512.cpp) ----
// DoublerRowPairAvx2 32 groups at a time; needs endGroup - firstGroup >= 32
// (else returns firstGroup).
__attribute__((target("avx512f,avx512bw,avx512vbmi"))) ULONG DoublerRowPairAvx512(
    const UCHAR* prev, const UCHAR* row, const UCHAR* next, UCHAR* out0, UCHAR* out1,
    ULONG firstGroup, ULONG endGroup, ULONG lumaFirst);
UVCCAM_AVX2 ULONG GeneralRowAvx2(const UCHAR* s, ULONG inW, ULONG dx, ULONG groups, UCHAR* out,
                                 ULONG lumaFirst);
#endif
