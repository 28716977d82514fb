// Internal pieces shared by the frame scaler's route files: line buffers,
// the byte layout of a 4-byte group, and the routes ScaleFrameOnPath
// (scaler.cpp) picks from. Not for other users.
#pragma once

#include "pipeline/scaler_kernels.h"
#include "platform/wdk.h"

// The vector paths may take the AVX2 twins.
inline bool ScalerWide(ScalerCodePath path) {
  return path == kScalerVector && ScalerCpuHasAvx2();
}

inline UCHAR* AllocateLine(SIZE_T bytes) {
  return static_cast<UCHAR*>(
      ExAllocatePoolWithTag(NonPagedPool, bytes != 0 ? bytes : 1, kTagBuffer));
}

inline void FreeLine(UCHAR* line) {
  if (line != nullptr) ExFreePoolWithTag(line, kTagBuffer);
}

// A set of line buffers allocated together and freed on scope exit.
template <int N>
struct LineSet {
  UCHAR* line[N] = {};
  bool Allocate(const SIZE_T (&bytes)[N]) {
    bool ok = true;
    for (int i = 0; i < N; ++i) {
      line[i] = AllocateLine(bytes[i]);
      ok = ok && line[i] != nullptr;
    }
    return ok;
  }
  ~LineSet() {
    for (int i = 0; i < N; ++i) FreeLine(line[i]);
  }
};

// Byte positions of the three planes inside a 4-byte group.
struct GroupLayout {
  ULONG luma;     // first luma byte (0 or 1)
  ULONG chroma0;  // first chroma byte (1 for YUY2, 0 for UYVY)
  ULONG chroma1;  // second chroma byte (3 or 2)
};

inline GroupLayout LayoutOf(ULONG lumaFirst) {
  return lumaFirst != 0 ? GroupLayout{0, 1, 3} : GroupLayout{1, 0, 2};
}

// ---- routes ----
// Sharpening doubler (scaler_doubler.cpp): doubles an inW x inH frame (inW
// even, >= 2; inH >= 1).
void DoubleFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, const UCHAR* clamp,
                 ULONG lumaFirst, ScalerCodePath path);

// Run-pattern enlargers (scaler_enlargers.cpp). The 5:4 and 8:5 routines
// serve a size pair only where their run plans fit it exactly.
bool Fits5of4(ULONG inW, ULONG inH, ULONG outW, ULONG outH);
bool Fits8of5(ULONG inW, ULONG inH, ULONG outW, ULONG outH);
void EnlargeFrameByRuns(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG outW,
                        bool fiveFour, ULONG lumaFirst, ScalerCodePath path);
void Enlarge6of5Frame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG outW, ULONG outH,
                      ULONG lumaFirst, ScalerCodePath path);

// General bilinear routine (scaler_general.cpp): any other size pair it can
// make inside both frames; others are left unwritten.
void GeneralFrame(UCHAR* dst, const UCHAR* src, ULONG inW, ULONG inH, ULONG outW, ULONG outH,
                  ULONG lumaFirst, ScalerCodePath path);
