// AVX-512 (F, BW, VBMI) twins of chroma smoothing's inner loops
// (chroma_smoothing_avx512.h): 32 macro-pixels at a time, the same bytes as
// the SSE2 and per-macro-pixel code. Two-source word and byte permutes move
// U and V between their places in the packed rows and 16-bit lanes.
#include "effects/chroma_smoothing_avx512.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

namespace {

inline __m512i Load(const VOID* p) { return _mm512_loadu_si512(p); }

// Word i of the result: the byte at 4 i + offset of the 128 bytes at p.
inline __m512i Bytes32(const UCHAR* p, __m512i index) {
  return _mm512_maskz_permutex2var_epi8(0x5555555555555555ull, Load(p), index, Load(p + 64));
}

}  // namespace

ULONG ChromaBoxAvx512(UCHAR* row0, UCHAR* row1, const UCHAR* in0, const UCHAR* in1, const USHORT* su,
                      const USHORT* sv, ULONG n, ULONG uOffset) {
  // Words (u_i, v_i) in place for macro-pixels 0..15 and 16..31 of a block.
  USHORT low[32], high[32];
  for (ULONG i = 0; i < 16; ++i) {
    low[2 * i] = USHORT(i);
    low[2 * i + 1] = USHORT(32 + i);
    high[2 * i] = USHORT(16 + i);
    high[2 * i + 1] = USHORT(48 + i);
  }
  const __m512i lowIndex = Load(low), highIndex = Load(high);
  const __mmask64 chroma = uOffset ? 0xAAAAAAAAAAAAAAAAull : 0x5555555555555555ull;
  ULONG m = 1;
  // The box reads sums up to m + 33.
  for (; m + 34 <= n; m += 32) {
    auto box = [m](const USHORT* sums) {
      __m512i t = _mm512_add_epi16(Load(sums + m - 1), Load(sums + m));
      t = _mm512_add_epi16(t, _mm512_add_epi16(Load(sums + m + 1), Load(sums + m + 2)));
      return _mm512_srli_epi16(t, 4);
    };
    const __m512i u = box(su), v = box(sv);
    __m512i first = _mm512_permutex2var_epi16(u, lowIndex, v);
    __m512i second = _mm512_permutex2var_epi16(u, highIndex, v);
    if (uOffset) {
      first = _mm512_slli_epi16(first, 8);
      second = _mm512_slli_epi16(second, 8);
    }
    UCHAR* rows[2] = {row0, row1};
    const UCHAR* ins[2] = {in0, in1};
    for (ULONG r = 0; r < 2; ++r) {
      UCHAR* p = rows[r] + 4 * SIZE_T(m);
      const UCHAR* q = ins[r] + 4 * SIZE_T(m);
      _mm512_storeu_si512(p, _mm512_mask_blend_epi8(chroma, Load(q), first));
      _mm512_storeu_si512(p + 64, _mm512_mask_blend_epi8(chroma, Load(q + 64), second));
    }
  }
  return m;
}

ULONG ChromaSumsAvx512(USHORT* su, USHORT* sv, const UCHAR* add, const UCHAR* drop, ULONG n, ULONG uOffset) {
  UCHAR u[64], v[64];
  for (ULONG i = 0; i < 32; ++i) {
    u[2 * i] = UCHAR(4 * i + uOffset);
    v[2 * i] = UCHAR(4 * i + uOffset + 2);
    u[2 * i + 1] = v[2 * i + 1] = 0;
  }
  const __m512i uIndex = Load(u), vIndex = Load(v);
  ULONG i = 0;
  for (; i + 32 <= n; i += 32) {
    const UCHAR* a = add + 4 * SIZE_T(i);
    const UCHAR* d = drop + 4 * SIZE_T(i);
    _mm512_storeu_si512(su + i, _mm512_sub_epi16(_mm512_add_epi16(Load(su + i), Bytes32(a, uIndex)), Bytes32(d, uIndex)));
    _mm512_storeu_si512(sv + i, _mm512_sub_epi16(_mm512_add_epi16(Load(sv + i), Bytes32(a, vIndex)), Bytes32(d, vIndex)));
  }
  return i;
}

#include "platform/target_end.h"

#else
ULONG ChromaBoxAvx512(UCHAR*, UCHAR*, const UCHAR*, const UCHAR*, const USHORT*, const USHORT*, ULONG, ULONG) {
  return 1;
}
ULONG ChromaSumsAvx512(USHORT*, USHORT*, const UCHAR*, const UCHAR*, ULONG, ULONG) { return 0; }
#endif
