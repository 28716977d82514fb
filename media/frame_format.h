// One entry of the format table and the per-frame format copy: what the
// camera sends (input) and what the application receives (output).
#pragma once

#include "platform/wdk.h"

struct FrameFormat {
  ULONG inputWidth;
  ULONG inputHeight;
  ULONG outputWidth;
  ULONG outputHeight;
  GUID inputSubtype;
  GUID outputSubtype;
  ULONG formatIndex;      // bFormatIndex of the camera's format descriptor
  ULONG frameIndex;       // bFrameIndex of the camera's frame descriptor
  ULONG defaultInterval;  // default frame interval, 100 ns units
  // The fastest and slowest frame intervals the frame descriptor offers
  // (100 ns units; 0 when it names none).
  ULONG minInterval;
  ULONG maxInterval;
};

// Media subtypes. The FOURCC-based ones are {fourcc-0000-0010-8000-00AA00389B71}.
constexpr GUID MakeFourccSubtype(char a, char b, char c, char d) {
  return GUID{ULONG(UCHAR(a)) | ULONG(UCHAR(b)) << 8 | ULONG(UCHAR(c)) << 16 | ULONG(UCHAR(d)) << 24,
              0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
}
constexpr GUID kSubtypeYuy2 = MakeFourccSubtype('Y', 'U', 'Y', '2');
constexpr GUID kSubtypeUyvy = MakeFourccSubtype('U', 'Y', 'V', 'Y');
constexpr GUID kSubtypeMjpg = MakeFourccSubtype('M', 'J', 'P', 'G');
constexpr GUID kSubtypeI420 = MakeFourccSubtype('I', '4', '2', '0');
constexpr GUID kSubtypeRgb24 = {0xe436eb7d, 0x524f, 0x11ce,
                                {0x9f, 0x53, 0x00, 0x20, 0xaf, 0x0b, 0xa7, 0x70}};
