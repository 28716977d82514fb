// Per-device colour lookup record: YCbCr-to-RGB terms in quarter steps, the
// RGB-to-YCbCr terms of the overlay loader, and the two clamp tables. Filled
// once at device start by BuildColorTables and read-only afterwards.
#pragma once

#include "platform/wdk.h"

// Offsets of entry 0 inside the two clamp arrays.
constexpr int kQuarterClampOrigin = 2048;  // quarter clamp covers -2048 .. 3071
constexpr int kClampOrigin = 256;          // clamp covers -256 .. 767

// Order of the nine RGB-to-YCbCr term tables.
enum RgbToYccTerm {
  kYFromR = 0, kYFromG, kYFromB,
  kCbFromR, kCbFromG, kCbFromB,
  kCrFromR, kCrFromG, kCrFromB,
};

struct ColorTables {
  LONG lumaTerm[256];     // R(4769 * (x - 16))
  LONG cbBlueTerm[256];   // R(8262 * (x - 128))
  LONG crGreenTerm[256];  // R(-3330 * (x - 128))
  LONG cbGreenTerm[256];  // R(-1606 * (x - 128))
  LONG crRedTerm[256];    // R(6537 * (x - 128))
  LONG rgbToYccTerm[9][256];  // c * x, c in RgbToYccTerm order
  UCHAR quarterClamp[5120];   // entry i at [i + kQuarterClampOrigin]
  UCHAR clamp[1024];          // entry i at [i + kClampOrigin]
  const UCHAR* ClampPointer;         // &clamp[kClampOrigin]
  const UCHAR* QuarterClampPointer;  // &quarterClamp[kQuarterClampOrigin]
};

// Fills every table and both pointers.
void BuildColorTables(ColorTables* colorTables);
