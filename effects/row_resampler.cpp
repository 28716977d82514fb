// Table-driven row resampling; see row_resampler.h.
#include "effects/row_resampler.h"

#include "effects/cpu_features.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#include <tmmintrin.h>
#define UVCCAM_RESAMPLE_SIMD 1
#if defined(__GNUC__)
#define UVCCAM_TARGET_SSSE3 __attribute__((target("ssse3")))
#else
#define UVCCAM_TARGET_SSSE3
#endif
#endif

namespace {

inline UCHAR Lerp(ULONG a, ULONG b, ULONG f) { return UCHAR((a * (64 - f) + b * f + 32) >> 6); }

VOID InterpolateBytes(UCHAR* out, const UCHAR* row, const RowPlan& plan, ULONG from, ULONG to) {
  for (ULONG i = from; i < to; ++i) {
    const ULONG f = plan.phase[i];
    const ULONG a = row[plan.a[i]];
    out[i] = f == 0 ? UCHAR(a) : Lerp(a, row[plan.b[i]], f);
  }
}

#if UVCCAM_RESAMPLE_SIMD
UVCCAM_TARGET_SSSE3
VOID InterpolateRowSsse3(UCHAR* out, const UCHAR* row, const RowPlan& plan) {
  const ULONG groups = plan.bytes / 16;
  const __m128i round = _mm_set1_epi16(32);
  for (ULONG g = 0; g < groups; ++g) {
    const ShuffleGroup& sg = plan.groups[g];
    if (sg.base == kNoShuffleGroup) {
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

}  // namespace

namespace {

// Bytes of the group area: room for either kind of group.
SIZE_T GroupBytes(ULONG bytes) {
  const SIZE_T narrow = SIZE_T(bytes / 16) * sizeof(ShuffleGroup);
  const SIZE_T wide = SIZE_T((bytes + 63) / 64) * sizeof(WideGroup);
  return narrow > wide ? narrow : wide;
}

VOID PlanWideGroups(RowPlan& plan) {
  const ULONG groups = (plan.bytes + 63) / 64;
  for (ULONG g = 0; g < groups; ++g) {
    WideGroup& wg = plan.wide[g];
    const ULONG first = 64 * g;
    const ULONG count = plan.bytes - first < 64 ? plan.bytes - first : 64;
    ULONG lowest = plan.a[first], highest = 0;
    for (ULONG t = first; t < first + count; ++t) {
      if (plan.a[t] < lowest) lowest = plan.a[t];
      if (plan.b[t] < lowest) lowest = plan.b[t];
      if (plan.a[t] > highest) highest = plan.a[t];
      if (plan.b[t] > highest) highest = plan.b[t];
    }
    if (highest - lowest >= 128) {
      wg.base = kNoShuffleGroup;
      continue;
    }
    wg.base = lowest;
    for (ULONG t = 0; t < 64; ++t) {
      const ULONG lane = t / 16, v = (t / 8) & 1, k = t & 7;
      const ULONG pair = 2 * (8 * lane + k);
      const bool used = t < count;
      const ULONG f = used ? plan.phase[first + t] : 0;
      wg.index[v][pair] = used ? UCHAR(plan.a[first + t] - lowest) : 0;
      wg.index[v][pair + 1] = used ? UCHAR(plan.b[first + t] - lowest) : 0;
      wg.weights[v][pair] = UCHAR(64 - f);
      wg.weights[v][pair + 1] = UCHAR(f);
    }
  }
}

}  // namespace

SIZE_T RowPlanBytes(ULONG bytes, bool groups) {
  return (groups ? GroupBytes(bytes) : 0) + SIZE_T(bytes) * (2 * sizeof(ULONG) + 1);
}

RowPlan LayOutRowPlan(UCHAR* memory, ULONG bytes, bool groups) {
  RowPlan plan;
  plan.bytes = bytes;
  const bool wide = groups && EffectsUseAvx512Vbmi();
  plan.groups = groups && !wide ? reinterpret_cast<ShuffleGroup*>(memory) : nullptr;
  plan.wide = wide ? reinterpret_cast<WideGroup*>(memory) : nullptr;
  plan.a = reinterpret_cast<ULONG*>(memory + (groups ? GroupBytes(bytes) : 0));
  plan.b = plan.a + bytes;
  plan.phase = reinterpret_cast<UCHAR*>(plan.b + bytes);
  return plan;
}

bool RowPlanWantsGroups(ULONG bytes) {
#if UVCCAM_RESAMPLE_SIMD
  return EffectsUseSsse3() && bytes >= 32;
#else
  (void)bytes;
  return false;
#endif
}

VOID PlanShuffleGroups(RowPlan& plan) {
  if (plan.wide != nullptr) {
    PlanWideGroups(plan);
    return;
  }
  const ULONG groups = plan.groups != nullptr ? plan.bytes / 16 : 0;
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
      sg.base = kNoShuffleGroup;
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

VOID InterpolateRow(UCHAR* out, const UCHAR* row, const RowPlan& plan) {
  if (plan.wide != nullptr) {
    InterpolateWideGroupsAvx512(out, row, plan);
    const ULONG groups = (plan.bytes + 63) / 64;
    for (ULONG g = 0; g < groups; ++g) {
      if (plan.wide[g].base != kNoShuffleGroup) continue;
      const ULONG end = 64 * g + 64 < plan.bytes ? 64 * g + 64 : plan.bytes;
      InterpolateBytes(out, row, plan, 64 * g, end);
    }
    return;
  }
#if UVCCAM_RESAMPLE_SIMD
  if (plan.groups != nullptr) {
    InterpolateRowSsse3(out, row, plan);
    return;
  }
#endif
  InterpolateBytes(out, row, plan, 0, plan.bytes);
}

VOID BlendRowPair(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f, bool wide) {
  if (wide) {
    BlendRowPairAvx512(out, a, b, bytes, f);
    return;
  }
  SIZE_T i = 0;
#if UVCCAM_RESAMPLE_SIMD
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
