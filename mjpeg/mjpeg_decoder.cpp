// MJPEG decoder: marker loop, segment parsing, the entropy-coded scan and the
// final compaction and interleave.
#include "mjpeg/mjpeg_decoder.h"

#include "mjpeg/mjpeg_internal.h"

namespace {

enum SamplingMode : LONG { kMode420 = 0, kMode422 = 1, kModeGrey = 4 };

// Segments seen in the current frame.
enum : ULONG {
  kSeenSoi = 1,
  kSeenDqt = 2,
  kSeenSof = 8,
  kScanDone = 16,
};

// The working state of one decode. Every call has its own, on its stack, so
// that any number of devices may decode at the same time; only a frame that
// defines its own Huffman tables takes pool memory, for the time of the call.
// Identifier-indexed arrays use the component identifier (0..3) of SOF0.
struct DecoderState {
  ULONG mcuCount;
  USHORT restartInterval;
  UCHAR quantTables[4][64];  // natural order
  UCHAR componentCount;
  UCHAR hFactor[4];
  UCHAR vFactor[4];
  UCHAR quantSelector[4];
  ULONG hMax;
  ULONG vMax;
  ULONG mcusPerRow;
  ULONG mcuRows;
  UCHAR* planes[4];
  ULONG planeWidths[4];
  UCHAR* scratch;
  // DC 0, DC 1, AC 0, AC 1: the standard tables unless the frame defines
  // others, which are built into `ownTables` (allocated on first need).
  const MjpegHuffmanTable* huffman[4];
  MjpegHuffmanTable* ownTables;
  LONG samplingMode;
  ULONG imageWidth;
  ULONG imageHeight;
  const UCHAR* readPosition;
  const UCHAR* dataEnd;

  // Frame bookkeeping.
  ULONG seen;
  ULONG quantDefined;    // bit per quantisation table defined in this frame
  UCHAR frameIds[3];     // component identifiers in SOF0 order
  UCHAR* destination;
  ULONG destinationSize;
  ULONG scratchSize;
  const MjpegWorkers* workers;  // null: the scan is decoded on the calling thread

  // Code paths of this call.
  MjpegIdctFunction idct;
  MjpegIdctFunction idctCorner;
  MjpegInterleaveFunction interleave;
  MjpegInterleaveGreyFunction interleaveGrey;
};

// The code path MjpegSelectKernels chose; -1 until the first decode or
// selection picks the best one. Read and written atomically: decodes on
// several devices may start together.
LONG volatile g_kernels = -1;

MjpegKernels ResolveKernels(MjpegKernels wanted) {
  if (wanted == kMjpegKernelsBest || (wanted == kMjpegKernelsAvx2 && !MjpegCpuHasAvx2()))
    wanted = MjpegCpuHasAvx2() ? kMjpegKernelsAvx2 : kMjpegKernelsSse2;
  return wanted;
}

MjpegKernels CurrentKernels() {
  LONG kernels = InterlockedCompareExchange(&g_kernels, -1, -1);
  if (kernels < 0) {
    // Racing first decodes resolve the same value.
    kernels = ResolveKernels(kMjpegKernelsBest);
    InterlockedCompareExchange(&g_kernels, kernels, -1);
  }
  return static_cast<MjpegKernels>(kernels);
}

void UseKernels(DecoderState& s, MjpegKernels kernels) {
  switch (kernels) {
    case kMjpegKernelsScalar:
      s.idct = IdctScalar;
      s.idctCorner = IdctCornerScalar;
      s.interleave = InterleaveRowScalar;
      s.interleaveGrey = InterleaveGreyRowScalar;
      break;
    case kMjpegKernelsSse2:
      s.idct = IdctSse2;
      s.idctCorner = IdctCornerSse2;
      s.interleave = InterleaveRowSse2;
      s.interleaveGrey = InterleaveGreyRowSse2;
      break;
    default:
      s.idct = IdctAvx2;
      s.idctCorner = IdctCornerAvx2;
      s.interleave = InterleaveRowAvx2;
      s.interleaveGrey = InterleaveGreyRowSse2;
      break;
  }
}

inline ULONG ReadU16(const UCHAR* p) { return (static_cast<ULONG>(p[0]) << 8) | p[1]; }

// Reads a segment's length at the read position and checks that the whole
// segment lies within the data. Sets *body to its first byte after the
// length and *bodyEnd one past its last byte.
LONG SegmentBounds(DecoderState& s, const UCHAR** body, const UCHAR** bodyEnd) {
  const UCHAR* p = s.readPosition;
  if (s.dataEnd - p < 2) return kMjpegErrorTruncated;
  const ULONG length = ReadU16(p);
  if (length < 2 || static_cast<ULONG>(s.dataEnd - p) < length) return kMjpegErrorTruncated;
  *body = p + 2;
  *bodyEnd = p + length;
  return kMjpegOk;
}

// One or more tables, in any order and over any number of segments (most
// encoders write one table per segment); a table defined again replaces the
// earlier one.
LONG ParseDqt(DecoderState& s) {
  const UCHAR* p;
  const UCHAR* end;
  LONG status = SegmentBounds(s, &p, &end);
  if (status != kMjpegOk) return status;
  if (p == end) return kMjpegErrorTruncated;
  while (p < end) {
    const ULONG pqTq = *p++;
    if (pqTq > 15) return kMjpegErrorDqtPrecision;
    // Every table must lie wholly inside the segment (its selector byte and
    // 64 values).
    if (pqTq >= 4 || end - p < 64) return kMjpegErrorDqtTable;
    UCHAR* table = s.quantTables[pqTq];
    for (int k = 0; k < 64; ++k) table[kZigzagToNatural[k]] = p[k];
    p += 64;
    s.quantDefined |= 1u << pqTq;
  }
  s.readPosition = end;
  s.seen |= kSeenDqt;
  return kMjpegOk;
}

LONG ParseSof0(DecoderState& s) {
  const UCHAR* p;
  const UCHAR* end;
  LONG status = SegmentBounds(s, &p, &end);
  if (status != kMjpegOk) return status;
  if (end - p < 6) return kMjpegErrorTruncated;
  if (p[0] != 8) return kMjpegErrorSamplePrecision;
  const ULONG height = ReadU16(p + 1);
  const ULONG width = ReadU16(p + 3);
  const ULONG count = p[5];
  p += 6;
  if (count >= 4 || count == 0) return kMjpegErrorFrameComponents;
  if (static_cast<ULONG>(end - p) < 3 * count) return kMjpegErrorTruncated;

  UCHAR ids[3], h[3], v[3], tq[3];
  for (ULONG i = 0; i < count; ++i) {
    ids[i] = p[0];
    h[i] = p[1] >> 4;
    v[i] = p[1] & 15;
    tq[i] = p[2];
    p += 3;
    if (ids[i] > 3 || tq[i] > 3) return kMjpegErrorFrameComponents;
    for (ULONG j = 0; j < i; ++j)
      if (ids[j] == ids[i]) return kMjpegErrorFrameComponents;
  }

  // Sampling. One component is coded block by block whatever its factors
  // say, which is what 1 x 1 describes. Three components must be luma at the
  // largest factors and two equal chroma components at half of them
  // horizontally and either half (4:2:0) or all (4:2:2) of them vertically.
  LONG mode;
  if (count == 1) {
    if (h[0] < 1 || h[0] > 4 || v[0] < 1 || v[0] > 4) return kMjpegErrorSampling;
    h[0] = v[0] = 1;
    mode = kModeGrey;
  } else if (count == 3) {
    ULONG sum = 0;
    for (ULONG i = 0; i < 3; ++i) {
      if (h[i] < 1 || h[i] > 4 || v[i] < 1 || v[i] > 4) return kMjpegErrorSampling;
      sum += h[i] * v[i];
    }
    if (sum == 6)
      mode = kMode420;
    else if (sum == 4 || sum == 8)
      mode = kMode422;
    else
      return kMjpegErrorSampling;
    const bool chromaEqual = h[1] == h[2] && v[1] == v[2];
    const bool lumaLargest = h[0] == 2 * h[1] && (mode == kMode420 ? v[0] == 2 * v[1] : v[0] == v[1]);
    if (!chromaEqual || !lumaLargest) return kMjpegErrorSampling;
  } else {
    return kMjpegErrorSampling;
  }
  if (s.scratch == nullptr) return kMjpegErrorNoScratch;

  const ULONG hMax = h[0], vMax = v[0];
  if (width == 0 || height == 0) return kMjpegErrorImageTooLarge;
  const ULONG mcusPerRow = (width + 8 * hMax - 1) / (8 * hMax);
  const ULONG mcuRows = (height + 8 * vMax - 1) / (8 * vMax);
  const ULONG paddedWidth = hMax * mcusPerRow * 8;
  const ULONG paddedHeight = vMax * mcuRows * 8;
  ULONGLONG planeBytes = 0;
  for (ULONG i = 0; i < count; ++i)
    planeBytes += static_cast<ULONGLONG>(h[i] * paddedWidth / hMax) * (v[i] * paddedHeight / vMax);
  const ULONGLONG outputWidth = (width + 3) & ~3u;
  const ULONGLONG outputHeight = (height + 1) & ~1u;
  if (planeBytes > s.scratchSize || outputWidth * outputHeight * 2 > s.destinationSize)
    return kMjpegErrorImageTooLarge;

  s.imageWidth = width;
  s.imageHeight = height;
  s.componentCount = static_cast<UCHAR>(count);
  s.hMax = hMax;
  s.vMax = vMax;
  s.mcusPerRow = mcusPerRow;
  s.mcuRows = mcuRows;
  s.mcuCount = mcusPerRow * mcuRows;
  s.samplingMode = mode;
  UCHAR* plane = s.scratch;
  for (ULONG i = 0; i < count; ++i) {
    const UCHAR id = ids[i];
    s.frameIds[i] = id;
    s.hFactor[id] = h[i];
    s.vFactor[id] = v[i];
    s.quantSelector[id] = tq[i];
    s.planeWidths[id] = h[i] * paddedWidth / hMax;
    s.planes[id] = plane;
    plane += s.planeWidths[id] * (v[i] * paddedHeight / vMax);
  }
  s.readPosition = end;
  s.seen = (s.seen | kSeenSof) & ~kScanDone;
  return kMjpegOk;
}

LONG ParseDri(DecoderState& s) {
  const UCHAR* p;
  const UCHAR* end;
  LONG status = SegmentBounds(s, &p, &end);
  if (status != kMjpegOk) return status;
  if (end - p != 2) return kMjpegErrorRestartLength;
  s.restartInterval = static_cast<USHORT>(ReadU16(p));
  s.readPosition = end;
  return kMjpegOk;
}

// DHT. The length field does not delimit the segment: after each table a
// 0xFF byte ends it (that byte starts the next marker), anything else is the
// next table's class and number. A standard table (what nearly every camera
// sends) selects the constant built-in copy; any other is built for this
// frame.
LONG ParseDht(DecoderState& s) {
  const UCHAR* p = s.readPosition;
  const UCHAR* end = s.dataEnd;
  if (end - p < 2) return kMjpegErrorTruncated;
  p += 2;
  for (;;) {
    if (p >= end) return kMjpegErrorTruncated;
    const ULONG tcTh = *p++;
    const ULONG tc = tcTh >> 4, th = tcTh & 15;
    if (tc > 1 || th > 1) return kMjpegErrorHuffmanTable;
    if (end - p < 16) return kMjpegErrorTruncated;
    const UCHAR* counts = p;
    p += 16;
    ULONG total = 0;
    for (int i = 0; i < 16; ++i) total += counts[i];
    if (total > 256) return kMjpegErrorHuffmanTable;
    if (static_cast<ULONG>(end - p) < total) return kMjpegErrorTruncated;
    const ULONG index = tc * 2 + th;
    if (IsStandardHuffmanTable(index, counts, p)) {
      s.huffman[index] = &BuiltInHuffmanTables()[index];
    } else {
      if (s.ownTables == nullptr) {
        s.ownTables = static_cast<MjpegHuffmanTable*>(
            ExAllocatePoolWithTag(NonPagedPool, 4 * sizeof(MjpegHuffmanTable), kTagBuffer));
        if (s.ownTables == nullptr) return kMjpegErrorNoMemory;
      }
      if (!BuildHuffmanTable(counts, p, tc == 1, &s.ownTables[index])) return kMjpegErrorHuffmanTable;
      s.huffman[index] = &s.ownTables[index];
    }
    p += total;
    if (p >= end) return kMjpegErrorTruncated;
    if (*p == 0xFF) break;
  }
  s.readPosition = p;
  return kMjpegOk;
}

LONG ParseSosAndDecode(DecoderState& s) {
  // Huffman tables not defined by the frame are the standard ones.
  const ULONG needed = kSeenSoi | kSeenDqt | kSeenSof;
  if ((s.seen & needed) != needed) return kMjpegErrorMissingSegment;
  const UCHAR* p;
  const UCHAR* end;
  LONG status = SegmentBounds(s, &p, &end);
  if (status != kMjpegOk) return status;
  if (end - p < 1) return kMjpegErrorTruncated;
  const ULONG count = *p++;
  if (count >= 4 || count == 0) return kMjpegErrorScanComponents;
  if (static_cast<ULONG>(end - p) < 2 * count + 3) return kMjpegErrorTruncated;
  UCHAR ids[3], td[3], ta[3];
  for (ULONG i = 0; i < count; ++i) {
    ids[i] = p[0];
    td[i] = p[1] >> 4;
    ta[i] = p[1] & 15;
    p += 2;
    if (ids[i] > 3 || td[i] > 1 || ta[i] > 1) return kMjpegErrorScanComponents;
  }
  // The one scan carries every component of the frame, each once.
  if (count != s.componentCount) return kMjpegErrorScanComponents;
  for (ULONG i = 0; i < count; ++i) {
    bool declared = false;
    for (ULONG j = 0; j < count; ++j) declared |= s.frameIds[j] == ids[i];
    if (!declared) return kMjpegErrorScanComponents;
    for (ULONG j = 0; j < i; ++j)
      if (ids[j] == ids[i]) return kMjpegErrorScanComponents;
  }
  if (p[0] != 0) return kMjpegErrorSpectralStart;
  if (p[1] != 63) return kMjpegErrorSpectralEnd;
  if (p[2] != 0) return kMjpegErrorApproximation;

  ScanJob job;
  for (ULONG i = 0; i < count; ++i) {
    const UCHAR id = ids[i];
    const ULONG quantIndex = s.quantSelector[id];
    if (!(s.quantDefined & (1u << quantIndex))) return kMjpegErrorMissingSegment;
    ScanComponent& c = job.components[i];
    c.plane = s.planes[id];
    c.stride = s.planeWidths[id];
    c.h = s.hFactor[id];
    c.v = s.vFactor[id];
    c.dc = s.huffman[td[i]];
    c.ac = s.huffman[2 + ta[i]];
    for (int k = 0; k < 64; ++k) {
      const ULONG natural = kZigzagToNatural[k];
      c.dequant[k] = (natural << 16) | s.quantTables[quantIndex][natural];
    }
  }
  // SOF0 admits at most 8 blocks per MCU; the scan's block buffer relies on it.
  ULONG blocksPerMcu = 0;
  for (ULONG i = 0; i < count; ++i) blocksPerMcu += job.components[i].h * job.components[i].v;
  if (blocksPerMcu > 8) return kMjpegErrorSampling;
  job.count = count;
  job.mcusPerRow = s.mcusPerRow;
  job.mcuCount = s.mcuCount;
  job.restartInterval = s.restartInterval;
  job.dataEnd = s.dataEnd;
  job.idct = s.idct;
  job.idctCorner = s.idctCorner;
  ScanPart whole = {0, s.mcuCount, end, 0, false, kMjpegOk, nullptr};
  if (s.workers == nullptr || !DecodeScanSplit(job, end, *s.workers, &whole)) DecodeScanPart(job, &whole);
  if (whole.status != kMjpegOk) return whole.status;
  s.readPosition = whole.end;
  s.seen |= kScanDone;
  return kMjpegOk;
}

// EOI: interleave the planes into the destination, reading each plane's
// rows with its own (padded) stride.
void Finish(DecoderState& s) {
  const ULONG outWidth = (s.imageWidth + 3) & ~3u;
  const ULONG outHeight = (s.imageHeight + 1) & ~1u;
  const bool grey = s.samplingMode == kModeGrey;
  const bool quarter = s.samplingMode == kMode420;
  const UCHAR* y = s.planes[s.frameIds[0]];
  const ULONG yStride = s.planeWidths[s.frameIds[0]];
  UCHAR* out = s.destination;
  const ULONG pairs = outWidth / 2;
  if (grey) {
    for (ULONG row = 0; row < outHeight; ++row) {
      s.interleaveGrey(y + row * yStride, out, pairs);
      out += outWidth * 2;
    }
    return;
  }
  const UCHAR* cb = s.planes[s.frameIds[1]];
  const UCHAR* cr = s.planes[s.frameIds[2]];
  const ULONG chromaStride = s.planeWidths[s.frameIds[1]];
  for (ULONG row = 0; row < outHeight; ++row) {
    const ULONG chromaOffset = (quarter ? row / 2 : row) * chromaStride;
    s.interleave(y + row * yStride, cb + chromaOffset, cr + chromaOffset, out, pairs);
    out += outWidth * 2;
  }
}

// The marker loop, up to EOI or the first error.
LONG DecodeFrame(DecoderState& s) {
  for (;;) {
    // Find the next 0xFF; the byte after it is the marker code.
    const UCHAR* p = s.readPosition;
    while (p < s.dataEnd && *p != 0xFF) ++p;
    if (s.dataEnd - p < 2) return kMjpegErrorTruncated;
    const UCHAR code = p[1];
    s.readPosition = p + 2;
    LONG status = kMjpegOk;
    if (code == 0xD8) {
      s.seen |= kSeenSoi;
    } else if (code >= 0xD0 && code <= 0xD7) {
      // stray restart marker: nothing to do
    } else if (code == 0xC0) {
      status = ParseSof0(s);
    } else if (code == 0xC4) {
      status = ParseDht(s);
    } else if (code == 0xDB) {
      status = ParseDqt(s);
    } else if (code == 0xDD) {
      status = ParseDri(s);
    } else if ((code >= 0xE0 && code <= 0xEF) || code == 0xFE) {
      const UCHAR* body;
      const UCHAR* end;
      status = SegmentBounds(s, &body, &end);
      if (status == kMjpegOk) s.readPosition = end;
    } else if (code == 0xDA) {
      status = ParseSosAndDecode(s);
    } else if (code == 0xD9) {
      if (!(s.seen & kScanDone)) return kMjpegErrorTruncated;
      Finish(s);
      return kMjpegOk;
    } else {
      status = kMjpegErrorMarker;
    }
    if (status != kMjpegOk) return status;
  }
}

LONG Decode(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength, UCHAR* scratch,
            ULONG scratchSize, const MjpegWorkers* workers) {
  DecoderState s = {};
  s.workers = workers;
  UseKernels(s, CurrentKernels());
  const MjpegHuffmanTable* builtIn = BuiltInHuffmanTables();
  for (int i = 0; i < 4; ++i) s.huffman[i] = &builtIn[i];
  s.scratch = scratch;
  s.destination = destination;
  s.destinationSize = destination != nullptr ? destinationSize : 0;
  s.scratchSize = scratch != nullptr ? scratchSize : 0;
  s.readPosition = source;
  s.dataEnd = source != nullptr ? source + sourceLength : source;
  const LONG status = DecodeFrame(s);
  if (s.ownTables != nullptr) ExFreePoolWithTag(s.ownTables, kTagBuffer);
  return status;
}

}  // namespace

LONG DecodeMjpeg(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                 UCHAR* scratch, ULONG scratchSize) {
  return Decode(destination, destinationSize, source, sourceLength, scratch, scratchSize, nullptr);
}

LONG DecodeMjpegSplit(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                      UCHAR* scratch, ULONG scratchSize, const MjpegWorkers* workers) {
  return Decode(destination, destinationSize, source, sourceLength, scratch, scratchSize, workers);
}

LONG DecodeMjpegStill(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                      UCHAR* scratch, ULONG scratchSize) {
  return Decode(destination, destinationSize, source, sourceLength, scratch, scratchSize, nullptr);
}

MjpegKernels MjpegSelectKernels(MjpegKernels kernels) {
  const MjpegKernels chosen = ResolveKernels(kernels);
  InterlockedExchange(&g_kernels, chosen);
  return chosen;
}
