// AVX-512 (F, BW, VBMI) twin of the map-and-move pass (frame_transform.h):
// 64 bytes at a time. The 256-byte luma curve sits in four registers and two
// two-source byte permutes look it up (the index's top bit picks between
// them); the chroma is changed by the same word operations as the portable
// code; a mirrored block is one byte permute (sixteen macro-pixels in
// reverse order, each with its luma samples exchanged).
#include "effects/frame_transform.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

namespace {

struct Maps {
  __m512i t0, t1, t2, t3;  // the luma curve
  __mmask64 luma;          // luma byte positions
  __m512i keep, set, invert;
  __m512i mirror;          // byte permute of one mirrored 64-byte block
};

template <bool kCurve>
inline __m512i Map(__m512i v, const Maps& m) {
  if (kCurve) {
    const __m512i low = _mm512_permutex2var_epi8(m.t0, v, m.t1);
    const __m512i high = _mm512_permutex2var_epi8(m.t2, v, m.t3);
    v = _mm512_mask_blend_epi8(m.luma, v, _mm512_mask_blend_epi8(_mm512_movepi8_mask(v), low, high));
  }
  return _mm512_xor_si512(_mm512_or_si512(_mm512_and_si512(v, m.keep), m.set), m.invert);
}

// The index never has bit 6 set: the two-source permute takes every byte
// from its first operand.
inline __m512i Mirror(__m512i v, const Maps& m) { return _mm512_permutex2var_epi8(v, m.mirror, v); }

template <bool kCurve>
VOID TransformRowPair(UCHAR* top, UCHAR* bottom, const TransformRows& t, const Maps& m) {
  const SIZE_T stride = SIZE_T(t.w) * 2;
  const bool pair = top != bottom;
  if (!t.mirror) {
    SIZE_T o = 0;
    for (; o + 64 <= stride; o += 64) {
      const __m512i a = _mm512_loadu_si512(top + o);
      const __m512i b = pair ? _mm512_loadu_si512(bottom + o) : a;
      _mm512_storeu_si512(top + o, Map<kCurve>(b, m));
      if (pair) _mm512_storeu_si512(bottom + o, Map<kCurve>(a, m));
    }
    if (o < stride) {
      const __mmask64 mask = (1ull << (stride - o)) - 1;
      const __m512i a = _mm512_maskz_loadu_epi8(mask, top + o);
      const __m512i b = pair ? _mm512_maskz_loadu_epi8(mask, bottom + o) : a;
      _mm512_mask_storeu_epi8(top + o, mask, Map<kCurve>(b, m));
      if (pair) _mm512_mask_storeu_epi8(bottom + o, mask, Map<kCurve>(a, m));
    }
    return;
  }
  // Blocks from both ends while they do not meet; the middle (under two
  // blocks) is left to the word code.
  SIZE_T o = 0;
  for (; 2 * o + 128 <= stride; o += 64) {
    UCHAR* tl = top + o;
    UCHAR* tr = top + stride - o - 64;
    UCHAR* bl = bottom + o;
    UCHAR* br = bottom + stride - o - 64;
    const __m512i vtl = _mm512_loadu_si512(tl), vtr = _mm512_loadu_si512(tr);
    const __m512i vbl = _mm512_loadu_si512(bl), vbr = _mm512_loadu_si512(br);
    _mm512_storeu_si512(tl, Map<kCurve>(Mirror(vbr, m), m));
    _mm512_storeu_si512(tr, Map<kCurve>(Mirror(vbl, m), m));
    if (pair) {
      _mm512_storeu_si512(bl, Map<kCurve>(Mirror(vtr, m), m));
      _mm512_storeu_si512(br, Map<kCurve>(Mirror(vtl, m), m));
    }
  }
  const ULONG done = ULONG(o / 4);
  TransformWords(top, bottom, done, t.w / 2 - done, t);
}

template <bool kCurve>
VOID TransformRowsAvx512(UCHAR* frame, const TransformRows& t, const Maps& m) {
  const SIZE_T stride = SIZE_T(t.w) * 2;
  const ULONG count = t.flip ? (t.h + 1) / 2 : t.h;
  for (ULONG i = 0; i < count; ++i) {
    UCHAR* top = frame + SIZE_T(i) * stride;
    TransformRowPair<kCurve>(top, t.flip ? frame + SIZE_T(t.h - 1 - i) * stride : top, t, m);
  }
}

}  // namespace

VOID TransformFrameAvx512(UCHAR* frame, const TransformRows& t) {
  Maps m;
  if (t.curve != nullptr) {
    m.t0 = _mm512_loadu_si512(t.curve);
    m.t1 = _mm512_loadu_si512(t.curve + 64);
    m.t2 = _mm512_loadu_si512(t.curve + 128);
    m.t3 = _mm512_loadu_si512(t.curve + 192);
  } else {
    m.t0 = m.t1 = m.t2 = m.t3 = _mm512_setzero_si512();
  }
  m.luma = t.lumaFirst ? 0x5555555555555555ull : 0xAAAAAAAAAAAAAAAAull;
  m.keep = _mm512_set1_epi32(int(t.keep));
  m.set = _mm512_set1_epi32(int(t.set));
  m.invert = _mm512_set1_epi32(int(t.invert));
  UCHAR index[64];
  for (ULONG j = 0; j < 64; ++j) {
    const ULONG k = j & 3;
    const bool luma = (k & 1) == (t.lumaFirst ? 0u : 1u);
    index[j] = UCHAR(4 * (15 - j / 4) + (luma ? k ^ 2 : k));
  }
  m.mirror = _mm512_loadu_si512(index);
  if (t.curve != nullptr) {
    TransformRowsAvx512<true>(frame, t, m);
  } else {
    TransformRowsAvx512<false>(frame, t, m);
  }
}

#include "platform/target_end.h"

#else
VOID TransformFrameAvx512(UCHAR*, const TransformRows&) {}
#endif
