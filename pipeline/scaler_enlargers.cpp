// The frame scaler's run-pattern enlargers: 5:4 and 8:5 (each plane by
// repeating runs of weighted sample pairs) and 6:5 with crop.
#include <cstring>

#include "pipeline/scaler_routes.h"

namespace {

const ScalerWeights& W = kScalerWeights;

inline UCHAR ApplyPair(PairOp op, UCHAR a, UCHAR b) {
  switch (op) {
    case kPairTakeA: return a;
    case kPair1of5_4of5: return static_cast<UCHAR>(W.t1of5[a] + W.t4of5[b]);
    case kPair2of5_3of5: return static_cast<UCHAR>(W.t2of5[a] + W.t3of5[b]);
    case kPair3of5_2of5: return static_cast<UCHAR>(W.t3of5[a] + W.t2of5[b]);
    case kPair4of5_1of5: return static_cast<UCHAR>(W.t4of5[a] + W.t1of5[b]);
    case kPair3of8_5of8: return static_cast<UCHAR>(W.t3of8[a] + W.t5of8[b]);
    case kPair5of8_3of8: return static_cast<UCHAR>(W.t5of8[a] + W.t3of8[b]);
    case kPair3_1Rounded: return static_cast<UCHAR>((3 * a + b + 2) >> 2);
    case kPair1_7Rounded: return static_cast<UCHAR>((a + 7 * b + 4) >> 3);
    case kPair1_1Rounded: return static_cast<UCHAR>((a + b + 1) >> 1);
    case kPair7_1Rounded: return static_cast<UCHAR>((7 * a + b + 4) >> 3);
    case kPair1_3Rounded: return static_cast<UCHAR>((a + 3 * b + 2) >> 2);
    case kPair1_3: return static_cast<UCHAR>((a + 3 * b) >> 2);
    case kPair1_1: return static_cast<UCHAR>((a + b) >> 1);
    case kPair3_1: return static_cast<UCHAR>((3 * a + b) >> 2);
    default: return a;
  }
}

struct RunStep {
  UCHAR offset;  // sample a of the pair, from the start of the run
  PairOp op;
};

// One row (or the column of rows) of a run-pattern enlarger: optionally the
// first sample, then `runs` full runs advancing `runAdvance` samples each,
// then the closing steps taken from sample `tailBase`.
struct RunPlan {
  bool leadSample;
  ULONG runs;
  const RunStep* run;
  ULONG runLength;
  ULONG runAdvance;
  ULONG tailBase;
  const RunStep* tail;
  ULONG tailLength;
  ULONG Outputs() const { return (leadSample ? 1 : 0) + runs * runLength + tailLength; }
};

constexpr RunStep kRun5of4[] = {{0, kPair1of5_4of5}, {1, kPair2of5_3of5}, {2, kPair3of5_2of5},
                                {3, kPair4of5_1of5}, {4, kPairTakeA}};
constexpr RunStep kClose5of4[] = {
    {0, kPair1of5_4of5}, {1, kPair2of5_3of5}, {2, kPair3of5_2of5}, {3, kPairTakeA}};
constexpr RunStep kRun8of5[] = {
    {0, kPair3of8_5of8},  {1, kPair3_1Rounded}, {1, kPair1_7Rounded}, {2, kPair1_1Rounded},
    {3, kPair7_1Rounded}, {3, kPair1_3Rounded}, {4, kPair5of8_3of8},  {5, kPairTakeA},
    {5, kPair3of8_5of8},  {6, kPair3_1Rounded}, {6, kPair1_7Rounded}, {7, kPair1_1Rounded},
    {8, kPair7_1Rounded}, {8, kPair1_3Rounded}, {9, kPair5of8_3of8},  {10, kPairTakeA}};
constexpr RunStep kClose8of5[] = {
    {0, kPair3of8_5of8},  {1, kPair3_1Rounded}, {1, kPair1_7Rounded}, {2, kPair1_1Rounded},
    {3, kPair7_1Rounded}, {3, kPair1_3Rounded}, {4, kPair5of8_3of8},  {5, kPairTakeA},
    {5, kPair3of8_5of8},  {6, kPair3_1Rounded}, {6, kPair1_7Rounded}, {7, kPair1_1Rounded},
    {8, kPair7_1Rounded}, {8, kPair1_3Rounded}, {9, kPairTakeA}};
constexpr RunStep kRun6of5[] = {{0, kPairTakeA}, {0, kPair1_3},  {1, kPair1_1},
                                {2, kPair1_1},   {3, kPair3_1},  {4, kPairTakeA}};

// n samples (n >= 4) -> n * 5 / 4 outputs when n is a multiple of 4.
RunPlan Plan5of4(ULONG n) {
  const ULONG runs = n - 4 > 1 ? ((n - 6) >> 2) + 1 : 0;
  return {true, runs, kRun5of4, 5, 4, n - 4, kClose5of4, 4};
}

// n samples (n >= 10) -> n * 8 / 5 outputs when n is a multiple of 10.
RunPlan Plan8of5(ULONG n) {
  const ULONG runs = n - 10 > 1 ? (n - 12) / 10 + 1 : 0;
  return {true, runs, kRun8of5, 16, 10, n - 10, kClose8of5, 15};
}

// outN outputs (cropped) from runs of 5 samples.
RunPlan Plan6of5(ULONG outN) {
  const ULONG runs = outN / 6;
  return {false, runs, kRun6of5, 6, 5, runs * 5, kRun6of5, outN % 6};
}

// Samples of the input that a plan reads: one past the highest index.
ULONG PlanReach(const RunPlan& p) {
  ULONG reach = p.leadSample ? 1 : 0;
  auto extend = [&](ULONG base, const RunStep* steps, ULONG count) {
    for (ULONG i = 0; i < count; ++i) {
      const ULONG last = base + steps[i].offset + (steps[i].op == kPairTakeA ? 0 : 1);
      if (last + 1 > reach) reach = last + 1;
    }
  };
  if (p.runs > 0) extend((p.runs - 1) * p.runAdvance, p.run, p.runLength);
  extend(p.tailBase, p.tail, p.tailLength);
  return reach;
}

inline void EmitStep(const UCHAR* base, SIZE_T step, const RunStep& s, UCHAR* out) {
  const UCHAR a = base[s.offset * step];
  *out = s.op == kPairTakeA ? a : ApplyPair(s.op, a, base[(s.offset + 1) * step]);
}

// Enlarges one row of samples spaced `inStep` bytes into outputs spaced
// `outStep` bytes.
void EnlargeRow(const UCHAR* s, SIZE_T inStep, const RunPlan& p, UCHAR* o, SIZE_T outStep) {
  if (p.leadSample) {
    *o = s[0];
    o += outStep;
  }
  for (ULONG r = 0; r < p.runs; ++r) {
    const UCHAR* base = s + static_cast<SIZE_T>(r) * p.runAdvance * inStep;
    for (ULONG i = 0; i < p.runLength; ++i, o += outStep) EmitStep(base, inStep, p.run[i], o);
  }
  const UCHAR* base = s + static_cast<SIZE_T>(p.tailBase) * inStep;
  for (ULONG i = 0; i < p.tailLength; ++i, o += outStep) EmitStep(base, inStep, p.tail[i], o);
}

// The full runs with their weights written out, for the vector path's
// horizontal passes (the plain path walks the step lists above).
template <SIZE_T kIn, SIZE_T kOut>
void Runs5of4(const UCHAR* s, ULONG runs, UCHAR* o) {
  for (ULONG r = 0; r < runs; ++r, s += 4 * kIn, o += 5 * kOut) {
    const UCHAR a = s[0], b = s[kIn], c = s[2 * kIn], d = s[3 * kIn], e = s[4 * kIn];
    o[0] = static_cast<UCHAR>(W.t1of5[a] + W.t4of5[b]);
    o[kOut] = static_cast<UCHAR>(W.t2of5[b] + W.t3of5[c]);
    o[2 * kOut] = static_cast<UCHAR>(W.t3of5[c] + W.t2of5[d]);
    o[3 * kOut] = static_cast<UCHAR>(W.t4of5[d] + W.t1of5[e]);
    o[4 * kOut] = e;
  }
}

template <SIZE_T kIn, SIZE_T kOut>
void Runs8of5(const UCHAR* s, ULONG runs, UCHAR* o) {
  for (ULONG r = 0; r < runs; ++r, s += 10 * kIn, o += 16 * kOut) {
    int v[11];
    for (int i = 0; i < 11; ++i) v[i] = s[i * kIn];
    const int out[16] = {W.t3of8[v[0]] + W.t5of8[v[1]], (3 * v[1] + v[2] + 2) >> 2,
                         (v[1] + 7 * v[2] + 4) >> 3,    (v[2] + v[3] + 1) >> 1,
                         (7 * v[3] + v[4] + 4) >> 3,    (v[3] + 3 * v[4] + 2) >> 2,
                         W.t5of8[v[4]] + W.t3of8[v[5]], v[5],
                         W.t3of8[v[5]] + W.t5of8[v[6]], (3 * v[6] + v[7] + 2) >> 2,
                         (v[6] + 7 * v[7] + 4) >> 3,    (v[7] + v[8] + 1) >> 1,
                         (7 * v[8] + v[9] + 4) >> 3,    (v[8] + 3 * v[9] + 2) >> 2,
                         W.t5of8[v[9]] + W.t3of8[v[10]], v[10]};
    for (int k = 0; k < 16; ++k) o[k * kOut] = static_cast<UCHAR>(out[k]);
  }
}

template <SIZE_T kIn, SIZE_T kOut>
void Runs6of5(const UCHAR* s, ULONG runs, UCHAR* o) {
  for (ULONG r = 0; r < runs; ++r, s += 5 * kIn, o += 6 * kOut) {
    const int a = s[0], b = s[kIn], c = s[2 * kIn], d = s[3 * kIn], e = s[4 * kIn];
    o[0] = static_cast<UCHAR>(a);
    o[kOut] = static_cast<UCHAR>((a + 3 * b) >> 2);
    o[2 * kOut] = static_cast<UCHAR>((b + c) >> 1);
    o[3 * kOut] = static_cast<UCHAR>((c + d) >> 1);
    o[4 * kOut] = static_cast<UCHAR>((3 * d + e) >> 2);
    o[5 * kOut] = static_cast<UCHAR>(e);
  }
}

// EnlargeRow for packed rows: luma (step 2) or chroma (step 4) on both sides.
template <SIZE_T kStep>
void EnlargePackedRow(const UCHAR* s, const RunPlan& p, UCHAR* o) {
  if (p.leadSample) {
    *o = s[0];
    o += kStep;
  }
  if (p.run == kRun5of4) {
    Runs5of4<kStep, kStep>(s, p.runs, o);
  } else if (p.run == kRun8of5) {
    Runs8of5<kStep, kStep>(s, p.runs, o);
  } else {
    Runs6of5<kStep, kStep>(s, p.runs, o);
  }
  o += static_cast<SIZE_T>(p.runs) * p.runLength * kStep;
  const UCHAR* base = s + static_cast<SIZE_T>(p.tailBase) * kStep;
  for (ULONG i = 0; i < p.tailLength; ++i, o += kStep) EmitStep(base, kStep, p.tail[i], o);
}

// Calls f(outputRow, inputRowA, op) for every output row of a vertical plan.
template <typename F>
void ForEachPlanRow(const RunPlan& p, F f) {
  ULONG k = 0;
  if (p.leadSample) f(k++, 0u, kPairTakeA);
  for (ULONG r = 0; r < p.runs; ++r)
    for (ULONG i = 0; i < p.runLength; ++i) f(k++, r * p.runAdvance + p.run[i].offset, p.run[i].op);
  for (ULONG i = 0; i < p.tailLength; ++i) f(k++, p.tailBase + p.tail[i].offset, p.tail[i].op);
}

// Two line buffers holding horizontally enlarged input rows; rows are asked
// for in non-decreasing order, so the buffer not holding the partner row is
// the one to refill.
struct RowCache {
  UCHAR* line[2];
  LONGLONG held[2] = {-1, -1};
  template <typename Make>
  const UCHAR* Get(ULONG row, LONGLONG keep, Make make) {
    for (int i = 0; i < 2; ++i)
      if (held[i] == row) return line[i];
    const int slot = held[0] == keep ? 1 : 0;
    make(row, line[slot]);
    held[slot] = row;
    return line[slot];
  }
};

// One plane of the 5:4 or 8:5 enlarger, sample by sample: rows of `inSamples`
// samples spaced `step` bytes, `inH` rows.
void EnlargePlanePlain(UCHAR* dst, const UCHAR* src, SIZE_T step, SIZE_T inStride,
                       SIZE_T outStride, const RunPlan& h, const RunPlan& v, SIZE_T lineBytes) {
  LineSet<2> lines;
  if (!lines.Allocate({lineBytes, lineBytes})) return;
  RowCache cache{{lines.line[0], lines.line[1]}};
  auto make = [&](ULONG row, UCHAR* line) { EnlargeRow(src + row * inStride, step, h, line, 1); };
  const ULONG outSamples = h.Outputs();
  ForEachPlanRow(v, [&](ULONG k, ULONG a, PairOp op) {
    const UCHAR* A = cache.Get(a, -1, make);
    const UCHAR* B = op == kPairTakeA ? A : cache.Get(a + 1, a, make);
    UCHAR* o = dst + k * outStride;
    for (ULONG i = 0; i < outSamples; ++i) o[i * step] = ApplyPair(op, A[i], B[i]);
  });
}

// One plane of the 6:5 enlarger with crop: outN samples per output row
// (cropped), outH rows; input rows of the input stride.
void Enlarge6of5PlanePlain(UCHAR* dst, const UCHAR* src, SIZE_T step, SIZE_T inStride,
                           SIZE_T outStride, ULONG outN, ULONG outH, SIZE_T line0,
                           SIZE_T line1) {
  LineSet<2> lines;
  if (!lines.Allocate({line0, line1})) return;
  UCHAR* previous = lines.line[0];
  UCHAR* next = lines.line[1];
  const RunPlan h = Plan6of5(outN);
  auto put = [&](ULONG outRow, const UCHAR* row) {
    UCHAR* o = dst + outRow * outStride;
    for (ULONG i = 0; i < outN; ++i) o[i * step] = row[i];
  };
  for (ULONG r = 0; r < 5; ++r) {
    EnlargeRow(src + r * inStride, step, h, previous, 1);
    put(r, previous);
  }
  ULONG outRow = 5;
  ULONG inRow = 5;
  const ULONG cycles = (outH - 7) / 6 + 1;
  for (ULONG c = 0; c < cycles; ++c) {
    EnlargeRow(src + inRow * inStride, step, h, next, 1);
    UCHAR* o = dst + outRow * outStride;
    for (ULONG i = 0; i < outN; ++i) o[i * step] = static_cast<UCHAR>((previous[i] + next[i]) >> 1);
    ++outRow;
    put(outRow++, next);
    for (ULONG j = 1; j < 5; ++j) {
      EnlargeRow(src + (inRow + j) * inStride, step, h, previous, 1);
      put(outRow++, previous);
    }
    inRow += 5;
  }
  UCHAR* last = dst + static_cast<SIZE_T>(outH - 1) * outStride;
  const UCHAR* above = last - outStride;
  for (ULONG i = 0; i < outN; ++i) last[i * step] = above[i * step];
}

// A run plan fits n input samples when it makes exactly `outputs` samples
// and reads none past the n-th. For 5:4 that holds for multiples of 4, for
// 8:5 for multiples of 10 (so widths of multiples of 8 and 20 once chroma is
// counted); other sizes would write past the row or the frame.
bool PlanFits(const RunPlan& p, ULONG n, ULONG outputs) {
  return p.Outputs() == outputs && PlanReach(p) <= n;
}

}  // namespace

// 5:4 or 8:5 enlargement of a whole frame. Line buffer sizes per plane as the
// routines define them; the planes are done luma, first chroma, second chroma.
// The vector path keeps whole packed rows in the luma line buffers and makes
// every output row with one vector pass; it runs only when all six buffers
// were granted, otherwise each plane that got its buffers is done alone.
void EnlargeFrameByRuns(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG outW,
                        bool fiveFour, ULONG lumaFirst, ScalerCodePath path) {
  const ULONG chromaIn = inW / 2;
  const RunPlan hLuma = fiveFour ? Plan5of4(inW) : Plan8of5(inW);
  const RunPlan hChroma = fiveFour ? Plan5of4(chromaIn) : Plan8of5(chromaIn);
  const RunPlan v = fiveFour ? Plan5of4(inH) : Plan8of5(inH);
  const SIZE_T lumaLine = fiveFour ? 2 * static_cast<SIZE_T>(inW * 5 / 4)
                                   : static_cast<SIZE_T>(inW) * 24 / 5;
  const SIZE_T chromaLine = fiveFour ? (static_cast<SIZE_T>(chromaIn) * 5 / 2) & ~SIZE_T(1)
                                     : 3 * static_cast<SIZE_T>(chromaIn * 8 / 5);
  const GroupLayout lay = LayoutOf(lumaFirst);
  const SIZE_T inStride = 2 * static_cast<SIZE_T>(inW);
  const SIZE_T outStride = 2 * static_cast<SIZE_T>(outW);

  if (path == kScalerPlain) {
    EnlargePlanePlain(dst + lay.luma, src + lay.luma, 2, inStride, outStride, hLuma, v, lumaLine);
    EnlargePlanePlain(dst + lay.chroma0, src + lay.chroma0, 4, inStride, outStride, hChroma, v,
                      chromaLine);
    EnlargePlanePlain(dst + lay.chroma1, src + lay.chroma1, 4, inStride, outStride, hChroma, v,
                      chromaLine);
    return;
  }

  LineSet<6> lines;
  if (!lines.Allocate({lumaLine, lumaLine, chromaLine, chromaLine, chromaLine, chromaLine})) {
    // Keep the plane-by-plane outcome of a refused buffer: a plane whose own
    // buffers were refused stays unwritten, the others are still made.
    const bool lumaOk = lines.line[0] && lines.line[1];
    const bool c0Ok = lines.line[2] && lines.line[3];
    const bool c1Ok = lines.line[4] && lines.line[5];
    for (UCHAR*& l : lines.line) {
      FreeLine(l);
      l = nullptr;
    }
    if (lumaOk)
      EnlargePlanePlain(dst + lay.luma, src + lay.luma, 2, inStride, outStride, hLuma, v, lumaLine);
    if (c0Ok)
      EnlargePlanePlain(dst + lay.chroma0, src + lay.chroma0, 4, inStride, outStride, hChroma, v,
                        chromaLine);
    if (c1Ok)
      EnlargePlanePlain(dst + lay.chroma1, src + lay.chroma1, 4, inStride, outStride, hChroma, v,
                        chromaLine);
    return;
  }
  // Each luma line holds at least 2 * outW bytes: one packed output row.
  RowCache cache{{lines.line[0], lines.line[1]}};
  auto make = [&](ULONG row, UCHAR* line) {
    const UCHAR* s = src + row * inStride;
    EnlargePackedRow<2>(s + lay.luma, hLuma, line + lay.luma);
    EnlargePackedRow<4>(s + lay.chroma0, hChroma, line + lay.chroma0);
    EnlargePackedRow<4>(s + lay.chroma1, hChroma, line + lay.chroma1);
  };
  ForEachPlanRow(v, [&](ULONG k, ULONG a, PairOp op) {
    const UCHAR* A = cache.Get(a, -1, make);
    const UCHAR* B = op == kPairTakeA ? A : cache.Get(a + 1, a, make);
    VectorPairRow(op, A, B, dst + k * outStride, outStride, ScalerWide(path));
  });
}

// 6:5 enlargement with crop to outW x outH from inW-wide input: the luma
// plane, then the chroma plane at byte 3 (YUY2) or 0 (UYVY), then the other.
void Enlarge6of5Frame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG outW, ULONG outH,
                      ULONG lumaFirst, ScalerCodePath path) {
  const SIZE_T inStride = 2 * static_cast<SIZE_T>(inW);
  const SIZE_T outStride = 2 * static_cast<SIZE_T>(outW);
  const ULONG lumaPos = lumaFirst ? 0 : 1;
  const ULONG chromaA = lumaFirst ? 3 : 0;
  const ULONG chromaB = lumaFirst ? 1 : 2;
  if (path == kScalerPlain) {
    Enlarge6of5PlanePlain(dst + lumaPos, src + lumaPos, 2, inStride, outStride, outW, outH, 4096,
                          2048);
    Enlarge6of5PlanePlain(dst + chromaA, src + chromaA, 4, inStride, outStride, outW / 2, outH,
                          1024, 1024);
    Enlarge6of5PlanePlain(dst + chromaB, src + chromaB, 4, inStride, outStride, outW / 2, outH,
                          1024, 1024);
    return;
  }
  LineSet<6> lines;
  const bool ok = lines.Allocate({4096, 2048, 1024, 1024, 1024, 1024});
  const bool planeOk[3] = {lines.line[0] && lines.line[1], lines.line[2] && lines.line[3],
                           lines.line[4] && lines.line[5]};
  if (!ok) {
    for (UCHAR*& l : lines.line) {
      FreeLine(l);
      l = nullptr;
    }
    if (planeOk[0])
      Enlarge6of5PlanePlain(dst + lumaPos, src + lumaPos, 2, inStride, outStride, outW, outH,
                            4096, 2048);
    if (planeOk[1])
      Enlarge6of5PlanePlain(dst + chromaA, src + chromaA, 4, inStride, outStride, outW / 2, outH,
                            1024, 1024);
    if (planeOk[2])
      Enlarge6of5PlanePlain(dst + chromaB, src + chromaB, 4, inStride, outStride, outW / 2, outH,
                            1024, 1024);
    return;
  }
  // Whole packed rows are enlarged straight into the destination; the
  // averaged row of each cycle is made from the written rows around it.
  const RunPlan hLuma = Plan6of5(outW);
  const RunPlan hChroma = Plan6of5(outW / 2);
  auto enlargeInto = [&](ULONG inRow, ULONG outRow) {
    const UCHAR* s = src + inRow * inStride;
    UCHAR* o = dst + outRow * outStride;
    EnlargePackedRow<2>(s + lumaPos, hLuma, o + lumaPos);
    EnlargePackedRow<4>(s + chromaA, hChroma, o + chromaA);
    EnlargePackedRow<4>(s + chromaB, hChroma, o + chromaB);
  };
  for (ULONG r = 0; r < 5; ++r) enlargeInto(r, r);
  ULONG outRow = 5;
  ULONG inRow = 5;
  const ULONG cycles = (outH - 7) / 6 + 1;
  for (ULONG c = 0; c < cycles; ++c) {
    for (ULONG j = 0; j < 5; ++j) enlargeInto(inRow + j, outRow + 1 + j);
    UCHAR* o = dst + outRow * outStride;
    VectorPairRow(kPair1_1, o - outStride, o + outStride, o, outStride, ScalerWide(path));
    outRow += 6;
    inRow += 5;
  }
  UCHAR* last = dst + static_cast<SIZE_T>(outH - 1) * outStride;
  memcpy(last, last - outStride, outStride);
}


bool Fits5of4(ULONG inW, ULONG inH, ULONG outW, ULONG outH) {
  if (inW < 8 || inH < 4) return false;
  return PlanFits(Plan5of4(inW), inW, outW) && PlanFits(Plan5of4(inW / 2), inW / 2, outW / 2) &&
         (outW & 1) == 0 && PlanFits(Plan5of4(inH), inH, outH);
}

bool Fits8of5(ULONG inW, ULONG inH, ULONG outW, ULONG outH) {
  if (inW < 20 || inH < 10) return false;
  return PlanFits(Plan8of5(inW), inW, outW) && PlanFits(Plan8of5(inW / 2), inW / 2, outW / 2) &&
         (outW & 1) == 0 && PlanFits(Plan8of5(inH), inH, outH);
}
