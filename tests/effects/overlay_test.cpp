// Overlay bitmaps: names, colours, the loader, compositions, the magnifier and the chain's tail.
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "effects/overlay.h"
#include "effects/special/special_effect.h"
#include "frames.h"
#include "platform/host/host_files.h"

using namespace fx;

namespace {

std::string Narrow(const WCHAR* s) {
  std::string out;
  for (; *s; ++s) out += char(*s);
  return out;
}

// A 24-bit BMP: every pixel from colour(x, y) as {B, G, R}.
template <typename F>
std::vector<uint8_t> Bmp(int w, int h, F colour, int bits = 24, bool topDown = false, int extraHeader = 0) {
  const uint32_t stride = (uint32_t(w) * 3 + 3) & ~3u, offset = 54 + extraHeader;
  std::vector<uint8_t> f(offset + size_t(stride) * h, 0);
  // Little-endian header fields: file size, pixel offset, header size, width,
  // height (negative: top-down), one plane and the bits per pixel.
  const std::pair<size_t, uint32_t> fields[] = {{0, 'B' | 'M' << 8}, {2, uint32_t(f.size())}, {10, offset},
      {14, 40u + extraHeader}, {18, uint32_t(w)}, {22, uint32_t(topDown ? -h : h)}, {26, 1u | uint32_t(bits) << 16}};
  for (auto [at, v] : fields)
    for (int i = 0; i < 4; ++i) f[at + i] = uint8_t(v >> (8 * i));
  for (int row = 0; row < h; ++row) {
    const int y = topDown ? row : h - 1 - row;
    for (int x = 0; x < w; ++x) {
      const auto c = colour(x, y);
      for (int k = 0; k < 3; ++k) f[offset + size_t(row) * stride + x * 3 + k] = c[k];
    }
  }
  return f;
}

class Overlay : public BothOrders {
 protected:
  void SetUp() override {
    BothOrders::SetUp();
    folder = std::filesystem::temp_directory_path() / ("uvccam-overlay-" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    host::SetStateFolder(folder.string());
  }
  void TearDown() override {
    host::SetStateFolder("");
    std::filesystem::remove_all(folder);
    EXPECT_EQ(host::OpenHandleCount(), 0u);
    BothOrders::TearDown();
  }
  void Write(const std::string& name, const std::vector<uint8_t>& bytes) {
    std::ofstream(folder / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  }
  // A record with an exactly sized bitmap buffer.
  LONG Load(ULONG mode, ULONG w, ULONG h, size_t bufferBytes) {
    bitmap.assign(bufferBytes, 0xEE);
    work.assign(size_t(w) * h * 2, 0);
    record = {};
    record.overlayBitmap = bitmap.data();
    record.overlayBitmapSize = ULONG(bufferBytes);
    return LoadOverlayBitmap(&record, mode, work.data(), &Tables(), w, h, code());
  }
  std::filesystem::path folder;
  Frame bitmap, work;
  SpecialEffectRecord record{};
};
FX_BOTH_ORDERS(Overlay);

TEST(OverlayNames, ModesSizesAndBounds) {
  WCHAR name[kOverlayNameChars];
  const std::pair<ULONG, const char*> cases[] = {
      {1, "magnifier_320_240"}, {2, "aim_320_240"}, {3, "Newspaper_320_240"}, {4, "1_320_240"},
      {7, "4_320_240"}, {8, "5_320_240"}, {20, "17_320_240"}, {254, "SP_AIM_320_240"}};
  for (auto [mode, stem] : cases) {
    ASSERT_TRUE(OverlayFileName(mode, 320, 240, name, kOverlayNameChars));
    EXPECT_EQ(Narrow(name), std::string("\\SystemRoot\\system32\\") + stem + ".bmp");
  }
  for (ULONG mode : {0u, 21u, 253u, 255u}) EXPECT_FALSE(OverlayFileName(mode, 320, 240, name, kOverlayNameChars));
  // A name that does not fit is refused without writing past the buffer.
  std::vector<WCHAR> small(30, 0x7777);
  EXPECT_FALSE(OverlayFileName(254, 4294967295u, 4294967295u, small.data(), 29));
  EXPECT_EQ(small[29], 0x7777);
  EXPECT_TRUE(OverlayFileName(254, 4294967295u, 4294967295u, name, kOverlayNameChars));
}

// White, red, green, blue and black through the BT.601 terms.
TEST_P(Overlay, ColourConversionOfTheOverlayColours) {
  const uint8_t bgr[5][3] = {{255, 255, 255}, {0, 0, 255}, {0, 255, 0}, {255, 0, 0}, {0, 0, 0}};
  const int yuv[5][3] = {{255, 128, 128}, {76, 85, 255}, {149, 44, 21}, {29, 255, 107}, {0, 128, 128}};
  for (int c = 0; c < 5; ++c) {
    std::vector<uint8_t> src(2 * 3 * 2);
    for (int i = 0; i < 4; ++i) std::copy(bgr[c], bgr[c] + 3, src.begin() + 3 * i);
    Frame out(2 * 2 * 2);
    RgbToPacked422(&Tables(), out.data(), src.data(), 2, 2, lumaFirst());
    EXPECT_EQ(std::vector<int>({out[order().Luma(2, 1, 0)], out[order().Chroma(2, 0, 0, 0)],
                                out[order().Chroma(2, 0, 0, 1)]}),
              std::vector<int>(yuv[c], yuv[c] + 3)) << c;
  }
}

// Good files (bottom-up, top-down, a longer header) load; bad ones fail inside exact buffers.
TEST_P(Overlay, LoaderAcceptsGoodBitmapsAndRefusesBadOnes) {
  const ULONG w = 20, h = 6;
  auto colour = [](int x, int y) { return std::array<uint8_t, 3>{uint8_t(x * 10), uint8_t(y * 30), 200}; };
  const size_t exact = size_t(w) * h * 3;
  Write("1_20_6.bmp", Bmp(w, h, colour));
  ASSERT_EQ(Load(4, w, h, exact), 1);
  const Frame bottomUp(bitmap.begin(), bitmap.begin() + w * h * 2);
  Write("2_20_6.bmp", Bmp(w, h, colour, 24, true));
  ASSERT_EQ(Load(5, w, h, exact), 1);
  EXPECT_TRUE(std::equal(bottomUp.begin(), bottomUp.end(), bitmap.begin()));
  Write("3_20_6.bmp", Bmp(w, h, colour, 24, false, 84));
  ASSERT_EQ(Load(6, w, h, exact), 1);
  EXPECT_TRUE(std::equal(bottomUp.begin(), bottomUp.end(), bitmap.begin()));
  // The top-left pixel (x 0, y 0) is BGR (0, 0, 200): a red.
  EXPECT_EQ(bottomUp[order().Luma(w, 0, 0)], (1225 * 200) >> 12);

  // {length kept (0: all), byte changed, its value}; then other shapes.
  const std::vector<uint8_t> good = Bmp(w, h, colour);
  const size_t edits[][3] = {{good.size() - 1, 0, 'B'}, {54, 0, 'B'}, {0, 0, 'X'}, {0, 30, 1}};
  std::vector<std::vector<uint8_t>> bad = {Bmp(w, h, colour, 32), Bmp(w + 4, h, colour), Bmp(w, h + 2, colour), {}};
  for (auto [keep, at, value] : edits) {
    bad.push_back(good);
    bad.back()[at] = uint8_t(value);
    if (keep) bad.back().resize(keep);
  }
  for (const auto& bytes : bad) {
    Write("5_20_6.bmp", bytes);
    EXPECT_EQ(Load(8, w, h, exact), 0) << bytes.size();
  }
  EXPECT_EQ(Load(9, w, h, exact), 0);      // no such file
  EXPECT_EQ(Load(21, w, h, exact), 0);     // no such mode
  EXPECT_EQ(Load(4, w, h, exact - 1), 0);  // the buffer cannot hold the pixels
  // Rows padded to four bytes (width 6: 18 bytes of pixels, 20 per row).
  Write("1_6_4.bmp", Bmp(6, 4, colour));
  ASSERT_EQ(Load(4, 6, 4, 20 * 4), 1);
  EXPECT_EQ(bitmap[order().Luma(6, 5, 3)], Frame(1, uint8_t((1225 * 200 + 2404 * 90 + 467 * 50) >> 12))[0]);
}

TEST_P(Overlay, CompositionsOfABlackAndAnOpaqueBitmap) {
  const ULONG w = 8, h = 2;
  const Frame src = GentleFrame(w, h, 3);
  const Frame black = MakeFrame(w, h, 0);
  Frame keyed = src, aim = src, paper = src;
  OverlayKeyed(keyed.data(), black.data(), w, h, lumaFirst());
  OverlayAim(aim.data(), black.data(), w, h, lumaFirst());
  OverlayNewspaper(paper.data(), black.data(), w, h, lumaFirst());
  EXPECT_EQ(keyed, src);
  const Order o = order();
  for (uint32_t x = 0; x < w; ++x)
    EXPECT_EQ(std::vector<int>({aim[o.Luma(w, x, 1)], aim[o.Chroma(w, x, 1, 0)], aim[o.Chroma(w, x, 1, 1)],
                                paper[o.Luma(w, x, 1)], paper[o.Chroma(w, x, 1, 0)]}),
              std::vector<int>({src[o.Luma(w, x, 1)] * 4 / 10, 86, 75, src[o.Luma(w, x, 1)], 128})) << x;
  // Only the second pixel of a pair opaque: keyed takes its chroma, the
  // newspaper ends with it too (the second pixel is handled last).
  Frame ov = MakeFrame(w, h, 0);
  ov[o.Luma(w, 1, 0)] = 200;
  ov[o.Chroma(w, 1, 0, 0)] = 10;
  Frame k = src, p = src;
  OverlayKeyed(k.data(), ov.data(), w, h, lumaFirst());
  OverlayNewspaper(p.data(), ov.data(), w, h, lumaFirst());
  EXPECT_EQ(std::vector<int>({k[o.Luma(w, 1, 0)], k[o.Luma(w, 0, 0)], k[o.Chroma(w, 0, 0, 0)], p[o.Chroma(w, 0, 0, 0)]}),
            std::vector<int>({200, src[o.Luma(w, 0, 0)], 10, 10}));
}

// The magnifier at 640 x 480 (centre 257, 258, radius 128) and clipped on wide frames.
TEST_P(Overlay, MagnifierGeometryAndClipping) {
  for (auto [w, h] : {std::pair<ULONG, ULONG>{640, 480}, {1280, 240}, {1280, 120}, {16, 2}}) {
    const Frame src = GentleFrame(w, h, w);
    Frame frame = src, wk = MakeFrame(w, h);
    const LONG cx = LONG(w) * 100 / 249, cy = LONG(h) * 100 / 186, r = LONG(w) / 5;
    MagnifierLens(frame.data(), wk.data(), w, h, cx, cy, r, code());
    Frame zoomed = MakeFrame(w, h);
    ZoomWindow(zoomed.data(), src.data(), w, h, 32, cx - r, cy - r, lumaFirst());
    for (uint32_t y = 0; y < h; ++y)
      for (uint32_t x = 0; x < w; ++x) {
        const long dx = r - (long(x) - (cx - r)), dy = r - (long(y) - (cy - r));
        const bool inside = long(x) >= cx - r && long(x) < cx + r && long(y) >= cy - r && long(y) < cy + r &&
                            dx * dx + dy * dy < long(r) * r;
        const size_t at = (size_t(y) * w + x) * 2;
        ASSERT_EQ(frame[at], inside ? zoomed[at] : src[at]) << w << "x" << h << " " << x << "," << y;
      }
  }
  // No zoom memory: the frame stays.
  const Frame src = GentleFrame(64, 48, 2);
  Frame frame = src, wk = MakeFrame(64, 48);
  host::PoolFailTag(kTagBuffer);
  MagnifierLens(frame.data(), wk.data(), 64, 48, 25, 25, 12, code());
  host::PoolFailTag(0);
  EXPECT_EQ(frame, src);
}

// The chain's tail loads once per mode and size, keeps earlier effects without a
// file, reloads after a mode change and after effect 2 used the buffer.
TEST_P(Overlay, ChainTailLoadsOnceAndKeepsEarlierEffects) {
  const ULONG w = 64, h = 48;
  auto state = Fresh();
  Frame buffer(size_t(w) * h * 3);
  state->special.overlayBitmap = buffer.data();
  state->special.overlayBitmapSize = ULONG(buffer.size());
  const FrameFormat format = Format(w, h);
  Frame input, effect(size_t(w) * h * 2), wk(size_t(w) * h * 2);
  auto run = [&](const Frame& src) {
    input = src;
    const LONG r =
        ApplyEffects(input.data(), wk.data(), effect.data(), &Tables(), &format, state.get(), state.get());
    return r ? effect : input;
  };
  const Frame src = GentleFrame(w, h, 4);
  // A missing file: chroma smoothing's result (in the effect buffer) is kept.
  state->chromaSmoothing = 1;
  state->special.overlayMode = 4;
  Frame smoothed = MakeFrame(w, h);
  ChromaSmoothing(smoothed.data(), src.data(), w, h, lumaFirst());
  EXPECT_EQ(run(src), smoothed);
  EXPECT_EQ(state->special.overlayLoaded, 0u);
  state->chromaSmoothing = 0;
  // A white bar on row 0 (bottom-up file: the last row written).
  Write("1_64_48.bmp", Bmp(w, h, [](int, int y) { return std::array<uint8_t, 3>{uint8_t(y ? 0 : 255), uint8_t(y ? 0 : 255), uint8_t(y ? 0 : 255)}; }));
  Frame out = run(src);
  EXPECT_EQ(state->special.overlayLoaded, 1u);
  EXPECT_EQ(out[order().Luma(w, 5, 0)], 255);
  EXPECT_EQ(out[order().Luma(w, 5, 1)], src[order().Luma(w, 5, 1)]);
  std::filesystem::remove(folder / "1_64_48.bmp");
  EXPECT_EQ(run(src)[order().Luma(w, 5, 0)], 255);  // loaded once, not per frame
  // Another mode (its file missing): the old bitmap is not shown.
  state->special.overlayMode = 5;
  EXPECT_EQ(run(src), src);
  // Effect 2 takes the buffer: the flag goes, a later overlay reloads.
  state->special.overlayMode = 0;
  state->special.specialEffect = 2;
  run(src);
  EXPECT_EQ(state->special.overlayLoaded, 0u);
}

}  // namespace
