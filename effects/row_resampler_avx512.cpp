// AVX-512 (F, BW, VBMI) twins of the row resampler's horizontal and vertical
// passes (row_resampler.h): 64 output bytes at a time, the same bytes as the
// per-byte code.
#include "effects/row_resampler.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

namespace {

inline __m512i Load(const UCHAR* p) { return _mm512_loadu_si512(p); }

}  // namespace

VOID InterpolateWideGroupsAvx512(UCHAR* out, const UCHAR* row, const RowPlan& plan) {
  const ULONG groups = (plan.bytes + 63) / 64;
  const __m512i round = _mm512_set1_epi16(32);
  for (ULONG g = 0; g < groups; ++g) {
    const WideGroup& wg = plan.wide[g];
    if (wg.base == kNoShuffleGroup) continue;
    // Source bytes from base to the row's end, and output bytes of the group:
    // masked loads and stores only near the row's end.
    const ULONG inside = plan.bytes - wg.base;
    const ULONG count = plan.bytes - 64 * g < 64 ? plan.bytes - 64 * g : 64;
    const UCHAR* span = row + wg.base;
    __m512i lo, hi;
    if (inside >= 128) {
      lo = _mm512_loadu_si512(span);
      hi = _mm512_loadu_si512(span + 64);
    } else {
      const __mmask64 loadLow = inside >= 64 ? ~0ull : (1ull << inside) - 1;
      const __mmask64 loadHigh = inside > 64 ? (1ull << (inside - 64)) - 1 : 0;
      lo = _mm512_maskz_loadu_epi8(loadLow, span);
      hi = _mm512_maskz_loadu_epi8(loadHigh, span + 64);
    }
    const __m512i pairs0 = _mm512_permutex2var_epi8(lo, Load(wg.index[0]), hi);
    const __m512i pairs1 = _mm512_permutex2var_epi8(lo, Load(wg.index[1]), hi);
    __m512i v0 = _mm512_maddubs_epi16(pairs0, Load(wg.weights[0]));
    __m512i v1 = _mm512_maddubs_epi16(pairs1, Load(wg.weights[1]));
    v0 = _mm512_srli_epi16(_mm512_add_epi16(v0, round), 6);
    v1 = _mm512_srli_epi16(_mm512_add_epi16(v1, round), 6);
    if (count == 64) {
      _mm512_storeu_si512(out + 64 * SIZE_T(g), _mm512_packus_epi16(v0, v1));
    } else {
      _mm512_mask_storeu_epi8(out + 64 * SIZE_T(g), (1ull << count) - 1, _mm512_packus_epi16(v0, v1));
    }
  }
}

VOID BlendRowPairAvx512(UCHAR* out, const UCHAR* a, const UCHAR* b, SIZE_T bytes, ULONG f) {
  // Byte pairs (a, b) weighted (64 - f, f) by one multiply-add; the unpacks
  // and the pack both work within 16-byte lanes, so the order comes back.
  const __m512i weights = _mm512_set1_epi16(short((64 - f) | (f << 8)));
  const __m512i round = _mm512_set1_epi16(32);
  for (SIZE_T i = 0; i < bytes; i += 64) {
    const __mmask64 mask = bytes - i >= 64 ? ~0ull : (1ull << (bytes - i)) - 1;
    const __m512i va = _mm512_maskz_loadu_epi8(mask, a + i);
    const __m512i vb = _mm512_maskz_loadu_epi8(mask, b + i);
    __m512i lo = _mm512_maddubs_epi16(_mm512_unpacklo_epi8(va, vb), weights);
    __m512i hi = _mm512_maddubs_epi16(_mm512_unpackhi_epi8(va, vb), weights);
    lo = _mm512_srli_epi16(_mm512_add_epi16(lo, round), 6);
    hi = _mm512_srli_epi16(_mm512_add_epi16(hi, round), 6);
    _mm512_mask_storeu_epi8(out + i, mask, _mm512_packus_epi16(lo, hi));
  }
}

#include "platform/target_end.h"

#else
VOID InterpolateWideGroupsAvx512(UCHAR*, const UCHAR*, const RowPlan&) {}
VOID BlendRowPairAvx512(UCHAR*, const UCHAR*, const UCHAR*, SIZE_T, ULONG) {}
#endif
