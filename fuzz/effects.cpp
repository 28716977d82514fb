// Fuzzes the effect chain: the first bytes choose the frame size, the byte
// order and every effect setting, the rest fills the frame. Buffers are
// exactly w * h * 2 bytes, so any access outside a frame is reported; the
// per-stream effects are set up for each input's size.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "effects/special/stream_effects.h"
#include "tests/effects/chain_state.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size <= 16) return 0;
  const ULONG w = 1 + (data[0] | (data[1] & 1) << 8) % 320;
  const ULONG h = 1 + (data[2] | (data[3] & 1) << 8) % 240;
  static ChainState* state = new ChainState();
  ChainState& s = *state;
  ULONG* const switches[] = {&s.badPixelCorrection, &s.chromaSmoothing, &s.autoContrast, &s.verticalFlip,
                             &s.mirror, &s.noiseFilter, &s.zoom.digitalZoom};
  for (int k = 0; k < 7; ++k) *switches[k] = (data[4] >> k) & 1;
  s.specialColor = data[5] % 8;
  s.zoom.zoomFactor = data[6];
  s.zoom.panX = LONG(int8_t(data[7])) * 257;
  s.zoom.panY = LONG(int8_t(data[8])) * 257;
  s.special.specialEffect = data[9] % 16;
  s.zoomPreset = data[10] % 8;
  s.rotation = data[11] % 5;
  FrameFormat format{};
  format.inputWidth = format.outputWidth = w;
  format.inputHeight = format.outputHeight = h;
  format.inputSubtype = format.outputSubtype = (data[12] & 1) ? kSubtypeUyvy : kSubtypeYuy2;
  const size_t bytes = size_t(w) * h * 2;
  std::vector<UCHAR> input(bytes), effect(bytes), work(bytes);
  for (size_t i = 0; i < bytes; ++i) input[i] = data[16 + i % (size - 16)];
  // The buffer the driver holds for overlays (effects 2 and 7 use it too),
  // and the per-stream tables of effects 7 and 10 for this size, as a
  // stream start builds them.
  std::vector<UCHAR> overlay(size_t(w) * h * 3);
  s.special.overlayBitmap = overlay.data();
  s.special.overlayBitmapSize = ULONG(overlay.size());
  const bool perStream = s.special.specialEffect == 7 || s.special.specialEffect == 10;
  if (perStream) SetupStreamEffects(state, w, h, (data[12] & 1) ? 1 : 2, data[13]);
  ApplyEffects(input.data(), work.data(), effect.data(), &Tables(), &format, state, state);
  if (perStream) ReleaseStreamEffects(state);
  s.special.overlayBitmap = nullptr;
  s.special.overlayBitmapSize = 0;
  return 0;
}
