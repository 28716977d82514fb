// Bilinear zoom window: enlarges a window of factor/64 of a packed 4:2:2
// frame to the whole frame. Luma is interpolated per pixel, U and V per
// macro-pixel, with 6-bit weights: (a * (64 - phase) + b * phase + 32) >> 6.
//
// Every output byte of a row is described once by a table entry (source byte
// a, source byte b, phase), the same for every row; the horizontal pass runs
// the table over each source row the output needs, the vertical pass blends
// two such rows. With SSSE3 the horizontal pass works on 16 output bytes at a
// time: their sources lie in a 32-byte span of the source row, gathered with
// byte shuffles and weighted with a multiply-add of byte pairs.
#include "effects/cpu_features.h"
#include "effects/image_filters.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#include <tmmintrin.h>
#define UVCCAM_ZOOM_SIMD 1
#if defined(__GNUC__)
#define UVCCAM_TARGET_SSSE3 __attribute__((target("ssse3")))
#else
#define UVCCAM_TARGET_SSSE3
#endif
#endif

namespace {

// Sixteen output bytes whose sources all lie in row[base .. base + 31].
// masks[0..1]: the (a, b) pairs of output bytes 0..7 taken from the low and
// the high 16 source bytes (0x80 = from the other half); masks[2..3] the same
// for output bytes 8..15; masks[4..5] the weight pairs (64 - phase, phase).
struct ShuffleGroup {
  UCHAR masks[6][16];
  ULONG base;  // kNoGroup: done by the per-byte path
  ULONG reserved[3];
};
constexpr ULONG kNoGroup = 0xFFFFFFFFu;

struct RowPlan {
  ULONG bytes;        // w * 2
  ULONG* a;           // per output byte: source byte with weight 64 - phase
  ULONG* b;           // source byte with weight phase (= a when phase is 0)
  UCHAR* phase;
  ShuffleGroup* groups;  // bytes / 16 entries, or null without SSSE3
};

inline UCHAR Lerp(ULONG a, ULONG b, ULONG f) { return UCHAR((a * (64 - f) + b * f + 32) >> 6); }

VOID InterpolateBytes(UCHAR* out, const UCHAR* row, const RowPlan& plan, ULONG from, ULONG to) {
  for (ULONG i = from; i < to; ++i) {
    const ULONG f = plan.phase[i];
    const ULONG a = row[plan.a[i]];
    out[i] = f == 0 ? UCHAR(a) : Lerp(a, row[plan.b[i]], f);
  }
}

#if UVCCAM_ZOOM_SIMD
UVCCAM_TARGET_SSSE3
VOID InterpolateRowSsse3(UCHAR* out, const UCHAR* row, const RowPlan& plan) {
  const ULONG groups = plan.bytes / 16;
  const __m128i round = _mm_set1_epi16(32);
  for (ULONG g = 0; g < groups; ++g) {
    const ShuffleGroup& sg = plan.groups[g];
    if (sg.base == kNoGroup) {
      InterpolateBytes(out, row, plan, 16 * g, 16 * g + 16);
      continue;
    }
    const __m128i lo = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + sg.base));
    const __m128i hi = _mm_loadu_si128(reinterpret_cast<const __m128i*>(row + sg.base + 16));
    const __m128i* m = reinterpret_cast<const __m128i*>(sg.masks);
    const __m128i pairs0 = _mm_or_si128(_mm_shuffle_epi8(lo, _mm_loadu_si128(m + 0)),
                                        _mm_shuffle_epi8(hi, _mm_loadu_si128(m + 1)));
    const __m128i pairs1 = _mm_or_si128(_mm_shuffle_epi8(lo, _mm_loadu_si128(m + 2)),
                                        _mm_shuffle_epi8(hi, _mm_loadu_si128(m + 3)));
    __m128i v0 = _mm_maddubs_epi16(pairs0, _mm_loadu_si128(m + 4));
    __m128i v1 = _mm_maddubs_epi16(pairs1, _mm_loadu_si128(m + 5));
    v0 = _mm_srli_epi16(_mm_add_epi16(v0, round), 6);
    v1 = _mm_srli_epi16(_mm_add_epi16(v1, round), 6);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * g), _mm_packus_epi16(v0, v1));
  }
  InterpolateBytes(out, row, plan, groups * 16, plan.bytes);
}
#endif

VOID InterpolateRow(UCHAR* out, const UCHAR* row, const RowPlan& plan) {
#if UVCCAM_ZOOM_SIMD
  if (plan.groups != nullptr) {
    InterpolateRowSsse3(out, row, plan);
    return;
  }
#endif
  InterpolateBytes(out, row, plan, 0, plan.bytes);
}

// Vertical pass: out = (a * (64 - f) + b * f + 32) >> 6 per byte, f in 1..63.
VOID BlendRows(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f) {
  SIZE_T i = 0;
#if UVCCAM_ZOOM_SIMD
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
  for (; i < bytes; ++i) out[i] = Lerp(a[i], b[i], f);
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

// Builds the shuffle groups from the per-byte table. A group whose sources
// do not fit one 32-byte span inside the row stays on the per-byte path.
VOID PlanGroups(RowPlan& plan) {
  const ULONG groups = plan.bytes / 16;
  for (ULONG g = 0; g < groups; ++g) {
    ShuffleGroup& sg = plan.groups[g];
    ULONG lowest = plan.a[16 * g], highest = 0;
    for (ULONG t = 16 * g; t < 16 * g + 16; ++t) {
      if (plan.a[t] < lowest) lowest = plan.a[t];
      if (plan.b[t] < lowest) lowest = plan.b[t];
      if (plan.a[t] > highest) highest = plan.a[t];
      if (plan.b[t] > highest) highest = plan.b[t];
    }
    const ULONG base = lowest & ~3u;
    if (highest - base >= 32 || base + 32 > plan.bytes) {
      sg.base = kNoGroup;
      continue;
    }
    sg.base = base;
    for (ULONG t = 0; t < 16; ++t) {
      const ULONG a = plan.a[16 * g + t] - base, b = plan.b[16 * g + t] - base;
      const ULONG f = plan.phase[16 * g + t];
      UCHAR* lowMask = sg.masks[t < 8 ? 0 : 2];
      UCHAR* highMask = sg.masks[t < 8 ? 1 : 3];
      UCHAR* weights = sg.masks[t < 8 ? 4 : 5];
      const ULONG lane = 2 * (t & 7);
      lowMask[lane] = a < 16 ? UCHAR(a) : 0x80;
      highMask[lane] = a < 16 ? 0x80 : UCHAR(a - 16);
      lowMask[lane + 1] = b < 16 ? UCHAR(b) : 0x80;
      highMask[lane + 1] = b < 16 ? 0x80 : UCHAR(b - 16);
      weights[lane] = UCHAR(64 - f);
      weights[lane + 1] = UCHAR(f);
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
    BlendRows(out, aRow, bRow, stride, phase);
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
  bool groups = false;
#if UVCCAM_ZOOM_SIMD
  groups = EffectsUseSsse3() && bytes >= 32;
#endif

  // One block: the shuffle groups, two interpolated rows, the per-byte table.
  const SIZE_T groupBytes = groups ? SIZE_T(bytes / 16) * sizeof(ShuffleGroup) : 0;
  const SIZE_T total = groupBytes + 2 * SIZE_T(bytes) + SIZE_T(bytes) * (2 * sizeof(ULONG) + 1);
  UCHAR* block = static_cast<UCHAR*>(ExAllocatePoolWithTag(NonPagedPool, total, kTagBuffer));
  if (block == nullptr) {
    RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 0;
  }
  RowPlan plan;
  plan.bytes = bytes;
  plan.groups = groups ? reinterpret_cast<ShuffleGroup*>(block) : nullptr;
  UCHAR* rowA = block + groupBytes;
  UCHAR* rowB = rowA + bytes;
  plan.a = reinterpret_cast<ULONG*>(rowB + bytes);
  plan.b = plan.a + bytes;
  plan.phase = reinterpret_cast<UCHAR*>(plan.b + bytes);

  PlanRow(plan, w, f, x0, lumaFirst ? 0 : 1);
  if (groups) PlanGroups(plan);
  Zoom(dst, src, h, f, y0, plan, rowA, rowB);
  ExFreePoolWithTag(block, kTagBuffer);
  return 1;
}
