// Pixel-level filters of the effect chain on packed 4:2:2 frames (two bytes
// per pixel, rows of width * 2 bytes, no padding): bad-pixel correction,
// chroma smoothing, automatic contrast, the noise filter and the bilinear
// zoom window. Integer arithmetic only.
//
// Every routine accepts any width and height: frames it cannot treat as
// whole macro-pixels (odd width, zero size, sides above kMaxEffectSide) are
// left alone by the in-place routines and copied unchanged by the routines
// that write a destination frame. A destination routine that cannot get its
// temporary memory also copies its source unchanged, so the caller never
// picks up a stale destination.
#pragma once

#include "platform/wdk.h"

// Largest frame side the filters work on (keeps every 32-bit product of the
// arithmetic below in range; UVC cameras stay far below it).
constexpr ULONG kMaxEffectSide = 8192;

// Margin of the bad-pixel test used by the chain.
constexpr ULONG kBadPixelMargin = 12;

// Bad-pixel lists, driver-wide: four bands of 2048 16-bit words. Word 0 of a
// band is its count n (0..1023); words 2k and 2k + 1 (k = 1..n) hold the row,
// relative to the band's first scanned row, and the byte column of the k-th
// defective luma sample.
constexpr ULONG kBadPixelBands = 4;
constexpr ULONG kBadPixelBandWords = 2048;
constexpr ULONG kBadPixelMaxEntries = 1023;
extern USHORT BadPixelTable[kBadPixelBands][kBadPixelBandWords];

// The frame geometry the bad-pixel lists were found in. A call with another
// width, height or byte order clears every list first, so no entry ever
// addresses outside the current frame.
struct BadPixelTableOwner {
  ULONG width;
  ULONG height;
  ULONG uyvy;
};
extern BadPixelTableOwner BadPixelTableFrame;

// Luma mapping built by AutoContrast, driver-wide, zero at load. Written and
// read byte by byte with the no-fence accessors (several devices may share it).
extern UCHAR LumaCurve[256];

// True when the routines can work on a w x h packed 4:2:2 frame.
inline bool PackedFrameUsable(ULONG w, ULONG h) {
  return w >= 2 && (w & 1) == 0 && h >= 1 && w <= kMaxEffectSide && h <= kMaxEffectSide;
}
inline SIZE_T PackedFrameBytes(ULONG w, ULONG h) { return SIZE_T(w) * 2 * SIZE_T(h); }

// Repairs defective luma samples in place. The frame is split into four bands
// of h/4 rows; the band numbered `phase` (0..3) is scanned for samples that
// stand out of their 3 x 3 luma neighbourhood by more than `margin` and its
// list rebuilt, the other three bands are repaired from their lists. `clamp`
// is the ClampPointer of ColorTables. The first and last rows are never
// touched.
VOID BadPixelCorrection(UCHAR* frame, const UCHAR* clamp, ULONG w, ULONG h, ULONG phase,
                        ULONG margin, ULONG uyvy);

// Copies src to dst and gives the row pairs (3, 4), (5, 6), .. the chroma of
// a box of 4 macro-pixels over 4 alternate source rows (rows 2k .. 2k + 6 for
// pair k, while they lie in the frame). Luma is never changed. Returns 1 when
// smoothed, 0 when dst got an unchanged copy.
LONG ChromaSmoothing(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaFirst);

// Rebuilds LumaCurve from the luma histogram of the frame: a linear stretch
// that maps the darkest 1/64 of the pixels to 0 and moves the brightest 1/64
// three quarters of the way to 255. The frame is only read.
VOID AutoContrast(const UCHAR* frame, const UCHAR* clamp, ULONG lumaFirst, ULONG w, ULONG h);

// Maps every luma byte of the frame through LumaCurve, in place.
VOID ApplyLumaCurve(UCHAR* frame, ULONG w, ULONG h, ULONG lumaFirst);

// Edge-preserving 5 x 5 smoothing of the odd bytes (chroma for YUY2 order,
// luma for UYVY order), src -> dst. Returns 1 when filtered, 0 when dst got
// an unchanged copy.
LONG NoiseFilter(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h);

// Bilinear enlargement of the window of factor/64 of the frame at pixel
// origin (x, y) to the whole frame, src -> dst. factor is limited to 1..64
// (64 = the whole frame, an exact copy); the origin is limited to the frame
// and rounded down to a macro-pixel / even row. Returns 1 when zoomed, 0 when
// dst got an unchanged copy.
LONG ZoomWindow(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, LONG factor, LONG x, LONG y,
                ULONG lumaFirst);
