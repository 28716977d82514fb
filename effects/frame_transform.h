// One in-place pass over a packed 4:2:2 frame that maps every byte by its
// kind and moves pixels: luma through a 256-entry curve, chroma by a special
// colour, rows upside down and mirrored. The chain runs its luma curve,
// special colour, vertical flip and mirror steps as one such pass; the
// single routines (ApplyLumaCurve, ApplySpecialColor, FlipVertical,
// MirrorHorizontal) are the same pass with one part switched on. The maps
// work per byte kind and the moves keep every byte's kind, so the order of
// maps and moves does not matter.
#pragma once

#include "platform/wdk.h"

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define UVCCAM_TRANSFORM_SSE2 1
#endif

// A macro-pixel as a little-endian 32-bit word: byte 0 in the low bits.
inline ULONG LoadWord(const UCHAR* p) {
  ULONG v;
  RtlCopyMemory(&v, p, 4);
  return v;
}
inline VOID StoreWord(UCHAR* p, ULONG v) { RtlCopyMemory(p, &v, 4); }

// Exchanges the two luma samples of a macro-pixel word: bytes 0 and 2 (YUY2
// order, lumaFirst) or bytes 1 and 3 (UYVY order).
inline ULONG SwapLuma(ULONG v, ULONG lumaFirst) {
  return lumaFirst ? (v & 0xFF00FF00u) | ((v & 0xFFu) << 16) | ((v >> 16) & 0xFFu)
                   : (v & 0x00FF00FFu) | ((v & 0xFF00u) << 16) | ((v >> 16) & 0xFF00u);
}

struct FrameTransform {
  const UCHAR* curve;  // luma map, or null: luma unchanged
  ULONG specialColor;  // 0 none, 1..5 as ApplySpecialColor; others change nothing
  ULONG flip;          // 1: upside down
  ULONG mirror;        // 1: every row mirrored (frames of one macro-pixel stay)
  ULONG lumaFirst;     // 1: Y0 U Y1 V, 0: U Y0 V Y1
};

// Does nothing for frames the routines cannot use (PackedFrameUsable).
VOID TransformFrame(UCHAR* frame, ULONG w, ULONG h, const FrameTransform& transform);

// The pass as the row code sees it. Chroma is changed by word operations on
// a macro-pixel read as a little-endian 32-bit word:
// v = ((v & keep) | set) ^ invert, which never touches the luma bytes.
struct TransformRows {
  const UCHAR* curve;
  ULONG keep;
  ULONG set;
  ULONG invert;
  bool flip;
  bool mirror;
  ULONG lumaFirst;
  ULONG w;
  ULONG h;
};

// Macro-pixels [left, right) of a row pair: `top` gets the mapped
// macro-pixels of `bottom` and the other way round (top == bottom: one row
// in place); with mirror, macro-pixel m trades places with
// left + right - 1 - m and its two luma samples change places.
VOID TransformWords(UCHAR* top, UCHAR* bottom, ULONG left, ULONG right, const TransformRows& t);

// AVX-512 (F, BW, VBMI) twin of the whole pass, used only when
// EffectsUseAvx512Vbmi(); leaves the middle of mirrored rows that is less
// than two 64-byte blocks wide to TransformWords.
VOID TransformFrameAvx512(UCHAR* frame, const TransformRows& t);

#if UVCCAM_TRANSFORM_SSE2
// Four macro-pixels in reverse order, each with its two luma samples
// exchanged: the dwords reverse, and within each dword the luma bytes of its
// two 16-bit halves change places while the chroma bytes stay.
template <bool kUyvy>
inline __m128i MirrorBlock(__m128i v) {
  const __m128i lumaMask = kUyvy ? _mm_set1_epi16(short(0xFF00)) : _mm_set1_epi16(0x00FF);
  v = _mm_shuffle_epi32(v, _MM_SHUFFLE(0, 1, 2, 3));
  __m128i luma = _mm_and_si128(v, lumaMask);
  luma = _mm_shufflehi_epi16(_mm_shufflelo_epi16(luma, _MM_SHUFFLE(2, 3, 0, 1)), _MM_SHUFFLE(2, 3, 0, 1));
  return _mm_or_si128(_mm_andnot_si128(lumaMask, v), luma);
}
#endif
