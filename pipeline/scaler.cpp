// Frame scaler. ScaleFrame picks a routine by the exact pair of frame sizes:
// copy, box halver, sharpening doubler, the 5:4 and 8:5 enlargers, the 6:5
// enlargers with crop, the centre crop, crop-and-double and the general
// bilinear routine. Every fixed routine is used only where its run structure
// fits the frames; other pairs go to the general routine, and pairs that even
// the general routine cannot serve inside the frames are left unwritten.
#include "pipeline/scaler.h"

#include <cstring>

#include "pipeline/scaler_kernels.h"

// ---------------------------------------------------------------------------
// Weight tables and pair operations
// ---------------------------------------------------------------------------

namespace {

constexpr UCHAR RoundedWeight(int x, int k, int n) {
  return static_cast<UCHAR>((2 * x * k + n) / (2 * n));
}

constexpr ScalerWeights MakeWeights() {
  ScalerWeights w{};
  for (int x = 0; x < 256; ++x) {
    w.t1of5[x] = RoundedWeight(x, 1, 5);
    w.t2of5[x] = RoundedWeight(x, 2, 5);
    w.t3of5[x] = RoundedWeight(x, 3, 5);
    w.t4of5[x] = RoundedWeight(x, 4, 5);
    w.t3of8[x] = RoundedWeight(x, 3, 8);
    w.t5of8[x] = RoundedWeight(x, 5, 8);
  }
  return w;
}

}  // namespace

constexpr ScalerWeights kScalerWeights = MakeWeights();

constexpr PairOpShape kPairOpShapes[kPairOpCount] = {
    {0, 1, 0, 0, 0, 0},  // kPairTakeA
    {1, 1, 4, 0, 0, 5},  // kPair1of5_4of5
    {1, 2, 3, 0, 0, 5},  // kPair2of5_3of5
    {1, 3, 2, 0, 0, 5},  // kPair3of5_2of5
    {1, 4, 1, 0, 0, 5},  // kPair4of5_1of5
    {1, 3, 5, 0, 0, 8},  // kPair3of8_5of8
    {1, 5, 3, 0, 0, 8},  // kPair5of8_3of8
    {0, 3, 1, 2, 2, 0},  // kPair3_1Rounded
    {0, 1, 7, 4, 3, 0},  // kPair1_7Rounded
    {0, 1, 1, 1, 1, 0},  // kPair1_1Rounded
    {0, 7, 1, 4, 3, 0},  // kPair7_1Rounded
    {0, 1, 3, 2, 2, 0},  // kPair1_3Rounded
    {0, 1, 3, 0, 2, 0},  // kPair1_3
    {0, 1, 1, 0, 1, 0},  // kPair1_1
    {0, 3, 1, 0, 2, 0},  // kPair3_1
};

namespace {

const ScalerWeights& W = kScalerWeights;

inline bool Wide(ScalerCodePath path) { return path == kScalerVector && ScalerCpuHasAvx2(); }

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

// ---------------------------------------------------------------------------
// Line buffers
// ---------------------------------------------------------------------------

UCHAR* AllocateLine(SIZE_T bytes) {
  return static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPool, bytes != 0 ? bytes : 1, kTagBuffer));
}

void FreeLine(UCHAR* line) {
  if (line != nullptr) ExFreePoolWithTag(line, kTagBuffer);
}

// A set of line buffers allocated together and freed on scope exit.
template <int N>
struct LineSet {
  UCHAR* line[N] = {};
  bool Allocate(const SIZE_T (&bytes)[N]) {
    bool ok = true;
    for (int i = 0; i < N; ++i) {
      line[i] = AllocateLine(bytes[i]);
      ok = ok && line[i] != nullptr;
    }
    return ok;
  }
  ~LineSet() {
    for (int i = 0; i < N; ++i) FreeLine(line[i]);
  }
};

// Byte positions of the three planes inside a 4-byte group.
struct GroupLayout {
  ULONG luma;     // first luma byte (0 or 1)
  ULONG chroma0;  // first chroma byte (1 for YUY2, 0 for UYVY)
  ULONG chroma1;  // second chroma byte (3 or 2)
};

GroupLayout LayoutOf(ULONG lumaFirst) {
  return lumaFirst != 0 ? GroupLayout{0, 1, 3} : GroupLayout{1, 0, 2};
}

// ---------------------------------------------------------------------------
// Copy, box halver, centre crop
// ---------------------------------------------------------------------------

void HalveFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG lumaFirst,
                ScalerCodePath path) {
  if (inH < 2) return;
  const ULONG groups = inW / 4;
  const ULONG outW = inW / 2;
  const GroupLayout g = LayoutOf(lumaFirst);
  const SIZE_T inStride = 2 * static_cast<SIZE_T>(inW);
  const SIZE_T outStride = 2 * static_cast<SIZE_T>(outW);
  for (ULONG r = 0; r < inH / 2; ++r) {
    const UCHAR* a = src + 2 * r * inStride;
    const UCHAR* b = a + inStride;
    UCHAR* o = dst + r * outStride;
    ULONG done = path != kScalerPlain ? VectorHalveRow(a, b, o, groups, lumaFirst, Wide(path)) : 0;
    for (ULONG k = done; k < groups; ++k) {
      const UCHAR* x = a + 8 * static_cast<SIZE_T>(k);
      const UCHAR* y = b + 8 * static_cast<SIZE_T>(k);
      UCHAR* z = o + 4 * static_cast<SIZE_T>(k);
      const ULONG l0 = g.luma, l1 = g.luma + 2;
      z[l0] = static_cast<UCHAR>((x[l0] + x[l1] + y[l0] + y[l1]) >> 2);
      z[l1] = static_cast<UCHAR>((x[4 + l0] + x[4 + l1] + y[4 + l0] + y[4 + l1]) >> 2);
      const ULONG c0 = g.chroma0, c1 = g.chroma1;
      z[c0] = static_cast<UCHAR>((x[c0] + x[4 + c0] + y[c0] + y[4 + c0]) >> 2);
      z[c1] = static_cast<UCHAR>((x[c1] + x[4 + c1] + y[c1] + y[4 + c1]) >> 2);
    }
  }
}

// ---------------------------------------------------------------------------
// Sharpening doubler
// ---------------------------------------------------------------------------

// Bilinear 2x luma row from packed rows p and q (q == p for an input row,
// q = next row for the interpolated row between them). 2 * inW samples; the
// last repeats the one before it.
void PlainDoublerLumaRow(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out, ULONG luma,
                         ULONG first) {
  for (ULONG j = first; j < inW; ++j) {
    const ULONG v = p[2 * j + luma] + q[2 * j + luma];
    out[2 * j] = static_cast<UCHAR>(v >> 1);
    if (j + 1 < inW) {
      const ULONG w = p[2 * j + 2 + luma] + q[2 * j + 2 + luma];
      out[2 * j + 1] = static_cast<UCHAR>((v + w) >> 2);
    } else {
      out[2 * j + 1] = out[2 * j];
    }
  }
}

struct DoublerRow {
  int mode;
  const UCHAR* above;   // kDoublerMiddleRow only
  const UCHAR* center;
  const UCHAR* below;   // not used for kDoublerLastRow
  ULONG width;          // luma samples per output row (2 * inW)
  const UCHAR* clamp;
};

inline UCHAR SharpenedLuma(const DoublerRow& r, ULONG c) {
  const int self = r.center[c];
  const bool first = c == 0;
  const bool last = c + 1 == r.width;
  const int left = first ? 0 : r.center[c - 1];
  const int right = last ? 0 : r.center[c + 1];
  int horizontal;  // the horizontal part of the neighbour term
  if (first && last) {
    horizontal = 0;
  } else if (first) {
    horizontal = right;
  } else if (last) {
    horizontal = left;
  } else {
    horizontal = -1;
  }
  if (r.mode == kDoublerLastRow) {
    const int h = horizontal >= 0 ? horizontal : (left + right) >> 1;
    return r.clamp[2 * self - h];
  }
  int n;
  if (r.mode == kDoublerTopRow) {
    n = (horizontal >= 0 ? horizontal : (left + right) >> 1) + r.below[c];
  } else if (horizontal >= 0) {
    n = ((r.above[c] + r.below[c]) >> 1) + horizontal;
  } else {
    n = (left + right + r.above[c] + r.below[c]) >> 1;
  }
  return r.clamp[3 * self - n];
}

// One output group g: its two luma samples and its chroma, the chroma from
// packed source rows p and q (q == p when the output row takes one row).
inline void DoublerGroup(const DoublerRow& r, const UCHAR* p, const UCHAR* q, ULONG chromaCount,
                         ULONG g, UCHAR* out, const GroupLayout& lay) {
  UCHAR* z = out + 4 * static_cast<SIZE_T>(g);
  z[lay.luma] = SharpenedLuma(r, 2 * g);
  z[lay.luma + 2] = SharpenedLuma(r, 2 * g + 1);
  const ULONG lastGroup = 2 * chromaCount - 1;
  const ULONG h = g == lastGroup ? g - 1 : g;
  const ULONG k = h / 2;
  const ULONG cs[2] = {lay.chroma0, lay.chroma1};
  for (ULONG i = 0; i < 2; ++i) {
    const ULONG c = cs[i];
    const ULONG v = p[4 * k + c] + q[4 * k + c];
    if ((h & 1) == 0) {
      z[c] = static_cast<UCHAR>(v >> 1);
    } else {
      const ULONG w = p[4 * k + 4 + c] + q[4 * k + 4 + c];
      z[c] = static_cast<UCHAR>((v + w) >> 2);
    }
  }
}

bool ClampIsSaturating(const UCHAR* clamp) {
  for (int i = -256; i < 768; ++i)
    if (clamp[i] != (i < 0 ? 0 : i > 255 ? 255 : i)) return false;
  return true;
}

// Doubles an inW x inH frame (inW even, >= 2; inH >= 1). Line buffers: three
// bilinear luma rows of 2 * inW bytes.
void DoubleFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, const UCHAR* clamp,
                 ULONG lumaFirst, ScalerCodePath path) {
  const SIZE_T line = 2 * static_cast<SIZE_T>(inW);
  LineSet<3> lines;
  if (!lines.Allocate({line, line, line})) return;
  const GroupLayout lay = LayoutOf(lumaFirst);
  const ULONG outH = 2 * inH;
  const ULONG width = 2 * inW;
  const ULONG chromaCount = inW / 2;
  const ULONG groups = inW;  // output groups per row
  const SIZE_T inStride = line;
  const SIZE_T outStride = 2 * line;
  const ULONG lastLumaRow = outH - 2;  // last row of the bilinear luma image used

  auto lumaRow = [&](ULONG u) -> UCHAR* { return lines.line[u % 3]; };
  auto makeLumaRow = [&](ULONG u) {
    const UCHAR* p = src + (u / 2) * inStride;
    const UCHAR* q = (u & 1) ? p + inStride : p;
    ULONG done = 0;
    if (path != kScalerPlain)
      done = VectorDoublerLumaRow(p, q, inW, lumaRow(u), lumaFirst, Wide(path));
    PlainDoublerLumaRow(p, q, inW, lumaRow(u), lay.luma, done / 2);
  };

  // The vector kernels saturate with packs, which gives the clamp table's
  // values; a table of other content is read sample by sample.
  if (path != kScalerPlain && !ClampIsSaturating(clamp)) path = kScalerPlain;
  // Vector chunks of 8 (or 16) groups cover [2, vectorEnd): a chunk reads one
  // bilinear sample left and right of it and one source group beyond its
  // last, so a chunk starting at group g0 needs g0 >= 1 and g0 + 10 <= inW,
  // and starts on an even group (a whole source group).
  ULONG vectorEnd = 0;
  if (path != kScalerPlain && inW >= 12) vectorEnd = 2 + ((inW - 4) / 8) * 8;

  makeLumaRow(0);
  if (lastLumaRow >= 1) makeLumaRow(1);
  for (ULONG r = 0; r < outH; ++r) {
    if (r >= 1 && r + 1 <= lastLumaRow) makeLumaRow(r + 1);
    DoublerRow row;
    row.width = width;
    row.clamp = clamp;
    if (r == outH - 1) {
      row.mode = kDoublerLastRow;
      row.center = lumaRow(lastLumaRow);
      row.above = row.below = row.center;
    } else {
      row.mode = r == 0 ? kDoublerTopRow : kDoublerMiddleRow;
      row.center = lumaRow(r);
      row.above = r == 0 ? row.center : lumaRow(r - 1);
      row.below = r == lastLumaRow ? row.center : lumaRow(r + 1);
    }
    // Chroma rows: an even output row (and the last one) takes input row r/2,
    // an odd one averages rows r/2 and r/2 + 1.
    const ULONG i = r / 2;
    const UCHAR* p = src + i * inStride;
    const UCHAR* q = ((r & 1) && r != outH - 1) ? p + inStride : p;
    UCHAR* out = dst + r * outStride;
    if (vectorEnd > 2) {
      const ULONG done = VectorDoublerOutputRow(row.mode, row.above, row.center, row.below, p, q,
                                                out, 2, vectorEnd, lumaFirst, Wide(path));
      for (ULONG g = 0; g < 2; ++g) DoublerGroup(row, p, q, chromaCount, g, out, lay);
      for (ULONG g = done; g < groups; ++g) DoublerGroup(row, p, q, chromaCount, g, out, lay);
    } else {
      for (ULONG g = 0; g < groups; ++g) DoublerGroup(row, p, q, chromaCount, g, out, lay);
    }
  }
}

// ---------------------------------------------------------------------------
// Run-pattern enlargers (5:4, 8:5, 6:5)
// ---------------------------------------------------------------------------

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
    VectorPairRow(op, A, B, dst + k * outStride, outStride, Wide(path));
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
    VectorPairRow(kPair1_1, o - outStride, o + outStride, o, outStride, Wide(path));
    outRow += 6;
    inRow += 5;
  }
  UCHAR* last = dst + static_cast<SIZE_T>(outH - 1) * outStride;
  memcpy(last, last - outStride, outStride);
}

// ---------------------------------------------------------------------------
// General bilinear
// ---------------------------------------------------------------------------

struct GeneralPlan {
  ULONG dx, dy;
  ULONG groupsComputed;  // per row
  ULONG rowsComputed;
};

// Horizontal pass of the general routine for one source row into a line of
// outW pixels in the frame's own byte order.
// Groups before `firstGroup` are already made (by a vector kernel); the
// phases start where they stand at that group.
void GeneralRow(const UCHAR* s, ULONG inW, ULONG outW, const GeneralPlan& gp, const GroupLayout& lay,
                UCHAR* out, ULONG firstGroup = 0) {
  const ULONG lastLuma = inW - 1;
  ULONG fx = 2 * firstGroup * gp.dx;
  ULONG idx = 0;
  const ULONG pixels = 2 * gp.groupsComputed;
  if (fx > 64) {
    idx = (fx - 1) / 64;
    fx -= 64 * idx;
  }
  for (ULONG p = 2 * firstGroup; p < pixels; ++p) {
    while (fx > 64) {
      ++idx;
      fx -= 64;
    }
    const ULONG i0 = idx < lastLuma ? idx : lastLuma;
    const ULONG i1 = idx + 1 < lastLuma ? idx + 1 : lastLuma;
    out[2 * static_cast<SIZE_T>(p) + lay.luma] = static_cast<UCHAR>(
        ((64 - fx) * s[2 * static_cast<SIZE_T>(i0) + lay.luma] +
         fx * s[2 * static_cast<SIZE_T>(i1) + lay.luma] + 32) >> 6);
    fx += gp.dx;
  }
  // Chroma: one phase per output group on the chroma grid. The second sample
  // is held at the last chroma sample of the row where the phase runs past it.
  const ULONG lastChroma = inW / 2 - 1;
  ULONG f = firstGroup * gp.dx;
  ULONG ci = 0;
  if (f > 64) {
    ci = (f - 1) / 64;
    f -= 64 * ci;
  }
  for (ULONG g = firstGroup; g < gp.groupsComputed; ++g) {
    while (f > 64) {
      ++ci;
      f -= 64;
    }
    const ULONG c0 = ci < lastChroma ? ci : lastChroma;
    const ULONG c1 = ci + 1 < lastChroma ? ci + 1 : lastChroma;
    UCHAR* z = out + 4 * static_cast<SIZE_T>(g);
    const UCHAR* a = s + 4 * static_cast<SIZE_T>(c0);
    const UCHAR* b = s + 4 * static_cast<SIZE_T>(c1);
    z[lay.chroma0] = static_cast<UCHAR>(((64 - f) * a[lay.chroma0] + f * b[lay.chroma0] + 32) >> 6);
    z[lay.chroma1] = static_cast<UCHAR>(((64 - f) * a[lay.chroma1] + f * b[lay.chroma1] + 32) >> 6);
    f += gp.dx;
  }
  // Fill groups repeat the last computed group's second luma and its chroma.
  const UCHAR* lastGroup = out + 4 * static_cast<SIZE_T>(gp.groupsComputed - 1);
  for (ULONG g = gp.groupsComputed; g < outW / 2; ++g) {
    UCHAR* z = out + 4 * static_cast<SIZE_T>(g);
    z[lay.luma] = lastGroup[lay.luma + 2];
    z[lay.luma + 2] = lastGroup[lay.luma + 2];
    z[lay.chroma0] = lastGroup[lay.chroma0];
    z[lay.chroma1] = lastGroup[lay.chroma1];
  }
}

// Works out steps, fill groups and filled rows; false where the routine
// cannot make the frame inside both buffers.
bool PlanGeneral(ULONG inW, ULONG inH, ULONG outW, ULONG outH, GeneralPlan* gp) {
  if (outW < 2 || outH < 1 || (outW & 1) != 0 || inW < 2 || inH < 2) return false;
  const ULONGLONG inW64 = static_cast<ULONGLONG>(inW) * 64;
  const ULONGLONG inH64 = static_cast<ULONGLONG>(inH) * 64;
  if (inW64 < outW || inH64 < outH) return false;
  gp->dx = static_cast<ULONG>(inW64 / outW);
  gp->dy = static_cast<ULONG>(inH64 / outH);
  const LONGLONG m = static_cast<LONGLONG>((static_cast<ULONGLONG>(inW - 1) * 64) / gp->dx);
  const LONGLONG over = static_cast<LONGLONG>(outW) - m;
  const LONGLONG pad = over >= 0 ? (over + 1) / 2 + 1 : 0;
  const LONGLONG groups = static_cast<LONGLONG>(outW / 2) - pad;
  const LONGLONG q = static_cast<LONGLONG>(outH) -
                     static_cast<LONGLONG>((static_cast<ULONGLONG>(inH - 1) * 64) / gp->dy);
  const LONGLONG rows = static_cast<LONGLONG>(outH) - (q > 0 ? q : 0);
  if (groups < 1 || rows < 1) return false;
  gp->groupsComputed = static_cast<ULONG>(groups);
  gp->rowsComputed = static_cast<ULONG>(rows);
  return true;
}

void GeneralFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG outW, ULONG outH,
                  ULONG lumaFirst, ScalerCodePath path) {
  GeneralPlan gp;
  if (!PlanGeneral(inW, inH, outW, outH, &gp)) return;
  const SIZE_T line = 3 * static_cast<SIZE_T>(outW);
  LineSet<2> lines;
  if (!lines.Allocate({line, line})) return;
  const GroupLayout lay = LayoutOf(lumaFirst);
  const SIZE_T inStride = 2 * static_cast<SIZE_T>(inW);
  const SIZE_T outStride = 2 * static_cast<SIZE_T>(outW);
  UCHAR* bufA = lines.line[0];
  UCHAR* bufB = lines.line[1];
  auto makeRow = [&](ULONG row, UCHAR* line) {
    const UCHAR* s = src + row * inStride;
    const ULONG done =
        VectorGeneralRow(s, inW, gp.dx, gp.groupsComputed, line, lumaFirst, Wide(path));
    GeneralRow(s, inW, outW, gp, lay, line, done);
  };
  LONGLONG heldA = -1;  // source rows held in bufA and bufB (vector path)
  LONGLONG heldB = -1;
  ULONG fy = 0;
  ULONG r = 0;
  for (ULONG k = 0; k < gp.rowsComputed; ++k) {
    while (fy > 64) {
      ++r;
      fy -= 64;
    }
    const ULONG r0 = r < inH - 1 ? r : inH - 1;
    const ULONG r1 = r + 1 < inH - 1 ? r + 1 : inH - 1;
    UCHAR* o = dst + k * outStride;
    if (path == kScalerPlain) {
      GeneralRow(src + r0 * inStride, inW, outW, gp, lay, bufA);
      GeneralRow(src + r1 * inStride, inW, outW, gp, lay, bufB);
      for (SIZE_T i = 0; i < outStride; ++i)
        o[i] = static_cast<UCHAR>(((64 - fy) * bufA[i] + fy * bufB[i] + 32) >> 6);
    } else {
      // Each source row is enlarged once and kept while output rows use it.
      if (heldA != r0) {
        if (heldB == r0) {
          UCHAR* t = bufA;
          bufA = bufB;
          bufB = t;
          heldB = heldA;
        } else {
          makeRow(r0, bufA);
        }
        heldA = r0;
      }
      if (heldB != r1) {
        makeRow(r1, bufB);
        heldB = r1;
      }
      VectorBlendRow(fy, bufA, bufB, o, outStride, Wide(path));
    }
    fy += gp.dy;
  }
  for (ULONG k = gp.rowsComputed; k < outH; ++k)
    memcpy(dst + k * outStride, dst + (k - 1) * outStride, outStride);
}

// ---------------------------------------------------------------------------
// Dispatch
// ---------------------------------------------------------------------------

// UVC frame sizes are 16-bit; larger values are not frames this driver makes.
constexpr ULONG kMaxDimension = 0xFFFF;

LONG Half(ULONG v) { return static_cast<LONG>(v) / 2; }

// A run plan fits n input samples when it makes exactly `outputs` samples
// and reads none past the n-th. For 5:4 that holds for multiples of 4, for
// 8:5 for multiples of 10 (so widths of multiples of 8 and 20 once chroma is
// counted); other sizes would write past the row or the frame.
bool PlanFits(const RunPlan& p, ULONG n, ULONG outputs) {
  return p.Outputs() == outputs && PlanReach(p) <= n;
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

}  // namespace

bool PlanGeneralScaling(ULONG inW, ULONG inH, ULONG outW, ULONG outH, GeneralScalingPlan* plan) {
  GeneralPlan gp;
  if (!PlanGeneral(inW, inH, outW, outH, &gp)) return false;
  plan->dx = gp.dx;
  plan->dy = gp.dy;
  plan->groupsComputed = gp.groupsComputed;
  plan->fillGroups = outW / 2 - gp.groupsComputed;
  plan->rowsComputed = gp.rowsComputed;
  plan->rowsFilled = outH - gp.rowsComputed;
  return true;
}

LONG ScaleFrameOnPath(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                      ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst,
                      ScalerCodePath path) {
  if (destination == nullptr || source == nullptr) return 1;
  if (inW > kMaxDimension || inH > kMaxDimension || outW > kMaxDimension ||
      outH > kMaxDimension)
    return 1;
  lumaFirst = lumaFirst != 0 ? 1 : 0;
  const ULONGLONG iw = inW, ih = inH, ow = outW, oh = outH;

  if (outW == inW && outH == inH) {
    memcpy(destination, source, 2 * iw * ih);
    return 1;
  }
  if (static_cast<LONG>(outW) == Half(inW) && static_cast<LONG>(outH) == Half(inH)) {
    HalveFrame(destination, source, inW, inH, lumaFirst, path);
    return 1;
  }
  if (ow == 2 * iw && oh == 2 * ih) {
    if (inW >= 2 && inW % 2 == 0 && inH >= 1 && clampPointer != nullptr) {
      DoubleFrame(destination, source, inW, inH, clampPointer, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (ow == (5 * iw) / 4 && oh == (5 * ih) / 4) {
    if (Fits5of4(inW, inH, outW, outH)) {
      EnlargeFrameByRuns(destination, source, inW, inH, outW, true, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (ow == (8 * iw) / 5 && oh == (8 * ih) / 5) {
    if (Fits8of5(inW, inH, outW, outH)) {
      EnlargeFrameByRuns(destination, source, inW, inH, outW, false, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if ((outW == 704 && inW == 640) || (outW == 352 && inW == 320)) {
    // The routine always reads 480 (240) input rows and writes 576 (288):
    // it is used for exactly those heights, other heights are scaled
    // generally (fewer input rows would be read past, fewer output rows
    // written past, more left unwritten or unread).
    const ULONG rowsRead = inW == 640 ? 480 : 240;
    const ULONG rowsWritten = inW == 640 ? 576 : 288;
    if (inH == rowsRead && outH == rowsWritten) {
      Enlarge6of5Frame(destination, source, inW, outW, outH, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (inW == 1280 && inH == 960 && outW == 1280 && outH == 720) {
    memcpy(destination, source + 120 * 2560, 720 * 2560);
    return 1;
  }
  if (inW == 640 && inH == 480 && outW == 1280 && outH == 720) {
    if (clampPointer == nullptr) return 1;
    for (ULONG r = 0; r < 360; ++r) memcpy(source + r * 1280, source + (r + 60) * 1280, 1280);
    DoubleFrame(destination, source, 640, 360, clampPointer, lumaFirst, path);
    return 1;
  }
  GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
  return 1;
}

LONG ScaleFrame(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst) {
  return ScaleFrameOnPath(destination, source, inW, inH, outW, outH, clampPointer, lumaFirst,
                          kScalerVector);
}
