// The inverse DCT against the transform written out from its definition
// (64-bit, explicit floor shifts), and every vector kernel against it.
#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "mjpeg/mjpeg_internal.h"

namespace {

int64_t Floor512(int64_t v) { return v >= 0 ? v / 512 : -((-v + 511) / 512); }

// One 8-point pass, term by term.
void Reference8(const int64_t in[8], int64_t out[8]) {
  const int64_t a = Floor512((in[0] + in[4]) * 362), b = Floor512((in[0] - in[4]) * 362);
  const int64_t c = Floor512(in[2] * 473 + in[6] * 196), d = Floor512(in[2] * 196 - in[6] * 473);
  const int64_t p = Floor512(in[1] * 502 + in[7] * 100), q = Floor512(in[3] * 426 + in[5] * 284);
  const int64_t r = Floor512(in[1] * 100 - in[7] * 502), t = Floor512(in[5] * 426 - in[3] * 284);
  const int64_t u = Floor512((p - q + r - t) * 362), v = Floor512((p - q - r + t) * 362);
  out[0] = a + c + p + q;
  out[7] = a + c - p - q;
  out[1] = b + d + u;
  out[6] = b + d - u;
  out[2] = b - d + v;
  out[5] = b - d - v;
  out[3] = a - c + r + t;
  out[4] = a - c - r - t;
}

void ReferenceIdct(const SHORT* coefficients, uint8_t* out) {
  int64_t tmp[64];
  for (int col = 0; col < 8; ++col) {
    int64_t in[8], o[8];
    for (int k = 0; k < 8; ++k) in[k] = 4 * static_cast<int64_t>(coefficients[k * 8 + col]);
    Reference8(in, o);
    for (int n = 0; n < 8; ++n) tmp[n * 8 + col] = o[n];
  }
  for (int row = 0; row < 8; ++row) {
    int64_t o[8];
    Reference8(tmp + row * 8, o);
    for (int n = 0; n < 8; ++n) {
      const int64_t v = o[n];
      int64_t s = (v >= 0 ? (v + 8) / 16 : (v - 8) / 16) + 128;
      out[row * 8 + n] = static_cast<uint8_t>(s < 0 ? 0 : (s > 255 ? 255 : s));
    }
  }
}

std::vector<std::vector<SHORT>> Blocks() {
  std::mt19937 rng(77);
  std::vector<std::vector<SHORT>> blocks;
  auto add = [&](int nonzero, int range) {
    std::vector<SHORT> b(64, 0);
    for (int i = 0; i < nonzero; ++i) {
      const int at = nonzero == 64 ? i : static_cast<int>(rng() % 64);
      b[at] = static_cast<SHORT>(static_cast<int>(rng() % (2 * range + 1)) - range);
    }
    blocks.push_back(b);
  };
  for (int i = 0; i < 3000; ++i) add(1 + i % 12, 1200);   // typical: few, moderate coefficients
  for (int i = 0; i < 1000; ++i) add(64, 300);             // dense
  for (int i = 0; i < 500; ++i) add(64, 32767);            // anything a 16-bit block can hold
  // Every sign pattern of a column at the magnitudes around the limit up to
  // which the vector code keeps the row pass in 16-bit multiply-adds.
  for (int magnitude : {1288, 1289, 1290, 2047}) {
    for (int signs = 0; signs < 256; ++signs) {
      std::vector<SHORT> b(64), t(64);
      for (int k = 0; k < 8; ++k)
        for (int col = 0; col < 8; ++col) {
          const SHORT v = static_cast<SHORT>((signs >> k) & 1 ? -magnitude : magnitude);
          b[k * 8 + col] = v;
          t[col * 8 + k] = static_cast<SHORT>(((signs >> col) & 1) == ((signs >> k) & 1) ? v : -v);
        }
      blocks.push_back(b);
      blocks.push_back(t);
    }
  }
  std::vector<SHORT> extreme(64, 32767), low(64, -32768), mixed(64);
  for (int i = 0; i < 64; ++i) mixed[i] = (i * 7) % 3 == 0 ? 32767 : -32768;
  blocks.push_back(extreme);
  blocks.push_back(low);
  blocks.push_back(mixed);
  return blocks;
}

TEST(Idct, ScalarFollowsTheDefinition) {
  for (const auto& block : Blocks()) {
    uint8_t expected[64], got[8 * 11];
    ReferenceIdct(block.data(), expected);
    IdctScalar(block.data(), got, 11);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(got[(i / 8) * 11 + i % 8], expected[i]) << i;
  }
}

TEST(Idct, KnownValues) {
  // DC 8: column (32 * 362) >> 9 = 22, row (22 * 362) >> 9 = 15,
  // (15 + 8) / 16 = 1, + 128.
  SHORT block[64] = {8};
  uint8_t out[64];
  IdctScalar(block, out, 8);
  for (uint8_t v : out) EXPECT_EQ(v, 129);
  EXPECT_EQ(IdctDcOnly(8), 129);
  // DC -8: column -22 (floor), row floor(-22 * 362 / 512) = -16, (-16 - 8) / 16 = -1.
  block[0] = -8;
  IdctScalar(block, out, 8);
  for (uint8_t v : out) EXPECT_EQ(v, 127);
  // Far outside the sample range: clamped.
  block[0] = 30000;
  IdctScalar(block, out, 8);
  EXPECT_EQ(out[0], 255);
  block[0] = -30000;
  IdctScalar(block, out, 8);
  EXPECT_EQ(out[63], 0);
}

TEST(Idct, DcOnlyShortcutMatchesTheFullTransform) {
  for (LONG dc = -32768; dc <= 32767; ++dc) {
    SHORT block[64] = {static_cast<SHORT>(dc)};
    uint8_t out[64];
    IdctScalar(block, out, 8);
    ASSERT_EQ(IdctDcOnly(dc), out[0]) << dc;
  }
}

TEST(Idct, VectorKernelsGiveTheScalarBytes) {
  const MjpegIdctFunction kernels[] = {IdctSse2, IdctAvx2};
  for (int k = 0; k < 2; ++k) {
    if (k == 1 && !MjpegCpuHasAvx2()) continue;
    for (const auto& block : Blocks()) {
      alignas(32) SHORT aligned[64];
      std::copy(block.begin(), block.end(), aligned);
      uint8_t expected[8 * 13], got[8 * 13];
      memset(expected, 0x5A, sizeof(expected));
      memset(got, 0x5A, sizeof(got));
      IdctScalar(aligned, expected, 13);
      kernels[k](aligned, got, 13);
      ASSERT_EQ(0, memcmp(expected, got, sizeof(got))) << "kernel " << k;
    }
  }
}

TEST(Interleave, VectorRowsGiveTheScalarBytes) {
  std::mt19937 rng(5);
  std::vector<uint8_t> y(400), cb(200), cr(200);
  for (auto* v : {&y, &cb, &cr})
    for (auto& b : *v) b = static_cast<uint8_t>(rng());
  for (ULONG pairs : {0u, 1u, 7u, 8u, 15u, 16u, 17u, 31u, 32u, 33u, 100u, 200u}) {
    std::vector<uint8_t> expected(pairs * 4 + 8, 0x11), sse2(expected), avx2(expected), grey(expected),
        greySse2(expected);
    InterleaveRowScalar(y.data(), cb.data(), cr.data(), expected.data(), pairs);
    InterleaveRowSse2(y.data(), cb.data(), cr.data(), sse2.data(), pairs);
    EXPECT_EQ(expected, sse2) << pairs;
    if (MjpegCpuHasAvx2()) {
      InterleaveRowAvx2(y.data(), cb.data(), cr.data(), avx2.data(), pairs);
      EXPECT_EQ(expected, avx2) << pairs;
    }
    InterleaveGreyRowScalar(y.data(), grey.data(), pairs);
    InterleaveGreyRowSse2(y.data(), greySse2.data(), pairs);
    EXPECT_EQ(grey, greySse2) << pairs;
    for (ULONG i = 0; i < pairs; ++i) {
      ASSERT_EQ(expected[4 * i], y[2 * i]);
      ASSERT_EQ(expected[4 * i + 1], cb[i]);
      ASSERT_EQ(expected[4 * i + 2], y[2 * i + 1]);
      ASSERT_EQ(expected[4 * i + 3], cr[i]);
      ASSERT_EQ(grey[4 * i + 1], 128);
      ASSERT_EQ(grey[4 * i + 3], 128);
    }
  }
}

}  // namespace
