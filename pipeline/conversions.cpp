#include "pipeline/conversions.h"

#include "pipeline/conversion_kernels.h"

namespace {

// ---- scalar rows: the reference arithmetic, also the tails of the vector
// kernels ----

// One pair of rows from group `first` on. The second row's U and V replace
// the first row's by the average of the two, rounded down.
VOID I420RowPairScalar(UCHAR* luma0, UCHAR* luma1, UCHAR* u, UCHAR* v, const UCHAR* row0,
                       const UCHAR* row1, SIZE_T first, SIZE_T groups) {
  for (SIZE_T g = first; g < groups; ++g) {
    const UCHAR* s0 = row0 + 4 * g;
    const UCHAR* s1 = row1 + 4 * g;
    luma0[2 * g] = s0[0];
    luma0[2 * g + 1] = s0[2];
    luma1[2 * g] = s1[0];
    luma1[2 * g + 1] = s1[2];
    u[g] = UCHAR((unsigned(s0[1]) + s1[1]) >> 1);
    v[g] = UCHAR((unsigned(s0[3]) + s1[3]) >> 1);
  }
}

inline VOID RgbPixel(const ColorTables* t, UCHAR* d, UCHAR y, LONG b, LONG g, LONG r) {
  const UCHAR* quarter = &t->quarterClamp[kQuarterClampOrigin];
  const LONG luma = t->lumaTerm[y];
  d[0] = quarter[luma + b];
  d[1] = quarter[luma + g];
  d[2] = quarter[luma + r];
}

VOID Rgb24RowScalar(const ColorTables* t, UCHAR* d, const UCHAR* s, SIZE_T first,
                    SIZE_T groups) {
  for (SIZE_T i = first; i < groups; ++i) {
    const UCHAR* p = s + 4 * i;
    UCHAR* o = d + 6 * i;
    const LONG b = t->cbBlueTerm[p[1]];
    const LONG g = t->cbGreenTerm[p[1]] + t->crGreenTerm[p[3]];
    const LONG r = t->crRedTerm[p[3]];
    RgbPixel(t, o, p[0], b, g, r);
    RgbPixel(t, o + 3, p[2], b, g, r);
  }
}

// The last pixel of a row of odd width has no chroma of its own: it takes
// that of the pair to its left, or neutral chroma when it is alone.
VOID Rgb24OddPixel(const ColorTables* t, UCHAR* d, const UCHAR* s, ULONG width) {
  const SIZE_T last = SIZE_T(width) - 1;
  UCHAR cb = 128, cr = 128;
  if (width >= 3) {
    cb = s[2 * last - 3];
    cr = s[2 * last - 1];
  }
  RgbPixel(t, d + 3 * last, s[2 * last], t->cbBlueTerm[cb],
           t->cbGreenTerm[cb] + t->crGreenTerm[cr], t->crRedTerm[cr]);
}

VOID SwapScalar(UCHAR* d, const UCHAR* s, SIZE_T first, SIZE_T groups) {
  for (SIZE_T i = first; i < groups; ++i) {
    const UCHAR b0 = s[4 * i], b1 = s[4 * i + 1], b2 = s[4 * i + 2], b3 = s[4 * i + 3];
    d[4 * i] = b1;
    d[4 * i + 1] = b0;
    d[4 * i + 2] = b3;
    d[4 * i + 3] = b2;
  }
}

ConversionIsa Clamp(ConversionIsa isa) {
  const ConversionIsa best = ConversionIsaSupported();
  if (isa > best) return best;
  if (isa < kIsaScalar) return kIsaScalar;
  return isa;
}

}  // namespace

SIZE_T I420FrameSize(ULONG width, ULONG height) {
  const SIZE_T area = SIZE_T(width) * height;
  return (5 * area) / 4 + SIZE_T(width / 2) * (height / 2);
}

VOID ConvertYuy2ToI420Isa(ConversionIsa isa, UCHAR* destination, const UCHAR* source, ULONG width,
                          ULONG height) {
  if (destination == nullptr || source == nullptr || height < 2 || width == 0) return;
  const ConversionKernels k = ConversionKernelsFor(Clamp(isa));
  const SIZE_T w = width;
  const SIZE_T area = w * height;
  const SIZE_T groups = w / 2;
  const SIZE_T sourceStride = 2 * w;
  UCHAR* u = destination + area;
  UCHAR* v = destination + (5 * area) / 4;
  for (ULONG pair = 0; pair < height / 2; ++pair) {
    const UCHAR* row0 = source + 2 * SIZE_T(pair) * sourceStride;
    const UCHAR* row1 = row0 + sourceStride;
    UCHAR* luma0 = destination + 2 * SIZE_T(pair) * w;
    UCHAR* luma1 = luma0 + w;
    UCHAR* uRow = u + SIZE_T(pair) * groups;
    UCHAR* vRow = v + SIZE_T(pair) * groups;
    SIZE_T done = k.i420RowPair != nullptr
                      ? k.i420RowPair(luma0, luma1, uRow, vRow, row0, row1, groups)
                      : 0;
    I420RowPairScalar(luma0, luma1, uRow, vRow, row0, row1, done, groups);
    if (w & 1) {
      luma0[w - 1] = row0[2 * (w - 1)];
      luma1[w - 1] = row1[2 * (w - 1)];
    }
  }
}

VOID ConvertYuy2ToRgb24Isa(ConversionIsa isa, const ColorTables* colorTables, UCHAR* destination,
                           const UCHAR* source, ULONG width, ULONG height) {
  if (colorTables == nullptr || destination == nullptr || source == nullptr || width == 0 ||
      height == 0) {
    return;
  }
  const ConversionKernels k = ConversionKernelsFor(Clamp(isa));
  const SIZE_T w = width;
  const SIZE_T groups = w / 2;
  for (ULONG r = 0; r < height; ++r) {
    const UCHAR* s = source + SIZE_T(r) * 2 * w;
    UCHAR* d = destination + SIZE_T(height - 1 - r) * 3 * w;
    SIZE_T done = k.rgb24Row != nullptr ? k.rgb24Row(d, s, groups) : 0;
    Rgb24RowScalar(colorTables, d, s, done, groups);
    if (w & 1) Rgb24OddPixel(colorTables, d, s, width);
  }
}

VOID SwapYuy2ToUyvyIsa(ConversionIsa isa, UCHAR* destination, const UCHAR* source,
                       SIZE_T byteCount) {
  if (destination == nullptr || source == nullptr) return;
  const ConversionKernels k = ConversionKernelsFor(Clamp(isa));
  const SIZE_T groups = byteCount / 4;
  SIZE_T done = k.swapGroups != nullptr ? k.swapGroups(destination, source, groups) : 0;
  SwapScalar(destination, source, done, groups);
}

VOID ConvertYuy2ToI420(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height) {
  ConvertYuy2ToI420Isa(ConversionIsaSupported(), destination, source, width, height);
}

VOID ConvertYuy2ToRgb24(const ColorTables* colorTables, UCHAR* destination, const UCHAR* source,
                        ULONG width, ULONG height) {
  ConvertYuy2ToRgb24Isa(ConversionIsaSupported(), colorTables, destination, source, width, height);
}

VOID SwapYuy2ToUyvy(UCHAR* destination, const UCHAR* source, SIZE_T byteCount) {
  SwapYuy2ToUyvyIsa(ConversionIsaSupported(), destination, source, byteCount);
}
