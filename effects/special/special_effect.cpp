// The special-effect selector: picks the numbered effect once per frame and
// runs it from the source frame into the destination frame.
#include "effects/special/special_effect.h"

#include <cstring>

namespace {

// Effect 1: every byte inverted, luma and chroma alike.
void NegativeFrame(UCHAR* destination, const UCHAR* source, SIZE_T bytes) {
  for (SIZE_T i = 0; i < bytes; ++i) destination[i] = static_cast<UCHAR>(255 - source[i]);
}

}  // namespace

LONG ApplySpecialEffect(SpecialEffectRecord* record, UCHAR* destination, const UCHAR* source,
                        UCHAR* workBuffer, const ColorTables* colorTables, ULONG width,
                        ULONG height, ULONG formatCode) {
  (void)workBuffer;
  (void)colorTables;
  (void)formatCode;
  if (record == nullptr) return 0;
  const ULONG effect = ReadULongNoFence(&record->specialEffect);
  // A frame that cannot be processed is passed on untouched: the chain then
  // continues from the source, exactly as when no effect is selected.
  if (destination == nullptr || source == nullptr || width == 0 || height == 0) return 0;
  const SIZE_T frameBytes = static_cast<SIZE_T>(width) * 2 * height;

  switch (effect) {
    case 1:
      NegativeFrame(destination, source, frameBytes);
      return 1;
    case 11:
      memcpy(destination, source, frameBytes);
      return 1;
    default:
      // 0 and numbers above 12 select no effect. The stateful and resampling
      // effects (2, 3, 4, 7, 10) are not built yet and also act as no effect.
      return 0;
  }
}
