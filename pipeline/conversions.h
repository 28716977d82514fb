// Pixel-format conversions applied at the end of the frame pipeline, from a
// packed YUY2 frame (Y0 U Y1 V per two pixels, rows top-down, 2 * width bytes
// per row, no padding) to:
//  - planar I420: a luma plane of width * height bytes, a U plane of
//    (width / 2) * (height / 2) bytes at byte width * height, a V plane of
//    the same size at byte (5 * width * height) / 4; rows of width and
//    width / 2 bytes;
//  - RGB24: blue, green, red per pixel, rows of 3 * width bytes stored
//    bottom-up (the first input row is the last row in memory);
//  - UYVY: each 4-byte group (Y0 U Y1 V) becomes (U Y0 V Y1).
//
// The colour arithmetic is integer only and the same on every processor:
// the vector paths give exactly the bytes of the table-driven scalar code.
//
// Widths are even for every camera format. An odd width is handled safely:
// the last column's luma is still written to its place in the luma plane
// (I420) or the last pixel is converted with the chroma of the pair to its
// left, or neutral chroma when the width is 1 (RGB24); nothing is written
// outside the layouts above. A zero width or height writes nothing, and so do
// null pointers.
#pragma once

#include "media/color_tables.h"
#include "platform/wdk.h"

// Bytes of the I420 layout above (the end of the V plane); 3 * width *
// height / 2 for even sizes.
SIZE_T I420FrameSize(ULONG width, ULONG height);

// YUY2 -> I420. Rows are taken in pairs: the first row of a pair writes its
// luma and its U and V bytes, the second writes its luma and replaces each U
// and V byte by the average of the two rows' values, rounded down. With a
// height below 2 nothing is written; a last odd row is not used (its luma
// row in the destination is left as it was).
VOID ConvertYuy2ToI420(UCHAR* destination, const UCHAR* source, ULONG width, ULONG height);

// YUY2 -> RGB24 (bottom-up rows) through the colour tables' YCbCr terms and
// quarter clamp.
VOID ConvertYuy2ToRgb24(const ColorTables* colorTables, UCHAR* destination, const UCHAR* source,
                        ULONG width, ULONG height);

// YUY2 -> UYVY over byteCount bytes: byteCount / 4 whole groups are swapped,
// a trailing partial group is not written. destination may equal source.
VOID SwapYuy2ToUyvy(UCHAR* destination, const UCHAR* source, SIZE_T byteCount);
