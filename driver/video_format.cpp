// The intersect handler and the connection-format checks of both pins. The
// application's range or format is untrusted: every size is checked against
// the size the caller declared, in 64 bits, before anything is read.
#include "driver/pin_context.h"

namespace {

constexpr ULONGLONG kBeforeBitmapHeader = offsetof(KS_VIDEOINFOHEADER, bmiHeader);  // 48
// Offset of the bitmap header in a data range (208 + 48) and in a format (64 + 48).
constexpr ULONGLONG kRangeHeaderOffset = offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) + kBeforeBitmapHeader;
constexpr ULONGLONG kFormatHeaderOffset = sizeof(KSDATAFORMAT) + kBeforeBitmapHeader;
static_assert(kRangeHeaderOffset == 256 && kFormatHeaderOffset == 112, "bitmap header offsets");

// Bytes of an image as a bitmap lays it out: rows padded to 4 bytes.
bool ImageSize(const KS_BITMAPINFOHEADER& h, ULONGLONG* size) {
  if (h.biWidth <= 0 || h.biHeight == 0 || h.biBitCount == 0) return false;
  ULONGLONG height = h.biHeight < 0 ? ULONGLONG(-LONGLONG(h.biHeight)) : ULONGLONG(h.biHeight);
  ULONGLONG stride = ((ULONGLONG(h.biBitCount) * ULONGLONG(h.biWidth) + 31) / 8) & ~3ull;
  *size = stride * height;
  return *size <= 0xFFFFFFFFull;
}

}  // namespace

NTSTATUS IntersectHandler(PVOID, PIRP, PKSP_PIN, PKSDATARANGE callerRange,
                          PKSDATARANGE descriptorRange, ULONG bufferSize, PVOID data,
                          PULONG dataSize) {
  if (!callerRange || !descriptorRange || !dataSize) return STATUS_INVALID_PARAMETER;
  if (!IsEqualGUID(callerRange->Specifier, kSpecifierVideoInfo) ||
      callerRange->FormatSize < sizeof(KS_DATARANGE_VIDEO))
    return STATUS_NO_MATCH;
  auto* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(callerRange);
  auto* ours = reinterpret_cast<const KS_DATARANGE_VIDEO*>(descriptorRange);
  if (caller->bFixedSizeSamples != ours->bFixedSizeSamples ||
      caller->bTemporalCompression != ours->bTemporalCompression ||
      caller->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
      caller->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
      RtlCompareMemory(&caller->ConfigCaps, &ours->ConfigCaps, sizeof caller->ConfigCaps) != sizeof caller->ConfigCaps)
    return STATUS_NO_MATCH;
  const KS_BITMAPINFOHEADER& h = caller->VideoInfoHeader.bmiHeader;
  const KS_BITMAPINFOHEADER& r = ours->VideoInfoHeader.bmiHeader;
  ULONGLONG b = h.biSize;
  if (b < sizeof(KS_BITMAPINFOHEADER) || b + kRangeHeaderOffset > callerRange->FormatSize)
    return STATUS_INVALID_PARAMETER;
  if (h.biWidth != r.biWidth || h.biHeight != r.biHeight || h.biCompression != r.biCompression)
    return STATUS_NO_MATCH;
  ULONGLONG image = 0;
  if (h.biBitCount != r.biBitCount || !ImageSize(h, &image) || image < descriptorRange->SampleSize)
    return STATUS_INVALID_PARAMETER;
  ULONGLONG resultSize = b + kFormatHeaderOffset;
  if (resultSize > 0xFFFFFFFFull) return STATUS_INVALID_PARAMETER;
  if (bufferSize == 0) {
    *dataSize = ULONG(resultSize);
    return STATUS_BUFFER_OVERFLOW;
  }
  if (bufferSize < resultSize || !data) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<UCHAR*>(data);
  RtlCopyMemory(out, descriptorRange, sizeof(KSDATAFORMAT));
  auto* format = reinterpret_cast<KSDATAFORMAT*>(out);
  format->FormatSize = ULONG(resultSize);
  RtlCopyMemory(out + sizeof(KSDATAFORMAT), &caller->VideoInfoHeader, SIZE_T(b + kBeforeBitmapHeader));
  format->SampleSize = ULONG(image);
  auto* info = reinterpret_cast<KS_VIDEOINFOHEADER*>(out + sizeof(KSDATAFORMAT));
  info->bmiHeader.biSizeImage = ULONG(image);
  // The frame interval stays within what the range offers.
  if (info->AvgTimePerFrame < ours->ConfigCaps.MinFrameInterval)
    info->AvgTimePerFrame = ours->ConfigCaps.MinFrameInterval;
  if (info->AvgTimePerFrame > ours->ConfigCaps.MaxFrameInterval)
    info->AvgTimePerFrame = ours->ConfigCaps.MaxFrameInterval;
  *dataSize = ULONG(resultSize);
  return STATUS_SUCCESS;
}

NTSTATUS CheckVideoFormat(const KSDATAFORMAT* format, const KSDATARANGE* range) {
  if (!format || !range) return STATUS_INVALID_PARAMETER;
  // Another specifier or a format too short for a video info header is
  // another range's business.
  if (!IsEqualGUID(format->Specifier, kSpecifierVideoInfo) ||
      format->FormatSize < kMinVideoFormatSize || range->FormatSize < sizeof(KS_DATARANGE_VIDEO))
    return STATUS_NO_MATCH;
  auto* f = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  auto* r = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
  const KS_BITMAPINFOHEADER& h = f->VideoInfoHeader.bmiHeader;
  ULONGLONG b = h.biSize;
  if (b < sizeof(KS_BITMAPINFOHEADER) || b + kFormatHeaderOffset > format->FormatSize)
    return STATUS_INVALID_PARAMETER;
  const KS_BITMAPINFOHEADER& rh = r->VideoInfoHeader.bmiHeader;
  if (h.biWidth != rh.biWidth || h.biHeight != rh.biHeight || h.biCompression != rh.biCompression)
    return STATUS_NO_MATCH;
  ULONGLONG image = 0;
  if (h.biBitCount != rh.biBitCount || !ImageSize(h, &image) || h.biSizeImage < image ||
      h.biSizeImage < range->SampleSize)
    return STATUS_INVALID_PARAMETER;
  REFERENCE_TIME interval = f->VideoInfoHeader.AvgTimePerFrame;
  if (interval < r->ConfigCaps.MinFrameInterval || interval > r->ConfigCaps.MaxFrameInterval)
    return STATUS_INVALID_PARAMETER;
  return STATUS_SUCCESS;
}

NTSTATUS CopyPinFormat(PKSPIN pin, KS_VIDEOINFOHEADER** copy) {
  *copy = nullptr;
  const KSDATAFORMAT* format = pin->ConnectionFormat;
  if (!format || format->FormatSize < kMinVideoFormatSize) return STATUS_INVALID_PARAMETER;
  auto* source = reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format);
  ULONGLONG bytes = ULONGLONG(source->VideoInfoHeader.bmiHeader.biSize) + kBeforeBitmapHeader;
  if (bytes < sizeof(KS_VIDEOINFOHEADER) || bytes + sizeof(KSDATAFORMAT) > format->FormatSize)
    return STATUS_INVALID_PARAMETER;
  auto* block = static_cast<KS_VIDEOINFOHEADER*>(
      ExAllocatePoolWithTag(NonPagedPool, SIZE_T(bytes), kTagFormat));
  if (!block) return STATUS_INSUFFICIENT_RESOURCES;
  RtlCopyMemory(block, &source->VideoInfoHeader, SIZE_T(bytes));
  NTSTATUS s = KsAddItemToObjectBag(pin->Bag, block, nullptr);
  if (!NT_SUCCESS(s)) {
    ExFreePoolWithTag(block, kTagFormat);
    return s;
  }
  *copy = block;
  return STATUS_SUCCESS;
}

NTSTATUS EditPinFraming(PKSPIN pin, ULONG imageSize) {
  NTSTATUS s = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<KSPIN_DESCRIPTOR_EX**>(&pin->Descriptor)),
                       sizeof(KSPIN_DESCRIPTOR_EX), sizeof(KSPIN_DESCRIPTOR_EX), kTagFormat);
  if (!NT_SUCCESS(s)) return s;
  auto* descriptor = const_cast<KSPIN_DESCRIPTOR_EX*>(pin->Descriptor);
  s = _KsEdit(pin->Bag, reinterpret_cast<PVOID*>(const_cast<KSALLOCATOR_FRAMING_EX**>(&descriptor->AllocatorFraming)),
              sizeof(KSALLOCATOR_FRAMING_EX), sizeof(KSALLOCATOR_FRAMING_EX), kTagFormat);
  if (!NT_SUCCESS(s)) return s;
  auto* framing = const_cast<KSALLOCATOR_FRAMING_EX*>(descriptor->AllocatorFraming);
  KS_FRAMING_ITEM& item = framing->FramingItem[0];
  item.Frames = 2;
  item.PhysicalRange = {imageSize, imageSize, 0};
  item.FramingRange.Range = {imageSize, imageSize, 0};
  return STATUS_SUCCESS;
}
