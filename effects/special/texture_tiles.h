// Greyscale texture of the texture effect (number 8) and the choice of the
// tile that repeats over a frame of a given size.
#pragma once

#include "platform/wdk.h"

// One texture, 32 x 24 samples (one byte per pixel). The three tiles are its
// top-left corners: 32 x 24, 20 x 15 and 16 x 12.
constexpr ULONG kTextureWidth = 32;
constexpr ULONG kTextureHeight = 24;

// Samples lie in kTextureLow..kTextureHigh; their mean over the whole texture
// is kTextureMean, so that the effect's offset keeps the average brightness.
constexpr LONG kTextureLow = 131;
constexpr LONG kTextureHigh = 255;
constexpr LONG kTextureMean = 205;
// The texture effect adds (sample - kTextureOffset) to every luma value.
constexpr LONG kTextureOffset = 204;

extern const UCHAR kTextureSamples[kTextureHeight][kTextureWidth];

struct TextureTile {
  ULONG width;   // pixels
  ULONG height;  // rows
};

// The tile for a frame size: the full texture when the width is a multiple of
// 32; else 20 x 15 when the width is a multiple of 20 or the height of 15;
// else 16 x 12.
inline TextureTile ChooseTextureTile(ULONG width, ULONG height) {
  if (width % 32 == 0) return TextureTile{32, 24};
  if (width % 20 == 0 || height % 15 == 0) return TextureTile{20, 15};
  return TextureTile{16, 12};
}
