// ApplyEffects: the fixed order of the effect steps and the exchange of the
// two frame buffers.
//
// The special effects are the selector's business, the overlay tail the
// overlay module's.
#include "effects/effect_chain.h"

#include "effects/auto_framing.h"
#include "effects/frame_transform.h"
#include "effects/overlay.h"
#include "effects/special/special_effect.h"

namespace {

// The special effect that hands on an unchanged copy of its source.
constexpr ULONG kCopyEffect = 11;

}  // namespace

LONG ApplyEffects(UCHAR* input, UCHAR* workBuffer, UCHAR* effectBuffer,
                  const ColorTables* colorTables, const FrameFormat* frameFormat,
                  const EffectSettings* effectSettings, EffectWorkState* effectState) {
  // The bad-pixel band follows the chain's own per-stream frame counter in
  // EffectWorkState.
  if (input == nullptr || effectBuffer == nullptr || colorTables == nullptr ||
      frameFormat == nullptr || effectSettings == nullptr || effectState == nullptr ||
      effectBuffer == input) {
    return 0;
  }
  const EffectSettings& settings = *effectSettings;
  EffectWorkState& s = *effectState;
  const ULONG w = frameFormat->inputWidth;
  const ULONG h = frameFormat->inputHeight;
  const ULONG lumaFirst = IsEqualGUID(frameFormat->inputSubtype, kSubtypeYuy2) ||
                                  IsEqualGUID(frameFormat->inputSubtype, kSubtypeMjpg)
                              ? 1
                              : 0;
  const ULONG formatCode = lumaFirst ? kFormatCodeLumaFirst : kFormatCodeChromaFirst;
  const UCHAR* clamp = colorTables->ClampPointer;

  UCHAR* cur = input;
  UCHAR* alt = effectBuffer;
  auto swap = [&cur, &alt]() {
    UCHAR* t = cur;
    cur = alt;
    alt = t;
  };

  const ULONG frameCount = LoadSetting(s.chainFrameCounter);
  StoreSetting(s.chainFrameCounter, frameCount + 1);

  // 1. Bad-pixel correction, in place; the band scanned follows the frame count.
  if (LoadSetting(settings.badPixelCorrection) == 1) {
    BadPixelCorrection(cur, clamp, w, h, frameCount & 3, kBadPixelMargin, lumaFirst ? 0 : 1);
  }
  // 2. Chroma smoothing, cur -> alt.
  if (LoadSetting(settings.chromaSmoothing) == 1) {
    ChromaSmoothing(alt, cur, w, h, lumaFirst);
    swap();
  }
  // 3. Auto contrast: rebuild the luma curve from this frame; 4. special
  // colour, always (0 changes nothing); 5. vertical flip; 6. mirror. The
  // curve, the colour and the moves are one in-place pass.
  FrameTransform transform{};
  UCHAR curve[256];
  if (LoadSetting(settings.autoContrast) == 1) {
    AutoContrast(cur, clamp, lumaFirst, w, h);
    for (ULONG v = 0; v < 256; ++v) curve[v] = ReadUCharNoFence(&LumaCurve[v]);
    transform.curve = curve;
  }
  transform.specialColor = LoadSetting(settings.specialColor);
  transform.flip = LoadSetting(settings.verticalFlip);
  transform.mirror = LoadSetting(settings.mirror);
  transform.lumaFirst = lumaFirst;
  TransformFrame(cur, w, h, transform);
  // 7. Noise filter, cur -> alt.
  if (LoadSetting(settings.noiseFilter) == 1) {
    NoiseFilter(alt, cur, w, h);
    swap();
  }
  // 8. Auto framing, cur -> alt, for frames up to 1280 pixels wide.
  if (LoadSetting(s.autoFraming.enabled) == 1 && w <= 1280 && workBuffer != nullptr &&
      PackedFrameUsable(w, h)) {
    AutoFraming(&s.autoFraming, workBuffer, cur, alt, w, h, lumaFirst);
    swap();
  } else {
    s.autoFraming.running = 0;
  }
  // 9. Digital zoom, cur -> alt; pan is in 1/64 pixel, truncated toward zero.
  const ULONG zoomFactor = LoadSetting(settings.zoom.zoomFactor);
  if (LoadSetting(settings.zoom.digitalZoom) == 1 && zoomFactor != 64) {
    const LONG factor = zoomFactor > 64 ? 64 : LONG(zoomFactor);
    ZoomWindow(alt, cur, w, h, factor, LoadSetting(settings.zoom.panX) / 64,
               LoadSetting(settings.zoom.panY) / 64, lumaFirst);
    swap();
  }
  // 10. Special effects: the selector reports whether it wrote alt. Effect
  // 11 only copies the frame: the frame stays where it is instead.
  if (LoadSetting(s.special.specialEffect) != kCopyEffect &&
      ApplySpecialEffect(&s.special, alt, cur, workBuffer, colorTables, w, h, formatCode) != 0) {
    swap();
  }
  // 11. Zoom preset, cur -> alt.
  const ULONG preset = LoadSetting(settings.zoomPreset);
  if (preset != 0) {
    ZoomPreset(alt, cur, w, h, preset, lumaFirst);
    swap();
  }
  // 12. Rotation, cur -> alt; from here on only in-place work would follow.
  const ULONG rotation = LoadSetting(settings.rotation);
  if (rotation >= 1 && rotation <= 3) {
    RotateFrame(alt, cur, w, h, rotation, lumaFirst ? 0 : 1);
    cur = alt;
  }
  // 13. Overlay, in place. A bitmap that cannot be loaded leaves the frame
  // as the earlier steps made it; the load is tried again next frame.
  if (workBuffer != nullptr) ApplyOverlay(&s.special, cur, workBuffer, colorTables, w, h, lumaFirst);
  // 14. Which buffer holds the finished frame.
  return cur != input ? 1 : 0;
}
