// Integer inverse DCT, scalar. Separable 8-point transform on 32-bit
// integers: first down the columns (inputs scaled by 4), then along the rows
// in place; rotation constants in units of 1/512, each product shifted right
// by 9 (arithmetic). Then each value v becomes (v + 8) / 16 for v >= 0 and
// (v - 8) / 16 otherwise (truncating), plus 128, clamped to 0..255.
#include "mjpeg/mjpeg_internal.h"
#include "mjpeg/idct_pass.h"

namespace {

constexpr LONG kC4 = 362;   // cos(pi/4)
constexpr LONG kC1 = 502;   // cos(pi/16)
constexpr LONG kS1 = 100;   // sin(pi/16)
constexpr LONG kC3 = 426;   // cos(3pi/16)
constexpr LONG kS3 = 284;   // sin(3pi/16)
constexpr LONG kC2 = 473;   // cos(pi/8)
constexpr LONG kS2 = 196;   // sin(pi/8)

// One 8-point pass over x[0], x[step], ..., x[7 * step] (index = frequency),
// results written back to the same places (index = sample position).
inline void Transform8(LONG* x, int step) {
  const LONG x0 = x[0], x1 = x[step], x2 = x[2 * step], x3 = x[3 * step];
  const LONG x4 = x[4 * step], x5 = x[5 * step], x6 = x[6 * step], x7 = x[7 * step];
  const LONG a = ((x0 + x4) * kC4) >> 9;
  const LONG b = ((x0 - x4) * kC4) >> 9;
  const LONG c = (x2 * kC2 + x6 * kS2) >> 9;
  const LONG d = (x2 * kS2 - x6 * kC2) >> 9;
  const LONG e0 = a + c, e3 = a - c, e1 = b + d, e2 = b - d;
  const LONG p = (x1 * kC1 + x7 * kS1) >> 9;
  const LONG q = (x3 * kC3 + x5 * kS3) >> 9;
  const LONG r = (x1 * kS1 - x7 * kC1) >> 9;
  const LONG t = (x5 * kC3 - x3 * kS3) >> 9;
  const LONG o0 = p + q, o3 = r + t;
  const LONG u = ((p - q + r - t) * kC4) >> 9;
  const LONG v = ((p - q - (r - t)) * kC4) >> 9;
  x[0] = e0 + o0;
  x[7 * step] = e0 - o0;
  x[step] = e1 + u;
  x[6 * step] = e1 - u;
  x[2 * step] = e2 + v;
  x[5 * step] = e2 - v;
  x[3 * step] = e3 + o3;
  x[4 * step] = e3 - o3;
}

inline UCHAR FinalSample(LONG v) {
  const LONG rounded = v >= 0 ? (v + 8) / 16 : (v - 8) / 16;
  const LONG s = rounded + 128;
  return static_cast<UCHAR>(s < 0 ? 0 : (s > 255 ? 255 : s));
}

}  // namespace

void IdctScalar(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  LONG block[64];
  for (int i = 0; i < 64; ++i) block[i] = coefficients[i] * 4;
  for (int column = 0; column < 8; ++column) Transform8(block + column, 8);
  for (int row = 0; row < 8; ++row) Transform8(block + row * 8, 1);
  for (int row = 0; row < 8; ++row) {
    for (int column = 0; column < 8; ++column) out[column] = FinalSample(block[row * 8 + column]);
    out += stride;
  }
}

UCHAR IdctDcOnly(LONG dc) {
  // Column pass: only x0 of the first column is nonzero, so that column
  // becomes a constant and the others stay zero; the row pass then turns
  // every row into the same constant.
  const LONG column = (dc * 4 * kC4) >> 9;
  return FinalSample((column * kC4) >> 9);
}

void IdctCornerScalar(const SHORT* coefficients, UCHAR* out, ULONG stride) {
  LONG column0[8], odd[8];
  CornerTerms(coefficients, column0, odd);
  for (int n = 0; n < 8; ++n) {
    const LONG even = (column0[n] * kC4) >> 9;
    for (int m = 0; m < 8; ++m) out[m] = FinalSample(even + odd[m]);
    out += stride;
  }
}
