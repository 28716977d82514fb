// The frame scaler's general bilinear routine: 6-bit phases on the luma and
// chroma grids, rows blended from two horizontally scaled source rows; the
// groups and rows past the last computable one repeat it.
#include <cstring>

#include "pipeline/scaler_routes.h"

namespace {

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

}  // namespace

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
        VectorGeneralRow(s, inW, gp.dx, gp.groupsComputed, line, lumaFirst, ScalerWide(path));
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
      VectorBlendRow(fy, bufA, bufB, o, outStride, ScalerWide(path));
    }
    fy += gp.dy;
  }
  for (ULONG k = gp.rowsComputed; k < outH; ++k)
    memcpy(dst + k * outStride, dst + (k - 1) * outStride, outStride);
}


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
