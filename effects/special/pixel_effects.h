// The per-pixel special effects. Each reads the whole source frame and writes
// the whole destination frame (packed 4:2:2, 2 x width bytes per row, no row
// padding, both exactly 2 x width x height bytes); none works in place.
//
// `lumaOffset` is 0 for the Y-first order (Y0 U Y1 V) and 1 for the U-first
// order (U Y0 V Y1): the luma of pixel x sits at byte 2x + lumaOffset of its
// row and the chroma byte it carries at byte 2x + 1 - lumaOffset.
//
// Every routine accepts any width and height of at least 1, odd widths
// included, and touches no byte outside the two frames. All sums are
// saturated to 0..255.
#pragma once

#include "platform/wdk.h"

// Number 1: destination[i] = 255 - source[i] over `bytes` bytes.
void NegativeFrame(UCHAR* destination, const UCHAR* source, SIZE_T bytes);

// Number 5: relief of the luma; chroma becomes 128. Top row 128, bottom row
// 192, first and last pixel of the other rows Y 128.
void EmbossFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                 ULONG lumaOffset);

// Number 6: Sobel magnitude of the luma minus 32, and a chroma gradient
// around 128. Top and bottom rows 0; first two and last two pixels of the
// other rows Y 0 and chroma 128.
void EdgeDetectFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                     ULONG lumaOffset);

// Number 8: luma plus (texture sample - 204), chroma copied. The tile is
// chosen by ChooseTextureTile; the frame is walked as consecutive runs of
// (width / tile width) x tile width pixels (the whole width when narrower
// than one tile), the tile row advancing once per run.
void TextureFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                  ULONG lumaOffset);

// Number 9: blocks of one colour (the block's top-left pixel pair, Y0 twice),
// block size chosen by MosaicBlockSize. Blocks cut by the right or bottom edge
// are filled the same way as whole ones.
void MosaicFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                 ULONG lumaOffset);

struct MosaicBlock {
  ULONG width;   // pixels, always even
  ULONG height;  // rows
};
inline MosaicBlock MosaicBlockSize(ULONG width) {
  if (width == 160 || width == 440) return MosaicBlock{8, 6};
  if (width == 320) return MosaicBlock{10, 8};
  return MosaicBlock{16, 12};
}

// Number 12: the left half of every row is kept; the right half is the left
// half mirrored pair by pair, the two lumas of each pair exchanged.
void MirrorHalfFrame(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height,
                     ULONG lumaOffset);
