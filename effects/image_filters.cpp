// Bad-pixel correction, chroma smoothing and automatic contrast on packed
// 4:2:2 frames (the noise filter is in noise_filter.cpp).
#include "effects/image_filters.h"

#include "effects/bad_pixel_avx512.h"
#include "effects/chroma_smoothing_avx512.h"
#include "effects/cpu_features.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define UVCCAM_FILTERS_SSE2 1
#endif

USHORT BadPixelTable[kBadPixelBands][kBadPixelBandWords];
BadPixelTableOwner BadPixelTableFrame;
UCHAR LumaCurve[256];

namespace {

inline ULONG Min3(ULONG a, ULONG b, ULONG c) {
  ULONG m = a < b ? a : b;
  return m < c ? m : c;
}
inline ULONG Max3(ULONG a, ULONG b, ULONG c) {
  ULONG m = a > b ? a : b;
  return m > c ? m : c;
}

inline VOID CopyFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h) {
  if (dst != src) RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
}

// ---------------------------------------------------------------------------
// Bad-pixel correction

// Rows [first, first + count) of a band. The nominal bands are rows
// 1 .. h/4 - 1, h/4 .. 2h/4 - 1, 2h/4 .. 3h/4 - 1 and 3h/4 .. h - 2; every
// band is kept inside rows 1 .. h - 2 so that the rows above and below exist
// (frames under 4 rows would otherwise reach row -1).
struct BandRows {
  ULONG first;
  ULONG count;
};

BandRows BandLimits(ULONG band, ULONG h) {
  const ULONG q = h / 4;
  ULONG first = band * q;
  ULONG end = band == 3 ? (h >= 1 ? h - 1 : 0) : (band + 1) * q;
  if (first < 1) first = 1;
  if (h >= 1 && end > h - 1) end = h - 1;
  BandRows rows;
  rows.first = first;
  rows.count = end > first ? end - first : 0;
  return rows;
}

#if UVCCAM_FILTERS_SSE2
// Whether any of the 8 luma samples at byte offsets c + 2, c + 4, .., c + 16
// of `row` (luma at even offsets from `row`) stands out of its neighbourhood
// by more than `margin`, judged on the frame as it is now. With the clamp
// table saturating to 0..255, s < clamp[lo - margin] is s + margin < lo and
// s > clamp[hi + margin] is s > hi + margin. Reads bytes c .. c + 19.
inline bool BlockHasDefect(const UCHAR* up, const UCHAR* row, const UCHAR* dn, SIZE_T c,
                           __m128i margin) {
  const __m128i luma = _mm_set1_epi16(0x00FF);
  auto load = [&luma](const UCHAR* p) {
    return _mm_and_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), luma);
  };
  const __m128i s = load(row + c + 2);
  __m128i a = load(up + c), b = load(row + c);
  __m128i lo = _mm_min_epi16(a, b), hi = _mm_max_epi16(a, b);
  a = load(dn + c);
  b = load(up + c + 2);
  lo = _mm_min_epi16(lo, _mm_min_epi16(a, b));
  hi = _mm_max_epi16(hi, _mm_max_epi16(a, b));
  a = load(dn + c + 2);
  b = load(up + c + 4);
  lo = _mm_min_epi16(lo, _mm_min_epi16(a, b));
  hi = _mm_max_epi16(hi, _mm_max_epi16(a, b));
  a = load(row + c + 4);
  b = load(dn + c + 4);
  lo = _mm_min_epi16(lo, _mm_min_epi16(a, b));
  hi = _mm_max_epi16(hi, _mm_max_epi16(a, b));
  const __m128i low = _mm_cmplt_epi16(_mm_add_epi16(s, margin), lo);
  const __m128i high = _mm_cmpgt_epi16(s, _mm_add_epi16(hi, margin));
  return _mm_movemask_epi8(_mm_or_si128(low, high)) != 0;
}
#endif

// Scans one band from left to right, top to bottom, repairing defective luma
// samples at once and listing them. lumaOffset is 0 for YUY2 order, 1 for
// UYVY. Each pair of samples (c + 2, c + 4) is judged against the values the
// frame held before the pair was examined; the second sample's repair uses
// the first sample's new value as its left neighbour. `clamp` saturates to
// 0..255 (the ClampPointer of ColorTables); blocks of four pairs in which no
// sample stands out are skipped after one SSE2 test, which gives the same
// result because nothing in them changes.
VOID ScanBand(UCHAR* frame, const UCHAR* clamp, ULONG w, BandRows rows, LONG margin,
              ULONG lumaOffset, USHORT* list, bool wide) {
  const SIZE_T stride = SIZE_T(w) * 2;
  ULONG found = 0;
#if UVCCAM_FILTERS_SSE2
  const __m128i marginVector = _mm_set1_epi16(short(margin));
#endif
  for (ULONG r = 0; r < rows.count; ++r) {
    UCHAR* row = frame + (rows.first + r) * stride + lumaOffset;
    const UCHAR* up = row - stride;
    const UCHAR* dn = row + stride;
    SIZE_T c = 0;
    while (c + 4 < stride) {
      // Runs of 32 samples in which none stands out, on the AVX-512 path.
      if (wide) c = SkipCleanLumaAvx512(up, row, dn, c, stride - lumaOffset, margin);
      SIZE_T blockEnd = c + 4;  // pairs [c, blockEnd) are judged one by one
#if UVCCAM_FILTERS_SSE2
      if (c + 20 + lumaOffset <= stride) {
        if (!BlockHasDefect(up, row, dn, c, marginVector)) {
          c += 16;
          continue;
        }
        blockEnd = c + 16;
      }
#endif
      for (; c < blockEnd && c + 4 < stride; c += 4) {
        const ULONG a0 = up[c], a1 = up[c + 2], a2 = up[c + 4], a3 = up[c + 6];
        const ULONG m0 = row[c], s1 = row[c + 2], s2 = row[c + 4], m3 = row[c + 6];
        const ULONG b0 = dn[c], b1 = dn[c + 2], b2 = dn[c + 4], b3 = dn[c + 6];
        // Neighbours shared by both samples: a1, a2, b1, b2.
        const ULONG lo = Min3(Min3(a1, a2, b1), b2, 255);
        const ULONG hi = Max3(Max3(a1, a2, b1), b2, 0);
        const ULONG lo1 = Min3(lo, Min3(a0, m0, b0), s2);
        const ULONG hi1 = Max3(hi, Max3(a0, m0, b0), s2);
        const ULONG lo2 = Min3(lo, Min3(a3, m3, b3), s1);
        const ULONG hi2 = Max3(hi, Max3(a3, m3, b3), s1);
        if (s1 < clamp[LONG(lo1) - margin] || s1 > clamp[LONG(hi1) + margin]) {
          row[c + 2] = UCHAR((a1 + b1 + m0 + s2) / 4);
          ++found;
          list[2 * found] = USHORT(r);
          list[2 * found + 1] = USHORT(c + 2 + lumaOffset);
          if (found == kBadPixelMaxEntries) {
            list[0] = USHORT(found);
            return;
          }
        }
        if (s2 < clamp[LONG(lo2) - margin] || s2 > clamp[LONG(hi2) + margin]) {
          row[c + 4] = UCHAR((a2 + b2 + row[c + 2] + m3) / 4);
          ++found;
          list[2 * found] = USHORT(r);
          list[2 * found + 1] = USHORT(c + 4 + lumaOffset);
          if (found == kBadPixelMaxEntries) {
            list[0] = USHORT(found);
            return;
          }
        }
      }
    }
  }
  list[0] = USHORT(found);
}

// Repairs the listed samples of one band: each becomes the mean of its four
// direct luma neighbours. Entries that do not name an inner luma sample of
// the band are skipped.
VOID RepairBand(UCHAR* frame, ULONG w, BandRows rows, ULONG lumaOffset, const USHORT* list) {
  const SIZE_T stride = SIZE_T(w) * 2;
  ULONG n = list[0];
  if (n > kBadPixelMaxEntries) n = kBadPixelMaxEntries;
  for (ULONG k = 1; k <= n; ++k) {
    const ULONG r = list[2 * k];
    const ULONG col = list[2 * k + 1];
    if (r >= rows.count || col < 2 || col + 2 >= stride || (col & 1) != lumaOffset) continue;
    UCHAR* p = frame + (rows.first + r) * stride + col;
    p[0] = UCHAR((ULONG(p[-LONG_PTR(stride)]) + p[stride] + p[-2] + p[2]) / 4);
  }
}

// ---------------------------------------------------------------------------
// Chroma smoothing

#if UVCCAM_FILTERS_SSE2
// U (kC = 0) or V (kC = 1) of the 8 macro-pixels at p, as 16-bit lanes;
// kUOffset is the position of U in a macro-pixel.
template <ULONG kUOffset, ULONG kC>
inline __m128i Chroma8(const UCHAR* p) {
  constexpr int kShift = int(8 * (kUOffset + 2 * kC));
  const __m128i byteMask = _mm_set1_epi32(0xFF);
  const __m128i a = _mm_and_si128(
      _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), kShift), byteMask);
  const __m128i b = _mm_and_si128(
      _mm_srli_epi32(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p + 16)), kShift), byteMask);
  return _mm_packs_epi32(a, b);
}
#endif

// Chroma smoothing: the output U and V of macro-pixel m for one row pair.
inline VOID SmoothedChroma(const USHORT* su, const USHORT* sv, ULONG m, ULONG n, ULONG* u,
                           ULONG* v) {
  if (m >= 1 && m + 3 <= n) {
    *u = (ULONG(su[m - 1]) + su[m] + su[m + 1] + su[m + 2]) >> 4;
    *v = (ULONG(sv[m - 1]) + sv[m] + sv[m + 1] + sv[m + 2]) >> 4;
  } else {
    *u = ULONG(su[m]) >> 2;
    *v = ULONG(sv[m]) >> 2;
  }
}

template <ULONG kUOffset>
VOID SmoothChroma(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, USHORT* su, USHORT* sv, bool wide) {
  const SIZE_T stride = SIZE_T(w) * 2;
  const ULONG n = w / 2;  // macro-pixels per row
  for (ULONG m = 0; m < n; ++m) {
    ULONG u = 0, v = 0;
    for (ULONG r = 0; r < 8; r += 2) {
      u += src[r * stride + 4 * m + kUOffset];
      v += src[r * stride + 4 * m + kUOffset + 2];
    }
    su[m] = USHORT(u);
    sv[m] = USHORT(v);
  }
  const ULONG pairs = (h - 8) / 2 + 1;
  for (ULONG k = 0; k < pairs; ++k) {
    // The pair's rows are written whole: luma from their source rows.
    UCHAR* row0 = dst + (2 * k + 3) * stride;
    UCHAR* row1 = row0 + stride;
    const UCHAR* in0 = src + (2 * k + 3) * stride;
    const UCHAR* in1 = in0 + stride;
    constexpr ULONG kLuma = kUOffset ^ 1;
    auto writeOne = [&](ULONG i) {
      ULONG u, v;
      SmoothedChroma(su, sv, i, n, &u, &v);
      row0[4 * i + kUOffset] = row1[4 * i + kUOffset] = UCHAR(u);
      row0[4 * i + kUOffset + 2] = row1[4 * i + kUOffset + 2] = UCHAR(v);
      row0[4 * i + kLuma] = in0[4 * i + kLuma];
      row0[4 * i + kLuma + 2] = in0[4 * i + kLuma + 2];
      row1[4 * i + kLuma] = in1[4 * i + kLuma];
      row1[4 * i + kLuma + 2] = in1[4 * i + kLuma + 2];
    };
    writeOne(0);
    ULONG m = 1;  // macro-pixels [1, m) are done
    if (wide) m = ChromaBoxAvx512(row0, row1, in0, in1, su, sv, n, kUOffset);
#if UVCCAM_FILTERS_SSE2
    // Macro-pixels 1 .. n - 3 take the 4-column box; 8 at a time while the
    // sums they read (up to m + 9) exist.
    const __m128i chromaMask =
        _mm_set1_epi32(int((0xFFu << (8 * kUOffset)) | (0xFFu << (8 * (kUOffset + 2)))));
    const __m128i zero = _mm_setzero_si128();
    for (; m + 10 <= n; m += 8) {
      auto box = [m](const USHORT* sums) {
        __m128i t = _mm_add_epi16(_mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + m - 1)),
                                  _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + m)));
        t = _mm_add_epi16(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + m + 1)));
        t = _mm_add_epi16(t, _mm_loadu_si128(reinterpret_cast<const __m128i*>(sums + m + 2)));
        return _mm_srli_epi16(t, 4);
      };
      const __m128i u = box(su), v = box(sv);
      // Chroma bytes in place within each macro-pixel dword.
      const __m128i lo = _mm_or_si128(_mm_slli_epi32(_mm_unpacklo_epi16(u, zero), 8 * kUOffset),
                                      _mm_slli_epi32(_mm_unpacklo_epi16(v, zero), 8 * (kUOffset + 2)));
      const __m128i hi = _mm_or_si128(_mm_slli_epi32(_mm_unpackhi_epi16(u, zero), 8 * kUOffset),
                                      _mm_slli_epi32(_mm_unpackhi_epi16(v, zero), 8 * (kUOffset + 2)));
      UCHAR* rows[2] = {row0, row1};
      const UCHAR* ins[2] = {in0, in1};
      for (ULONG r = 0; r < 2; ++r) {
        __m128i* p = reinterpret_cast<__m128i*>(rows[r] + 4 * m);
        const __m128i* q = reinterpret_cast<const __m128i*>(ins[r] + 4 * m);
        _mm_storeu_si128(p, _mm_or_si128(_mm_andnot_si128(chromaMask, _mm_loadu_si128(q)), lo));
        _mm_storeu_si128(p + 1, _mm_or_si128(_mm_andnot_si128(chromaMask, _mm_loadu_si128(q + 1)), hi));
      }
    }
#endif
    for (; m < n; ++m) writeOne(m);
    // Move the column sums down two rows, except after the last pair (the
    // row that would enter lies past the frame).
    if (k + 1 < pairs) {
      const UCHAR* add = src + (2 * k + 8) * stride;
      const UCHAR* drop = src + (2 * k) * stride;
      ULONG i = wide ? ChromaSumsAvx512(su, sv, add, drop, n, kUOffset) : 0;
#if UVCCAM_FILTERS_SSE2
      for (; i + 8 <= n; i += 8) {
        __m128i* pu = reinterpret_cast<__m128i*>(su + i);
        __m128i* pv = reinterpret_cast<__m128i*>(sv + i);
        _mm_storeu_si128(pu, _mm_sub_epi16(_mm_add_epi16(_mm_loadu_si128(pu), Chroma8<kUOffset, 0>(add + 4 * i)),
                                           Chroma8<kUOffset, 0>(drop + 4 * i)));
        _mm_storeu_si128(pv, _mm_sub_epi16(_mm_add_epi16(_mm_loadu_si128(pv), Chroma8<kUOffset, 1>(add + 4 * i)),
                                           Chroma8<kUOffset, 1>(drop + 4 * i)));
      }
#endif
      for (; i < n; ++i) {
        su[i] = USHORT(su[i] + add[4 * i + kUOffset] - drop[4 * i + kUOffset]);
        sv[i] = USHORT(sv[i] + add[4 * i + kUOffset + 2] - drop[4 * i + kUOffset + 2]);
      }
    }
  }
}

}  // namespace

VOID BadPixelCorrection(UCHAR* frame, const UCHAR* clamp, ULONG w, ULONG h, ULONG phase,
                        ULONG margin, ULONG uyvy) {
  if (frame == nullptr || clamp == nullptr || !PackedFrameUsable(w, h)) return;
  const ULONG lumaOffset = uyvy ? 1 : 0;
  if (BadPixelTableFrame.width != w || BadPixelTableFrame.height != h ||
      BadPixelTableFrame.uyvy != lumaOffset) {
    for (ULONG b = 0; b < kBadPixelBands; ++b) BadPixelTable[b][0] = 0;
    BadPixelTableFrame.width = w;
    BadPixelTableFrame.height = h;
    BadPixelTableFrame.uyvy = lumaOffset;
  }
  // The clamp table covers -256..767: keep lo - margin and hi + margin in it.
  const LONG m = margin > 255 ? 255 : LONG(margin);
  const ULONG scanned = phase & 3;
  for (ULONG b = 0; b < kBadPixelBands; ++b) {
    const BandRows rows = BandLimits(b, h);
    if (b == scanned) {
      ScanBand(frame, clamp, w, rows, m, lumaOffset, BadPixelTable[b], EffectsUseAvx512Vbmi());
    } else {
      RepairBand(frame, w, rows, lumaOffset, BadPixelTable[b]);
    }
  }
}

LONG ChromaSmoothing(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG lumaFirst) {
  if (dst == nullptr || src == nullptr) return 0;
  if (!PackedFrameUsable(w, h)) {
    CopyFrame(dst, src, w, h);
    return 0;
  }
  const SIZE_T sumBytes = SIZE_T(w) * sizeof(USHORT);
  USHORT* su = static_cast<USHORT*>(ExAllocatePoolWithTag(NonPagedPool, sumBytes, kTagBuffer));
  USHORT* sv = su ? static_cast<USHORT*>(ExAllocatePoolWithTag(NonPagedPool, sumBytes, kTagBuffer))
                  : nullptr;
  if (su == nullptr || sv == nullptr) {
    if (su) ExFreePoolWithTag(su, kTagBuffer);
    CopyFrame(dst, src, w, h);
    return 0;
  }
  if (h >= 8) {
    // Rows 0..2 and the rows after the last pair are copied; the pairs are
    // written whole by SmoothChroma.
    const SIZE_T stride = SIZE_T(w) * 2;
    const ULONG end = 2 * ((h - 8) / 2) + 5;  // first row after the last pair
    RtlCopyMemory(dst, src, 3 * stride);
    RtlCopyMemory(dst + end * stride, src + end * stride, (h - end) * stride);
    if (lumaFirst) {
      SmoothChroma<1>(dst, src, w, h, su, sv, EffectsUseAvx512Vbmi());
    } else {
      SmoothChroma<0>(dst, src, w, h, su, sv, EffectsUseAvx512Vbmi());
    }
  } else {
    CopyFrame(dst, src, w, h);
  }
  ExFreePoolWithTag(sv, kTagBuffer);
  ExFreePoolWithTag(su, kTagBuffer);
  return 1;
}

VOID AutoContrast(const UCHAR* frame, const UCHAR* clamp, ULONG lumaFirst, ULONG w, ULONG h) {
  if (frame == nullptr || clamp == nullptr || !PackedFrameUsable(w, h)) return;
  // Eight partial histograms keep neighbouring equal values from
  // serialising on one counter (an increment waits for the one before it
  // on the same counter). They count in 16 bits, emptied into hist before
  // any of them can overflow; hist then holds the whole histogram.
  ULONG hist[256];
  USHORT part[8][256];
  RtlZeroMemory(hist, sizeof(hist));
  const SIZE_T samples = SIZE_T(w) * h;
  const UCHAR* p = frame + (lumaFirst ? 0 : 1);
  constexpr SIZE_T kChunk = 8 * 65535;  // at most 65535 samples per partial histogram
  for (SIZE_T start = 0; start < samples; start += kChunk) {
    const SIZE_T end = samples - start < kChunk ? samples : start + kChunk;
    RtlZeroMemory(part, sizeof(part));
    SIZE_T i = start;
    for (; i + 8 <= end; i += 8) {
      const UCHAR* q = p + 2 * i;
      ++part[0][q[0]];
      ++part[1][q[2]];
      ++part[2][q[4]];
      ++part[3][q[6]];
      ++part[4][q[8]];
      ++part[5][q[10]];
      ++part[6][q[12]];
      ++part[7][q[14]];
    }
    for (; i < end; ++i) ++hist[p[2 * i]];  // under 8 samples: straight into the total
    for (ULONG v = 0; v < 256; ++v) {
      hist[v] += ULONG(part[0][v]) + part[1][v] + part[2][v] + part[3][v] + part[4][v] + part[5][v] +
                 part[6][v] + part[7][v];
    }
  }

  const ULONG threshold = (ULONG(samples) << 5) >> 11;
  if (threshold == 0) return;
  ULONG lo = 0, hi = 255;
  ULONG cumulative = 0;
  for (ULONG v = 0; v < 256; ++v) {
    cumulative += hist[v];
    if (cumulative >= threshold) {
      lo = v;
      break;
    }
  }
  cumulative = 0;
  for (LONG v = 255; v >= 0; --v) {
    cumulative += hist[v];
    if (cumulative >= threshold) {
      hi = ULONG(v);
      break;
    }
  }
  if (lo > 64) lo = 64;
  hi = (hi + 765) >> 2;
  if (hi <= lo) return;
  const LONG step = 522240 / LONG(hi - lo);
  LONG a = 0;
  for (ULONG v = 0; v < 256; ++v) {
    UCHAR out;
    if (v < lo) {
      out = 0;
    } else if (v < hi) {
      out = clamp[a >> 11];
      a += step;
    } else {
      out = 255;
    }
    WriteUCharNoFence(&LumaCurve[v], out);
  }
}
