#include "effects/cpu_features.h"
#include "effects/frame_transform.h"
#include "frames.h"

using namespace fx;

namespace {

class Routines : public BothOrders {};

// Modes 1, 2, 3, 5 set fixed chroma, 4 inverts it, 0 and 6 change nothing;
// luma is never touched.
TEST_P(Routines, SpecialColorSetsChromaOnly) {
  const int fixed[7][2] = {{-1, -1}, {128, 128}, {64, 160}, {192, 64}, {-1, -1}, {128, 48}, {-1, -1}};
  for (ULONG mode = 0; mode <= 6; ++mode) {
    Frame f = RandomFrame(10, 3, mode);
    const Frame before = f;
    ApplySpecialColor(f.data(), 10, 3, mode, code());
    for (size_t i = 0; i < f.size(); ++i) {  // U at byte 1 or 0, V at 3 or 2
      const int old = before[i], set = fixed[mode][i % 4 / 2];
      const bool luma = i % 2 == (GetParam() ? 0 : 1);
      ASSERT_EQ(f[i], luma ? old : mode == 4 ? 255 - old : set >= 0 ? set : old) << mode << " " << i;
    }
  }
}

TEST_P(Routines, FlipAndMirrorMovePixelsWithTheirChroma) {
  // Even and odd macro-pixel counts; rows longer than the flip's exchange block.
  for (uint32_t w : {2u, 4u, 6u, 16u, 18u, 70u, 300u, 640u})
    for (uint32_t h : {1u, 2u, 5u}) {
      const Frame src = RandomFrame(w, h, w + h);
      Frame m = src, f = src;
      MirrorHorizontal(m.data(), w, h, lumaFirst());
      FlipVertical(f.data(), w, h, code());
      const Order o = order();
      for (uint32_t y = 0; y < h; ++y)
        for (uint32_t x = 0; x < w; ++x) {
          const uint32_t mx = w <= 3 ? x : w - 1 - x, fy = h - 1 - y;  // w <= 3: no mirror
          ASSERT_EQ(m[o.Luma(w, x, y)], src[o.Luma(w, mx, y)]) << w << "x" << h << " at " << x;
          ASSERT_EQ(f[o.Luma(w, x, y)], src[o.Luma(w, x, fy)]) << w << "x" << h << " at " << x;
          for (int c = 0; c < 2; ++c) {
            ASSERT_EQ(m[o.Chroma(w, x, y, c)], src[o.Chroma(w, mx, y, c)]) << w << " at " << x;
            ASSERT_EQ(f[o.Chroma(w, x, y, c)], src[o.Chroma(w, x, fy, c)]) << w << " at " << x;
          }
        }
    }
}

// The chain's one-pass curve, colour, flip and mirror against the pixel
// mapping, on the AVX-512 path and without it; widths with and without a
// middle left to the word code, odd heights (a middle row).
TEST_P(Routines, OnePassTransformFollowsThePixelMapping) {
  std::mt19937 rng(5);
  UCHAR curve[256];
  for (auto& c : curve) c = UCHAR(rng());
  const Order o = order();
  for (ULONG wide : {1u, 0u}) {
    EffectsAllowAvx512 = wide;
    for (auto [w, h] : {std::pair{2u, 3u}, {6u, 1u}, {34u, 5u}, {64u, 4u}, {66u, 3u}, {100u, 7u}, {640u, 2u}})
      for (int k = 0; k < 24; ++k) {
        FrameTransform t{};
        t.curve = k & 1 ? curve : nullptr;
        t.flip = (k >> 1) & 1;
        t.mirror = (k >> 2) & 1;
        t.specialColor = (k >> 3) * 2;  // 0, 2 (fixed), 4 (inverted)
        t.lumaFirst = lumaFirst();
        const Frame src = RandomFrame(w, h, w * 7 + h + k);
        Frame f = src;
        TransformFrame(f.data(), w, h, t);
        for (uint32_t y = 0; y < h; ++y)
          for (uint32_t x = 0; x < w; ++x) {
            const uint32_t mx = t.mirror && w > 3 ? w - 1 - x : x, fy = t.flip ? h - 1 - y : y;
            const uint8_t luma = src[o.Luma(w, mx, fy)];
            ASSERT_EQ(f[o.Luma(w, x, y)], t.curve ? curve[luma] : luma) << w << "x" << h << " k " << k << " wide " << wide;
            for (int c = 0; c < 2; ++c) {
              const int old = src[o.Chroma(w, mx, fy, c)];
              const int expect = t.specialColor == 4 ? 255 - old : t.specialColor == 2 ? (c ? 160 : 64) : old;
              ASSERT_EQ(f[o.Chroma(w, x, y, c)], expect) << w << "x" << h << " k " << k << " wide " << wide;
            }
          }
      }
  }
  EffectsAllowAvx512 = 1;
}

// Reference rotation built from the pixel mapping: the centred square of
// side s at (cx, ry) turns, the rest is black; chroma of an output
// macro-pixel is the mean over the two source rows of its source pixels.
Frame ReferenceQuarterTurn(const Frame& src, uint32_t w, uint32_t h, bool clockwise, Order o) {
  Frame dst = MakeFrame(w, h, 128);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) dst[o.Luma(w, x, y)] = 0;
  const uint32_t s = std::min(w, h) & ~1u, cx = ((w - s) / 2) & ~1u, ry = ((h - s) / 2) & ~1u;
  for (uint32_t y = 0; y < s; ++y)
    for (uint32_t x = 0; x < s; ++x) {
      const uint32_t dx = clockwise ? s - 1 - y : y, dy = clockwise ? x : s - 1 - x;
      dst[o.Luma(w, cx + dx, ry + dy)] = src[o.Luma(w, cx + x, ry + y)];
      for (int c = 0; c < 2; ++c) {
        const uint32_t y0 = ry + (y & ~1u);
        dst[o.Chroma(w, cx + dx, ry + dy, c)] =
            uint8_t((src[o.Chroma(w, cx + x, y0, c)] + src[o.Chroma(w, cx + x, y0 + 1, c)]) / 2);
      }
    }
  return dst;
}

// Quarter turns against the mapping; the half turn is flip plus mirror;
// other modes write nothing.
TEST_P(Routines, RotationsFollowThePixelMapping) {
  // Wide, (w - h) / 2 odd, taller than wide, odd height, half turns.
  // With the AVX-512 blocks (squares from 32 pixels) and without them.
  const uint32_t sizes[][2] = {{16, 8}, {14, 8}, {8, 16}, {12, 7}, {640, 480}, {10, 5}, {54, 5}, {100, 70}, {64, 98}};
  for (ULONG wide : {1u, 0u}) {
    EffectsAllowAvx512 = wide;
    for (auto& sz : sizes) {
      const uint32_t w = sz[0], h = sz[1];
      const Frame src = RandomFrame(w, h, w * h);
      Frame halfTurn = src;
      FlipVertical(halfTurn.data(), w, h, code());
      MirrorHorizontal(halfTurn.data(), w, h, lumaFirst());
      for (ULONG mode : {1, 2, 3}) {
        Frame dst(src.size(), 0x55);
        ASSERT_EQ(RotateFrame(dst.data(), src.data(), w, h, mode, !lumaFirst()), 1);
        ASSERT_EQ(dst, mode == 2 ? halfTurn : ReferenceQuarterTurn(src, w, h, mode == 1, order()))
            << w << "x" << h << " mode " << mode << " wide " << wide;
      }
      Frame untouched(src.size(), 9);
      EXPECT_EQ(RotateFrame(untouched.data(), src.data(), w, h, 4, !lumaFirst()), 0);
      EXPECT_EQ(untouched, Frame(src.size(), 9));
    }
  }
  EffectsAllowAvx512 = 1;
}

// Presets 1..5 are centred windows (also on small frames) of factors 55 down
// to 19 in steps of 9; other presets show the whole frame.
TEST_P(Routines, ZoomPresetsAreCentredWindows) {
  for (auto [w, h] : {std::pair{640u, 480u}, {20u, 10u}}) {
    const Frame src = RandomFrame(w, h, w);
    Frame a(src.size()), b(src.size());
    for (ULONG preset : {1u, 2u, 3u, 4u, 5u, 6u, 255u}) {
      const LONG f = preset <= 5 ? 64 - 9 * LONG(preset) : 64;
      ZoomPreset(a.data(), src.data(), w, h, preset, lumaFirst());
      ZoomWindow(b.data(), src.data(), w, h, f, (w - f * w / 64) / 2, (h - f * h / 64) / 2, lumaFirst());
      EXPECT_EQ(a, f == 64 ? src : b) << w << " preset " << preset;
    }
  }
}

FX_BOTH_ORDERS(Routines);

}  // namespace
