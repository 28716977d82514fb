#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <vector>

#include "pipeline/conversion_kernels.h"
#include "pipeline/conversions.h"
#include "tests/pipeline/reference_conversions.h"

namespace {

using namespace reference_conversions;

Bytes Random(size_t n, std::mt19937& rng) {
  Bytes b(n);
  for (auto& x : b) x = UCHAR(rng());
  return b;
}

std::vector<ConversionIsa> Isas() {
  std::vector<ConversionIsa> all;
  for (int i = kIsaScalar; i <= ConversionIsaSupported(); ++i) all.push_back(ConversionIsa(i));
  return all;
}

class ConvertTest : public ::testing::Test {
 protected:
  void SetUp() override { BuildColorTables(tables.get()); }
  Bytes Rgb(ConversionIsa isa, const Bytes& s, ULONG w, ULONG h) {
    Bytes d(3 * size_t(w) * h, 0xEE);
    ConvertYuy2ToRgb24Isa(isa, tables.get(), d.data(), s.data(), w, h);
    return d;
  }
  std::unique_ptr<ColorTables> tables = std::make_unique<ColorTables>();
};

TEST_F(ConvertTest, Rgb24KnownColours) {
  struct Case { UCHAR y, u, v, b, g, r; } cases[] = {
      {16, 128, 128, 0, 0, 0}, {235, 128, 128, 255, 255, 255},
      {128, 128, 128, 130, 130, 130}, {81, 90, 240, 0, 0, 254}};
  for (ConversionIsa isa : Isas()) {
    for (const Case& c : cases) {
      // 40 identical pixels so every vector width sees the colour.
      Bytes s;
      for (int i = 0; i < 20; ++i) s.insert(s.end(), {c.y, c.u, c.y, c.v});
      Bytes d = Rgb(isa, s, 40, 1);
      for (size_t i = 0; i < d.size(); i += 3) {
        ASSERT_EQ(d[i], c.b) << isa << " " << int(c.y);
        ASSERT_EQ(d[i + 1], c.g) << isa << " " << int(c.y);
        ASSERT_EQ(d[i + 2], c.r) << isa << " " << int(c.y);
      }
    }
  }
}

TEST_F(ConvertTest, Rgb24FirstRowLandsLast) {
  Bytes s(640 * 480 * 2, 128);
  for (size_t i = 0; i < 1280; i += 2) s[i] = 235;  // first row white, rest grey
  Bytes d(640 * 480 * 3);
  ConvertYuy2ToRgb24(tables.get(), d.data(), s.data(), 640, 480);
  for (size_t i = 0; i < d.size(); ++i) ASSERT_EQ(d[i], i >= 479u * 1920 ? 255 : 130) << i;
}

// Every (Y, U, V): one row per (U, V), Y0 running 0..127 and Y1 128..255.
TEST_F(ConvertTest, Rgb24EveryIsaMatchesEveryColour) {
  const ULONG w = 256, h = 65536;
  Bytes s(2 * w * h);
  for (size_t r = 0; r < h; ++r) {
    for (size_t g = 0; g < w / 2; ++g) {
      UCHAR* p = &s[2 * w * r + 4 * g];
      p[0] = UCHAR(g), p[1] = UCHAR(r >> 8), p[2] = UCHAR(g + 128), p[3] = UCHAR(r);
    }
  }
  const Bytes ref = RefRgb24(s, w, h);
  for (ConversionIsa isa : Isas()) EXPECT_TRUE(Rgb(isa, s, w, h) == ref) << "isa " << isa;
}

TEST_F(ConvertTest, RandomSizesMatchTheReferenceOnEveryIsa) {
  std::mt19937 rng(1234);
  for (int trial = 0; trial < 150; ++trial) {
    // Mostly even widths; some odd ones and zero sizes for the safe paths.
    ULONG w = trial < 8 ? ULONG(trial) : ULONG(rng() % 300) & (trial % 5 ? ~1u : ~0u);
    ULONG h = trial % 7 == 0 ? trial % 3 : ULONG(rng() % 9);
    const Bytes s = Random(2 * size_t(w) * h, rng);  // exactly sized: ASan sees overruns
    const Bytes ref = RefRgb24(s, w, h);
    Bytes filler = Random(I420FrameSize(w, h), rng);
    const Bytes refI420 = RefI420(filler, s, w, h);
    for (ConversionIsa isa : Isas()) {
      SCOPED_TRACE(testing::Message() << "isa " << isa << " " << w << "x" << h);
      if (w * h != 0) {
        EXPECT_TRUE(Rgb(isa, s, w, h) == ref);
      }
      Bytes i420 = filler;
      ConvertYuy2ToI420Isa(isa, i420.data(), s.data(), w, h);
      EXPECT_TRUE(i420 == refI420);
      Bytes swapped(s.size() + 3, 0x77);  // a partial group stays untouched
      SwapYuy2ToUyvyIsa(isa, swapped.data() + 1, s.data(), s.size() + 2 - s.size() % 4);
      for (size_t i = 0; i < swapped.size(); ++i) {
        const size_t j = i - 1;
        const UCHAR want = i == 0 || j >= s.size() / 4 * 4 ? 0x77 : s[j ^ 1];
        ASSERT_EQ(swapped[i], want) << i;
      }
    }
  }
}

TEST_F(ConvertTest, I420SmallFrames) {
  const Bytes s = {10, 20, 30, 40, 50, 61, 70, 81};  // 2x2: Y00 U0 Y01 V0 / Y10 U1 Y11 V1
  for (ConversionIsa isa : Isas()) {
    Bytes d(6, 0);
    ConvertYuy2ToI420Isa(isa, d.data(), s.data(), 2, 2);
    EXPECT_EQ(d, Bytes({10, 30, 50, 70, (20 + 61) >> 1, (40 + 81) >> 1})) << isa;
    Bytes one(3, 0x5A);  // height 1 writes nothing
    ConvertYuy2ToI420Isa(isa, one.data(), s.data(), 2, 1);
    EXPECT_EQ(one, Bytes(3, 0x5A));
  }
}

// 640x480 swap: bytes 4k..4k+3 become 4k+1, 4k, 4k+3, 4k+2; also in place.
// Null pointers write nothing anywhere.
TEST_F(ConvertTest, SwapVgaInPlaceAndNullPointers) {
  std::mt19937 rng(7);
  const Bytes s = Random(640 * 480 * 2, rng);
  Bytes d(s.size()), in = s;
  SwapYuy2ToUyvy(d.data(), s.data(), s.size());
  for (size_t k = 0; k < s.size(); ++k) ASSERT_EQ(d[k], s[k ^ 1]) << k;
  SwapYuy2ToUyvy(in.data(), in.data(), in.size());
  EXPECT_TRUE(in == d);
  Bytes out(96, 9);
  ConvertYuy2ToRgb24(nullptr, out.data(), s.data(), 16, 2);
  ConvertYuy2ToRgb24(tables.get(), out.data(), nullptr, 16, 2);
  ConvertYuy2ToI420(out.data(), nullptr, 16, 2);
  SwapYuy2ToUyvy(out.data(), nullptr, 64);
  EXPECT_EQ(out, Bytes(96, 9));
  ConvertYuy2ToRgb24(tables.get(), nullptr, s.data(), 16, 2);  // must not crash
  ConvertYuy2ToI420(nullptr, s.data(), 16, 2);
}

}  // namespace
