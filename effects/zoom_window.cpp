// Bilinear zoom window: enlarges a window of factor/64 of a packed 4:2:2
// frame to the whole frame. Luma is interpolated per pixel, U and V per
// macro-pixel, with 6-bit weights: (a * (64 - phase) + b * phase + 32) >> 6.
//
// Every output byte of a row is described once by a table entry (source byte
// a, source byte b, phase), the same for every row; the horizontal pass runs
// the table over each source row the output needs, the vertical pass blends
// two such rows. Both passes are the row resampler's (row_resampler.h), with
// its SSSE3 and AVX-512 VBMI paths.
#include "effects/image_filters.h"
#include "effects/row_resampler.h"

namespace {

// Window origin along one side of `size` samples: limited to
// (64 - f) * size / 64 - 2 (at least 0), never negative, rounded down to even.
ULONG WindowOrigin(LONG requested, ULONG size, ULONG f) {
  LONG bound = LONG(((64 - f) * size) >> 6) - 2;
  if (bound < 0) bound = 0;
  LONG origin = requested < bound ? requested : bound;
  if (origin < 0) origin = 0;
  return ULONG(origin) & ~1u;
}

// Fills the per-byte table. Luma sample k lies at source pixel x0 + k*f/64;
// the chroma of macro-pixel m at source macro-pixel x0/2 + m*f/64. With
// f < 64 the window bound keeps every weighted right neighbour inside the
// row and with f = 64 every phase is 0: a sample is never taken from beyond
// the row (the checks only make that explicit).
VOID PlanRow(RowPlan& plan, ULONG w, ULONG f, ULONG x0, ULONG lumaOffset) {
  const ULONG n = w / 2;
  const ULONG uOffset = lumaOffset ^ 1;
  for (ULONG k = 0; k < w; ++k) {
    const ULONG pos = k * f;
    ULONG i = x0 + (pos >> 6);
    ULONG phase = pos & 63;
    if (i >= w) i = w - 1;
    if (i + 1 >= w) phase = 0;
    const ULONG out = 2 * k + lumaOffset;
    plan.a[out] = 2 * i + lumaOffset;
    plan.b[out] = phase ? 2 * i + 2 + lumaOffset : plan.a[out];
    plan.phase[out] = UCHAR(phase);
  }
  for (ULONG m = 0; m < n; ++m) {
    const ULONG pos = m * f;
    ULONG j = x0 / 2 + (pos >> 6);
    ULONG phase = pos & 63;
    if (j >= n) j = n - 1;
    if (j + 1 >= n) phase = 0;
    for (ULONG c = 0; c < 2; ++c) {  // U, then V
      const ULONG out = 4 * m + uOffset + 2 * c;
      plan.a[out] = 4 * j + uOffset + 2 * c;
      plan.b[out] = phase ? plan.a[out] + 4 : plan.a[out];
      plan.phase[out] = UCHAR(phase);
    }
  }
}

// Vertical pass. Output row j shows source row r = y0 + j*f/64 blended with
// row r + 1 by the phase (j*f) mod 64. Each source row is interpolated once:
// the interpolated rows live in two scratch rows, or straight in the output
// row that shows them unblended (phase 0), which then needs no copy.
VOID Zoom(UCHAR* dst, const UCHAR* src, ULONG h, ULONG f, ULONG y0, const RowPlan& plan,
          UCHAR* scratch0, UCHAR* scratch1) {
  const SIZE_T stride = plan.bytes;
  auto sourceRow = [h, f, y0](ULONG j, ULONG* phase) {
    const ULONG pos = j * f;
    *phase = pos & 63;
    const ULONG r = y0 + (pos >> 6);
    return r < h ? r : h - 1;
  };
  const UCHAR* aRow = nullptr;  // interpolated source row aIndex
  const UCHAR* bRow = nullptr;  // interpolated source row bIndex
  ULONG aIndex = ~0u, bIndex = ~0u;
  for (ULONG j = 0; j < h; ++j) {
    ULONG phase;
    const ULONG r = sourceRow(j, &phase);
    UCHAR* out = dst + SIZE_T(j) * stride;
    if (aIndex != r) {
      if (bIndex == r) {
        aRow = bRow;
        bIndex = ~0u;
      } else {
        UCHAR* target = phase == 0 ? out : scratch0;
        InterpolateRow(target, src + SIZE_T(r) * stride, plan);
        aRow = target;
      }
      aIndex = r;
    }
    // The row below is read only when it carries weight; the origin bound
    // keeps it inside the frame then.
    if (phase == 0 || r + 1 >= h) {
      if (aRow != out) RtlCopyMemory(out, aRow, stride);
      continue;
    }
    if (bIndex != r + 1) {
      // When the next output row shows row r + 1 unblended, interpolate it
      // there directly.
      ULONG nextPhase = 1;
      const ULONG next = j + 1 < h ? sourceRow(j + 1, &nextPhase) : h;
      UCHAR* target = next == r + 1 && nextPhase == 0 ? out + stride
                                                      : (aRow == scratch0 ? scratch1 : scratch0);
      InterpolateRow(target, src + SIZE_T(r + 1) * stride, plan);
      bRow = target;
      bIndex = r + 1;
    }
    BlendRowPair(out, aRow, bRow, stride, phase, plan.wide != nullptr);
  }
}

}  // namespace

LONG ZoomWindow(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, LONG factor, LONG x, LONG y,
                ULONG lumaFirst) {
  if (dst == nullptr || src == nullptr || dst == src) return 0;
  if (!PackedFrameUsable(w, h)) {
    RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  const ULONG f = factor < 1 ? 1 : (factor > 64 ? 64 : ULONG(factor));
  const ULONG x0 = WindowOrigin(x, w, f);
  const ULONG y0 = WindowOrigin(y, h, f);
  const ULONG bytes = w * 2;
  const bool groups = RowPlanWantsGroups(bytes);

  // One block: two interpolated rows, then the plan.
  const SIZE_T total = 2 * SIZE_T(bytes) + RowPlanBytes(bytes, groups);
  UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, total, kTagBuffer));
  if (block == nullptr) {
    RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  UCHAR* rowA = block;
  UCHAR* rowB = rowA + bytes;
  RowPlan plan = LayOutRowPlan(rowB + bytes, bytes, groups);

  PlanRow(plan, w, f, x0, lumaFirst ? 0 : 1);
  if (groups) PlanShuffleGroups(plan);
  Zoom(dst, src, h, f, y0, plan, rowA, rowB);
  ExFreePoolWithTag(block, kTagBuffer);
  return 1;
}
