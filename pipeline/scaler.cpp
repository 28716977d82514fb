// Frame scaler. ScaleFrame picks a routine by the exact pair of frame sizes:
// copy, box halver, sharpening doubler, the 5:4 and 8:5 enlargers, the 6:5
// enlargers with crop, the centre crop, crop-and-double and the general
// bilinear routine. Every fixed routine is used only where its run structure
// fits the frames; other pairs go to the general routine, and pairs that even
// the general routine cannot serve inside the frames are left unwritten.
// The copy, halver and crops are here; the doubler, the run-pattern
// enlargers and the general routine have files of their own.
#include "pipeline/scaler.h"

#include <cstring>

#include "pipeline/scaler_routes.h"

// ---------------------------------------------------------------------------
// Weight tables and pair operations
// ---------------------------------------------------------------------------

namespace {

constexpr UCHAR RoundedWeight(int x, int k, int n) {
  return static_cast<UCHAR>((2 * x * k + n) / (2 * n));
}

constexpr ScalerWeights MakeWeights() {
  ScalerWeights w{};
  for (int x = 0; x < 256; ++x) {
    w.t1of5[x] = RoundedWeight(x, 1, 5);
    w.t2of5[x] = RoundedWeight(x, 2, 5);
    w.t3of5[x] = RoundedWeight(x, 3, 5);
    w.t4of5[x] = RoundedWeight(x, 4, 5);
    w.t3of8[x] = RoundedWeight(x, 3, 8);
    w.t5of8[x] = RoundedWeight(x, 5, 8);
  }
  return w;
}

}  // namespace

constexpr ScalerWeights kScalerWeights = MakeWeights();

constexpr PairOpShape kPairOpShapes[kPairOpCount] = {
    {0, 1, 0, 0, 0, 0},  // kPairTakeA
    {1, 1, 4, 0, 0, 5},  // kPair1of5_4of5
    {1, 2, 3, 0, 0, 5},  // kPair2of5_3of5
    {1, 3, 2, 0, 0, 5},  // kPair3of5_2of5
    {1, 4, 1, 0, 0, 5},  // kPair4of5_1of5
    {1, 3, 5, 0, 0, 8},  // kPair3of8_5of8
    {1, 5, 3, 0, 0, 8},  // kPair5of8_3of8
    {0, 3, 1, 2, 2, 0},  // kPair3_1Rounded
    {0, 1, 7, 4, 3, 0},  // kPair1_7Rounded
    {0, 1, 1, 1, 1, 0},  // kPair1_1Rounded
    {0, 7, 1, 4, 3, 0},  // kPair7_1Rounded
    {0, 1, 3, 2, 2, 0},  // kPair1_3Rounded
    {0, 1, 3, 0, 2, 0},  // kPair1_3
    {0, 1, 1, 0, 1, 0},  // kPair1_1
    {0, 3, 1, 0, 2, 0},  // kPair3_1
};

namespace {

// Box halver: each output sample is the mean of a 2 x 2 box (floored).
void HalveFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG lumaFirst,
                ScalerCodePath path) {
  if (inH < 2) return;
  const ULONG groups = inW / 4;
  const ULONG outW = inW / 2;
  const GroupLayout g = LayoutOf(lumaFirst);
  const SIZE_T inStride = 2 * static_cast<SIZE_T>(inW);
  const SIZE_T outStride = 2 * static_cast<SIZE_T>(outW);
  for (ULONG r = 0; r < inH / 2; ++r) {
    const UCHAR* a = src + 2 * r * inStride;
    const UCHAR* b = a + inStride;
    UCHAR* o = dst + r * outStride;
    ULONG done =
        path != kScalerPlain ? VectorHalveRow(a, b, o, groups, lumaFirst, ScalerWide(path)) : 0;
    for (ULONG k = done; k < groups; ++k) {
      const UCHAR* x = a + 8 * static_cast<SIZE_T>(k);
      const UCHAR* y = b + 8 * static_cast<SIZE_T>(k);
      UCHAR* z = o + 4 * static_cast<SIZE_T>(k);
      const ULONG l0 = g.luma, l1 = g.luma + 2;
      z[l0] = static_cast<UCHAR>((x[l0] + x[l1] + y[l0] + y[l1]) >> 2);
      z[l1] = static_cast<UCHAR>((x[4 + l0] + x[4 + l1] + y[4 + l0] + y[4 + l1]) >> 2);
      const ULONG c0 = g.chroma0, c1 = g.chroma1;
      z[c0] = static_cast<UCHAR>((x[c0] + x[4 + c0] + y[c0] + y[4 + c0]) >> 2);
      z[c1] = static_cast<UCHAR>((x[c1] + x[4 + c1] + y[c1] + y[4 + c1]) >> 2);
    }
  }
}

// UVC frame sizes are 16-bit; larger values are not frames this driver makes.
constexpr ULONG kMaxDimension = 0xFFFF;

LONG Half(ULONG v) { return static_cast<LONG>(v) / 2; }

}  // namespace

LONG ScaleFrameOnPath(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                      ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst,
                      ScalerCodePath path) {
  if (destination == nullptr || source == nullptr) return 1;
  if (inW > kMaxDimension || inH > kMaxDimension || outW > kMaxDimension ||
      outH > kMaxDimension)
    return 1;
  lumaFirst = lumaFirst != 0 ? 1 : 0;
  const ULONGLONG iw = inW, ih = inH, ow = outW, oh = outH;

  if (outW == inW && outH == inH) {
    memcpy(destination, source, 2 * iw * ih);
    return 1;
  }
  if (static_cast<LONG>(outW) == Half(inW) && static_cast<LONG>(outH) == Half(inH)) {
    HalveFrame(destination, source, inW, inH, lumaFirst, path);
    return 1;
  }
  if (ow == 2 * iw && oh == 2 * ih) {
    if (inW >= 2 && inW % 2 == 0 && inH >= 1 && clampPointer != nullptr) {
      DoubleFrame(destination, source, inW, inH, clampPointer, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (ow == (5 * iw) / 4 && oh == (5 * ih) / 4) {
    if (Fits5of4(inW, inH, outW, outH)) {
      EnlargeFrameByRuns(destination, source, inW, inH, outW, true, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (ow == (8 * iw) / 5 && oh == (8 * ih) / 5) {
    if (Fits8of5(inW, inH, outW, outH)) {
      EnlargeFrameByRuns(destination, source, inW, inH, outW, false, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if ((outW == 704 && inW == 640) || (outW == 352 && inW == 320)) {
    // The routine always reads 480 (240) input rows and writes 576 (288):
    // it is used for exactly those heights, other heights are scaled
    // generally (fewer input rows would be read past, fewer output rows
    // written past, more left unwritten or unread).
    const ULONG rowsRead = inW == 640 ? 480 : 240;
    const ULONG rowsWritten = inW == 640 ? 576 : 288;
    if (inH == rowsRead && outH == rowsWritten) {
      Enlarge6of5Frame(destination, source, inW, outW, outH, lumaFirst, path);
    } else {
      GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
    }
    return 1;
  }
  if (inW == 1280 && inH == 960 && outW == 1280 && outH == 720) {
    memcpy(destination, source + 120 * 2560, 720 * 2560);
    return 1;
  }
  if (inW == 640 && inH == 480 && outW == 1280 && outH == 720) {
    if (clampPointer == nullptr) return 1;
    for (ULONG r = 0; r < 360; ++r) memcpy(source + r * 1280, source + (r + 60) * 1280, 1280);
    DoubleFrame(destination, source, 640, 360, clampPointer, lumaFirst, path);
    return 1;
  }
  GeneralFrame(destination, source, inW, inH, outW, outH, lumaFirst, path);
  return 1;
}

LONG ScaleFrame(PUCHAR destination, PUCHAR source, ULONG inW, ULONG inH, ULONG outW,
                ULONG outH, const UCHAR* clampPointer, ULONG lumaFirst) {
  return ScaleFrameOnPath(destination, source, inW, inH, outW, outH, clampPointer, lumaFirst,
                          kScalerVector);
}
