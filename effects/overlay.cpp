// Overlay bitmaps: file names, loading and conversion, the four compositions
// and the overlay tail of the chain.
#include "effects/overlay.h"

#include <cstring>

#include "effects/image_filters.h"
#include "effects/special/special_effect.h"
#include "effects/system_file.h"

namespace {

// Appends ASCII text or a decimal number to a bounded wide string.
struct NameWriter {
  WCHAR* out;
  ULONG capacity;
  ULONG length = 0;
  bool ok = true;
  VOID Put(const char* text) {
    for (; *text != 0; ++text) {
      if (length + 1 >= capacity) {
        ok = false;
        return;
      }
      out[length++] = WCHAR(static_cast<unsigned char>(*text));
    }
  }
  VOID Put(ULONG value) {
    char digits[11];
    int n = 0;
    do {
      digits[n++] = char('0' + value % 10);
      value /= 10;
    } while (value != 0);
    char text[12];
    for (int i = 0; i < n; ++i) text[i] = digits[n - 1 - i];
    text[n] = 0;
    Put(text);
  }
};

constexpr ULONG kBmpHeaderBytes = 54;

inline ULONG Read32(const UCHAR* p) {
  return ULONG(p[0]) | ULONG(p[1]) << 8 | ULONG(p[2]) << 16 | ULONG(p[3]) << 24;
}
inline ULONG Read16(const UCHAR* p) { return ULONG(p[0]) | ULONG(p[1]) << 8; }

}  // namespace

bool OverlayFileName(ULONG mode, ULONG w, ULONG h, WCHAR* name, ULONG capacity) {
  if (name == nullptr || capacity == 0) return false;
  NameWriter n{name, capacity};
  n.Put("\\SystemRoot\\system32\\");
  if (mode == 1) {
    n.Put("magnifier");
  } else if (mode == 2) {
    n.Put("aim");
  } else if (mode == 3) {
    n.Put("Newspaper");
  } else if (mode >= 4 && mode <= 20) {
    n.Put(mode - 3);
  } else if (mode == 254) {
    n.Put("SP_AIM");
  } else {
    name[0] = 0;
    return false;
  }
  n.Put("_");
  n.Put(w);
  n.Put("_");
  n.Put(h);
  n.Put(".bmp");
  name[n.ok ? n.length : 0] = 0;
  return n.ok;
}

VOID RgbRowsToPacked422(const ColorTables* ct, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                        SIZE_T stride, bool bottomUp, ULONG lumaFirst) {
  const LONG(*t)[256] = ct->rgbToYccTerm;
  const UCHAR* clamp = ct->ClampPointer;
  for (ULONG row = 0; row < h; ++row) {
    const UCHAR* in = src + SIZE_T(bottomUp ? h - 1 - row : row) * stride;
    UCHAR* out = dst + SIZE_T(row) * w * 2;
    for (ULONG x = 0; x + 1 < w; x += 2, in += 6, out += 4) {
      const ULONG b0 = in[0], g0 = in[1], r0 = in[2], b1 = in[3], g1 = in[4], r1 = in[5];
      const UCHAR y0 = clamp[(t[kYFromR][r0] + t[kYFromG][g0] + t[kYFromB][b0]) >> 12];
      const UCHAR y1 = clamp[(t[kYFromR][r1] + t[kYFromG][g1] + t[kYFromB][b1]) >> 12];
      const LONG u = t[kCbFromR][r0] + t[kCbFromG][g0] + t[kCbFromB][b0] + t[kCbFromR][r1] +
                     t[kCbFromG][g1] + t[kCbFromB][b1];
      const LONG v = t[kCrFromR][r0] + t[kCrFromG][g0] + t[kCrFromB][b0] + t[kCrFromR][r1] +
                     t[kCrFromG][g1] + t[kCrFromB][b1];
      const UCHAR cu = clamp[(u + 0x101000) >> 13], cv = clamp[(v + 0x101000) >> 13];
      if (lumaFirst) {
        out[0] = y0, out[1] = cu, out[2] = y1, out[3] = cv;
      } else {
        out[0] = cu, out[1] = y0, out[2] = cv, out[3] = y1;
      }
    }
  }
}

VOID RgbToPacked422(const ColorTables* ct, UCHAR* dst, const UCHAR* src, ULONG w, ULONG h,
                    ULONG lumaFirst) {
  RgbRowsToPacked422(ct, dst, src, w, h, SIZE_T(w) * 3, true, lumaFirst);
}

LONG LoadOverlayBitmap(SpecialEffectRecord* record, ULONG mode, UCHAR* workBuffer,
                       const ColorTables* colorTables, ULONG w, ULONG h, ULONG formatCode) {
  if (record == nullptr || workBuffer == nullptr || colorTables == nullptr) return 0;
  if (formatCode != kFormatCodeLumaFirst && formatCode != kFormatCodeChromaFirst) return 0;
  UCHAR* bitmap = record->overlayBitmap;
  if (bitmap == nullptr || !PackedFrameUsable(w, h)) return 0;
  const SIZE_T stride = (SIZE_T(w) * 3 + 3) & ~SIZE_T(3);
  const SIZE_T pixelBytes = stride * h;
  if (pixelBytes > record->overlayBitmapSize || pixelBytes > 0xFFFFFFFFu) return 0;

  WCHAR path[kOverlayNameChars];
  if (!OverlayFileName(mode, w, h, path, kOverlayNameChars)) return 0;
  HANDLE file = nullptr;
  IO_STATUS_BLOCK io = {};
  NTSTATUS status = OpenSystemFile(path, GENERIC_READ, FILE_SHARE_READ, FILE_OPEN, &file);
  if (!NT_SUCCESS(status)) return 0;

  // The headers: "BM", 24 bits per pixel, no compression, exactly w x h
  // (a negative height is a top-down image), pixel data after the headers.
  UCHAR header[kBmpHeaderBytes];
  LARGE_INTEGER offset;
  offset.QuadPart = 0;
  io = {};
  status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, header, kBmpHeaderBytes, &offset, nullptr);
  bool ok = NT_SUCCESS(status) && io.Information == kBmpHeaderBytes;
  bool bottomUp = true;
  if (ok) {
    const ULONG dataOffset = Read32(header + 10), infoSize = Read32(header + 14);
    const LONG width = LONG(Read32(header + 18)), height = LONG(Read32(header + 22));
    bottomUp = height > 0;
    ok = header[0] == 'B' && header[1] == 'M' && infoSize >= 40 && dataOffset >= 14 + infoSize &&
         Read16(header + 26) == 1 && Read16(header + 28) == 24 && Read32(header + 30) == 0 &&
         width == LONG(w) && (height == LONG(h) || (height < 0 && ULONG(0) - ULONG(height) == h));
    if (ok) {
      offset.QuadPart = dataOffset;
      io = {};
      status = ZwReadFile(file, nullptr, nullptr, nullptr, &io, bitmap, ULONG(pixelBytes), &offset,
                          nullptr);
      // A short read is a failed load: the rest of the buffer holds no picture.
      ok = NT_SUCCESS(status) && io.Information == pixelBytes;
    }
  }
  ZwClose(file);
  if (!ok) return 0;
  RgbRowsToPacked422(colorTables, workBuffer, bitmap, w, h, stride, bottomUp,
                     formatCode == kFormatCodeLumaFirst ? 1 : 0);
  memcpy(bitmap, workBuffer, PackedFrameBytes(w, h));
  return 1;
}

namespace {

// The three compositions differ only in what a transparent pixel does.
enum class Transparent { kKeep, kAim, kGrey };

template <Transparent kMode>
LONG Compose(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst) {
  if (frame == nullptr || bitmap == nullptr || !PackedFrameUsable(w, h)) return 1;
  const ULONG yo = lumaFirst ? 0 : 1, co = lumaFirst ? 1 : 0;
  const SIZE_T pairs = SIZE_T(w / 2) * h;
  for (SIZE_T m = 0; m < pairs; ++m, frame += 4, bitmap += 4) {
    for (ULONG p = 0; p < 2; ++p) {
      const ULONG y = yo + 2 * p;
      if (bitmap[y] != 0) {
        frame[y] = bitmap[y];
        frame[co] = bitmap[co];
        frame[co + 2] = bitmap[co + 2];
      } else if (kMode == Transparent::kAim) {
        frame[y] = UCHAR(frame[y] * 4 / 10);
        frame[co] = 86;
        frame[co + 2] = 75;
      } else if (kMode == Transparent::kGrey) {
        frame[co] = 128;
        frame[co + 2] = 128;
      }
    }
  }
  return 1;
}

}  // namespace

LONG OverlayKeyed(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst) {
  return Compose<Transparent::kKeep>(frame, bitmap, w, h, lumaFirst);
}
LONG OverlayAim(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst) {
  return Compose<Transparent::kAim>(frame, bitmap, w, h, lumaFirst);
}
LONG OverlayNewspaper(UCHAR* frame, const UCHAR* bitmap, ULONG w, ULONG h, ULONG lumaFirst) {
  return Compose<Transparent::kGrey>(frame, bitmap, w, h, lumaFirst);
}

LONG MagnifierLens(UCHAR* frame, UCHAR* workBuffer, ULONG w, ULONG h, LONG centreX, LONG centreY,
                   LONG radius, ULONG formatCode) {
  if (frame == nullptr || workBuffer == nullptr || radius <= 0 || !PackedFrameUsable(w, h)) return 1;
  if (formatCode != kFormatCodeLumaFirst && formatCode != kFormatCodeChromaFirst) return 1;
  const LONG x0 = centreX - radius, y0 = centreY - radius;
  if (ZoomWindow(workBuffer, frame, w, h, 32, x0, y0, formatCode == kFormatCodeLumaFirst ? 1 : 0) == 0)
    return 1;  // the zoom window wrote nothing new: leave the frame
  const LONGLONG r2 = LONGLONG(radius) * radius;
  const SIZE_T rowBytes = SIZE_T(w) * 2;
  for (LONG i = 0; i < 2 * radius; ++i) {
    const LONG row = y0 + i;
    if (row < 0 || row >= LONG(h)) continue;
    const LONGLONG dy = radius - i;
    for (LONG j = 0; j < 2 * radius; ++j) {
      const LONG col = x0 + j;
      const LONGLONG dx = radius - j;
      if (col < 0 || col >= LONG(w) || dx * dx + dy * dy >= r2) continue;
      const SIZE_T at = SIZE_T(row) * rowBytes + SIZE_T(col) * 2;
      frame[at] = workBuffer[at];
      frame[at + 1] = workBuffer[at + 1];
    }
  }
  return 1;
}

LONG ApplyOverlay(SpecialEffectRecord* record, UCHAR* cur, UCHAR* workBuffer,
                  const ColorTables* colorTables, ULONG w, ULONG h, ULONG lumaFirst) {
  if (record == nullptr) return 0;
  SpecialEffectRecord& r = *record;
  const ULONG mode = ReadULongNoFence(&r.overlayMode);
  if (mode == 0) return 0;
  const ULONG formatCode = lumaFirst ? kFormatCodeLumaFirst : kFormatCodeChromaFirst;
  // The bitmap counts as loaded only for the mode and size it was read for.
  if (ReadULongNoFence(&r.overlayLoaded) != 1 || r.loadedOverlayMode != mode ||
      r.loadedWidth != w || r.loadedHeight != h) {
    WriteULongNoFence(&r.overlayLoaded, 0);
    r.loadedOverlayMode = 0;
    if (LoadOverlayBitmap(&r, mode, workBuffer, colorTables, w, h, formatCode) == 0) return 0;
    r.loadedOverlayMode = mode;
    r.loadedWidth = w;
    r.loadedHeight = h;
    WriteULongNoFence(&r.overlayLoaded, 1);
    // A mode change while loading: the next frame loads the new mode's file.
    if (ReadULongNoFence(&r.overlayMode) != mode) return 0;
  }
  const UCHAR* bitmap = r.overlayBitmap;
  switch (mode) {
    case 1: {
      // The magnifier's geometry, then its glass from the bitmap.
      const LONG cx = LONG(w) * 100 / 249, cy = LONG(h) * 100 / 186, radius = LONG(w) / 5;
      WriteULongNoFence(&r.lensCenterX, ULONG(cx));
      WriteULongNoFence(&r.lensCenterY, ULONG(cy));
      WriteULongNoFence(&r.lensRadius, ULONG(radius));
      MagnifierLens(cur, workBuffer, w, h, cx, cy, radius, formatCode);
      OverlayKeyed(cur, bitmap, w, h, lumaFirst);
      return 1;
    }
    case 2:
      OverlayAim(cur, bitmap, w, h, lumaFirst);
      return 1;
    case 3:
      OverlayNewspaper(cur, bitmap, w, h, lumaFirst);
      return 1;
    default:
      OverlayKeyed(cur, bitmap, w, h, lumaFirst);
      return 1;
  }
}
