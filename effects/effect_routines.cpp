// Whole-frame routines of the effect chain: zoom presets and rotation (the
// special colours, flip and mirror are in frame_transform.cpp).
#include "effects/effect_chain.h"
#include "effects/cpu_features.h"
#include "effects/frame_transform.h"
#include "effects/quarter_turn.h"

namespace {

// Black (luma 0, chroma 128) as a macro-pixel word.
inline ULONG BlackWord(ULONG uyvy) { return uyvy ? 0x00800080u : 0x80008000u; }

VOID FillWords(UCHAR* p, SIZE_T words, ULONG value) {
  for (SIZE_T i = 0; i < words; ++i) StoreWord(p + 4 * i, value);
}

// Quarter turn of the centred square, 2 x 2 pixels at a time. The square has
// side s (even) and its top-left pixel at (cx, ry) in both frames, cx even.
// clockwise: source (cx + x, ry + y) -> destination (cx + s - 1 - y, ry + x);
// counter-clockwise: source (cx + x, ry + y) -> (cx + y, ry + s - 1 - x).
// Both output macro-pixels of a 2 x 2 block take the truncated mean of the
// chroma of the two source macro-pixels.
// Only source row pairs k in [k0, k1) and macro-pixels j in [j0, j1) of the
// square are turned here (the AVX-512 twin does whole 16 x 16 blocks).
template <ULONG kLumaOffset, ULONG kUOffset, bool kClockwise>
VOID QuarterTurn(UCHAR* dst, const UCHAR* src, ULONG w, ULONG s, ULONG cx, ULONG ry, ULONG k0, ULONG k1,
                 ULONG j0, ULONG j1) {
  const SIZE_T stride = SIZE_T(w) * 2;
  // Tiles of 16 x 16 pixels keep the column-wise writes within a few cache
  // lines per output row.
  constexpr ULONG kTile = 8;
  for (ULONG kt = k0; kt < k1; kt += kTile) {
    const ULONG kEnd = kt + kTile < k1 ? kt + kTile : k1;
    for (ULONG jt = j0; jt < j1; jt += kTile) {
      const ULONG jEnd = jt + kTile < j1 ? jt + kTile : j1;
      for (ULONG k = kt; k < kEnd; ++k) {
        const UCHAR* top = src + SIZE_T(ry + 2 * k) * stride + SIZE_T(cx) * 2;  // source row 2k
        const UCHAR* bottom = top + stride;                                     // row 2k + 1
        // Output macro-pixel column (pixel offset within the square).
        const ULONG column = kClockwise ? s - 2 - 2 * k : 2 * k;
        for (ULONG j = jt; j < jEnd; ++j) {
          const ULONG a = LoadWord(top + 4 * j);
          const ULONG b = LoadWord(bottom + 4 * j);
          const ULONG u = ((a >> (8 * kUOffset)) & 0xFF) + ((b >> (8 * kUOffset)) & 0xFF);
          const ULONG v = ((a >> (8 * (kUOffset + 2))) & 0xFF) + ((b >> (8 * (kUOffset + 2))) & 0xFF);
          const ULONG chroma = ((u >> 1) << (8 * kUOffset)) | ((v >> 1) << (8 * (kUOffset + 2)));
          // Luma of the source pixels 2j (first) and 2j + 1 (second) of each row.
          const ULONG a0 = (a >> (8 * kLumaOffset)) & 0xFF, a1 = (a >> (8 * (kLumaOffset + 2))) & 0xFF;
          const ULONG b0 = (b >> (8 * kLumaOffset)) & 0xFF, b1 = (b >> (8 * (kLumaOffset + 2))) & 0xFF;
          // Clockwise: the left output pixel comes from source row 2k + 1;
          // counter-clockwise: from source row 2k.
          const ULONG left0 = kClockwise ? b0 : a0, right0 = kClockwise ? a0 : b0;
          const ULONG left1 = kClockwise ? b1 : a1, right1 = kClockwise ? a1 : b1;
          // Output rows (within the square) receiving source pixel 2j and 2j + 1.
          const ULONG row0 = kClockwise ? 2 * j : s - 1 - 2 * j;
          const ULONG row1 = kClockwise ? 2 * j + 1 : s - 2 - 2 * j;
          UCHAR* out0 = dst + SIZE_T(ry + row0) * stride + SIZE_T(cx + column) * 2;
          UCHAR* out1 = dst + SIZE_T(ry + row1) * stride + SIZE_T(cx + column) * 2;
          StoreWord(out0, chroma | (left0 << (8 * kLumaOffset)) | (right0 << (8 * (kLumaOffset + 2))));
          StoreWord(out1, chroma | (left1 << (8 * kLumaOffset)) | (right1 << (8 * (kLumaOffset + 2))));
        }
      }
    }
  }
}

}  // namespace

LONG ZoomPreset(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG preset, ULONG lumaFirst) {
  static const LONG kPresetFactor[5] = {55, 46, 37, 28, 19};
  // A preset outside 1..5 shows the whole frame.
  const LONG f = preset >= 1 && preset <= 5 ? kPresetFactor[preset - 1] : 64;
  const LONG sw = LONG(w > kMaxEffectSide ? kMaxEffectSide : w);
  const LONG sh = LONG(h > kMaxEffectSide ? kMaxEffectSide : h);
  const LONG x = (sw - f * sw / 64) / 2;
  const LONG y = (sh - f * sh / 64) / 2;
  return ZoomWindow(dst, src, w, h, f, x, y, lumaFirst);
}

LONG RotateFrame(UCHAR* dst, const UCHAR* src, ULONG w, ULONG h, ULONG mode, ULONG uyvy) {
  if (dst == nullptr || src == nullptr || dst == src || mode < 1 || mode > 3) return 0;
  if (!PackedFrameUsable(w, h)) {
    if (dst != src) RtlCopyMemory(dst, src, PackedFrameBytes(w, h));
    return 1;
  }
  const SIZE_T stride = SIZE_T(w) * 2;
  const ULONG n = w / 2;
  if (mode == 2) {
    for (ULONG r = 0; r < h; ++r) {
      const UCHAR* in = src + SIZE_T(r) * stride;
      UCHAR* out = dst + SIZE_T(h - 1 - r) * stride;
      ULONG m = 0;
#if UVCCAM_TRANSFORM_SSE2
      for (; m + 4 <= n; m += 4) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 4 * m));
        __m128i* p = reinterpret_cast<__m128i*>(out + 4 * (n - 4 - m));
        _mm_storeu_si128(p, uyvy ? MirrorBlock<true>(v) : MirrorBlock<false>(v));
      }
#endif
      for (; m < n; ++m) {
        const ULONG v = LoadWord(in + 4 * m);
        StoreWord(out + 4 * (n - 1 - m), SwapLuma(v, uyvy ? 0 : 1));
      }
    }
    return 1;
  }
  // The square: side min(w, h) rounded down to even, centred, its left edge
  // on a macro-pixel boundary and its top on an even row.
  const ULONG s = (w < h ? w : h) & ~1u;
  const ULONG cx = ((w - s) / 2) & ~1u;
  const ULONG ry = ((h - s) / 2) & ~1u;
  const ULONG black = BlackWord(uyvy);
  // Black outside the square: whole rows above and below, and the columns
  // left and right of it.
  FillWords(dst, SIZE_T(n) * ry, black);
  FillWords(dst + SIZE_T(ry + s) * stride, SIZE_T(n) * (h - ry - s), black);
  for (ULONG r = ry; r < ry + s; ++r) {
    UCHAR* row = dst + SIZE_T(r) * stride;
    FillWords(row, cx / 2, black);
    FillWords(row + SIZE_T(cx + s) * 2, (w - cx - s) / 2, black);
  }
  if (s == 0) return 1;
  // Whole blocks of 16 row pairs by 16 macro-pixels on the AVX-512 path;
  // the row pairs and macro-pixels past them here.
  const ULONG pairs = s / 2;
  const ULONG blocks = EffectsUseAvx512Vbmi() ? pairs & ~15u : 0;
  if (blocks != 0) QuarterTurnBlocksAvx512(dst, src, w, s, cx, ry, mode == 1, uyvy ? 0 : 1);
  auto turn = [&](ULONG k0, ULONG k1, ULONG j0, ULONG j1) {
    if (uyvy) {
      if (mode == 1) {
        QuarterTurn<1, 0, true>(dst, src, w, s, cx, ry, k0, k1, j0, j1);
      } else {
        QuarterTurn<1, 0, false>(dst, src, w, s, cx, ry, k0, k1, j0, j1);
      }
    } else {
      if (mode == 1) {
        QuarterTurn<0, 1, true>(dst, src, w, s, cx, ry, k0, k1, j0, j1);
      } else {
        QuarterTurn<0, 1, false>(dst, src, w, s, cx, ry, k0, k1, j0, j1);
      }
    }
  };
  turn(blocks, pairs, 0, pairs);
  turn(0, blocks, blocks, pairs);
  return 1;
}
