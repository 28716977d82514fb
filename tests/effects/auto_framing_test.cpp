// Auto framing: the detected window of a face, a face too wide or too small,
// one that comes close, one that moves, none at all; the chain's gate.

#include "effects/auto_framing.h"
#include "frames.h"

using namespace fx;

namespace {

class Framing : public BothOrders {
 protected:
  static constexpr ULONG w = 640, h = 480;
  // Grey frame with a skin-coloured rectangle (Y 120, U 100, V 150).
  Frame Face(ULONG x0, ULONG y0, ULONG fw, ULONG fh) const {
    Frame f = MakeFrame(w, h, 128);
    for (ULONG y = y0; y < y0 + fh && y < h; ++y)
      for (ULONG x = x0; x < x0 + fw && x < w; ++x) {
        f[order().Luma(w, x, y)] = 120;
        f[order().Chroma(w, x, y, 0)] = 100;
        f[order().Chroma(w, x, y, 1)] = 150;
      }
    return f;
  }
  LONG Detect(const Frame& f, ULONG* x, ULONG* y, ULONG* zoom) {
    return DetectFace(f.data(), w, h, work.data(), &state->autoFraming, x, y, zoom, lumaFirst());
  }
  std::unique_ptr<EffectWorkState> state = std::make_unique<EffectWorkState>();
  Frame work = MakeFrame(w, h), out = MakeFrame(w, h);
};
FX_BOTH_ORDERS(Framing);

TEST_P(Framing, DetectionWindowAndRejections) {
  ULONG x = 0, y = 0, zoom = 0;
  // Sub-cell box 60..99 x 30..79: s = min(15, 26) = 15, moves (18, 14),
  // zoom 15 * 5 / 2.
  ASSERT_EQ(Detect(Face(240, 120, 160, 200), &x, &y, &zoom), 1);
  EXPECT_EQ(std::vector<ULONG>({x, y, zoom}), std::vector<ULONG>({4 * 42, 4 * 16, 37}));
  // The mask marks the skin macro-pixels.
  EXPECT_TRUE(work[order().Luma(w, 250, 130)] == 1 && work[order().Luma(w, 10, 10)] == 0);
  // A small box (s = 4) and a box wider than 4:3 are rejected; so is a frame
  // without skin.
  EXPECT_EQ(Detect(Face(240, 120, 48, 48), &x, &y, &zoom) + Detect(Face(100, 120, 400, 120), &x, &y, &zoom) +
                Detect(MakeFrame(w, h, 128), &x, &y, &zoom), 0);
  // A face close to the camera: s = 55 would ask for zoom 68; the whole
  // frame (64) is the limit.
  ASSERT_EQ(Detect(Face(40, 20, 560, 440), &x, &y, &zoom), 1);
  EXPECT_EQ(zoom, 64u);
  // Frames too small for the sub-cell grid never detect.
  Frame tiny = MakeFrame(158, 118, 0);
  EXPECT_EQ(DetectFace(tiny.data(), 158, 118, work.data(), &state->autoFraming, &x, &y, &zoom, lumaFirst()), 0);
}

TEST_P(Framing, StartsWholeZoomsInOnAStillFaceAndFollowsAMove) {
  AutoFramingState& s = state->autoFraming;
  auto now = [&] { return std::vector<ULONG>({s.mode, s.targetZoom, s.zoomDirection, s.currentZoom, s.targetX, s.xSpeed}); };
  const Frame face = Face(240, 120, 160, 200);
  AutoFraming(&s, work.data(), face.data(), out.data(), w, h, lumaFirst());
  EXPECT_EQ(s.currentZoom, 64u);  // switched on: the whole frame, not 0
  EXPECT_EQ(out, face);
  // Six more equal detections settle the target zoom; then one step a frame.
  for (int i = 0; i < 6; ++i) AutoFraming(&s, work.data(), face.data(), out.data(), w, h, lumaFirst());
  EXPECT_EQ(now(), std::vector<ULONG>({2, 37, 1, 63, 168, 16}));
  for (int i = 0; i < 27; ++i) AutoFraming(&s, work.data(), face.data(), out.data(), w, h, lumaFirst());
  EXPECT_TRUE(s.currentZoom == 37u && s.currentX == 168 && s.mode == 3u);
  // The face moves 80 pixels left: after three stable detections the
  // target follows (signed difference), 8 pixels a frame.
  const Frame moved = Face(160, 120, 160, 200);
  for (int i = 0; i < 4; ++i) AutoFraming(&s, work.data(), moved.data(), out.data(), w, h, lumaFirst());
  EXPECT_TRUE(s.targetX == 88u && s.xSpeed == 8u && s.currentX < 168);
}

TEST_P(Framing, NoFaceGrowsTheWindowBackToTheWholeFrame) {
  AutoFramingState& s = state->autoFraming;
  s.running = 1;
  s.currentZoom = 40;
  const Frame empty = MakeFrame(w, h, 128);
  for (int i = 0; i < 11; ++i) AutoFraming(&s, work.data(), empty.data(), out.data(), w, h, lumaFirst());
  EXPECT_TRUE(s.mode == 2u && s.targetZoom == 64u && s.currentZoom == 41u);
  for (int i = 0; i < 30; ++i) AutoFraming(&s, work.data(), empty.data(), out.data(), w, h, lumaFirst());
  EXPECT_TRUE(s.currentZoom == 64u && s.mode == 3u);  // detecting again
}

// The chain runs auto framing only up to 1280 pixels wide.
TEST_P(Framing, ChainGateOnWidth) {
  for (ULONG width : {1280u, 1288u}) {
    auto st = Fresh();
    st->autoFraming.enabled = 1;
    const FrameFormat format = Format(width, 8);
    Frame in = GentleFrame(width, 8, 1), eff = MakeFrame(width, 8), wk = MakeFrame(width, 8);
    const LONG r = ApplyEffects(in.data(), wk.data(), eff.data(), &Tables(), &format, st.get(), st.get());
    EXPECT_TRUE(r == (width <= 1280) && st->autoFraming.running == (width <= 1280)) << width;
  }
}

}  // namespace
