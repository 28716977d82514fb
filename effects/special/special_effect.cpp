// The special-effect selector: picks the numbered effect once per frame and
// runs it from the source frame into the destination frame.
#include "effects/special/special_effect.h"

#include <cstring>

#include "effects/special/frame_effects.h"
#include "effects/special/pixel_effects.h"
#include "effects/special/stream_effects.h"

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
    case 2:
      // The grid holds its picture in the overlay bitmap buffer: while an
      // overlay is on it has no held frame and writes nothing.
      if (ReadULongNoFence(&record->overlayMode) != 0) return 0;
      // The buffer stops holding an overlay before the grid draws into it.
      WriteULongNoFence(&record->overlayLoaded, 0);
      record->loadedOverlayMode = 0;
      return PhotoGridFrame(record, destination, source, width, height, lumaOffset,
                            SystemTimeMs());
    case 3:
      return MirroredTilesFrame(destination, source, width, height, lumaOffset);
    case 4:
      return BreathingStretchFrame(destination, source, width, height, lumaOffset);
    case 7:
      if (ReadULongNoFence(&record->overlayMode) != 0) return 0;
      WriteULongNoFence(&record->overlayLoaded, 0);
      record->loadedOverlayMode = 0;
      return RowWarpFrame(record, destination, source, width, height, lumaOffset);
    case 10:
      return MovingLensFrame(record, destination, source, width, height, lumaOffset);
    default:
      return 0;
  }
}
