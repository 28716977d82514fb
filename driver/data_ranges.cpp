// Data ranges of the capture and still pins, built at every device start
// from the format and still tables; a capture range offers the frame
// intervals of the camera's frame the range streams. Sizes are computed in 64 bits: an entry
// whose sizes do not fit in 32 bits gets no range, bit rates saturate.
#include <limits>

#include "driver/pin_context.h"

namespace {

constexpr ULONG kMinFrameInterval = 333333;
constexpr ULONG kMaxFrameInterval = 10000000;
constexpr ULONG kMaxU32 = std::numeric_limits<ULONG>::max();
constexpr LONG kMaxL32 = std::numeric_limits<LONG>::max();

struct SubtypeRule {
  const GUID* subtype;
  ULONG bitCount;
  DWORD compression;
};

const SubtypeRule kRules[] = {
    {&kSubtypeYuy2, 16, MakeFourccSubtype('Y', 'U', 'Y', '2').Data1},
    {&kSubtypeUyvy, 16, MakeFourccSubtype('U', 'Y', 'V', 'Y').Data1},
    {&kSubtypeI420, 12, MakeFourccSubtype('I', '4', '2', '0').Data1},
    {&kSubtypeRgb24, 24, KS_BI_RGB},
    {&kSubtypeMjpg, 24, MakeFourccSubtype('M', 'J', 'P', 'G').Data1},
};

const SubtypeRule* RuleFor(const GUID& subtype) {
  for (const SubtypeRule& r : kRules)
    if (IsEqualGUID(*r.subtype, subtype)) return &r;
  return nullptr;
}

// Subtypes the pipeline converts YUY2 output sizes into.
const GUID* const kConvertedSubtypes[2] = {&kSubtypeI420, &kSubtypeRgb24};

ULONG SaturateU32(ULONGLONG v) { return v > kMaxU32 ? kMaxU32 : ULONG(v); }
LONG SaturateL32(ULONGLONG v) { return v > ULONGLONG(kMaxL32) ? kMaxL32 : LONG(v); }

bool Fits3(ULONG w, ULONG h) { return w && h && 3ull * w * h <= kMaxU32; }

// One block: count pointers followed by count ranges.
NTSTATUS AllocateRanges(ULONG count, PKSDATARANGE** block) {
  *block = nullptr;
  if (!count) return STATUS_SUCCESS;
  ULONGLONG bytes = ULONGLONG(count) * (sizeof(PKSDATARANGE) + sizeof(KS_DATARANGE_VIDEO));
  if (bytes > kMaxU32) return STATUS_UNSUCCESSFUL;
  auto* p = static_cast<PKSDATARANGE*>(ExAllocatePoolWithTag(NonPagedPool, SIZE_T(bytes), kTagBuffer));
  if (!p) return STATUS_UNSUCCESSFUL;
  RtlZeroMemory(p, SIZE_T(bytes));
  auto* ranges = reinterpret_cast<KS_DATARANGE_VIDEO*>(p + count);
  for (ULONG i = 0; i < count; ++i) p[i] = &ranges[i].DataRange;
  *block = p;
  return STATUS_SUCCESS;
}

}  // namespace

BOOLEAN OutputFrameSize(ULONG width, ULONG height, const GUID& subtype, ULONG* size) {
  ULONGLONG pixels = ULONGLONG(width) * height, bytes;
  if (IsEqualGUID(subtype, kSubtypeYuy2) || IsEqualGUID(subtype, kSubtypeUyvy))
    bytes = pixels * 2;
  else if (IsEqualGUID(subtype, kSubtypeRgb24) || IsEqualGUID(subtype, kSubtypeMjpg))
    bytes = pixels * 3;
  else if (IsEqualGUID(subtype, kSubtypeI420))
    bytes = pixels * 3 / 2;
  else
    return FALSE;
  if (bytes > kMaxU32) return FALSE;
  *size = ULONG(bytes);
  return TRUE;
}

BOOLEAN FillVideoRange(KS_DATARANGE_VIDEO* r, ULONG width, ULONG height, const GUID& subtype,
                       const FrameFormat* timing) {
  const SubtypeRule* rule = RuleFor(subtype);
  if (!rule || !width || !height || width > ULONG(kMaxL32) || height > ULONG(kMaxL32)) return FALSE;
  // RGB24 rows are padded to the bitmap stride (a multiple of 4 bytes).
  ULONGLONG sample = IsEqualGUID(subtype, kSubtypeRgb24)
                         ? ((ULONGLONG(width) * 3 + 3) & ~3ull) * height
                         : ULONGLONG(width) * height * rule->bitCount / 8;
  if (sample > kMaxU32) return FALSE;
  RtlZeroMemory(r, sizeof *r);
  r->DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r->DataRange.SampleSize = ULONG(sample);
  r->DataRange.MajorFormat = kFormatTypeVideo;
  r->DataRange.SubFormat = subtype;
  r->DataRange.Specifier = kSpecifierVideoInfo;
  r->bFixedSizeSamples = 1;
  r->bTemporalCompression = 1;
  KS_VIDEO_STREAM_CONFIG_CAPS& c = r->ConfigCaps;
  c.guid = kSpecifierVideoInfo;
  const SIZE size = {LONG(width), LONG(height)};
  c.InputSize = c.MinCroppingSize = c.MaxCroppingSize = size;
  c.MinOutputSize = c.MaxOutputSize = size;
  c.CropGranularityX = c.CropGranularityY = c.CropAlignX = c.CropAlignY = 1;
  c.OutputGranularityX = c.OutputGranularityY = 1;
  ULONG fastest = kMinFrameInterval, slowest = kMaxFrameInterval, usual = kMinFrameInterval;
  if (timing && timing->minInterval) {
    fastest = timing->minInterval;
    slowest = timing->maxInterval;
    usual = timing->defaultInterval ? timing->defaultInterval : fastest;
  }
  c.MinFrameInterval = fastest;
  c.MaxFrameInterval = slowest;
  c.MinBitsPerSecond = SaturateL32(sample * 8);
  c.MaxBitsPerSecond = SaturateL32(sample * 240);
  KS_VIDEOINFOHEADER& v = r->VideoInfoHeader;
  v.dwBitRate = SaturateU32(sample * 240);
  v.AvgTimePerFrame = usual;
  v.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  v.bmiHeader.biWidth = LONG(width);
  v.bmiHeader.biHeight = LONG(height);
  v.bmiHeader.biPlanes = 1;
  v.bmiHeader.biBitCount = USHORT(rule->bitCount);
  v.bmiHeader.biCompression = rule->compression;
  v.bmiHeader.biSizeImage = ULONG(sample);
  return TRUE;
}

BOOLEAN EntryUsable(const FrameFormat& e) {
  bool input = IsEqualGUID(e.inputSubtype, kSubtypeYuy2) || IsEqualGUID(e.inputSubtype, kSubtypeUyvy) ||
               IsEqualGUID(e.inputSubtype, kSubtypeMjpg);
  return input && RuleFor(e.outputSubtype) && Fits3(e.inputWidth, e.inputHeight) &&
         Fits3(e.outputWidth, e.outputHeight);
}

VOID ComputeFrameSizes(const StreamEngine* engine, ULONG* frameBufferSize, ULONG* rawFrameSize) {
  ULONGLONG largest = 0, largestInput = 0;
  const FrameFormat* tables[2] = {engine->formatTable, engine->stillTable};
  ULONG counts[2] = {engine->formatCount, engine->stillCount};
  for (int t = 0; t < 2; ++t) {
    for (ULONG i = 0; i < counts[t] && tables[t]; ++i) {
      const FrameFormat& e = tables[t][i];
      // Still entries carry only their input size.
      if (t == 0 ? !EntryUsable(e) : !Fits3(e.inputWidth, e.inputHeight)) continue;
      ULONGLONG in = ULONGLONG(e.inputWidth) * e.inputHeight;
      ULONGLONG out = ULONGLONG(e.outputWidth) * e.outputHeight;
      if (in > largestInput) largestInput = in;
      if (in > largest) largest = in;
      if (out > largest) largest = out;
    }
  }
  *frameBufferSize = ULONG(3 * largest);  // every counted size fits 3 x w x h in 32 bits
  *rawFrameSize = ULONG(2 * largestInput);
}

namespace {

// An entry whose MJPEG frames an application can take as they are.
BOOLEAN PassesMjpeg(const FrameFormat& e) {
  return IsEqualGUID(e.inputSubtype, kSubtypeMjpg) && e.inputWidth == e.outputWidth &&
         e.inputHeight == e.outputHeight;
}

// Entry i is usable, outputs YUY2 and is the first such entry of its size:
// the one that brings the size's converted and MJPG rows.
bool FirstYuy2OfItsSize(const StreamEngine* engine, ULONG i) {
  const FrameFormat& e = engine->formatTable[i];
  if (!EntryUsable(e) || !IsEqualGUID(e.outputSubtype, kSubtypeYuy2)) return false;
  for (ULONG j = 0; j < i; ++j) {
    const FrameFormat& o = engine->formatTable[j];
    if (EntryUsable(o) && IsEqualGUID(o.outputSubtype, kSubtypeYuy2) &&
        o.outputWidth == e.outputWidth && o.outputHeight == e.outputHeight)
      return false;
  }
  return true;
}

}  // namespace

NTSTATUS BuildDataRanges(StreamEngine* engine) {
  FreeDataRanges(engine);
  // Capture ranges: the usable table entries, then I420 and RGB24 for every
  // distinct YUY2 output size, then MJPG for those an MJPEG camera sends
  // unscaled.
  ULONG count = 0;
  for (ULONG i = 0; i < engine->formatCount; ++i) {
    const FrameFormat& e = engine->formatTable[i];
    if (!EntryUsable(e)) continue;
    ++count;
    if (FirstYuy2OfItsSize(engine, i)) count += 2 + (PassesMjpeg(e) ? 1 : 0);
  }
  PKSDATARANGE* video = nullptr;
  NTSTATUS s = AllocateRanges(count, &video);
  if (!NT_SUCCESS(s)) return s;
  ULONG n = 0;
  for (ULONG i = 0; i < engine->formatCount; ++i) {
    const FrameFormat& e = engine->formatTable[i];
    if (EntryUsable(e) &&
        FillVideoRange(reinterpret_cast<KS_DATARANGE_VIDEO*>(video[n]), e.outputWidth,
                       e.outputHeight, e.outputSubtype, &e))
      ++n;
  }
  for (ULONG i = 0; i < engine->formatCount; ++i) {
    const FrameFormat& e = engine->formatTable[i];
    if (!FirstYuy2OfItsSize(engine, i)) continue;
    for (const GUID* extra : kConvertedSubtypes)
      if (n < count && FillVideoRange(reinterpret_cast<KS_DATARANGE_VIDEO*>(video[n]),
                                      e.outputWidth, e.outputHeight, *extra, &e))
        ++n;
  }
  // Then MJPG for every size an MJPEG camera sends as it is: its frames
  // pass through undecoded.
  for (ULONG i = 0; i < engine->formatCount; ++i) {
    const FrameFormat& e = engine->formatTable[i];
    if (FirstYuy2OfItsSize(engine, i) && PassesMjpeg(e) && n < count &&
        FillVideoRange(reinterpret_cast<KS_DATARANGE_VIDEO*>(video[n]), e.outputWidth, e.outputHeight,
                       kSubtypeMjpg, &e))
      ++n;
  }
  engine->videoRanges = video;
  engine->videoRangeCount = n;

  ULONG stills = 0;
  for (ULONG i = 0; i < engine->stillCount; ++i)
    stills += Fits3(engine->stillTable[i].inputWidth, engine->stillTable[i].inputHeight);
  PKSDATARANGE* still = nullptr;
  s = AllocateRanges(stills, &still);
  if (!NT_SUCCESS(s)) {
    FreeDataRanges(engine);
    return s;
  }
  n = 0;
  for (ULONG i = 0; i < engine->stillCount && n < stills; ++i) {
    const FrameFormat& e = engine->stillTable[i];
    if (Fits3(e.inputWidth, e.inputHeight) &&
        FillVideoRange(reinterpret_cast<KS_DATARANGE_VIDEO*>(still[n]), e.outputWidth,
                       e.outputHeight, e.outputSubtype))
      ++n;
  }
  engine->stillRanges = still;
  engine->stillRangeCount = n;
  return STATUS_SUCCESS;
}

VOID FreeDataRanges(StreamEngine* engine) {
  if (engine->videoRanges) ExFreePoolWithTag(engine->videoRanges, kTagBuffer);
  engine->videoRanges = nullptr;
  engine->videoRangeCount = 0;
  if (engine->stillRanges) ExFreePoolWithTag(engine->stillRanges, kTagBuffer);
  engine->stillRanges = nullptr;
  engine->stillRangeCount = 0;
}
