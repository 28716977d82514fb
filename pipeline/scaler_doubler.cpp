// The frame scaler's sharpening doubler: a bilinear 2x luma plane sharpened
// against its neighbours, chroma interpolated between source rows. Serves
// the 2x pairs and the crop-and-double pair.
#include <cstring>

#include "pipeline/scaler_routes.h"

namespace {

// Bilinear 2x luma row from packed rows p and q (q == p for an input row,
// q = next row for the interpolated row between them), samples of source
// pixels [first, end). 2 * inW samples; the last repeats the one before it.
void PlainDoublerLumaRow(const UCHAR* p, const UCHAR* q, ULONG inW, UCHAR* out, ULONG luma,
                         ULONG first, ULONG end) {
  for (ULONG j = first; j < end; ++j) {
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

}  // namespace

// Doubles an inW x inH frame (inW even, >= 2; inH >= 1). Line buffers: four
// bilinear luma rows of 2 * inW bytes. Where the AVX2 kernels run, the
// middle rows go two at a time straight from the source rows; the bilinear
// rows are then made only at the row ends, for the per-sample groups there.
void DoubleFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, const UCHAR* clamp,
                 ULONG lumaFirst, ScalerCodePath path) {
  const SIZE_T line = 2 * static_cast<SIZE_T>(inW);
  LineSet<4> lines;
  if (!lines.Allocate({line, line, line, line})) return;
  const GroupLayout lay = LayoutOf(lumaFirst);
  const ULONG outH = 2 * inH;
  const ULONG width = 2 * inW;
  const ULONG chromaCount = inW / 2;
  const ULONG groups = inW;  // output groups per row
  const SIZE_T inStride = line;
  const SIZE_T outStride = 2 * line;
  const ULONG lastLumaRow = outH - 2;  // last row of the bilinear luma image used

  auto lumaRow = [&](ULONG u) -> UCHAR* { return lines.line[u % 4]; };
  // Bilinear row u over source pixels [first, end) (the whole row by default).
  auto makeLumaRow = [&](ULONG u, ULONG first = 0, ULONG end = ~0u) {
    const UCHAR* p = src + (u / 2) * inStride;
    const UCHAR* q = (u & 1) ? p + inStride : p;
    if (end > inW) end = inW;
    if (first == 0 && end == inW && path != kScalerPlain)
      first = VectorDoublerLumaRow(p, q, inW, lumaRow(u), lumaFirst, ScalerWide(path)) / 2;
    PlainDoublerLumaRow(p, q, inW, lumaRow(u), lay.luma, first, end);
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

  // One output row from the bilinear rows it reads.
  auto outputRow = [&](ULONG r) {
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
    ULONG g = 0, done = 0;
    if (vectorEnd > 2) {
      for (; g < 2; ++g) DoublerGroup(row, p, q, chromaCount, g, out, lay);
      done = VectorDoublerOutputRow(row.mode, row.above, row.center, row.below, p, q, out, 2,
                                    vectorEnd, lumaFirst, ScalerWide(path));
      g = done;
    }
    for (; g < groups; ++g) DoublerGroup(row, p, q, chromaCount, g, out, lay);
  };

  // Row pairs: groups [2, inW - 2) by the kernel, which reads source
  // pixels 1 .. inW - 1; 0, 1, inW - 2 and inW - 1 per sample.
  const bool pairs = ScalerWide(path) && inW >= 20 && inH >= 3;
  if (!pairs) {
    makeLumaRow(0);
    if (lastLumaRow >= 1) makeLumaRow(1);
    for (ULONG r = 0; r < outH; ++r) {
      if (r >= 1 && r + 1 <= lastLumaRow) makeLumaRow(r + 1);
      outputRow(r);
    }
    return;
  }
  for (ULONG u = 0; u < 3; ++u) makeLumaRow(u);
  outputRow(0);
  outputRow(1);
  for (ULONG i = 1; i + 2 <= inH; ++i) {
    // Bilinear rows 2i - 1 and 2i are there; 2i + 1 and 2i + 2 at the ends.
    for (ULONG u = 2 * i + 1; u <= 2 * i + 2; ++u) {
      makeLumaRow(u, 0, 3);
      makeLumaRow(u, inW - 3);
    }
    const UCHAR* row = src + i * inStride;
    UCHAR* out0 = dst + (2 * i) * outStride;
    UCHAR* out1 = out0 + outStride;
    VectorDoublerRowPair(row - inStride, row, row + inStride, out0, out1, 2, inW - 2, lumaFirst,
                         true);
    for (ULONG r = 2 * i; r <= 2 * i + 1; ++r) {
      DoublerRow pr;
      pr.mode = kDoublerMiddleRow;
      pr.width = width;
      pr.clamp = clamp;
      pr.above = lumaRow(r - 1);
      pr.center = lumaRow(r);
      pr.below = lumaRow(r + 1);
      const UCHAR* p = row;
      const UCHAR* q = (r & 1) ? row + inStride : row;
      UCHAR* out = dst + r * outStride;
      const ULONG ends[4] = {0, 1, inW - 2, inW - 1};
      for (ULONG g : ends) DoublerGroup(pr, p, q, chromaCount, g, out, lay);
    }
  }
  makeLumaRow(outH - 3);
  makeLumaRow(outH - 2);
  outputRow(outH - 2);
  outputRow(outH - 1);
}
