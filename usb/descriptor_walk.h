// Bounds-checked access to a descriptor set returned by a device. Every read
// goes through these helpers: a descriptor is only looked at when its
// bLength is at least 2 and it lies wholly inside the buffer, and a field is
// only read when the descriptor's own bLength covers it.
#pragma once

#include "platform/wdk.h"

constexpr UCHAR kClassSpecificInterface = 0x24;
constexpr UCHAR kVideoClass = 14;
constexpr UCHAR kVideoControlSubclass = 1;
constexpr UCHAR kVideoStreamingSubclass = 2;

// Video-streaming class-specific descriptor subtypes.
constexpr UCHAR kVsInputHeader = 0x01;
constexpr UCHAR kVsStillImageFrame = 0x03;
constexpr UCHAR kVsFormatUncompressed = 0x04;
constexpr UCHAR kVsFrameUncompressed = 0x05;
constexpr UCHAR kVsFormatMjpeg = 0x06;
constexpr UCHAR kVsFrameMjpeg = 0x07;

// Length of the descriptor at `offset`, or 0 when there is none: the end of
// the buffer, a bLength below 2, or a descriptor running past the end.
inline ULONG DescriptorLengthAt(const UCHAR* set, ULONG length, ULONG offset) {
  if (offset >= length || length - offset < 2) return 0;
  ULONG n = set[offset];
  if (n < 2 || n > length - offset) return 0;
  return n;
}

inline USHORT ReadLe16(const UCHAR* p) { return USHORT(p[0] | (p[1] << 8)); }
inline ULONG ReadLe32(const UCHAR* p) {
  return ULONG(p[0]) | (ULONG(p[1]) << 8) | (ULONG(p[2]) << 16) | (ULONG(p[3]) << 24);
}

// An interface descriptor complete enough to read its nine fields.
inline bool IsInterfaceDescriptor(const UCHAR* d, ULONG n) {
  return n >= 9 && d[1] == USB_INTERFACE_DESCRIPTOR_TYPE;
}
inline bool IsEndpointDescriptor(const UCHAR* d, ULONG n) {
  return n >= 7 && d[1] == USB_ENDPOINT_DESCRIPTOR_TYPE;
}
// Whether this descriptor begins another interface or function than the
// interface `number`: an interface descriptor of another number, or an
// interface association.
inline bool EndsInterface(const UCHAR* d, ULONG n, UCHAR number) {
  if (d[1] == USB_INTERFACE_ASSOCIATION_DESCRIPTOR_TYPE) return true;
  return IsInterfaceDescriptor(d, n) && d[2] != number;
}
