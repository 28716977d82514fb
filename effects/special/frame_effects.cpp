// Effects 2 (photo grid), 3 (mirrored tiles) and 4 (breathing stretch).
#include "effects/special/frame_effects.h"

#include <cstring>

#include "effects/row_resampler.h"
#include "platform/pool_tags.h"

BreathingAnimation BreathingState = {1, 64, 64, 1};

ULONG SystemTimeMs() {
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  return static_cast<ULONG>(static_cast<ULONGLONG>(ticks.QuadPart) * KeQueryTimeIncrement() / 10000);
}

namespace {

// Black (Y 0, chroma 128) in the frame's byte order.
VOID FillBlack(UCHAR* frame, SIZE_T bytes, ULONG lumaOffset) {
  for (SIZE_T i = 0; i < bytes; i += 2) {
    frame[i + lumaOffset] = 0;
    frame[i + (lumaOffset ^ 1)] = 128;
  }
}

}  // namespace

// ---- effect 2 -------------------------------------------------------------

LONG PhotoGridFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                    ULONG lumaOffset, ULONG nowMs) {
  const SIZE_T bytes = SIZE_T(w) * 2 * h;
  UCHAR* held = record->overlayBitmap;
  if (held == nullptr || record->overlayBitmapSize < bytes) return 0;
  if (ReadULongNoFence(&record->gridCounter) == 0) FillBlack(held, bytes, lumaOffset);
  const ULONG gridTime = ReadULongNoFence(&record->gridTime);
  // 0 marks "not started", so a start at time 0 is kept as 1.
  const ULONG now = nowMs == 0 ? 1 : nowMs;
  memcpy(dst, held, bytes);
  if (gridTime == 0) {
    WriteULongNoFence(&record->gridTime, now);
    return 1;
  }
  if (now - gridTime < 1000) return 1;
  WriteULongNoFence(&record->gridTime, now);
  const ULONG counter = ReadULongNoFence(&record->gridCounter);
  const ULONG c = counter % 9;
  const ULONG left = (c % 3) * w / 3, top = (c / 3) * h / 3;
  const LONG cellW = LONG(w / 3), cellH = LONG(h / 3);
  // An odd left edge samples one pixel further on, so each sample keeps the
  // chroma component its destination position carries.
  const ULONG shift = left & 1;
  for (LONG y = 1; y <= cellH - 2; ++y) {
    const ULONG sy = 3 * ULONG(y);
    if (sy >= h) break;
    UCHAR* out = held + (SIZE_T(top + y) * w + left) * 2;
    const UCHAR* in = src + SIZE_T(sy) * w * 2;
    for (LONG x = 1; x <= cellW - 2; ++x) {
      const ULONG sx = 3 * ULONG(x) + shift;
      if (sx >= w) break;
      out[2 * x] = in[2 * sx];
      out[2 * x + 1] = in[2 * sx + 1];
    }
  }
  WriteULongNoFence(&record->gridCounter, counter + 1);
  return 1;
}

// ---- effect 3 -------------------------------------------------------------

namespace {

// Source position of every output unit along one axis: for columns the
// first source pixel of the group of four that makes each output pair, for
// rows the source row. Returns false when the axis is too short for the
// layout or a position would fall outside 0..limit.
bool TileColumns(ULONG* pairs, ULONG w) {
  if (w < 38) return false;
  const LONG nx = LONG(w - 12) / 26, rx = LONG(w) - 26 * nx, hx = (rx + 26) / 2;
  const LONG fx = (hx & 1) ? hx - 1 : hx - 2;
  LONG n = 0;
  auto put = [&](LONG p) {
    if (p < 0 || p + 3 >= LONG(w) || n >= LONG(w / 2)) return false;
    pairs[n++] = ULONG(p);
    return true;
  };
  for (LONG i = 0; i < 6; ++i) if (!put(4 * i)) return false;
  for (LONG t = 0; t <= nx - 2; ++t)
    for (LONG i = 0; i < 13; ++i) if (!put(26 * t + 4 * i)) return false;
  LONG pos = 26 * (nx - 1);
  for (LONG i = 0; i < fx / 2; ++i, pos += 4) if (!put(pos)) return false;
  for (LONG i = 0; i < (rx - fx + 14) / 2; ++i, pos -= 4) if (!put(pos - 8)) return false;
  return n == LONG(w / 2);
}

bool TileRows(ULONG* rows, ULONG h) {
  if (h < 44) return false;
  const LONG ny = LONG(h - 18) / 26, ry = LONG(h) - 26 * ny, hy = (ry + 26) / 2;
  const LONG t = ry + 9 - hy;
  LONG n = 0;
  auto put = [&](LONG r) {
    if (r < 0 || r >= LONG(h) || n >= LONG(h)) return false;
    rows[n++] = ULONG(r);
    return true;
  };
  for (LONG r = 0; r < 18; ++r) if (!put(2 * r)) return false;
  for (LONG b = 0; b <= ny - 2; ++b)
    for (LONG r = 0; r < 26; ++r) if (!put(26 * b + 2 * r)) return false;
  for (LONG r = 0; r < hy - 1; ++r) if (!put(26 * (ny - 1) + 2 * r)) return false;
  for (LONG r = 0; r < t; ++r) if (!put(LONG(h) - t - 2 * r)) return false;
  return n == LONG(h);
}

}  // namespace

LONG MirroredTilesFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaOffset) {
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  if ((w & 1) != 0) {
    memcpy(dst, src, rowBytes * h);
    return 1;
  }
  const SIZE_T entries = SIZE_T(w / 2) + h;
  ULONG* table = static_cast<ULONG*>(
      ExAllocatePoolWithTag(NonPagedPool, entries * sizeof(ULONG), kTagBuffer));
  if (table == nullptr) return 0;
  ULONG* pairs = table;
  ULONG* rows = table + w / 2;
  if (!TileColumns(pairs, w) || !TileRows(rows, h)) {
    memcpy(dst, src, rowBytes * h);
    ExFreePoolWithTag(table, kTagBuffer);
    return 1;
  }
  for (ULONG y = 0; y < h; ++y) {
    const UCHAR* in = src + SIZE_T(rows[y]) * rowBytes;
    UCHAR* out = dst + SIZE_T(y) * rowBytes;
    for (ULONG k = 0; k < w / 2; ++k, out += 4) {
      const UCHAR* g = in + SIZE_T(pairs[k]) * 2;
      if (lumaOffset == 0) {  // Y(4k) U(4k) Y(4k+2) V(4k+2)
        out[0] = g[0];
        out[1] = g[1];
        out[2] = g[4];
        out[3] = g[7];
      } else {  // U(4k) Y(4k) V(4k+2) Y(4k+2)
        out[0] = g[0];
        out[1] = g[1];
        out[2] = g[6];
        out[3] = g[5];
      }
    }
  }
  ExFreePoolWithTag(table, kTagBuffer);
  return 1;
}

// ---- effect 4 -------------------------------------------------------------

namespace {

// Where the horizontal resampler reads, the same for every row of a frame,
// as a per-byte plan (effects/row_resampler.h). Output luma pixel k blends
// source pixels l and l + 1 with the phase of k; output pair k blends source
// pairs c and c + 1 (U and V alike) with the same phase (the pairs advance
// exactly as the pixels do, from x0 / 2). The phase starts at 0 and grows by
// `step` per output unit, moving one source unit on whenever it exceeds 64.
// Reads past the row's end are clamped to its last pixel (or pair).
VOID PlanStretchRow(RowPlan& plan, ULONG w, ULONG x0, ULONG step, ULONG lumaOffset) {
  const ULONG pairs = w / 2, chromaOffset = lumaOffset ^ 1;
  ULONG luma = x0, chroma = x0 / 2, phase = 0;
  for (ULONG k = 0; k < w; ++k) {
    if (k != 0 && (phase += step) > 64) {
      phase -= 64;
      ++luma;
      ++chroma;
    }
    const ULONG y = 2 * k + lumaOffset;
    plan.a[y] = 2 * (luma < w ? luma : w - 1) + lumaOffset;
    plan.b[y] = 2 * (luma + 1 < w ? luma + 1 : w - 1) + lumaOffset;
    plan.phase[y] = UCHAR(phase);
    if (k < pairs) {
      const ULONG ca = 4 * (chroma < pairs ? chroma : pairs - 1) + chromaOffset;
      const ULONG cb = 4 * (chroma + 1 < pairs ? chroma + 1 : pairs - 1) + chromaOffset;
      for (ULONG c = 0; c < 4; c += 2) {
        plan.a[4 * k + chromaOffset + c] = ca + c;
        plan.b[4 * k + chromaOffset + c] = cb + c;
        plan.phase[4 * k + chromaOffset + c] = UCHAR(phase);
      }
    }
  }
}

// One output row between two resampled rows; a plain loop the compiler
// vectorises (every sum fits 16 bits).
VOID BlendRows(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG phase) {
  const USHORT wa = USHORT(64 - phase), wb = USHORT(phase);
  for (SIZE_T i = 0; i < bytes; ++i) out[i] = UCHAR(USHORT(a[i] * wa + b[i] * wb + 32) >> 6);
}

// One animation step: one axis runs 64 -> 32 in steps of 2, pauses a frame,
// runs back to 64 and hands over to the other axis.
VOID AdvanceBreathing(BreathingAnimation& s) {
  ULONG& step = s.horizontal ? s.stepX : s.stepY;
  if (s.shrinking) {
    if (step < 33) {
      s.shrinking = 0;
    } else {
      step -= 2;
    }
  } else if (step >= 64) {
    s.horizontal = s.horizontal ? 0 : 1;
    s.shrinking = 1;
  } else {
    step += 2;
  }
}

}  // namespace

// The output is separable: every output row blends two horizontally
// resampled source rows A and B with the vertical phase. The work avoided:
// - a step of 64 from column 0 resamples a row into itself, so rows are read
//   straight from the source (the vertically animated half of the cycle);
// - a vertical phase of 64 (or 0) gives row B (or A) unchanged, so such an
//   output row is resampled straight into the destination (the
//   horizontally animated half, where every row has phase 64);
// - each source row is resampled at most once; the two row buffers remember
//   which source row they hold.
LONG BreathingStretchFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaOffset) {
  // Every frame advances the animation first, also one that is then left
  // as it is (no row memory), so the animation never falls behind.
  BreathingAnimation& s = BreathingState;
  AdvanceBreathing(s);
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  if ((w & 1) != 0) {
    memcpy(dst, src, rowBytes * h);
    return 1;
  }
  // The two row buffers; the second also holds the row plan.
  // (The plan takes about 17 bytes per row byte; wider rows are refused.)
  if (w > (1u << 24)) return 0;
  const bool groups = RowPlanWantsGroups(ULONG(rowBytes));
  UCHAR* rowA = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, rowBytes, kTagBuffer));
  UCHAR* rowB = rowA ? static_cast<UCHAR*>(ExAllocatePoolWithTag(
                           NonPagedPool, rowBytes + RowPlanBytes(ULONG(rowBytes), groups),
                           kTagBuffer))
                     : nullptr;
  if (rowB == nullptr) {
    if (rowA) ExFreePoolWithTag(rowA, kTagBuffer);
    return 0;
  }
  UCHAR* const buffers[2] = {rowA, rowB};
  ULONG sx = s.stepX, sy = s.stepY;
  // Margins and window origin (unsigned arithmetic as the stored steps are).
  sx = sx < 1 ? 1 : sx > 64 ? 64 : sx;
  sy = sy < 1 ? 1 : sy > 64 ? 64 : sy;
  const LONG mx = LONG(((64 * w + sx) / sx - w) / 4);
  const LONG my = LONG(((64 * h + sy) / sy - h) / 4);
  LONG limitX = LONG((64 - sx) * w / 64) - 2;
  if (limitX < 0) limitX = 0;
  LONG limitY = LONG((64 - sy) * h / 64) - 2;
  if (limitY < 3) limitY = 0;
  const ULONG x0 = ULONG(mx < limitX ? mx : limitX) & ~1u;
  const ULONG y0 = ULONG(my < limitY ? my : limitY) & ~1u;

  const bool identity = sx == 64 && x0 == 0;
  RowPlan plan{};
  if (!identity) {
    plan = LayOutRowPlan(rowB + rowBytes, ULONG(rowBytes), groups);
    PlanStretchRow(plan, w, x0, sx, lumaOffset);
    PlanShuffleGroups(plan);
  }
  auto source = [&](ULONG r) { return src + SIZE_T(r < h ? r : h - 1) * rowBytes; };
  // Source row r resampled into `out`.
  auto resample = [&](UCHAR* out, ULONG r) {
    if (identity) {
      memcpy(out, source(r), rowBytes);
    } else {
      InterpolateRow(out, source(r), plan);
    }
  };
  // Source row r (already clamped) resampled: the source row itself, or the
  // row buffer that holds it, filled now in the buffer that does not hold
  // `other` (the row needed with it) when neither does.
  ULONG held[2] = {~0u, ~0u};
  auto resampled = [&](ULONG r, ULONG other) -> const UCHAR* {
    if (identity) return source(r);
    for (int i = 0; i < 2; ++i)
      if (held[i] == r) return buffers[i];
    const int i = held[0] == other ? 1 : 0;
    held[i] = r;
    InterpolateRow(buffers[i], source(r), plan);
    return buffers[i];
  };

  ULONG row = y0 < h ? y0 : h - 1;
  ULONG phase = 0;
  for (ULONG j = 0; j < h; ++j) {
    if (j != 0 && (phase += sy) > 64) {
      phase -= 64;
      ++row;
    }
    UCHAR* out = dst + SIZE_T(j) * rowBytes;
    if (phase == 0 || phase == 64) {
      resample(out, phase == 0 ? row : row + 1);
      continue;
    }
    const ULONG ra = row < h ? row : h - 1, rb = row + 1 < h ? row + 1 : h - 1;
    const UCHAR* a = resampled(ra, rb);
    const UCHAR* b = resampled(rb, ra);
    BlendRows(out, a, b, rowBytes, phase);
  }
  ExFreePoolWithTag(rowA, kTagBuffer);
  ExFreePoolWithTag(rowB, kTagBuffer);
  return 1;
}
