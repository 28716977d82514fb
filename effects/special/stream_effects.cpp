// Effects 7 (row warp) and 10 (moving lens) and their per-stream set-up.
//
// Lens mapping tables. A lens of size S has S/2 entries of an offset table
// (pixels) and a rate table (1/512). The tables of S = 12, 20 and 32 are the
// product's own and are kept exactly. They share one relation, which every
// given entry satisfies: with a = S/2,
//     rate = (512 * (a - offset) + a/2) / a,
// the rate is the offset turned into a sampling step (an offset of 0 is the
// step 512, one source pixel per output pixel). The other sizes take the
// offset profile of the largest given size whose table is not larger than
// theirs (S = 32 for every size from 40 on), scaled to their own half size:
// entry i takes the profile at the same fraction i / a of the half size,
// linearly interpolated between the profile's entries, times a / a0, rounded
// to the nearest pixel; the rate follows from the offset by the relation
// above. For S = 12, 20 and 32 the rule gives back the given tables (the
// profile is the table itself). No closed formula in i / a alone reproduces
// all three given tables: their first entries (3/6, 6/10, 10/16) already need
// different values of any such curve, hence the nearest-profile rule.
//
// How the lens uses them: the lens image is the S x S block under the lens,
// enlarged toward its centre. Entry e of the rate table belongs to the ring
// of lens pixels at distance e..e+1 (in pixels) from the lens centre: such a
// pixel shows the block's content at (its offset from the centre) x rate/512.
// The first entry is the strongest enlargement (rate 256 for S = 12: two
// times), the last ones are 512: the rim shows the block unchanged, so the
// lens joins the surrounding picture without a seam. Pixels outside the
// inscribed circle (distance a or more) keep the source.
#include "effects/special/stream_effects.h"

#include <cstring>

#include "effects/cpu_features.h"
#include "effects/special/row_warp_avx2.h"
#include "effects/special/row_warp_avx512.h"
#include "platform/pool_tags.h"

const USHORT kLensSizes[kLensSizeCount] = {12,  20,  32,  40,  52,  60,  72,  80,  92,  100,
                                           112, 120, 132, 152, 164, 180, 192, 212, 224, 240,
                                           272, 300, 332, 360, 392, 420, 452, 480};

namespace {

const USHORT kOffsets12[6] = {3, 2, 1, 0, 0, 0};
const USHORT kOffsets20[10] = {6, 4, 3, 2, 1, 1, 0, 0, 0, 0};
const USHORT kOffsets32[16] = {10, 8, 7, 5, 4, 4, 3, 2, 2, 1, 1, 1, 0, 0, 0, 0};

VOID FreeBlock(PVOID& p) {
  if (p != nullptr) ExFreePoolWithTag(p, kTagBuffer);
  p = nullptr;
}

template <typename T>
VOID Free(T*& p) {
  PVOID v = p;
  FreeBlock(v);
  p = nullptr;
}

template <typename T>
T* Allocate(SIZE_T bytes) {
  PVOID p = ExAllocatePoolWithTag(NonPagedPool, bytes, kTagBuffer);
  if (p != nullptr) memset(p, 0, bytes);
  return static_cast<T*>(p);
}

// Nearest integer square root: the smallest n >= 1 with n * n >= s, or
// n - 1 when that is nearer.
LONGLONG NearestRoot(LONGLONG s) {
  if (s <= 1) return s <= 0 ? 0 : 1;
  LONGLONG n = 1;
  while ((n << 1) * (n << 1) < s) n <<= 1;
  LONGLONG lo = n, hi = n << 1;  // lo * lo < s <= hi * hi
  while (hi - lo > 1) {
    const LONGLONG mid = (lo + hi) / 2;
    if (mid * mid >= s) hi = mid; else lo = mid;
  }
  return hi * hi - s > s - lo * lo ? lo : hi;
}

ULONG FloorRoot(ULONG v) {
  ULONG r = 0;
  for (ULONG bit = 1u << 30; bit != 0; bit >>= 2) {
    if (v >= r + bit) {
      v -= r + bit;
      r = (r >> 1) + bit;
    } else {
      r >>= 1;
    }
  }
  return r;
}

// Floor of n / 1024 for either sign.
inline LONG FloorDiv1024(LONG n) { return n >= 0 ? n >> 10 : -((-n + 1023) >> 10); }

VOID ReleaseLens(LensRecord& lens) {
  WriteULongNoFence(&lens.lensActive, 0);
  Free(lens.window);
  Free(lens.rowTableA);
  Free(lens.rowTableB);
  for (UCHAR*& p : lens.planes) Free(p);
  memset(&lens, 0, sizeof(lens));
}

VOID ReleaseWarp(SpecialEffectRecord& r) {
  WriteULongNoFence(&r.warpReady, 0);
  Free(r.warpMargins);
  Free(r.warpRates);
  Free(r.warpColumns);
  Free(r.warpTableStart);
  Free(r.warpPixels);
  r.warpRows = 0;
  r.warpWidth = 0;
}

// The warp tables: entry y (from the top edge to the middle row) holds the
// left margin and the rate of the chord of the ellipse inscribed in the
// frame. Signed 64-bit arithmetic; the radius is limited to half the width.
// Every size gets tables except a 1-pixel-wide frame of 4 or more rows,
// whose chords would divide by a half width of 0, and frames wider than a
// camera can send (16-bit widths), whose columns would not fit the tables.
VOID SetupWarp(SpecialEffectRecord& r, ULONG w, ULONG h) {
  if (w == 0 || h == 0 || (w < 2 && h >= 4) || w > kWarpMaxWidth) return;
  const ULONG rows = (h + 1) / 2;
  USHORT* margins = Allocate<USHORT>(SIZE_T(rows) * sizeof(USHORT));
  USHORT* rates = Allocate<USHORT>(SIZE_T(rows) * sizeof(USHORT));
  ULONG* pixels = Allocate<ULONG>((SIZE_T(w) + 1) * sizeof(ULONG));
  if (margins == nullptr || rates == nullptr || pixels == nullptr) {
    Free(margins);
    Free(rates);
    Free(pixels);
    return;
  }
  const LONGLONG a = w / 2, hh = LONGLONG(h) * h;
  const LONGLONG k = (hh / 2 + 256 * LONGLONG(w) * w) / hh;
  ULONG entry = 0;
  for (LONGLONG y = LONGLONG(h / 2) - 1; y >= 1; --y, ++entry) {
    LONGLONG s = (256 * a * a - y * y * k + 128) >> 8;
    LONGLONG root = NearestRoot(s < 0 ? 0 : s);
    if (root > a) root = a;
    margins[entry] = USHORT(a - root);
    rates[entry] = USHORT(((LONGLONG(w / 4) + root * 131072) / a) >> 8);
  }
  for (; entry < rows; ++entry) {
    margins[entry] = 0;
    rates[entry] = 512;
  }
  r.warpMargins = margins;
  r.warpRates = rates;
  r.warpRows = rows;
  r.warpPixels = pixels;
  r.warpWidth = w;
  if (!BuildWarpColumns(&r)) ReleaseWarp(r);
}

// Takes the size and tables of a size index and builds its sample map:
// three bytes per lens pixel (column low byte, row low byte, flags: bit 0 =
// inside the lens, bit 1 / bit 2 = bit 8 of the column / row) naming the
// block pixel it shows.
VOID SelectLensSize(LensRecord& lens, ULONG index) {
  const ULONG s = kLensSizes[index];
  const LONG a = LONG(s / 2);
  USHORT* offsets = reinterpret_cast<USHORT*>(lens.rowTableA);
  USHORT* rates = reinterpret_cast<USHORT*>(lens.rowTableB);
  LensTables(s, offsets, rates);
  UCHAR* map = lens.planes[0];
  for (ULONG i = 0; i < s; ++i) {
    const LONG v2 = LONG(2 * i + 1) - LONG(s);
    for (ULONG j = 0; j < s; ++j, map += 3) {
      const LONG u2 = LONG(2 * j + 1) - LONG(s);
      const ULONG e = FloorRoot(ULONG(u2 * u2 + v2 * v2) / 4);
      if (e >= ULONG(a)) {
        map[0] = map[1] = map[2] = 0;
        continue;
      }
      const ULONG col = ULONG(a + FloorDiv1024(u2 * LONG(rates[e])));
      const ULONG row = ULONG(a + FloorDiv1024(v2 * LONG(rates[e])));
      map[0] = UCHAR(col);
      map[1] = UCHAR(row);
      map[2] = UCHAR(1 | ((col >> 8) & 1) << 1 | ((row >> 8) & 1) << 2);
    }
  }
  lens.sizeIndex = index;
  lens.lensSize = s;
  lens.boundX = LONG(lens.width) - LONG(s);
  lens.boundY = LONG(lens.height) - LONG(s);
}

VOID SetupLens(LensRecord& lens, ULONG w, ULONG h, ULONG outputFormatFlag, ULONG timeMs) {
  lens.width = w;
  lens.height = h;
  lens.outputFormatFlag = outputFormatFlag;
  if (w < 16 || h < 16 || (w & 1) != 0) return;
  LONG x = LONG(timeMs % (w / 8)), y = LONG(timeMs % (h / 8));
  lens.x = x + (x & 1);
  lens.y = y + (y & 1);
  lens.dx = lens.dy = 2;
  // The largest size that fits twice over the smaller side; frames too small
  // for the smallest lens get no lens.
  const ULONG half = (w < h ? w : h) / 2;
  ULONG largest = kLensSizeCount;
  for (ULONG k = 0; k <= kLensLargestIndex; ++k)
    if (kLensSizes[k] < half) largest = k;
  if (largest == kLensSizeCount) return;
  const ULONG s = kLensSizes[largest];
  lens.largestSizeIndex = largest;
  // Two tables of h bytes hold the current size's offsets and rates (S/2
  // 16-bit entries each, S < h / 2), one plane the sample map.
  lens.rowTableA = Allocate<UCHAR>(h);
  lens.rowTableB = lens.rowTableA ? Allocate<UCHAR>(h) : nullptr;
  lens.planeBytes = s * s * 3;
  lens.planes[0] = lens.rowTableB ? Allocate<UCHAR>(lens.planeBytes) : nullptr;
  if (lens.planes[0] == nullptr) {
    ReleaseLens(lens);
    return;
  }
  // Start at size index 2 when the buffers hold it, else at the largest.
  SelectLensSize(lens, largest < 2 ? largest : 2);
  WriteULongNoFence(&lens.lensActive, 1);
}

}  // namespace

bool LensTables(ULONG size, USHORT* offsets, USHORT* rates) {
  ULONG index = kLensSizeCount;
  for (ULONG k = 0; k < kLensSizeCount; ++k)
    if (kLensSizes[k] == size) index = k;
  if (index == kLensSizeCount || offsets == nullptr || rates == nullptr) return false;
  const USHORT* profile = size <= 12 ? kOffsets12 : size <= 20 ? kOffsets20 : kOffsets32;
  const ULONG a0 = size <= 12 ? 6 : size <= 20 ? 10 : 16;
  const ULONG a = size / 2;
  for (ULONG i = 0; i < a; ++i) {
    // Profile at i / a, in 1/a units of a0: position p = i * a0 / a.
    const ULONG num = i * a0, p = num / a, frac = num % a;
    const ULONG o0 = profile[p], o1 = p + 1 < a0 ? profile[p + 1] : 0;
    // offset = (o0 + (o1 - o0) * frac / a) * a / a0, rounded.
    const LONG scaled = LONG(o0) * LONG(a) + (LONG(o1) - LONG(o0)) * LONG(frac);
    const LONG off = (2 * scaled + LONG(a0)) / (2 * LONG(a0));
    offsets[i] = USHORT(off);
    rates[i] = USHORT((512 * (a - ULONG(off)) + a / 2) / a);
  }
  return true;
}

VOID SetupStreamEffects(EffectWorkState* state, ULONG width, ULONG height, ULONG outputFormatFlag,
                        ULONG timeMs) {
  if (state == nullptr) return;
  ReleaseStreamEffects(state);
  SpecialEffectRecord& r = state->special;
  SetupWarp(r, width, height);
  SetupLens(r.lens, width, height, outputFormatFlag, timeMs);
}

VOID ReleaseStreamEffects(EffectWorkState* state) {
  if (state == nullptr) return;
  ReleaseWarp(state->special);
  ReleaseLens(state->special.lens);
}

// ---- effect 7 -------------------------------------------------------------

namespace {

// Which source pixel each output pixel of a row shows: `margin` black
// pixels, then the pixels the rate emits (an accumulator starts at 512, each
// source pixel adds the rate and is emitted whenever the sum exceeds 512,
// which then drops by 512), then black to the end of the row. Black is
// index w, the work word after the row's pixels.
VOID WarpColumns(USHORT* columns, ULONG w, ULONG margin, ULONG rate) {
  ULONG n = 0;
  for (; n < margin; ++n) columns[n] = USHORT(w);
  if (rate >= 1 && rate <= 512 && w < (1u << 22)) {
    // With a rate of at most 512 every source pixel is emitted at most once,
    // and emission j is source pixel 512 * j / rate (the sum first exceeds
    // 512 * j there): computed independently per pixel, by a multiply with
    // the rounded-up reciprocal 2^40 / rate, exact for 512 * j < 2^31.
    const ULONGLONG reciprocal = ((ULONGLONG(1) << 40) + rate - 1) / rate;
    // Emissions before the row ends: the j with 512 * j < w * rate.
    const ULONG emitted = ULONG((ULONGLONG(w) * rate + 511) / 512);
    const ULONG end = w - n < emitted ? w : n + emitted;
    for (ULONG j = 0; n < end; ++n, ++j) columns[n] = USHORT((ULONGLONG(j) * 512 * reciprocal) >> 40);
  } else {
    ULONG acc = 512;
    // Without a branch on the emission: the index is written at n either
    // way and n moves on only when the pixel is emitted.
    for (ULONG i = 0; i < w && n < w; ++i) {
      acc += rate;
      const ULONG emit = acc > 512 ? 1 : 0;
      acc -= emit * 512;
      columns[n] = USHORT(i);
      n += emit;
    }
  }
  for (; n < w; ++n) columns[n] = USHORT(w);
}

// A macro-pixel's four bytes as one word, first byte lowest.
inline ULONG Load4(const UCHAR* p) {
  return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}

// The work word of every source pixel of a row: its pair's four bytes, with
// the odd pixel's own Y in the first luma byte and the next pair's U (the
// row's last pixel keeps its own) in the U byte; the V byte is the pair's.
// So every word has Y, U and V where the frame's byte order has Y0, U, V.
VOID WarpPixels(ULONG* pixels, const UCHAR* in, ULONG w, ULONG lumaOffset) {
  const ULONG pairs = w / 2;
  // Y-first (Y0 U Y1 V): Y1 moves from byte 2 to 0, the next U is byte 1.
  // U-first (U Y0 V Y1): Y1 moves from byte 3 to 1, the next U is byte 0.
  const ULONG nextUMask = lumaOffset ? 0x000000FFu : 0x0000FF00u;
  const ULONG y1Mask = lumaOffset ? 0x0000FF00u : 0x000000FFu;
  auto pair = [&](ULONG p, ULONG q, ULONG next) {
    pixels[2 * p] = q;
    pixels[2 * p + 1] = ((q >> 16) & y1Mask) | (next & nextUMask) | (q & 0xFFFF0000u);
  };
  for (ULONG p = 0; p + 1 < pairs; ++p) pair(p, Load4(in + SIZE_T(p) * 4), Load4(in + SIZE_T(p) * 4 + 4));
  const ULONG last = Load4(in + SIZE_T(pairs - 1) * 4);
  pair(pairs - 1, last, last);
}

// The same words for the source pairs [first, end) only.
VOID WarpPixelRange(ULONG* pixels, const UCHAR* in, ULONG w, ULONG first, ULONG end, ULONG lumaOffset) {
  const ULONG pairs = w / 2;
  const ULONG nextUMask = lumaOffset ? 0x000000FFu : 0x0000FF00u;
  const ULONG y1Mask = lumaOffset ? 0x0000FF00u : 0x000000FFu;
  for (ULONG p = first; p < end; ++p) {
    const ULONG q = Load4(in + SIZE_T(p) * 4);
    const ULONG next = p + 1 < pairs ? Load4(in + SIZE_T(p) * 4 + 4) : q;
    pixels[2 * p] = q;
    pixels[2 * p + 1] = ((q >> 16) & y1Mask) | (next & nextUMask) | (q & 0xFFFF0000u);
  }
}

// Packs output pixels 2k and 2k + 1 into pair k, for pairs [first, end):
// the first's Y0 byte, the second's Y in the Y1 byte, and the rounded means
// (a + b + 1) / 2 of their U and V bytes, taken bytewise at once.
VOID WarpPack(UCHAR* out, const ULONG* pixels, const USHORT* columns, ULONG first, ULONG end,
              ULONG lumaOffset) {
  const ULONG y0Mask = lumaOffset ? 0x0000FF00u : 0x000000FFu;
  out += SIZE_T(first) * 4;
  for (ULONG k = first; k < end; ++k, out += 4) {
    const ULONG a = pixels[columns[2 * k]], b = pixels[columns[2 * k + 1]];
    const ULONG mean = (a | b) - (((a ^ b) & 0xFEFEFEFEu) >> 1);
    const ULONG v = (a & y0Mask) | ((b & y0Mask) << 16) | (mean & ~(y0Mask | y0Mask << 16));
    out[0] = UCHAR(v);
    out[1] = UCHAR(v >> 8);
    out[2] = UCHAR(v >> 16);
    out[3] = UCHAR(v >> 24);
  }
}

// Output pixels [from, end) of one row, the per-pixel way: the work words
// of the source pixels they show (all of them for a whole row), then the
// pairs.
VOID WarpRun(UCHAR* out, const UCHAR* in, ULONG* pixels, const USHORT* columns, ULONG w,
             ULONG from, ULONG end, ULONG lumaOffset) {
  if (from == 0 && end == w) {
    WarpPixels(pixels, in, w, lumaOffset);
  } else {
    ULONG low = w, high = 0;
    for (ULONG n = from; n < end; ++n) {
      if (columns[n] >= w) continue;
      low = columns[n] < low ? columns[n] : low;
      high = columns[n] > high ? columns[n] : high;
    }
    if (low < w) WarpPixelRange(pixels, in, w, low / 2, high / 2 + 1, lumaOffset);
  }
  WarpPack(out, pixels, columns, from / 2, end / 2, lumaOffset);
}

}  // namespace

// Entries with the margin and rate of the entry before them share its table
// (every row pair near the middle of the frame does).
bool BuildWarpColumns(SpecialEffectRecord* record) {
  SpecialEffectRecord& r = *record;
  WriteULongNoFence(&r.warpReady, 0);
  Free(r.warpColumns);
  Free(r.warpTableStart);
  const ULONG w = r.warpWidth, rows = r.warpRows;
  if (r.warpMargins == nullptr || r.warpRates == nullptr || r.warpPixels == nullptr || w == 0 ||
      w > kWarpMaxWidth || rows == 0) {
    return false;
  }
  auto same = [&r](ULONG e) {
    return e > 0 && r.warpMargins[e] == r.warpMargins[e - 1] && r.warpRates[e] == r.warpRates[e - 1];
  };
  SIZE_T tables = 0;
  for (ULONG e = 0; e < rows; ++e) tables += same(e) ? 0 : 1;
  r.warpTableStart = Allocate<ULONG>(SIZE_T(rows) * sizeof(ULONG));
  r.warpColumns = r.warpTableStart ? Allocate<USHORT>(tables * w * sizeof(USHORT)) : nullptr;
  if (r.warpColumns == nullptr) {
    Free(r.warpTableStart);
    return false;
  }
  SIZE_T at = 0;
  for (ULONG e = 0; e < rows; ++e) {
    if (!same(e)) {
      const ULONG margin = r.warpMargins[e];
      if (e > 0) at += w;
      WarpColumns(r.warpColumns + at, w, margin < w ? margin : w, r.warpRates[e]);
    }
    r.warpTableStart[e] = ULONG(at);
  }
  WriteULongNoFence(&r.warpReady, 1);
  return true;
}

// Rows y and h - 1 - y share their table entry; the vector kernel does both
// at once and leaves the per-pixel code the runs of 32 it cannot do.
LONG RowWarpFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                  ULONG lumaOffset) {
  SpecialEffectRecord& r = *record;
  if (ReadULongNoFence(&r.warpReady) == 0 || r.warpMargins == nullptr ||
      r.warpRates == nullptr || r.warpColumns == nullptr || r.warpTableStart == nullptr ||
      r.warpPixels == nullptr || r.warpWidth != w || r.warpRows != (h + 1) / 2 || (w & 1) != 0 ||
      w < 2 || r.overlayBitmap == nullptr || r.overlayBitmapSize < SIZE_T(w) * 3) {
    return 0;
  }
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  ULONG* const pixels = r.warpPixels;  // w words of the source row, then black
  // Black (Y 0, U 128, V 128) as a work word in the frame's byte order.
  pixels[w] = lumaOffset ? 0x00800080u : 0x80008000u;
  // The AVX-512 kernel where it runs, else the AVX2 one.
  const bool wide = EffectsUseAvx512Vbmi();
  const bool avx2 = !wide && EffectsUseAvx2();
  for (ULONG e = 0; e < (h + 1) / 2; ++e) {
    const USHORT* columns = r.warpColumns + r.warpTableStart[e];
    const ULONG y0 = e, y1 = h - 1 - e;
    UCHAR* out0 = dst + SIZE_T(y0) * rowBytes;
    UCHAR* out1 = y1 != y0 ? dst + SIZE_T(y1) * rowBytes : nullptr;
    const UCHAR* in0 = src + SIZE_T(y0) * rowBytes;
    const UCHAR* in1 = src + SIZE_T(y1) * rowBytes;
    for (ULONG n = 0; n < w;) {
      if (wide) n = RowWarpAvx512(out0, out1, in0, in1, columns, w, lumaOffset, n);
      if (avx2) n = RowWarpAvx2(out0, out1, in0, in1, columns, w, lumaOffset, n);
      if (n >= w) break;
      // What the kernel left (or the whole row): the next 32 pixels.
      const ULONG end = (wide || avx2) && w - n > 32 ? n + 32 : w;
      WarpRun(out0, in0, pixels, columns, w, n, end, lumaOffset);
      if (out1 != nullptr) WarpRun(out1, in1, pixels, columns, w, n, end, lumaOffset);
      n = end;
    }
  }
  return 1;
}

// ---- effect 10 ------------------------------------------------------------

LONG MovingLensFrame(SpecialEffectRecord* record, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                     ULONG lumaOffset) {
  LensRecord& lens = record->lens;
  if (ReadULongNoFence(&lens.lensActive) == 0 || lens.width != w || lens.height != h ||
      lens.planes[0] == nullptr || lens.lensSize == 0 || lens.lensSize * 2 > w ||
      lens.lensSize * 2 > h) {
    return 0;
  }
  lens.source = const_cast<UCHAR*>(src);
  lens.destination = dst;
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  // 1. Move; bounce at the bounds.
  lens.bounced = 0;
  auto move = [&lens](LONG& at, LONG& speed, LONG bound) {
    at += speed;
    at += at & 1;
    if (at >= bound || at < 0) {
      at = at < 0 ? 0 : bound - 1;
      speed = -speed;
      lens.bounced = 1;
    }
  };
  move(lens.x, lens.dx, lens.boundX);
  move(lens.y, lens.dy, lens.boundY);
  const LONG x = lens.x, y = lens.y;
  // 2-4. The destination is the source with the lens image over the block.
  // The block starts on a macro-pixel (a bounce can leave x odd).
  memcpy(dst, src, rowBytes * h);
  const ULONG s = lens.lensSize;
  const ULONG bx = ULONG(x) & ~1u, by = ULONG(y);
  const ULONG chromaOffset = lumaOffset ^ 1;
  const UCHAR* map = lens.planes[0];
  for (ULONG i = 0; i < s; ++i) {
    UCHAR* out = dst + SIZE_T(by + i) * rowBytes + SIZE_T(bx) * 2;
    for (ULONG j = 0; j < s; ++j, map += 3) {
      if ((map[2] & 1) == 0) continue;
      const ULONG col = bx + (map[0] | ULONG(map[2] & 2) << 7);
      const ULONG row = by + (map[1] | ULONG(map[2] & 4) << 6);
      const UCHAR* in = src + SIZE_T(row) * rowBytes;
      out[2 * j + lumaOffset] = in[SIZE_T(col) * 2 + lumaOffset];
      // The even pixel of a pair brings the chroma of the macro-pixel it shows.
      if ((j & 1) == 0) {
        const SIZE_T m = SIZE_T(col & ~1u) * 2;
        out[2 * j + chromaOffset] = in[m + chromaOffset];
        out[2 * j + 2 + chromaOffset] = in[m + 2 + chromaOffset];
      }
    }
  }
  // 5. Restart small after a bounce, else grow up to the largest size.
  if (lens.bounced) {
    SelectLensSize(lens, 0);
  } else if (lens.sizeIndex < lens.largestSizeIndex) {
    SelectLensSize(lens, lens.sizeIndex + 1);
  }
  return 1;
}
