// Effects 2 (photo grid), 3 (mirrored tiles) and 4 (breathing stretch).
#include "effects/special/frame_effects.h"

#include <cstring>

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

inline UCHAR Blend(ULONG a, ULONG b, ULONG phase) {
  return static_cast<UCHAR>((a * (64 - phase) + b * phase + 32) >> 6);
}

// One source row resampled from pixel x0 with `step`/64 source pixels per
// output pixel; reads past the row's end repeat its last pixel (or pair).
// Resamples `count` units (pixels for luma, pairs for chroma) from unit
// `first`: the phase starts at 0 and grows by `step`, moving one unit on
// whenever it exceeds 64. Unit u of the row is `in + u * unitBytes`, the
// output unit k is `out + k * unitBytes`; `offsets` are the bytes of a unit
// that are interpolated.
template <ULONG kOffsets>
VOID StretchUnits(UCHAR* out, const UCHAR* in, ULONG count, ULONG first, ULONG step,
                  ULONG unitBytes, const ULONG (&offsets)[kOffsets]) {
  ULONG idx = first, phase = 0;
  for (ULONG k = 0; k < count; ++k) {
    if (k != 0 && (phase += step) > 64) {
      phase -= 64;
      ++idx;
    }
    const ULONG a = (idx < count ? idx : count - 1) * unitBytes;
    const ULONG b = (idx + 1 < count ? idx + 1 : count - 1) * unitBytes;
    for (ULONG o : offsets) out[k * unitBytes + o] = Blend(in[a + o], in[b + o], phase);
  }
}

VOID StretchRow(UCHAR* out, const UCHAR* in, ULONG w, ULONG x0, ULONG step, ULONG lumaOffset) {
  const ULONG luma[1] = {lumaOffset};
  const ULONG chroma[2] = {lumaOffset ^ 1, (lumaOffset ^ 1) + 2};
  StretchUnits(out, in, w, x0, step, 2, luma);
  StretchUnits(out, in, w / 2, x0 / 2, step, 4, chroma);
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

LONG BreathingStretchFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaOffset) {
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  if ((w & 1) != 0) {
    memcpy(dst, src, rowBytes * h);
    return 1;
  }
  UCHAR* rowA = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, rowBytes, kTagBuffer));
  UCHAR* rowB = rowA ? static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, rowBytes, kTagBuffer))
                     : nullptr;
  if (rowB == nullptr) {
    if (rowA) ExFreePoolWithTag(rowA, kTagBuffer);
    return 0;
  }
  BreathingAnimation& s = BreathingState;
  AdvanceBreathing(s);
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

  ULONG row = y0 < h ? y0 : h - 1;
  auto source = [&](ULONG r) { return src + SIZE_T(r < h ? r : h - 1) * rowBytes; };
  StretchRow(rowA, source(row), w, x0, sx, lumaOffset);
  StretchRow(rowB, source(row + 1), w, x0, sx, lumaOffset);
  memcpy(dst, rowA, rowBytes);
  ULONG phase = 0;
  for (ULONG j = 1; j < h; ++j) {
    phase += sy;
    if (phase > 64) {
      phase -= 64;
      UCHAR* t = rowA;
      rowA = rowB;
      rowB = t;
      ++row;
      StretchRow(rowB, source(row + 1), w, x0, sx, lumaOffset);
    }
    UCHAR* out = dst + SIZE_T(j) * rowBytes;
    for (SIZE_T i = 0; i < rowBytes; ++i) out[i] = Blend(rowA[i], rowB[i], phase);
  }
  ExFreePoolWithTag(rowA, kTagBuffer);
  ExFreePoolWithTag(rowB, kTagBuffer);
  return 1;
}
