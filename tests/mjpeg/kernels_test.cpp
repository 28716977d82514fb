// The inverse DCT against the transform written out from its definition
// (64-bit, explicit floor shifts), and every vector kernel against it. The
// interleave rows are checked by the decodes on every code path agreeing.
#include <gtest/gtest.h>

#include <random>

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
  out[0] = a + c + p + q, out[7] = a + c - p - q;
  out[1] = b + d + u, out[6] = b + d - u;
  out[2] = b - d + v, out[5] = b - d - v;
  out[3] = a - c + r + t, out[4] = a - c - r - t;
}

void ReferenceIdct(const SHORT* coefficients, uint8_t* out, int stride) {
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
      const int64_t s = (o[n] >= 0 ? (o[n] + 8) / 16 : (o[n] - 8) / 16) + 128;
      out[row * stride + n] = static_cast<uint8_t>(s < 0 ? 0 : (s > 255 ? 255 : s));
    }
  }
}

TEST(Idct, EveryKernelFollowsTheDefinitionToTheByte) {
  const MjpegIdctFunction kernels[] = {IdctScalar, IdctSse2, IdctAvx2};
  alignas(32) SHORT b[64];
  // Each kernel writes 8 rows of 8 bytes at a stride of 13 and nothing else.
  auto check = [&] {
    uint8_t expected[8 * 13], got[8 * 13];
    memset(expected, 0x5A, sizeof(expected));
    ReferenceIdct(b, expected, 13);
    for (int k = 0; k < (MjpegCpuHasAvx2() ? 3 : 2); ++k) {
      memset(got, 0x5A, sizeof(got));
      kernels[k](b, got, 13);
      ASSERT_EQ(0, memcmp(expected, got, sizeof(got))) << "kernel " << k;
    }
  };
  // Sparse typical blocks, dense ones, and anything 16 bits hold.
  std::mt19937 rng(77);
  for (int i = 0; i < 4500; ++i) {
    const int nonzero = i < 3000 ? 1 + i % 12 : 64, range = i < 3000 ? 1200 : i < 4000 ? 300 : 32767;
    std::fill(b, b + 64, 0);
    for (int j = 0; j < nonzero; ++j) {
      const int at = nonzero == 64 ? j : static_cast<int>(rng() % 64);
      b[at] = static_cast<SHORT>(static_cast<int>(rng() % (2 * range + 1)) - range);
    }
    ASSERT_NO_FATAL_FAILURE(check());
  }
  // Every sign pattern by column, then by row, around the vector code's 16-bit limit.
  for (int magnitude : {1288, 1289, 1290, 2047}) {
    for (int signs = 0; signs < 512; ++signs) {
      for (int i = 0; i < 64; ++i)
        b[i] = static_cast<SHORT>((signs >> (signs < 256 ? i / 8 : i % 8)) & 1 ? -magnitude : magnitude);
      ASSERT_NO_FATAL_FAILURE(check());
    }
  }
  for (int extreme = 0; extreme < 3; ++extreme) {
    for (int i = 0; i < 64; ++i) b[i] = extreme == 0 || (extreme == 2 && (i * 7) % 3 == 0) ? 32767 : -32768;
    ASSERT_NO_FATAL_FAILURE(check());
  }
}

TEST(Idct, DcOnlyShortcutMatchesTheFullTransform) {
  for (LONG dc = -32768; dc <= 32767; ++dc) {
    SHORT block[64] = {static_cast<SHORT>(dc)};
    uint8_t out[64];
    IdctScalar(block, out, 8);
    ASSERT_EQ(IdctDcOnly(dc), out[0]) << dc;
  }
}

TEST(Idct, CornerKernelsMatchTheFullTransform) {
  // Blocks with only (0,0), (0,1) and (1,0) set: small, typical and extreme
  // values, every sign; each kernel writes exactly the 8 x 8 bytes.
  std::mt19937 rng(11);
  // (1400: sums on both sides of the AVX2 kernel's 16-bit limit.)
  const int ranges[] = {1, 40, 1200, 1400, 32767};
  for (int i = 0; i < 7500; ++i) {
    alignas(16) SHORT b[64] = {};
    const int range = ranges[i % 5];
    for (int at : {0, 1, 8}) b[at] = static_cast<SHORT>(static_cast<int>(rng() % (2 * range + 1)) - range);
    if (i < 8) b[0] = b[1] = b[8] = static_cast<SHORT>(i & 1 ? -32768 : 32767);
    uint8_t expected[8 * 13];
    memset(expected, 0x5A, sizeof(expected));
    ReferenceIdct(b, expected, 13);
    for (auto* kernel : {IdctCornerScalar, IdctCornerSse2, IdctCornerAvx2}) {
      if (kernel == IdctCornerAvx2 && !MjpegCpuHasAvx2()) continue;
      uint8_t got[8 * 13];
      memset(got, 0x5A, sizeof(got));
      kernel(b, got, 13);
      ASSERT_EQ(0, memcmp(expected, got, sizeof(got))) << b[0] << " " << b[1] << " " << b[8];
    }
  }
}

}  // namespace
