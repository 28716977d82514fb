#include "media/color_tables.h"

namespace {

// Fills one YCbCr-to-RGB term table with R(c * (x - k)), R being n / 1024
// rounded half away from zero. The value is accumulated entry by entry: the
// accumulator starts at c*(0-k) with the rounding half pointing away from
// zero and restarts at the centre entry, where the sign of the term flips.
void FillTerm(LONG* table, LONG c, LONG k) {
  const LONG half = c >= 0 ? 512 : -512;
  LONG acc = c * (0 - k) - half;
  for (LONG x = 0; x < 256; ++x) {
    if (x == k) acc = half;
    table[x] = acc / 1024;  // C++ division truncates toward zero
    acc += c;
  }
}

}  // namespace

void BuildColorTables(ColorTables* t) {
  for (int i = -2048; i < 3072; ++i) {
    UCHAR v = i < 0 ? 0 : (i < 1024 ? UCHAR(i >> 2) : 255);
    t->quarterClamp[i + kQuarterClampOrigin] = v;
  }
  FillTerm(t->lumaTerm, 4769, 16);
  FillTerm(t->cbBlueTerm, 8262, 128);
  FillTerm(t->crGreenTerm, -3330, 128);
  FillTerm(t->cbGreenTerm, -1606, 128);
  FillTerm(t->crRedTerm, 6537, 128);
  for (int i = -256; i < 768; ++i) {
    t->clamp[i + kClampOrigin] = UCHAR(i < 0 ? 0 : (i > 255 ? 255 : i));
  }
  t->ClampPointer = &t->clamp[kClampOrigin];
  t->QuarterClampPointer = &t->quarterClamp[kQuarterClampOrigin];
  static const LONG kCoefficients[9] = {1225, 2404, 467, -691, -1357, 2048, 2048, -1715, -333};
  for (int k = 0; k < 9; ++k) {
    for (LONG x = 0; x < 256; ++x) t->rgbToYccTerm[k][x] = kCoefficients[k] * x;
  }
}
