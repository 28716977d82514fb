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
    // Mostly even widths; some odd ones, zero sizes and heights 1 and 2.
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
