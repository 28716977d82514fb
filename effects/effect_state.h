// What the effect chain reads and what it owns. EffectSettings holds the
// picture settings the chain reads on every frame (the controls keep them
// inside their settings record and write them); EffectWorkState holds the
// effect records the chain works on. Both live in the device's record
// (driver/device_state.h), allocated zero-filled at device start (tag KLRX)
// and freed at device stop.
//
// Settings written by a property handler while frames are processed are
// single 32-bit words: the chain reads them with ReadULongNoFence /
// ReadLongNoFence and the handlers write them with WriteULongNoFence /
// WriteLongNoFence (see the Load/Store helpers at the end of this file).
// Work state is touched only from the processing path, apart from the
// effect selector, the overlay mode and the auto-framing switch, which the
// vendor items set through the same helpers.
#pragma once

#include "effects/special/special_effect_record.h"
#include "platform/wdk.h"

// Digital zoom and pan of the vendor set, read by the chain (digital zoom
// step). Pan is in 1/64 pixel; the percentages let a new stream size keep
// the same view.
struct ZoomRecord {
  ULONG digitalZoom;  // 1 = digital zoom on
  ULONG zoomFactor;   // window size in 1/64 of the frame; 64 = whole frame
  LONG panX;          // window origin, 1/64 pixel
  LONG panY;
  LONG panXPercent;
  LONG panYPercent;
};

// Auto-framing work state. Cells are 1/40 x 1/30 of the frame, sub-cells
// 1/160 x 1/120.
constexpr ULONG kFramingCellColumns = 40;
constexpr ULONG kFramingCellRows = 30;
constexpr ULONG kFramingSubCellColumns = 160;
constexpr ULONG kFramingSubCellRows = 120;

struct FramingCell {
  UCHAR label;      // blob number
  USHORT lumaSum;
  ULONG skin;       // 1 = more than 40 % skin pixels
};

struct FramingSubCell {
  USHORT maskCount;
  ULONG skin;
  ULONG background;
  ULONG holeLabel;  // validation: connected hole region
  ULONG visited;    // validation work mark
};

struct AutoFramingState {
  FramingCell cells[kFramingCellColumns * kFramingCellRows];
  FramingSubCell subCells[kFramingSubCellColumns * kFramingSubCellRows];
  ULONG enabled;         // the switch read by the chain
  ULONG detected;
  ULONG settled;
  ULONG mode;            // 2 = moving toward the target, 3 = reached, else detecting
  ULONG zoomStableCount;
  ULONG missCount;
  ULONG xStableCount;
  ULONG yStableCount;
  ULONG currentZoom;
  ULONG zoomDirection;   // 1 = zooming in
  ULONG targetZoom;
  LONG currentX;
  LONG currentY;
  ULONG xSpeed;
  ULONG ySpeed;
  ULONG lastX;
  ULONG lastY;
  ULONG lastZoom;
  ULONG targetX;
  ULONG targetY;
  // Chain-owned work area of the detector, per device so that two cameras
  // never share it: cells per blob label, the hole fill's stack, and whether
  // the step ran on the previous frame (a switch-on starts from the whole
  // frame).
  ULONG running;
  ULONG labelCells[256];
  USHORT fillStack[kFramingSubCellColumns * kFramingSubCellRows];
};

// The picture settings the chain reads (the persisted ones by name).
struct EffectSettings {
  ULONG mirror;              // "Mirror": 1 = mirror every row
  ULONG verticalFlip;        // "Vertical Flip": 1 = upside down
  ULONG specialColor;        // "Special Color": 0..5
  ULONG zoomPreset;          // 0 = off, 1..5 fixed centre zoom
  ULONG badPixelCorrection;  // "BPC Enable"
  ULONG chromaSmoothing;
  ULONG autoContrast;        // "Auto Contrast Flag"
  ULONG noiseFilter;         // "Noise filter"
  ULONG rotation;            // 0 = off; 1, 2, 3 = rotate
  ZoomRecord zoom;           // digital zoom, zoom factor, pan x, pan y
};

// The effect chain's own records. The special-effect record and the
// auto-framing record stay whole: besides their work fields they carry the
// effect selector, the overlay mode and the auto-framing switch, which the
// vendor items set and the settings loader clears.
struct EffectWorkState {
  SpecialEffectRecord special;
  AutoFramingState autoFraming;
  // Chain-owned frame counter (per stream, cleared at stream start); its low
  // two bits are the bad-pixel band scanned in the current frame.
  ULONG chainFrameCounter;
};

// Cross-thread access to single words of the settings and work records.
inline ULONG LoadSetting(const ULONG& field) { return ReadULongNoFence(&field); }
inline LONG LoadSetting(const LONG& field) { return ReadLongNoFence(&field); }
inline VOID StoreSetting(ULONG& field, ULONG value) { WriteULongNoFence(&field, value); }
inline VOID StoreSetting(LONG& field, LONG value) { WriteLongNoFence(&field, value); }

static_assert(sizeof(ZoomRecord) == 6 * 4, "the zoom record is six 32-bit words");
