// The in-place map-and-move pass (frame_transform.h) and the single routines
// built on it: luma curve, special colour, vertical flip and mirror. The
// portable code works on macro-pixel words, with SSE2 blocks of four
// macro-pixels when no luma curve is applied; the AVX-512 twin
// (frame_transform_avx512.cpp) does the whole pass 64 bytes at a time.
#include "effects/frame_transform.h"

#include "effects/cpu_features.h"
#include "effects/effect_chain.h"
#include "effects/image_filters.h"

namespace {

inline ULONG MapWord(ULONG v, const TransformRows& t) {
  if (t.curve != nullptr) {
    const ULONG s = t.lumaFirst ? 0 : 8;
    v = (v & ~((0xFFu << s) | (0xFFu << (s + 16)))) | (ULONG(t.curve[(v >> s) & 0xFF]) << s) |
        (ULONG(t.curve[(v >> (s + 16)) & 0xFF]) << (s + 16));
  }
  return ((v & t.keep) | t.set) ^ t.invert;
}

#if UVCCAM_TRANSFORM_SSE2
// Blocks of four macro-pixels from the ends of [*left, *right) (mirror) or
// from its start, moving the bounds past what was done. No luma curve.
template <bool kUyvy>
VOID TransformBlocksSse2(UCHAR* top, UCHAR* bottom, ULONG* left, ULONG* right, const TransformRows& t) {
  const __m128i keep = _mm_set1_epi32(int(t.keep)), set = _mm_set1_epi32(int(t.set));
  const __m128i invert = _mm_set1_epi32(int(t.invert));
  auto load = [](const UCHAR* p) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p)); };
  auto store = [](UCHAR* p, __m128i v) { _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v); };
  auto map = [&](__m128i v) { return _mm_xor_si128(_mm_or_si128(_mm_and_si128(v, keep), set), invert); };
  const bool pair = top != bottom;
  if (t.mirror) {
    for (; *right - *left >= 8; *left += 4, *right -= 4) {
      UCHAR* tl = top + 4 * SIZE_T(*left);
      UCHAR* tr = top + 4 * SIZE_T(*right - 4);
      UCHAR* bl = bottom + 4 * SIZE_T(*left);
      UCHAR* br = bottom + 4 * SIZE_T(*right - 4);
      const __m128i vtl = load(tl), vtr = load(tr), vbl = load(bl), vbr = load(br);
      store(tl, MirrorBlock<kUyvy>(map(vbr)));
      store(tr, MirrorBlock<kUyvy>(map(vbl)));
      if (pair) {
        store(bl, MirrorBlock<kUyvy>(map(vtr)));
        store(br, MirrorBlock<kUyvy>(map(vtl)));
      }
    }
  } else {
    for (; *left + 4 <= *right; *left += 4) {
      UCHAR* a = top + 4 * SIZE_T(*left);
      UCHAR* b = bottom + 4 * SIZE_T(*left);
      const __m128i va = load(a), vb = load(b);
      store(a, map(vb));
      if (pair) store(b, map(va));
    }
  }
}
#endif

}  // namespace

VOID TransformWords(UCHAR* top, UCHAR* bottom, ULONG left, ULONG right, const TransformRows& t) {
  if (t.mirror) {
    // Every load before the stores: top and bottom may be the same row and
    // the middle macro-pixel of an odd count is its own partner.
    while (left < right) {
      --right;
      const ULONG tl = LoadWord(top + 4 * left), bl = LoadWord(bottom + 4 * left);
      const ULONG tr = LoadWord(top + 4 * right), br = LoadWord(bottom + 4 * right);
      StoreWord(top + 4 * left, SwapLuma(MapWord(br, t), t.lumaFirst));
      StoreWord(bottom + 4 * left, SwapLuma(MapWord(tr, t), t.lumaFirst));
      StoreWord(top + 4 * right, SwapLuma(MapWord(bl, t), t.lumaFirst));
      StoreWord(bottom + 4 * right, SwapLuma(MapWord(tl, t), t.lumaFirst));
      ++left;
    }
    return;
  }
  for (ULONG m = left; m < right; ++m) {
    const ULONG a = LoadWord(top + 4 * m), b = LoadWord(bottom + 4 * m);
    StoreWord(top + 4 * m, MapWord(b, t));
    StoreWord(bottom + 4 * m, MapWord(a, t));
  }
}

VOID TransformFrame(UCHAR* frame, ULONG w, ULONG h, const FrameTransform& transform) {
  if (frame == nullptr || !PackedFrameUsable(w, h)) return;
  TransformRows t;
  t.curve = transform.curve;
  t.flip = transform.flip == 1;
  t.mirror = transform.mirror == 1 && w > 3;
  t.lumaFirst = transform.lumaFirst ? 1 : 0;
  t.w = w;
  t.h = h;
  // Chroma bytes 1 and 3 (luma first) or 0 and 2.
  const ULONG chromaMask = t.lumaFirst ? 0xFF00FF00u : 0x00FF00FFu;
  ULONG u = 0, v = 0;
  bool fixed = true;  // modes that set both chroma bytes
  t.keep = ~0u;
  t.set = t.invert = 0;
  switch (transform.specialColor) {
    case 1: u = 128; v = 128; break;
    case 2: u = 64; v = 160; break;
    case 3: u = 192; v = 64; break;
    case 5: u = 128; v = 48; break;
    case 4: t.invert = chromaMask; fixed = false; break;
    default: fixed = false; break;
  }
  if (fixed) {
    t.keep = ~chromaMask;
    t.set = t.lumaFirst ? ((u << 8) | (v << 24)) : (u | (v << 16));
  }
  const bool chroma = t.keep != ~0u || t.invert != 0;
  if (t.curve == nullptr && !chroma && !t.flip && !t.mirror) return;
  if (EffectsUseAvx512Vbmi()) {
    TransformFrameAvx512(frame, t);
    return;
  }
  const SIZE_T stride = SIZE_T(w) * 2;
  if (t.curve != nullptr) {  // the word path below maps luma one byte at a time: do it first
    UCHAR* p = frame + (t.lumaFirst ? 0 : 1);
    for (SIZE_T i = 0; i < SIZE_T(w) * h; ++i) p[2 * i] = t.curve[p[2 * i]];
    t.curve = nullptr;
    if (!chroma && !t.flip && !t.mirror) return;
  }
  const ULONG n = w / 2;
  const ULONG count = t.flip ? (h + 1) / 2 : h;
  for (ULONG i = 0; i < count; ++i) {
    UCHAR* top = frame + SIZE_T(i) * stride;
    UCHAR* bottom = t.flip ? frame + SIZE_T(h - 1 - i) * stride : top;
    ULONG left = 0, right = n;
#if UVCCAM_TRANSFORM_SSE2
    if (t.lumaFirst) {
      TransformBlocksSse2<false>(top, bottom, &left, &right, t);
    } else {
      TransformBlocksSse2<true>(top, bottom, &left, &right, t);
    }
#endif
    TransformWords(top, bottom, left, right, t);
  }
}

VOID ApplySpecialColor(UCHAR* frame, ULONG w, ULONG h, ULONG mode, ULONG formatCode) {
  FrameTransform t{};
  t.specialColor = mode;
  t.lumaFirst = formatCode == 4 ? 0 : 1;
  TransformFrame(frame, w, h, t);
}

VOID FlipVertical(UCHAR* frame, ULONG w, ULONG h, ULONG formatCode) {
  UNREFERENCED_PARAMETER(formatCode);  // rows move whole: the order does not matter
  FrameTransform t{};
  t.flip = 1;
  t.lumaFirst = 1;
  TransformFrame(frame, w, h, t);
}

VOID MirrorHorizontal(UCHAR* frame, ULONG w, ULONG h, ULONG lumaFirst) {
  FrameTransform t{};
  t.mirror = 1;
  t.lumaFirst = lumaFirst;
  TransformFrame(frame, w, h, t);
}

VOID ApplyLumaCurve(UCHAR* frame, ULONG w, ULONG h, ULONG lumaFirst) {
  UCHAR curve[256];
  for (ULONG v = 0; v < 256; ++v) curve[v] = ReadUCharNoFence(&LumaCurve[v]);
  FrameTransform t{};
  t.curve = curve;
  t.lumaFirst = lumaFirst;
  TransformFrame(frame, w, h, t);
}
