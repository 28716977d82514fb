// Format table and still table.
#include "usb/format_table.h"

#include "usb/descriptor_walk.h"

bool FrameSizeRepresentable(ULONG width, ULONG height) {
  if (width == 0 || height == 0) return false;
  return ULONGLONG(width) * height * 2 <= 0xFFFFFFFFull;
}

namespace {

// A table entry whose output is what the camera sends; RestrictAndExtend
// adds the scaled sizes afterwards.
void SetEntry(FrameFormat* f, ULONG width, ULONG height, const GUID& subtype, ULONG formatIndex,
              ULONG frameIndex, ULONG defaultInterval) {
  f->inputWidth = f->outputWidth = width;
  f->inputHeight = f->outputHeight = height;
  f->inputSubtype = f->outputSubtype = subtype;
  f->formatIndex = formatIndex;
  f->frameIndex = frameIndex;
  f->defaultInterval = defaultInterval;
}

// The fastest and slowest interval a frame descriptor of `length` bytes
// offers: bFrameIntervalType 0 gives dwMinFrameInterval and
// dwMaxFrameInterval, n > 0 a list of n intervals (only those present are
// read; zeros are no interval). The default interval is always inside.
void SetIntervals(FrameFormat* f, const UCHAR* frame, ULONG length) {
  ULONG lo = 0, hi = 0;
  auto take = [&](ULONG v) {
    if (!v) return;
    if (!lo || v < lo) lo = v;
    if (v > hi) hi = v;
  };
  const ULONG kinds = frame[25];
  const ULONG first = kMinFrameDescriptorLength;  // the first interval field
  if (kinds == 0 && length >= first + 8) {
    take(ReadLe32(frame + first));
    take(ReadLe32(frame + first + 4));
  }
  for (ULONG i = 0; i < kinds && first + 4 * i + 4 <= length; ++i) take(ReadLe32(frame + first + 4 * i));
  take(f->defaultInterval);
  f->minInterval = lo;
  f->maxInterval = hi;
}

struct TableBuilder {
  FrameFormat* table;  // null while counting
  ULONG count;
  ULONG capacity;      // entries of `table`
  FrameFormat* stills;  // null while counting
  ULONG stillCount;
  ULONG stillCapacity;
  const UCHAR* lastStill;  // the last still-image descriptor seen, and its length
  ULONG lastStillLength;

  void AddFrame(const GUID& subtype, ULONG formatIndex, const UCHAR* frame, ULONG length) {
    ULONG width = ReadLe16(frame + 5);
    ULONG height = ReadLe16(frame + 7);
    if (!FrameSizeRepresentable(width, height)) return;
    if (table) {
      if (count >= capacity) return;
      SetEntry(&table[count], width, height, subtype, formatIndex, frame[3], ReadLe32(frame + 21));
      SetIntervals(&table[count], frame, length);
    }
    ++count;
  }

  void SetStills(const UCHAR* d, ULONG n) {
    ULONG claimed = d[4];
    ULONG present = (n - 5) / 4;
    ULONG patterns = claimed < present ? claimed : present;
    stillCount = 0;
    for (ULONG i = 0; i < patterns; ++i) {
      ULONG width = ReadLe16(d + 5 + 4 * i);
      ULONG height = ReadLe16(d + 7 + 4 * i);
      if (!FrameSizeRepresentable(width, height)) continue;
      if (stills) {
        if (stillCount >= stillCapacity) return;
        SetEntry(&stills[stillCount], width, height, kSubtypeYuy2, 0, 0, 0);
      }
      ++stillCount;
    }
  }
};

// One pass over the video-streaming interface. Counting pass and filling
// pass run the same code, so the second never writes past what the first
// counted.
NTSTATUS Walk(const UCHAR* cfg, ULONG length, TableBuilder* b, LONG* streamingInterface) {
  // The first video-streaming interface descriptor.
  ULONG off = 0;
  ULONG n = 0;
  for (; (n = DescriptorLengthAt(cfg, length, off)) != 0; off += n) {
    const UCHAR* d = cfg + off;
    if (IsInterfaceDescriptor(d, n) && d[5] == kVideoClass && d[6] == kVideoStreamingSubclass) break;
  }
  if (n == 0) return STATUS_UNSUCCESSFUL;
  UCHAR number = cfg[off + 2];
  *streamingInterface = number;

  // Its input header. Only the descriptors of this interface are looked at:
  // another interface or function (an audio function shares the
  // class-specific type and several subtypes) ends the walk.
  ULONG numFormats = 0;
  bool header = false;
  for (off += n; (n = DescriptorLengthAt(cfg, length, off)) != 0; off += n) {
    const UCHAR* d = cfg + off;
    if (EndsInterface(d, n, number)) return STATUS_UNSUCCESSFUL;
    if (d[1] == kClassSpecificInterface && d[2] == kVsInputHeader && n >= 13) {
      header = true;
      numFormats = d[3];
      break;
    }
  }
  if (!header) return STATUS_UNSUCCESSFUL;
  if (numFormats > kMaxFormats) return STATUS_UNSUCCESSFUL;

  ULONG formats = 0;
  off += n;
  while ((n = DescriptorLengthAt(cfg, length, off)) != 0) {
    const UCHAR* d = cfg + off;
    if (EndsInterface(d, n, number)) break;
    off += n;
    if (d[1] != kClassSpecificInterface || n < 3) continue;
    UCHAR subtype = d[2];
    if (subtype == kVsStillImageFrame) {
      if (n >= 5) {
        b->lastStill = d;
        b->lastStillLength = n;
      }
      continue;
    }
    if (subtype != kVsFormatUncompressed && subtype != kVsFormatMjpeg) continue;
    if (formats >= numFormats) continue;  // formats beyond bNumFormats are not taken
    ++formats;
    GUID guid;
    UCHAR frameSubtype;
    if (subtype == kVsFormatUncompressed) {
      if (n < 21) return STATUS_INVALID_PARAMETER;
      RtlCopyMemory(&guid, d + 5, sizeof guid);
      frameSubtype = kVsFrameUncompressed;
    } else {
      if (n < 5) return STATUS_INVALID_PARAMETER;
      guid = kSubtypeMjpg;
      frameSubtype = kVsFrameMjpeg;
    }
    ULONG formatIndex = d[3];
    ULONG frames = d[4];
    for (ULONG i = 0; i < frames; ++i) {
      ULONG m = DescriptorLengthAt(cfg, length, off);
      if (m == 0) return STATUS_INVALID_PARAMETER;  // the set ends inside the frames
      const UCHAR* f = cfg + off;
      // A format claiming more frames than follow it ends at the first
      // descriptor that is not one of its frames; that one is walked normally.
      if (f[1] != kClassSpecificInterface || m < 3 || f[2] != frameSubtype) break;
      if (m < kMinFrameDescriptorLength) return STATUS_INVALID_PARAMETER;
      b->AddFrame(guid, formatIndex, f, m);
      off += m;
    }
  }
  // The last still-image descriptor of the interface defines the still table.
  if (b->lastStill) b->SetStills(b->lastStill, b->lastStillLength);
  return STATUS_SUCCESS;
}

}  // namespace

NTSTATUS BuildFormatTable(const UCHAR* configuration, ULONG length, FrameFormat** table,
                          ULONG* count, FrameFormat** stillTable, ULONG* stillCount,
                          LONG* streamingInterface) {
  *table = nullptr;
  *count = 0;
  *stillTable = nullptr;
  *stillCount = 0;
  if (!configuration) return STATUS_UNSUCCESSFUL;
  TableBuilder counter{nullptr, 0, 0, nullptr, 0, 0, nullptr, 0};
  LONG number = kNoInterface;
  NTSTATUS status = Walk(configuration, length, &counter, &number);
  if (!NT_SUCCESS(status)) return status;

  TableBuilder filler{nullptr, 0, counter.count, nullptr, 0, counter.stillCount, nullptr, 0};
  if (counter.count) {
    filler.table = static_cast<FrameFormat*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameFormat) * counter.count, kTagBuffer));
    if (!filler.table) return STATUS_INSUFFICIENT_RESOURCES;
    RtlZeroMemory(filler.table, sizeof(FrameFormat) * counter.count);
  }
  if (counter.stillCount) {
    filler.stills = static_cast<FrameFormat*>(
        ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameFormat) * counter.stillCount, kTagBuffer));
    if (!filler.stills) {
      if (filler.table) ExFreePoolWithTag(filler.table, kTagBuffer);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    RtlZeroMemory(filler.stills, sizeof(FrameFormat) * counter.stillCount);
  }
  Walk(configuration, length, &filler, &number);
  *table = filler.table;
  *count = filler.count;
  *stillTable = filler.stills;
  *stillCount = filler.stillCount;
  *streamingInterface = number;
  return STATUS_SUCCESS;
}

namespace {

struct Upscale {
  ULONG sourceWidth, sourceHeight, width, height;
};
constexpr Upscale kUpscales[] = {
    {320, 240, 176, 144},   {320, 240, 352, 288},   {640, 480, 1280, 1024},
    {640, 480, 1600, 1200}, {640, 480, 2048, 1536}, {640, 480, 2560, 1920},
};
constexpr ULONG kUpscaleCount = sizeof kUpscales / sizeof kUpscales[0];

const FrameFormat* FindYuy2Output(const FrameFormat* table, ULONG count, ULONG width, ULONG height) {
  for (ULONG i = 0; i < count; ++i) {
    const FrameFormat& f = table[i];
    if (IsEqualGUID(f.outputSubtype, kSubtypeYuy2) && f.outputWidth == width &&
        f.outputHeight == height)
      return &f;
  }
  return nullptr;
}

}  // namespace

NTSTATUS RestrictAndExtend(StreamEngine* engine, FrameFormat** table, ULONG* count) {
  ULONG mjpg = 0;
  for (ULONG i = 0; i < *count; ++i) mjpg += IsEqualGUID((*table)[i].inputSubtype, kSubtypeMjpg);
  bool extend = engine->highSpeed != 0;
  ULONG capacity = (mjpg ? mjpg : *count) + (extend ? kUpscaleCount : 0);
  if (capacity == 0) return extend ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;

  auto* out = static_cast<FrameFormat*>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(FrameFormat) * capacity, kTagBuffer));
  if (!out) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(out, sizeof(FrameFormat) * capacity);
  ULONG n = 0;
  for (ULONG i = 0; i < *count; ++i) {
    const FrameFormat& f = (*table)[i];
    if (mjpg && !IsEqualGUID(f.inputSubtype, kSubtypeMjpg)) continue;
    out[n] = f;
    if (mjpg) out[n].outputSubtype = kSubtypeYuy2;  // decoded by the driver
    ++n;
  }

  if (!extend) {  // full speed: the camera's own sizes, in its order
    if (*table) ExFreePoolWithTag(*table, kTagBuffer);
    *table = out;
    *count = n;
    return STATUS_SUCCESS;
  }
  {
    for (const Upscale& u : kUpscales) {
      if (FindYuy2Output(out, n, u.width, u.height)) continue;
      // A camera without this source size (a webcam of HD sizes only, a
      // UYVY-only camera) starts with what it has: the size is left out.
      const FrameFormat* source = FindYuy2Output(out, n, u.sourceWidth, u.sourceHeight);
      if (!source) continue;
      FrameFormat added = *source;
      added.inputWidth = u.sourceWidth;
      added.inputHeight = u.sourceHeight;
      added.outputWidth = u.width;
      added.outputHeight = u.height;
      // The camera still sends the source entry's stream; the driver scales.
      added.inputSubtype = source->inputSubtype;
      added.outputSubtype = kSubtypeYuy2;
      out[n++] = added;
    }
  }

  // Entries after the first, by output width; equal widths keep their order.
  if (n >= 3) {
    for (ULONG pass = 1; pass < n; ++pass) {
      for (ULONG i = 1; i + 1 < n; ++i) {
        if (out[i].outputWidth > out[i + 1].outputWidth) {
          FrameFormat t = out[i];
          out[i] = out[i + 1];
          out[i + 1] = t;
        }
      }
    }
  }
  if (*table) ExFreePoolWithTag(*table, kTagBuffer);
  *table = out;
  *count = n;
  return STATUS_SUCCESS;
}

NTSTATUS SelectFormat(StreamEngine* engine, ULONG width, ULONG height, const GUID& subtype) {
  const FrameFormat* match = nullptr;
  for (ULONG i = 0; i < engine->formatCount; ++i) {
    const FrameFormat& f = engine->formatTable[i];
    if (f.outputWidth == width && f.outputHeight == height && IsEqualGUID(f.outputSubtype, subtype))
      match = &f;  // the last match wins
  }
  if (!match) return STATUS_INVALID_PARAMETER;
  const GUID& in = match->inputSubtype;
  if (!IsEqualGUID(in, kSubtypeYuy2) && !IsEqualGUID(in, kSubtypeUyvy) &&
      !IsEqualGUID(in, kSubtypeMjpg))
    return STATUS_INVALID_PARAMETER;  // the current format stays as it was
  engine->currentFormat = *match;
  engine->expectedFrameSize = match->inputWidth * match->inputHeight * 2;
  return STATUS_SUCCESS;
}

VOID FindStillFrameIndex(const FrameFormat* stillTable, ULONG stillCount, ULONG width,
                         ULONG height, ULONG* index) {
  for (ULONG i = 0; i < stillCount; ++i) {
    if (stillTable[i].inputWidth == width && stillTable[i].inputHeight == height) {
      *index = i + 1;
      return;
    }
  }
}
