// Auto framing: skin cells, the largest blob, sub-cells, the face box and
// its validation, the zoom window, and the smooth tracking of the window.
#include "effects/auto_framing.h"

#include <cstring>

#include "effects/image_filters.h"

namespace {

constexpr ULONG kCells = kFramingCellColumns * kFramingCellRows;
constexpr ULONG kSubCells = kFramingSubCellColumns * kFramingSubCellRows;
constexpr ULONG kMaxLabel = 253;

inline LONG Abs(LONG v) { return v < 0 ? -v : v; }

// Step 1: skin cells and the mask. Returns false when the frame is too small
// for the cell grid.
bool SkinCells(const UCHAR* src, ULONG w, ULONG h, UCHAR* mask, AutoFramingState& s,
               ULONG lumaFirst) {
  const ULONG cw = (w / kFramingCellColumns) & ~1u, ch = h / kFramingCellRows;
  if (cw == 0 || ch == 0) return false;
  const ULONG yo = lumaFirst ? 0 : 1, uo = lumaFirst ? 1 : 0;
  for (ULONG c = 0; c < kCells; ++c) s.cells[c] = FramingCell{};
  for (ULONG cy = 0; cy < kFramingCellRows; ++cy)
    for (ULONG cx = 0; cx < kFramingCellColumns; ++cx) {
      FramingCell& cell = s.cells[cy * kFramingCellColumns + cx];
      ULONG skin = 0, luma = 0;
      for (ULONG r = cy * ch; r < (cy + 1) * ch; ++r) {
        const SIZE_T base = (SIZE_T(r) * w + cx * cw) * 2;
        for (ULONG m = 0; m < cw / 2; ++m) {
          const UCHAR* p = src + base + 4 * m;
          const ULONG y0 = p[yo], y1 = p[yo + 2], u = p[uo], v = p[uo + 2];
          const ULONG ya = (y0 + y1) / 2;
          luma += y0 + y1;
          UCHAR on = 0;
          if (u >= 77 && u <= 127 && v >= 133 && v <= 173 && ya >= 60 && ya <= 160) {
            on = 1;
            skin += 2;
          } else if (u >= 125 && u <= 140 && v >= 125 && v <= 140 && ya <= 85) {
            on = 1;
          }
          memset(mask + base + 4 * m, on, 4);
        }
      }
      cell.lumaSum = USHORT(luma);
      cell.skin = skin * 100 > cw * ch * 40 ? 1 : 0;
    }
  return true;
}

// Step 2: keep only the largest 8-connected blob of skin cells.
bool LargestBlob(AutoFramingState& s) {
  ULONG next = 1;
  for (ULONG cy = 0; cy < kFramingCellRows; ++cy)
    for (ULONG cx = 0; cx < kFramingCellColumns; ++cx) {
      const ULONG i = cy * kFramingCellColumns + cx;
      if (!s.cells[i].skin) continue;
      UCHAR found[4];
      ULONG n = 0;
      if (cx > 0 && s.cells[i - 1].label) found[n++] = s.cells[i - 1].label;
      if (cy > 0) {
        const ULONG up = i - kFramingCellColumns;
        if (cx > 0 && s.cells[up - 1].label) found[n++] = s.cells[up - 1].label;
        if (s.cells[up].label) found[n++] = s.cells[up].label;
        if (cx + 1 < kFramingCellColumns && s.cells[up + 1].label) found[n++] = s.cells[up + 1].label;
      }
      if (n == 0) {
        if (next > kMaxLabel) return false;
        s.cells[i].label = UCHAR(next++);
        continue;
      }
      UCHAR least = found[0];
      for (ULONG k = 1; k < n; ++k) least = found[k] < least ? found[k] : least;
      s.cells[i].label = least;
      for (ULONG k = 0; k < n; ++k) {
        if (found[k] == least) continue;
        for (ULONG j = 0; j < i; ++j)
          if (s.cells[j].label == found[k]) s.cells[j].label = least;
      }
    }
  memset(s.labelCells, 0, sizeof(s.labelCells));
  for (ULONG i = 0; i < kCells; ++i) ++s.labelCells[s.cells[i].label];
  ULONG best = 0, bestCells = 0;
  for (ULONG l = 1; l < next; ++l)
    if (s.labelCells[l] > bestCells) best = l, bestCells = s.labelCells[l];
  if (best == 0) return false;
  for (ULONG i = 0; i < kCells; ++i) s.cells[i].skin = s.cells[i].label == best ? 1 : 0;
  return true;
}

inline FramingSubCell& Sub(AutoFramingState& s, ULONG col, ULONG row) {
  return s.subCells[row * kFramingSubCellColumns + col];
}

// Step 5's fallback: more than 40 % of the mask bytes set in the five
// sub-cell rows above the box (hair above the face).
bool HairAbove(const UCHAR* mask, ULONG w, ULONG sw, ULONG sh, ULONG left, ULONG right, ULONG top) {
  if (top < 5) return false;
  ULONG set = 0, total = 0;
  for (ULONG r = (top - 5) * sh; r < top * sh; ++r)
    for (ULONG b = left * sw * 2; b < (right + 1) * sw * 2; ++b, ++total) set += mask[SIZE_T(r) * w * 2 + b];
  return set * 100 > total * 40;
}

}  // namespace

LONG DetectFace(const UCHAR* src, ULONG w, ULONG h, UCHAR* workBuffer, AutoFramingState* state,
                ULONG* x, ULONG* y, ULONG* zoom, ULONG lumaFirst) {
  AutoFramingState& s = *state;
  const ULONG sw = w / kFramingSubCellColumns, sh = h / kFramingSubCellRows;
  if (sw == 0 || sh == 0) return 0;
  UCHAR* mask = workBuffer;
  memset(mask, 0, PackedFrameBytes(w, h));
  if (!SkinCells(src, w, h, mask, s, lumaFirst) || !LargestBlob(s)) return 0;

  // Step 3: sub-cells of the blob's cells.
  for (ULONG i = 0; i < kSubCells; ++i) s.subCells[i] = FramingSubCell{};
  for (ULONG c = 0; c < kCells; ++c) {
    if (!s.cells[c].skin) continue;
    const ULONG cx = c % kFramingCellColumns, cy = c / kFramingCellColumns;
    for (ULONG l = 0; l < 4; ++l)
      for (ULONG k = 0; k < 4; ++k) {
        const ULONG col = 4 * cx + k, row = 4 * cy + l;
        ULONG count = 0;
        for (ULONG r = row * sh; r < (row + 1) * sh; ++r) {
          const UCHAR* m = mask + SIZE_T(r) * w * 2 + SIZE_T(col) * sw * 2;
          for (ULONG b = 0; b < sw * 2; ++b) count += m[b];
        }
        FramingSubCell& sub = Sub(s, col, row);
        sub.maskCount = USHORT(count);
        sub.skin = count * 50 > sw * sh * 60 ? 1 : 0;
      }
  }
  // Step 4: the box of flagged sub-cells; an empty box is no face.
  LONG left = LONG(kFramingSubCellColumns), right = -1, top = LONG(kFramingSubCellRows), bottom = -1;
  for (ULONG row = 0; row < kFramingSubCellRows; ++row)
    for (ULONG col = 0; col < kFramingSubCellColumns; ++col)
      if (Sub(s, col, row).skin) {
        left = LONG(col) < left ? LONG(col) : left;
        right = LONG(col) > right ? LONG(col) : right;
        top = LONG(row) < top ? LONG(row) : top;
        bottom = LONG(row) > bottom ? LONG(row) : bottom;
      }
  if (right < 0) return 0;
  if ((right - left) * 3 > (bottom - top) * 4) return 0;
  const LONG limit = top + (right - left) * 4 / 3;
  if (bottom > limit) {
    for (LONG row = limit + 1; row <= bottom; ++row)
      for (LONG col = left; col <= right; ++col) Sub(s, ULONG(col), ULONG(row)).skin = 0;
    bottom = limit;
  }
  // Background: unflagged sub-cells reachable from the box border, found by
  // a forward and a backward pass.
  for (LONG row = top; row <= bottom; ++row)
    for (LONG col = left; col <= right; ++col) {
      FramingSubCell& sub = Sub(s, ULONG(col), ULONG(row));
      if (sub.skin) continue;
      const bool border = row == top || row == bottom || col == left || col == right;
      if (border || Sub(s, ULONG(col), ULONG(row - 1)).background ||
          Sub(s, ULONG(col - 1), ULONG(row)).background) {
        sub.background = 1;
        sub.skin = 1;
      }
    }
  for (LONG row = bottom; row >= top; --row)
    for (LONG col = right; col >= left; --col) {
      FramingSubCell& sub = Sub(s, ULONG(col), ULONG(row));
      if (sub.skin) continue;
      if ((row < bottom && Sub(s, ULONG(col), ULONG(row + 1)).background) ||
          (col < right && Sub(s, ULONG(col + 1), ULONG(row)).background)) {
        sub.background = 1;
        sub.skin = 1;
      }
    }
  // Step 5: the enclosed holes, as 4-connected regions.
  ULONG holes = 0;
  bool tooMany = false;
  for (LONG row = top; row <= bottom && !tooMany; ++row)
    for (LONG col = left; col <= right; ++col) {
      FramingSubCell& start = Sub(s, ULONG(col), ULONG(row));
      if (start.skin || start.holeLabel) continue;
      if (++holes > kMaxLabel) {
        tooMany = true;
        break;
      }
      ULONG depth = 0;
      start.holeLabel = holes;
      s.fillStack[depth++] = USHORT(row * LONG(kFramingSubCellColumns) + col);
      while (depth != 0) {
        const ULONG at = s.fillStack[--depth];
        const LONG c = LONG(at % kFramingSubCellColumns), r = LONG(at / kFramingSubCellColumns);
        const LONG nc[4] = {c - 1, c + 1, c, c}, nr[4] = {r, r, r - 1, r + 1};
        for (int k = 0; k < 4; ++k) {
          if (nc[k] < left || nc[k] > right || nr[k] < top || nr[k] > bottom) continue;
          FramingSubCell& n = Sub(s, ULONG(nc[k]), ULONG(nr[k]));
          if (n.skin || n.holeLabel) continue;
          n.holeLabel = holes;
          s.fillStack[depth++] = USHORT(nr[k] * LONG(kFramingSubCellColumns) + nc[k]);
        }
      }
    }
  if (tooMany && !HairAbove(mask, w, sw, sh, ULONG(left), ULONG(right), ULONG(top))) return 0;

  // Step 6: the window around the box.
  const LONG dx = right - left, dy = bottom - top;
  if (dx <= 0 || dy <= 0) return 0;
  const LONG sx = dx * 64 / 160, sy = dy * 64 / 120;
  const ULONG sz = ULONG(sx < sy ? sx : sy) & 0xFF;
  if (sz <= 4) return 0;
  const LONG a = LONG(sz) * 160 / 64, b = LONG(sz) * 120 / 64;
  LONG moveX, moveY;
  ULONG z;
  if (sz <= 8) {
    moveX = a, moveY = b, z = sz * 7 / 2;
  } else if (sz <= 16) {
    moveX = a / 2, moveY = b / 2, z = sz * 5 / 2;
  } else if (sz <= 32) {
    moveX = a / 4, moveY = b / 4, z = sz * 10 / 7;
  } else {
    moveX = a / 4, moveY = b / 4, z = sz * 10 / 8;
  }
  left = left - moveX < 0 ? 0 : left - moveX;
  top = top - moveY < 0 ? 0 : top - moveY;
  *x = sw * ULONG(left);
  *y = sh * ULONG(top);
  // A window larger than the frame would stop detection for good (the
  // tracking never reaches it); the whole frame is the widest view.
  z &= 0xFF;
  *zoom = z > 64 ? 64 : z;
  return 1;
}

VOID AutoFraming(AutoFramingState* state, UCHAR* workBuffer, const UCHAR* src, UCHAR* dst, ULONG w,
                 ULONG h, ULONG lumaFirst) {
  AutoFramingState& s = *state;
  if (!s.running) {
    s.running = 1;
    s.currentZoom = 64;
  }
  if (s.mode != 2) {
    ULONG x = 0, y = 0, zoom = 0;
    s.detected = ULONG(DetectFace(src, w, h, workBuffer, &s, &x, &y, &zoom, lumaFirst));
    if (s.detected) {
      s.missCount = 0;
      if (zoom == s.currentZoom) s.zoomStableCount = 0;
      // Position differences are signed.
      auto track = [](ULONG last, ULONG now, ULONG& stable, ULONG& target, ULONG& speed) {
        stable = Abs(LONG(last) - LONG(now)) < 2 ? stable + 1 : 0;
        if (stable > 2) {
          stable = 0;
          const LONG d = Abs(LONG(target) - LONG(now));
          if (d > 10) {
            speed = ULONG(d / 10 > 1 ? d / 10 : 1);
            target = now;
          }
        }
      };
      track(s.lastX, x, s.xStableCount, s.targetX, s.xSpeed);
      track(s.lastY, y, s.yStableCount, s.targetY, s.ySpeed);
      if (s.lastZoom != zoom) {
        s.zoomStableCount = 0;
        s.settled = 0;
      } else {
        ++s.zoomStableCount;
      }
      if (s.zoomStableCount > 5) {
        s.settled = 1;
        s.mode = 2;
        s.targetZoom = zoom;
        s.zoomDirection = s.currentZoom > zoom ? 1 : 0;
      }
      s.lastX = x;
      s.lastY = y;
      s.lastZoom = zoom;
    } else {
      s.zoomStableCount = 0;
      if (++s.missCount > 10) {
        s.missCount = 0;
        s.settled = 1;
        s.mode = 2;
        s.zoomDirection = s.currentZoom >= 64 ? 1 : 0;
        s.targetZoom = 64;
      }
    }
  }
  auto step = [](LONG& cur, ULONG target, ULONG speed) {
    const LONG t = LONG(target), v = LONG(speed);
    if (cur < t) cur = cur + v > t ? t : cur + v;
    else if (cur > t) cur = cur - v < t ? t : cur - v;
  };
  step(s.currentX, s.targetX, s.xSpeed);
  step(s.currentY, s.targetY, s.ySpeed);
  if (s.mode == 2) {
    if (s.currentZoom == s.targetZoom) s.mode = 3;
    if (s.zoomDirection == 1 && s.currentZoom > s.targetZoom) {
      --s.currentZoom;
    } else if (s.zoomDirection == 0 && s.currentZoom < 64) {
      ++s.currentZoom;
    }
  }
  ZoomWindow(dst, src, w, h, LONG(s.currentZoom), s.currentX, s.currentY, lumaFirst);
}
