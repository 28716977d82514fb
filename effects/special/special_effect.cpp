// The special-effect selector: picks the numbered effect once per frame and
// runs it from the source frame into the destination frame.
#include "effects/special/special_effect.h"

#include <cstring>

#include "effects/special/pixel_effects.h"

namespace {

// Largest frame the effects accept: 2 x width x height must be a byte count
// the machine can address. Real frames are far smaller.
constexpr SIZE_T kMaxFrameBytes = static_cast<SIZE_T>(-1) / 4;

}  // namespace

LONG ApplySpecialEffect(SpecialEffectRecord* record, UCHAR* destination, const UCHAR* source,
                        UCHAR* workBuffer, const ColorTables* colorTables, ULONG width,
                        ULONG height, ULONG formatCode) {
  // The per-pixel effects need no scratch memory, and they saturate their
  // sums arithmetically (the clamp table covers only -256..767, less than the
  // range of the emboss and edge sums), so neither argument is read here.
  (void)workBuffer;
  (void)colorTables;
  if (record == nullptr) return 0;
  const ULONG effect = ReadULongNoFence(&record->specialEffect);
  if (effect == 0 || effect > 12) return 0;

  // A frame that cannot be processed is passed on untouched: returning 0 lets
  // the chain continue from the source, as when no effect is selected.
  if (destination == nullptr || source == nullptr || width == 0 || height == 0) return 0;
  if (formatCode != kFormatCodeLumaFirst && formatCode != kFormatCodeChromaFirst) return 0;
  if (width > kMaxFrameBytes / 2 / height) return 0;
  const SIZE_T frameBytes = static_cast<SIZE_T>(width) * 2 * height;
  const ULONG lumaOffset = formatCode == kFormatCodeLumaFirst ? 0 : 1;

  switch (effect) {
    case 1:
      NegativeFrame(destination, source, frameBytes);
      return 1;
    case 5:
      EmbossFrame(destination, source, width, height, lumaOffset);
      return 1;
    case 6:
      EdgeDetectFrame(destination, source, width, height, lumaOffset);
      return 1;
    case 8:
      TextureFrame(destination, source, width, height, lumaOffset);
      return 1;
    case 9:
      MosaicFrame(destination, source, width, height, lumaOffset);
      return 1;
    case 11:
      memcpy(destination, source, frameBytes);
      return 1;
    case 12:
      MirrorHalfFrame(destination, source, width, height, lumaOffset);
      return 1;
    default:
      // The photo grid (2), mirrored tiles (3), breathing stretch (4), row
      // warp (7) and moving lens (10) are not built yet: until they are, they
      // select no effect and the frame passes unchanged.
      return 0;
  }
}
