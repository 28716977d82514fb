// Effects 2, 3, 4, 7 and 10 and the per-stream set-up: the pinned geometry
// and tables, both byte orders, exact-size buffers at common, odd and tiny
// sizes, and the set-up under allocation failure.
#include <cmath>

#include "effects/cpu_features.h"
#include "effects/special/frame_effects.h"
#include "effects/special/special_effect.h"
#include "effects/special/stream_effects.h"
#include "platform/pool_tags.h"
#include "tests/effects/frames.h"

namespace {

using fx::Frame;
const auto Random = fx::RandomFrame;

// A device's effect state with a held-frame buffer of exactly `bytes`.
struct Device {
  std::unique_ptr<EffectWorkState> state{new EffectWorkState{}};
  Frame held;
  explicit Device(size_t bytes) : held(bytes) {
    state->special.overlayBitmap = held.data();
    state->special.overlayBitmapSize = ULONG(bytes);
  }
  ~Device() { ReleaseStreamEffects(state.get()); }
  SpecialEffectRecord& r() { return state->special; }
};

class StreamEffects : public ::testing::TestWithParam<int> {  // luma offset
 protected:
  void SetUp() override { host::PoolReset(); }
  void TearDown() override { EXPECT_EQ(host::PoolOutstanding(), 0u) << host::PoolLeakReport(); }
  ULONG lo() const { return ULONG(GetParam()); }
  ULONG code() const { return GetParam() ? kFormatCodeChromaFirst : kFormatCodeLumaFirst; }
};
INSTANTIATE_TEST_SUITE_P(BothOrders, StreamEffects, ::testing::Values(0, 1));

// Every effect at common, odd and tiny sizes: exactly sized buffers, so the
// address sanitizer sees any access outside them; the result is 0 (nothing
// written) or the whole destination.
TEST_P(StreamEffects, EverySizeStaysInsideItsBuffers) {
  // The smallest frame, an odd-sized one and a camera size.
  const std::pair<ULONG, ULONG> sizes[] = {{2, 1}, {38, 44}, {322, 241}};
  for (auto [w, h] : sizes) {
    const Frame src = Random(w, h, w * 7 + h);
    for (ULONG n : {2u, 3u, 4u, 7u, 10u}) {
      Device dev(size_t(w) * h * 3);
      dev.r().specialEffect = n;
      SetupStreamEffects(dev.state.get(), w, h, 2, 1234);
      for (int frame = 0; frame < 3; ++frame) {
        Frame dst(src.size(), 0xA5);
        const LONG wrote = ApplySpecialEffect(&dev.r(), dst.data(), src.data(), nullptr, nullptr, w, h, code());
        if (!wrote) { EXPECT_EQ(dst, Frame(src.size(), 0xA5)) << n << " " << w << "x" << h; }
      }
    }
  }
}

// Effect 3 at 640 x 480: nx = 24, Rx = 16, Fx = 20; ny = 17, Ry = 38,
// Hy = 32, T = 15. Luma encodes the source column (or row) / 2.
TEST_P(StreamEffects, MirroredTilesGeometry) {
  const ULONG w = 640, h = 480;
  Frame cols(size_t(w) * 2 * h), rows(cols.size());
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) {
      cols[(size_t(y) * w + x) * 2 + lo()] = uint8_t(x / 2);
      rows[(size_t(y) * w + x) * 2 + lo()] = uint8_t(y / 2);
    }
  Frame a(cols.size()), b(cols.size());
  ASSERT_EQ(MirroredTilesFrame(a.data(), cols.data(), w, h, lo()), 1);
  ASSERT_EQ(MirroredTilesFrame(b.data(), rows.data(), w, h, lo()), 1);
  auto yAt = [&](const Frame& f, ULONG x, ULONG y) { return int(f[(size_t(y) * w + x) * 2 + lo()]); };
  // {output pixel, source pixel of its pair's group}: step 1 (0..11), step 2
  // blocks from 26t, step 3 forward from 598, step 4 back from 630 to 614.
  const int colCases[][2] = {{0, 0}, {10, 20}, {12, 0}, {36, 48}, {38, 26}, {610, 598},
                             {628, 634}, {630, 630}, {638, 614}};
  for (auto c : colCases) EXPECT_EQ(yAt(a, c[0], 5), (c[1] / 2) & 255) << c[0];
  // The pair's second luma comes from the group's third pixel.
  EXPECT_EQ(yAt(a, 39, 5), (28 / 2) & 255);
  // {output row, source row}.
  const int rowCases[][2] = {{0, 0}, {17, 34}, {18, 0}, {43, 50}, {44, 26}, {434, 416},
                             {464, 476}, {465, 465}, {479, 437}};
  for (auto c : rowCases) EXPECT_EQ(yAt(b, 3, c[0]), c[1] / 2) << c[0];
  // Frames too small for the tiles are copied.
  const Frame small = Random(36, 50, 3);
  Frame out(small.size());
  EXPECT_EQ(MirroredTilesFrame(out.data(), small.data(), 36, 50, lo()), 1);
  EXPECT_EQ(out, small);
}

// Effect 4 from its rules: the animation step, the window origin, then the
// bilinear window of steps Sx and Sy from it.
Frame StretchModel(const Frame& src, ULONG w, ULONG h, ULONG lo, BreathingAnimation& s) {
  ULONG& step = s.horizontal ? s.stepX : s.stepY;
  if (s.shrinking) {
    step < 33 ? void(s.shrinking = 0) : void(step -= 2);
  } else if (step >= 64) {
    s.horizontal ^= 1, s.shrinking = 1;
  } else {
    step += 2;
  }
  if (w % 2) return src;
  const ULONG sx = std::clamp(s.stepX, 1u, 64u), sy = std::clamp(s.stepY, 1u, 64u);
  const long mx = long(((64 * w + sx) / sx - w) / 4), my = long(((64 * h + sy) / sy - h) / 4);
  const long lx = std::max(0L, long((64 - sx) * w / 64) - 2), ly0 = long((64 - sy) * h / 64) - 2;
  const long ly = ly0 < 3 ? 0 : ly0;
  const ULONG x0 = ULONG(std::min(mx, lx)) & ~1u, y0 = ULONG(std::min(my, ly)) & ~1u;
  return fx::ReferenceBilinear(src, w, h, w, h, int(sx), int(sy), int(x0), int(y0), fx::Order{lo == 0});
}

// Effect 4 against the model over whole animation cycles at camera sizes,
// and at tiny, odd and narrow sizes in every kind of state: each axis
// animated, both at once, steps outside 1..64.
TEST_P(StreamEffects, BreathingStretchMatchesTheModel) {
  const std::pair<ULONG, ULONG> sizes[] = {{2, 1}, {2, 3}, {4, 1}, {6, 2}, {8, 5}, {10, 7}, {34, 9}, {66, 40},
                                           {7, 5}, {130, 3}, {3, 130}, {322, 241}, {640, 480}};
  const BreathingAnimation states[] = {{1, 62, 64, 1}, {0, 64, 40, 0}, {1, 32, 64, 0}, {0, 64, 31, 1},
                                       {1, 33, 47, 1}, {0, 3, 5, 0},   {1, 0, 0, 1},   {0, 100, 70, 0},
                                       {1, 64, 64, 0}, {1, 1, 64, 1}};
  for (ULONG ssse3 : {1u, 0u})  // the shuffle path and the per-byte reference
  for (auto [w, h] : sizes) {
    EffectsAllowSsse3 = ssse3;
    const Frame src = Random(w, h, w * 31 + h);
    for (BreathingAnimation state : states) {
      const int frames = w >= 322 ? 4 : 2;
      BreathingState = state;
      for (int i = 0; i < frames; ++i) {
        const Frame want = StretchModel(src, w, h, lo(), state);
        Frame dst(src.size(), 0xA5);
        ASSERT_EQ(BreathingStretchFrame(dst.data(), src.data(), w, h, lo()), 1);
        ASSERT_TRUE(dst == want) << w << "x" << h << " steps " << state.stepX << "," << state.stepY
                                 << " ssse3 " << ssse3;
        ASSERT_EQ(BreathingState.stepX * 2 + BreathingState.horizontal, state.stepX * 2 + state.horizontal);
      }
    }
  }
  EffectsAllowSsse3 = 1;
  const Frame src = Random(640, 360, 4);
  BreathingAnimation state = {1, 64, 64, 1};
  BreathingState = state;
  // No row buffers: nothing written, but the animation still advances.
  host::PoolFailTag(kTagBuffer);
  Frame untouched(src.size(), 7);
  EXPECT_EQ(BreathingStretchFrame(untouched.data(), src.data(), 640, 360, lo()), 0);
  host::PoolFailTag(0);
  StretchModel(src, 640, 360, lo(), state);
  EXPECT_TRUE(untouched == Frame(src.size(), 7));
  EXPECT_EQ(BreathingState.stepX * 2 + BreathingState.horizontal, state.stepX * 2 + state.horizontal);
}

// Effect 2: black first, one cell per second from the following frame, nine
// cells, the tenth second replaces the first; the middle column at 640
// starts on odd pixel 213 and samples 3x + 1.
TEST_P(StreamEffects, PhotoGridFillsOneCellPerSecond) {
  const ULONG w = 640, h = 480;
  Device dev(size_t(w) * 2 * h);
  const Frame src = Random(w, h, 5);
  Frame dst(src.size());
  auto px = [&](const Frame& f, ULONG x, ULONG y, int b) { return int(f[(size_t(y) * w + x) * 2 + b]); };
  // Both bytes of output pixel (x, y) are those of source pixel (sx, sy).
  auto shows = [&](ULONG x, ULONG y, ULONG sx, ULONG sy) {
    return px(dst, x, y, 0) == px(src, sx, sy, 0) && px(dst, x, y, 1) == px(src, sx, sy, 1);
  };
  ASSERT_EQ(PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), 5000), 1);
  for (ULONG i = 0; i < dst.size(); i += 2) ASSERT_TRUE(dst[i + lo()] == 0 && dst[i + 1 - lo()] == 128);
  PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), 5999);  // not yet
  EXPECT_EQ(dev.r().gridCounter, 0u);
  PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), 6000);  // fills cell 0
  EXPECT_EQ(px(dst, 1, 1, lo()), 0);  // shown from the next frame
  PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), 6001);
  EXPECT_TRUE(shows(5, 7, 15, 21));
  EXPECT_EQ(px(dst, 0, 7, lo()), 0);  // the cell's ring stays black
  for (ULONG t = 7000; t <= 14000; t += 1000) PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), t);
  PhotoGridFrame(&dev.r(), dst.data(), src.data(), w, h, lo(), 14001);
  EXPECT_EQ(dev.r().gridCounter, 9u);
  // Cell 1 (left edge 213) and cell 8 (bottom right).
  EXPECT_TRUE(shows(213 + 4, 2, 13, 6) && shows(426 + 10, 320 + 3, 30, 9));
  // The tenth second refills cell 0 from a new picture.
  const Frame black(src.size(), 0);
  PhotoGridFrame(&dev.r(), dst.data(), black.data(), w, h, lo(), 15000);
  PhotoGridFrame(&dev.r(), dst.data(), black.data(), w, h, lo(), 15001);
  EXPECT_TRUE(px(dst, 5, 7, lo()) == 0 && shows(213 + 4, 2, 13, 6));
  // With an overlay on, the selector leaves effect 2 (and 7) unwritten.
  dev.r().specialEffect = 2;
  dev.r().overlayMode = 4;
  Frame untouched(src.size(), 3);
  EXPECT_EQ(ApplySpecialEffect(&dev.r(), untouched.data(), src.data(), nullptr, nullptr, w, h, code()), 0);
  dev.r().specialEffect = 7;
  SetupStreamEffects(dev.state.get(), w, h, 2, 0);
  EXPECT_EQ(ApplySpecialEffect(&dev.r(), untouched.data(), src.data(), nullptr, nullptr, w, h, code()), 0);
  EXPECT_EQ(untouched, Frame(src.size(), 3));
}

// The warp tables against a floating-point model of the same chord rule.
TEST(WarpTables, EntriesFollowTheInscribedEllipse) {
  host::PoolReset();
  const std::pair<ULONG, ULONG> sizes[] = {{640, 480}, {160, 120}, {1280, 720}, {8192, 4320}, {64, 7},
                                           {2, 4}, {2, 9}, {3, 6}, {2, 1}, {1, 3}};
  for (auto [w, h] : sizes) {
    Device dev(16);
    SetupStreamEffects(dev.state.get(), w, h, 2, 0);
    const SpecialEffectRecord& r = dev.r();
    ASSERT_EQ(r.warpReady, 1u);
    ASSERT_EQ(r.warpRows, (h + 1) / 2);
    const double a = w / 2, k = std::floor((double(h) * h / 2 + 256.0 * w * w) / (double(h) * h));
    for (ULONG e = 0; e + 1 < h / 2; ++e) {
      const double y = h / 2 - 1 - e;
      const double s = std::floor((256 * a * a - y * y * k + 128) / 256);
      const double root = std::min(a, std::floor(std::sqrt(std::max(0.0, s)) + 0.5));
      ASSERT_EQ(r.warpMargins[e], a - root) << w << "x" << h << " " << e;
      ASSERT_EQ(r.warpRates[e], std::floor(std::floor((w / 4 + root * 131072) / a) / 256)) << e;
    }
    for (ULONG e = h / 2 - 1; e < r.warpRows; ++e) EXPECT_TRUE(r.warpMargins[e] == 0 && r.warpRates[e] == 512);
  }
}

// Effect 7 against a model: margin, emitted pixels, chroma neighbours (the
// row's last pixel its own), pair means. The set-up's tables at camera, odd
// and tiny sizes, then tables edited to every kind of entry: odd margins,
// margins past the row, rates 0, 1, just under and over 512, far over. The
// AVX-512 path, the AVX2 path (AVX-512 masked) and the per-pixel path
// (both masked).
TEST_P(StreamEffects, RowWarpMatchesTheModel) {
  for (auto [w, h] : {std::pair<ULONG, ULONG>{64, 10}, {640, 480}, {6, 5}, {4, 2}, {8, 3}, {1280, 720},
                      {322, 241}, {102, 77}, {2, 4}, {2, 9}, {50, 12}, {1000, 20}}) {
    Device dev(size_t(w) * 3 * h);
    SetupStreamEffects(dev.state.get(), w, h, 2, 0);
    const Frame src = Random(w, h, w + h);
    auto check = [&]() {
      for (ULONG vector : {2u, 1u, 0u}) {
      EffectsAllowAvx512 = vector == 2;
      EffectsAllowAvx2 = vector >= 1;
      Frame dst(src.size(), 0xA5);
      ASSERT_EQ(RowWarpFrame(&dev.r(), dst.data(), src.data(), w, h, lo()), 1);
      EffectsAllowAvx512 = EffectsAllowAvx2 = 1;
      for (ULONG y = 0; y < h; ++y) {
        const ULONG e = y < h / 2 ? y : h - 1 - y;
        const ULONG m = dev.r().warpMargins[e], rate = dev.r().warpRates[e];
        std::vector<int> Y(w, 0), U(w, 128), V(w, 128);
        ULONG n = m, acc = 512;
        const uint8_t* in = &src[size_t(y) * w * 2];
        for (ULONG i = 0; i < w && n < w; ++i) {
          if ((acc += rate) <= 512) continue;
          acc -= 512;
          const ULONG pair = (i & ~1u) * 2, next = (i + 1 < w) ? pair + 4 : pair;
          Y[n] = in[2 * i + lo()];
          U[n] = in[(i & 1 ? next : pair) + (lo() ? 0 : 1)];
          V[n] = in[pair + (lo() ? 2 : 3)];
          ++n;
        }
        for (ULONG k = 0; k < w; k += 2) {
          const uint8_t* o = &dst[(size_t(y) * w + k) * 2];
          ASSERT_EQ(o[lo()], Y[k]) << w << "x" << h << " " << y << " " << k << " rate " << rate << " vector " << vector;
          ASSERT_EQ(o[2 + lo()], Y[k + 1]);
          ASSERT_EQ(o[1 - lo()], (U[k] + U[k + 1] + 1) / 2) << y << " " << k << " vector " << vector;
          ASSERT_EQ(o[3 - lo()], (V[k] + V[k + 1] + 1) / 2);
        }
      }
      }
    };
    check();
    const ULONG edits[][2] = {{1, 0},   {3, 1},   {w - 1, 511}, {w, 512}, {w + 9, 300}, {0, 513},
                               {5, 700}, {2, 65535}, {7, 257},   {0, 0}};
    for (ULONG e = 0; e < dev.r().warpRows; ++e) {
      dev.r().warpMargins[e] = USHORT(edits[e % 10][0] % (w + 10));
      dev.r().warpRates[e] = edits[(e / 10 + e) % 10][1];
    }
    ASSERT_TRUE(BuildWarpColumns(&dev.r()));
    check();
    // Tables for another height or width: not written.
    Frame other(size_t(w + 2) * 2 * (h + 2), 1), out(other.size(), 2);
    EXPECT_EQ(RowWarpFrame(&dev.r(), out.data(), other.data(), w, h + 2, lo()) +
                  RowWarpFrame(&dev.r(), out.data(), other.data(), w + 2, h, lo()),
              0);
    EXPECT_EQ(out, Frame(other.size(), 2));
  }
}

// Lens sizes by frame (the largest listed size under half the shorter
// side; the third or a smaller one to start), the magnified centre and the
// unchanged rim, the bounce.
TEST_P(StreamEffects, MovingLensSizesCentreRimAndBounce) {
  for (auto [w, h] : {std::pair<ULONG, ULONG>{640, 480}, {1920, 1080}, {40, 40}, {52, 46}, {24, 24}}) {
    Device dev(16);
    SetupStreamEffects(dev.state.get(), w, h, 1, 77);
    const LensRecord& l = dev.r().lens;
    const ULONG half = std::min(w, h) / 2, k = l.largestSizeIndex;
    ASSERT_EQ(l.lensActive, kLensSizes[0] < half ? 1u : 0u) << w;
    if (!l.lensActive) continue;
    EXPECT_TRUE(kLensSizes[k] < half && (k == kLensLargestIndex || kLensSizes[k + 1] >= half)) << w;
    EXPECT_EQ(l.lensSize, kLensSizes[std::min(k, 2u)]) << w;
    EXPECT_EQ(l.x, LONG(77 % (w / 8) + (77 % (w / 8)) % 2));
  }
  const ULONG w = 320, h = 240;
  Device dev(16);
  SetupStreamEffects(dev.state.get(), w, h, 2, 0);
  LensRecord& l = dev.r().lens;
  Frame src(size_t(w) * 2 * h);
  for (ULONG y = 0; y < h; ++y)
    for (ULONG x = 0; x < w; ++x) {
      src[(size_t(y) * w + x) * 2 + lo()] = uint8_t(x);
      src[(size_t(y) * w + x) * 2 + 1 - lo()] = uint8_t(y);
    }
  Frame dst(src.size());
  ASSERT_EQ(MovingLensFrame(&dev.r(), dst.data(), src.data(), w, h, lo()), 1);
  // Moved to (2, 2) with S = 32 (rate 192 at the centre, 512 at the rim).
  ASSERT_EQ(l.x, 2);
  auto Y = [&](ULONG x, ULONG y) { return int(dst[(size_t(y) * w + x) * 2 + lo()]); };
  EXPECT_EQ(Y(2 + 16, 2 + 16), 2 + 16);           // the centre stays
  EXPECT_EQ(Y(2 + 20, 2 + 16), 2 + 16 + 3);       // ring 4 (rate 384): 4.5 px out shows 3
  EXPECT_EQ(Y(2 + 31, 2 + 16), 2 + 31);           // the rim is unchanged
  EXPECT_EQ(Y(2, 2), 2);                          // outside the circle
  for (ULONG i = 0; i < dst.size(); ++i)
    if (i / (w * 2) < 2 || i / (w * 2) >= 34) { ASSERT_EQ(dst[i], src[i]); }
  EXPECT_EQ(l.lensSize, 40u);  // grew
  // Past the right bound: Bx - 1, dx negated, size index 0 on the same frame.
  l.x = l.boundX - 2;
  ASSERT_EQ(MovingLensFrame(&dev.r(), dst.data(), src.data(), w, h, lo()), 1);
  EXPECT_EQ(l.x, LONG(w - 40 - 1));
  EXPECT_EQ(l.dx, -2);
  EXPECT_EQ(l.lensSize, 12u);
  EXPECT_EQ(l.boundX, LONG(w - 12));
  // Another frame size than the set-up: not written.
  Frame big(size_t(w + 4) * 2 * h, 1), out(big.size(), 2);
  EXPECT_EQ(MovingLensFrame(&dev.r(), out.data(), big.data(), w + 4, h, lo()), 0);
  EXPECT_EQ(out, Frame(big.size(), 2));
}

// Set-up under a failure of each allocation, repeated set-ups and releases:
// nothing leaks, a failed effect is not ready.
TEST(StreamEffectSetup, AllocationFailuresRetriesAndDoubleRelease) {
  host::PoolReset();
  for (uint64_t n = 1;; ++n) {
    Device dev(16);
    host::PoolReset();
    host::PoolFailNth(n);
    SetupStreamEffects(dev.state.get(), 640, 480, 2, 10);
    const bool failed = host::PoolStats(kTagBuffer).failures != 0;
    host::PoolFailNth(0);
    const SpecialEffectRecord& r = dev.r();
    EXPECT_EQ(r.warpReady == 1, r.warpMargins != nullptr && r.warpRates != nullptr && r.warpColumns != nullptr &&
                                       r.warpTableStart != nullptr && r.warpPixels != nullptr);
    EXPECT_EQ(r.lens.lensActive == 1, r.lens.planes[0] != nullptr);
    if (failed) { EXPECT_FALSE(r.warpReady == 1 && r.lens.lensActive == 1) << n; }
    SetupStreamEffects(dev.state.get(), 320, 240, 2, 10);  // a retry frees the first set
    EXPECT_EQ(r.warpReady + r.lens.lensActive, 2u);
    ReleaseStreamEffects(dev.state.get());
    ReleaseStreamEffects(dev.state.get());
    EXPECT_EQ(r.warpReady + r.lens.lensActive, 0u);
    EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 0u) << n;
    if (!failed) break;
  }
  ReleaseStreamEffects(nullptr);
}

}  // namespace
