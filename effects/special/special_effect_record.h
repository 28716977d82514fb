// State of the numbered special effects, kept inside EffectWorkState. Cleared and
// given its overlay bitmap buffer at device start; the buffer is freed at
// device stop. Fields are 32-bit words unless stated, in record order.
#pragma once

#include "platform/wdk.h"

// Moving-lens effect (number 10): set up at stream start, advanced per frame.
struct LensRecord {
  ULONG lensActive;        // first word: 1 while the effect may run
  UCHAR* source;           // frames of the current call
  UCHAR* destination;
  UCHAR* window;           // lens window buffer, size*size*3*4 bytes
  ULONG width;             // frame size the record was set up for
  ULONG height;
  ULONG outputFormatFlag;  // 1 when the output subtype is not YUY2, else 2
  ULONG lensSize;          // S, pixels
  LONG x;                  // lens position
  LONG y;
  LONG dx;                 // velocity
  LONG dy;
  ULONG sizeIndex;         // index into the lens size table
  ULONG largestSizeIndex;
  ULONG windowOrigin;
  ULONG bounced;
  LONG boundX;             // w - S
  LONG boundY;             // h - S
  UCHAR* rowTableA;        // two work tables of height bytes
  UCHAR* rowTableB;
  UCHAR* planes[3];        // three buffers of S*S*3 bytes
  ULONG windowBytes;       // allocated sizes, for bounds checks and frees
  ULONG planeBytes;
};

struct SpecialEffectRecord {
  ULONG specialEffect;  // 0 = none, 1..12 = the effect
  ULONG overlayMode;    // 0 = no overlay
  ULONG reserved[2];    // not used by the effects
  ULONG gridCounter;    // effect 2: cells filled so far; 0 = clear the held frame first
  ULONG gridTime;       // effect 2: ms of the last cell update; 0 = not started
  ULONG overlayLoaded;  // 1 = overlayBitmap holds the bitmap of the current mode and size
  ULONG lensCenterX;    // magnifier geometry of overlay mode 1
  ULONG lensCenterY;
  ULONG lensRadius;
  UCHAR* overlayBitmap;     // frame-buffer-sized buffer (tag KLRX)
  ULONG overlayBitmapSize;  // its size in bytes
  LensRecord lens;          // effect 10
  USHORT* warpMargins;      // effect 7: per-row left margins
  USHORT* warpRates;        // effect 7: per-row resampling rates
  ULONG warpRows;           // entries in each warp table
  ULONG warpReady;          // effect 7 runs only when nonzero
  USHORT* warpColumns;      // effect 7: column tables, warpWidth source pixels each
  ULONG* warpTableStart;    // effect 7: per entry, its column table's first index
  ULONG* warpPixels;        // effect 7: work space of warpWidth + 1 words
  ULONG warpWidth;          // frame width the warp was set up for
  // What overlayBitmap holds while overlayLoaded is 1: the overlay mode and
  // frame size it was loaded for, so a bitmap is never shown for another.
  ULONG loadedOverlayMode;
  ULONG loadedWidth;
  ULONG loadedHeight;
};
