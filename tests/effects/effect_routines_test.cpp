#include <gtest/gtest.h>

#include "effects/effect_chain.h"
#include "frames.h"

using namespace fx;

namespace {

class Routines : public ::testing::TestWithParam<bool> {
 protected:
  Order order() const { return GetParam() ? kYuy2 : kUyvy; }
  ULONG code() const { return GetParam() ? 3 : 4; }
  ULONG lumaFirst() const { return GetParam() ? 1 : 0; }
};

TEST_P(Routines, SpecialColorSetsChromaOnly) {
  const uint32_t w = 6, h = 3;
  const uint8_t expect[6][2] = {{0, 0}, {128, 128}, {64, 160}, {192, 64}, {0, 0}, {128, 48}};
  for (ULONG mode = 1; mode <= 5; ++mode) {
    if (mode == 4) continue;
    Frame f = RandomFrame(w, h, mode);
    const Frame before = f;
    ApplySpecialColor(f.data(), w, h, mode, code());
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        EXPECT_EQ(f[order().Luma(w, x, y)], before[order().Luma(w, x, y)]);
        EXPECT_EQ(f[order().Chroma(w, x, y, 0)], expect[mode][0]) << mode;
        EXPECT_EQ(f[order().Chroma(w, x, y, 1)], expect[mode][1]) << mode;
      }
  }
}

TEST_P(Routines, SpecialColorFourInvertsChromaAndTwiceRestores) {
  const uint32_t w = 10, h = 4;
  Frame f = RandomFrame(w, h, 7);
  const Frame before = f;
  ApplySpecialColor(f.data(), w, h, 4, code());
  EXPECT_EQ(f[order().Chroma(w, 2, 1, 0)], 255 - before[order().Chroma(w, 2, 1, 0)]);
  EXPECT_EQ(f[order().Chroma(w, 2, 1, 1)], 255 - before[order().Chroma(w, 2, 1, 1)]);
  EXPECT_EQ(f[order().Luma(w, 3, 1)], before[order().Luma(w, 3, 1)]);
  ApplySpecialColor(f.data(), w, h, 4, code());
  EXPECT_EQ(f, before);
  ApplySpecialColor(f.data(), w, h, 0, code());
  ApplySpecialColor(f.data(), w, h, 6, code());
  EXPECT_EQ(f, before);
}

TEST_P(Routines, MirrorMovesPixelsAndKeepsChromaWithItsMacroPixel) {
  for (uint32_t w : {4u, 6u, 16u, 18u, 70u, 640u}) {  // even and odd macro-pixel counts
    const uint32_t h = 3;
    Frame f = RandomFrame(w, h, w);
    const Frame before = f;
    MirrorHorizontal(f.data(), w, h, lumaFirst());
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        ASSERT_EQ(f[order().Luma(w, x, y)], before[order().Luma(w, w - 1 - x, y)]) << w << " " << x;
        ASSERT_EQ(f[order().Chroma(w, x, y, 0)], before[order().Chroma(w, w - 1 - x, y, 0)]);
        ASSERT_EQ(f[order().Chroma(w, x, y, 1)], before[order().Chroma(w, w - 1 - x, y, 1)]);
      }
  }
  Frame narrow = RandomFrame(2, 2, 1);
  const Frame keep = narrow;
  MirrorHorizontal(narrow.data(), 2, 2, lumaFirst());  // w <= 3: nothing
  EXPECT_EQ(narrow, keep);
}

TEST_P(Routines, FlipReversesRowsOfAnyLength) {
  for (uint32_t h : {1u, 2u, 5u}) {
    const uint32_t w = 300;  // rows longer than the exchange block
    Frame f = RandomFrame(w, h, h);
    const Frame before = f;
    FlipVertical(f.data(), w, h, code());
    for (uint32_t y = 0; y < h; ++y)
      ASSERT_TRUE(std::equal(f.begin() + y * w * 2, f.begin() + (y + 1) * w * 2,
                             before.begin() + (h - 1 - y) * w * 2));
  }
}

// Reference rotation built from the pixel mapping: the centred square of
// side s at (cx, ry) turns, the rest is black; chroma of an output
// macro-pixel is the mean over the two source rows of its source pixels.
Frame ReferenceQuarterTurn(const Frame& src, uint32_t w, uint32_t h, bool clockwise, Order o) {
  Frame dst = MakeFrame(w, h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) {
      dst[o.Luma(w, x, y)] = 0;
      dst[o.Chroma(w, x, y, 0)] = dst[o.Chroma(w, x, y, 1)] = 128;
    }
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

TEST_P(Routines, QuarterTurnsFollowThePixelMapping) {
  // Wide, (w - h) / 2 odd, taller than wide, odd height.
  const uint32_t sizes[][2] = {{16, 8}, {14, 8}, {8, 16}, {12, 7}, {640, 480}};
  for (auto& sz : sizes) {
    const uint32_t w = sz[0], h = sz[1];
    const Frame src = RandomFrame(w, h, w * h);
    for (bool clockwise : {true, false}) {
      Frame dst(src.size(), 0x55);
      ASSERT_EQ(RotateFrame(dst.data(), src.data(), w, h, clockwise ? 1 : 3, !lumaFirst()), 1);
      ASSERT_EQ(dst, ReferenceQuarterTurn(src, w, h, clockwise, order())) << w << "x" << h;
    }
  }
}

TEST_P(Routines, HalfTurnIsFlipPlusMirror) {
  for (uint32_t w : {10u, 16u, 54u}) {
    const uint32_t h = 5;
    const Frame src = RandomFrame(w, h, w);
    Frame dst(src.size());
    ASSERT_EQ(RotateFrame(dst.data(), src.data(), w, h, 2, !lumaFirst()), 1);
    Frame expect = src;
    FlipVertical(expect.data(), w, h, code());
    MirrorHorizontal(expect.data(), w, h, lumaFirst());
    EXPECT_EQ(dst, expect) << w;
  }
  const uint32_t w = 10, h = 5;
  const Frame src = RandomFrame(w, h, 3);
  Frame untouched(src.size(), 9);
  EXPECT_EQ(RotateFrame(untouched.data(), src.data(), w, h, 4, !lumaFirst()), 0);
  EXPECT_EQ(untouched, Frame(src.size(), 9));
}

TEST_P(Routines, ZoomPresetsAreCentredWindows) {
  const uint32_t w = 640, h = 480;
  const Frame src = RandomFrame(w, h, 11);
  Frame a(src.size()), b(src.size());
  const LONG factors[] = {55, 46, 37, 28, 19};
  for (ULONG p = 1; p <= 5; ++p) {
    const LONG f = factors[p - 1];
    ZoomPreset(a.data(), src.data(), w, h, p, lumaFirst());
    ZoomWindow(b.data(), src.data(), w, h, f, (w - f * w / 64) / 2, (h - f * h / 64) / 2,
               lumaFirst());
    EXPECT_EQ(a, b) << p;
  }
  // Preset 1 really zooms: the centre window at 45/34 shows at row 0.
  ZoomPreset(a.data(), src.data(), w, h, 1, lumaFirst());
  EXPECT_EQ(a[order().Luma(w, 0, 0)], src[order().Luma(w, 44, 34)]);
  // Out-of-range presets (and small frames, where the height is below 64)
  // show the whole frame.
  for (ULONG p : {6u, 255u}) {
    ZoomPreset(a.data(), src.data(), w, h, p, lumaFirst());
    EXPECT_EQ(a, src);
    const Frame small = RandomFrame(20, 10, p);
    Frame out(small.size());
    ZoomPreset(out.data(), small.data(), 20, 10, p, lumaFirst());
    EXPECT_EQ(out, small);
  }
}

INSTANTIATE_TEST_SUITE_P(BothOrders, Routines, ::testing::Values(true, false),
                         [](const auto& info) { return info.param ? "Yuy2" : "Uyvy"; });

}  // namespace
