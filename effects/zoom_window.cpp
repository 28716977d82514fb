// Bilinear zoom window: enlarges a window of factor/64 of a packed 4:2:2
// frame to the whole frame. Luma is interpolated per pixel, U and V per
// macro-pixel, with 6-bit weights: (a * (64 - phase) + b * phase + 32) >> 6.
#include "effects/image_filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define UVCCAM_ZOOM_SSE2 1
#endif

namespace {

// Sample positions of one output row, the same for every row.
struct ZoomTables {
  ULONG* lumaIndex;     // w entries: source pixel
  UCHAR* lumaPhase;     // w entries
  ULONG* chromaIndex;   // w/2 entries: source macro-pixel
  UCHAR* chromaPhase;   // w/2 entries
};

// Horizontal pass of one source row into `out` (w * 2 bytes, frame order).
// A sample with phase 0 is the source value itself and its right neighbour
// is not read.
template <ULONG kLumaOffset, ULONG kUOffset>
VOID InterpolateRow(UCHAR* out, const UCHAR* row, ULONG w, const ZoomTables& t) {
  for (ULONG k = 0; k < w; ++k) {
    const ULONG i = t.lumaIndex[k];
    const ULONG f = t.lumaPhase[k];
    const ULONG a = row[2 * i + kLumaOffset];
    ULONG v = a;
    if (f != 0) v = (a * (64 - f) + ULONG(row[2 * i + 2 + kLumaOffset]) * f + 32) >> 6;
    out[2 * k + kLumaOffset] = UCHAR(v);
  }
  const ULONG n = w / 2;
  for (ULONG m = 0; m < n; ++m) {
    const ULONG j = t.chromaIndex[m];
    const ULONG f = t.chromaPhase[m];
    const UCHAR* p = row + 4 * j + kUOffset;
    ULONG u = p[0], v = p[2];
    if (f != 0) {
      u = (u * (64 - f) + ULONG(p[4]) * f + 32) >> 6;
      v = (v * (64 - f) + ULONG(p[6]) * f + 32) >> 6;
    }
    out[4 * m + kUOffset] = UCHAR(u);
    out[4 * m + kUOffset + 2] = UCHAR(v);
  }
}

// Vertical pass: out = (a * (64 - f) + b * f + 32) >> 6 per byte, f in 1..63.
VOID BlendRows(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f) {
  SIZE_T i = 0;
#if UVCCAM_ZOOM_SSE2
  const __m128i wa = _mm_set1_epi16(short(64 - f));
  const __m128i wb = _mm_set1_epi16(short(f));
  const __m128i round = _mm_set1_epi16(32);
  const __m128i zero = _mm_setzero_si128();
  for (; i + 16 <= bytes; i += 16) {
    const __m128i va = _mm_loadu_si128(reinterpret_cast<const __m128i*>(a + i));
    const __m128i vb = _mm_loadu_si128(reinterpret_cast<const __m128i*>(b + i));
    __m128i lo = _mm_add_epi16(_mm_mullo_epi16(_mm_unpacklo_epi8(va, zero), wa),
                               _mm_mullo_epi16(_mm_unpacklo_epi8(vb, zero), wb));
    __m128i hi = _mm_add_epi16(_mm_mullo_epi16(_mm_unpackhi_epi8(va, zero), wa),
                               _mm_mullo_epi16(_mm_unpackhi_epi8(vb, zero), wb));
    lo = _mm_srli_epi16(_mm_add_epi16(lo, round), 6);
    hi = _mm_srli_epi16(_mm_add_epi16(hi, round), 6);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_packus_epi16(lo, hi));
  }
#endif
  for (; i < bytes; ++i) out[i] = UCHAR((ULONG(a[i]) * (64 - f) + ULONG(b[i]) * f + 32) >> 6);
}

// Window origin along one side of `size` samples: limited to
// (64 - f) * size / 64 - 2 (at least 0), never negative, rounded down to even.
ULONG WindowOrigin(LONG requested, ULONG size, ULONG f) {
  LONG bound = LONG(((64 - f) * size) >> 6) - 2;
  if (bound < 0) bound = 0;
  LONG origin = requested < bound ? requested : bound;
  if (origin < 0) origin = 0;
  return ULONG(origin) & ~1u;
}

template <ULONG kLumaOffset, ULONG kUOffset>
VOID Zoom(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG f, ULONG y0,
          const ZoomTables& t, UCHAR* rowA, UCHAR* rowB) {
  const SIZE_T stride = SIZE_T(w) * 2;
  LONG cachedA = -1;  // source row held in rowA / rowB, -1 = none
  LONG cachedB = -1;
  for (ULONG j = 0; j < h; ++j) {
    const ULONG pos = j * f;
    LONG r = LONG(y0 + (pos >> 6));
    if (r >= LONG(h)) r = LONG(h) - 1;
    const ULONG phase = pos & 63;
    if (cachedA != r) {
      if (cachedB == r) {
        UCHAR* swap = rowA;
        rowA = rowB;
        rowB = swap;
        cachedA = r;
        cachedB = -1;
      } else {
        InterpolateRow<kLumaOffset, kUOffset>(rowA, src + SIZE_T(r) * stride, w, t);
        cachedA = r;
      }
    }
    UCHAR* out = dst + SIZE_T(j) * stride;
    // The row below is read only when it carries weight; the origin bound
    // keeps it inside the frame then.
    if (phase == 0 || ULONG(r) + 1 >= h) {
      RtlCopyMemory(out, rowA, stride);
      continue;
    }
    if (cachedB != r + 1) {
      InterpolateRow<kLumaOffset, kUOffset>(rowB, src + SIZE_T(r + 1) * stride, w, t);
      cachedB = r + 1;
    }
    BlendRows(out, rowA, rowB, stride, phase);
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
  const ULONG n = w / 2;

  // One block: two interpolated rows, then the sample tables.
  const SIZE_T stride = SIZE_T(w) * 2;
  const SIZE_T bytes = 2 * stride + SIZE_T(w) * sizeof(ULONG) + SIZE_T(n) * sizeof(ULONG) +
                       SIZE_T(w) + SIZE_T(n);
  UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, bytes, kTagBuffer));
  if (block == nullptr) {
    RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  UCHAR* rowA = block;
  UCHAR* rowB = block + stride;
  ZoomTables t;
  t.lumaIndex = reinterpret_cast<ULONG*>(block + 2 * stride);
  t.chromaIndex = t.lumaIndex + w;
  t.lumaPhase = reinterpret_cast<UCHAR*>(t.chromaIndex + n);
  t.chromaPhase = t.lumaPhase + w;

  // With f < 64 the window bound keeps every weighted right neighbour inside
  // the row; with f = 64 every phase is 0. The checks only make that explicit.
  for (ULONG k = 0; k < w; ++k) {
    const ULONG pos = k * f;
    ULONG i = x0 + (pos >> 6);
    ULONG phase = pos & 63;
    if (i >= w) i = w - 1;
    if (i + 1 >= w) phase = 0;
    t.lumaIndex[k] = i;
    t.lumaPhase[k] = UCHAR(phase);
  }
  for (ULONG m = 0; m < n; ++m) {
    const ULONG pos = m * f;
    ULONG j = x0 / 2 + (pos >> 6);
    ULONG phase = pos & 63;
    if (j >= n) j = n - 1;
    if (j + 1 >= n) phase = 0;
    t.chromaIndex[m] = j;
    t.chromaPhase[m] = UCHAR(phase);
  }

  if (lumaFirst) {
    Zoom<0, 1>(dst, src, w, h, f, y0, t, rowA, rowB);
  } else {
    Zoom<1, 0>(dst, src, w, h, f, y0, t, rowA, rowB);
  }
  ExFreePoolWithTag(block, kTagBuffer);
  return 1;
}
