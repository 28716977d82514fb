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
  ULONG paddedWidth;
  ULONG paddedHeight;
  ULONG planeBytes;
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
  LONG dcPredictors[4];
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

  // Code paths of this call.
  MjpegIdctFunction idct;
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
      s.interleave = InterleaveRowScalar;
      s.interleaveGrey = InterleaveGreyRowScalar;
      break;
    case kMjpegKernelsSse2:
      s.idct = IdctSse2;
      s.interleave = InterleaveRowSse2;
      s.interleaveGrey = InterleaveGreyRowSse2;
      break;
    default:
      s.idct = IdctAvx2;
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
  s.paddedWidth = paddedWidth;
  s.paddedHeight = paddedHeight;
  s.planeBytes = static_cast<ULONG>(planeBytes);
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
      if (!BuildHuffmanTable(counts, p, &s.ownTables[index])) return kMjpegErrorHuffmanTable;
      s.huffman[index] = &s.ownTables[index];
    }
    p += total;
    if (p >= end) return kMjpegErrorTruncated;
    if (*p == 0xFF) break;
  }
  s.readPosition = p;
  return kMjpegOk;
}

// ---------------------------------------------------------------------------
// Entropy-coded data.

// Bit reader: a 64-bit buffer holding `bits` valid bits at its top end. It
// never reads past a marker or the end of the data; once there it supplies
// zero bits (and `bits` goes negative by the number of bits so supplied), so
// the bytes it still holds are always the bytes right before its position.
struct BitReader {
  ULONGLONG buffer;
  LONG bits;
  const UCHAR* position;
  const UCHAR* end;
  const UCHAR* start;  // first byte of the entropy-coded data
};

inline ULONGLONG LoadBigEndian64(const UCHAR* p) {
  ULONGLONG v;
  memcpy(&v, p, sizeof(v));
#if defined(_MSC_VER) && !defined(__clang__)
  return _byteswap_uint64(v);
#else
  return __builtin_bswap64(v);
#endif
}

// Whether any byte of v is 0xFF.
inline bool HasFFByte(ULONGLONG v) {
  const ULONGLONG inverted = ~v;
  return ((inverted - 0x0101010101010101ull) & ~inverted & 0x8080808080808080ull) != 0;
}

// Tops the buffer up to at least 57 bits, or as far as the data goes before
// a marker or the end.
inline void Refill(BitReader& r) {
  // Fast path: the next eight bytes hold no 0xFF, so no stuffing and no
  // marker; take as many whole bytes as fit. The bits of the next byte that
  // also land in the buffer are that byte's own bits, which the next refill
  // puts in the same place.
  if (r.bits >= 0 && r.end - r.position >= 8) {
    const ULONGLONG word = LoadBigEndian64(r.position);
    if (!HasFFByte(word)) {
      const LONG bytes = (63 - r.bits) >> 3;
      r.buffer |= word >> r.bits;
      r.bits += bytes * 8;
      r.position += bytes;
      return;
    }
  }
  while (r.bits <= 56) {
    if (r.position >= r.end) return;
    const UCHAR byte = *r.position;
    if (byte == 0xFF) {
      if (r.end - r.position < 2 || r.position[1] != 0) return;  // a marker (or a lone 0xFF)
      r.position += 2;
    } else {
      r.position += 1;
    }
    r.buffer |= static_cast<ULONGLONG>(byte) << (56 - r.bits);
    r.bits += 8;
  }
}

inline ULONG PeekBits(const BitReader& r, int n) { return static_cast<ULONG>(r.buffer >> (64 - n)); }

inline void SkipBits(BitReader& r, int n) {
  r.buffer <<= n;
  r.bits -= n;
}

// Reads n (1..16) bits and extends them to a signed value.
inline LONG ReceiveExtend(BitReader& r, int n) {
  const ULONG v = PeekBits(r, n);
  SkipBits(r, n);
  return v < (1u << (n - 1)) ? static_cast<LONG>(v) - static_cast<LONG>((1u << n) - 1) : static_cast<LONG>(v);
}

// Decodes one Huffman symbol, or returns -1 when no code of at most the
// table's longest length matches. The buffer holds at least 32 bits (real or
// supplied zeros).
inline LONG DecodeSymbol(BitReader& r, const MjpegHuffmanTable& t) {
  const USHORT entry = t.lookahead[PeekBits(r, kHuffmanLookaheadBits)];
  if (entry != 0) {
    SkipBits(r, entry >> 8);
    return entry & 0xFF;
  }
  for (int length = kHuffmanLookaheadBits + 1; length <= t.maxLength; ++length) {
    const LONG code = static_cast<LONG>(PeekBits(r, length));
    if (code <= t.maxCode[length]) {
      SkipBits(r, length);
      return t.symbols[(code + t.valueOffset[length]) & 0xFF];
    }
  }
  return -1;
}

// Puts the whole bytes the reader still holds back into the data, so that its
// position is right after the last bit used, then empties the buffer. A
// stuffed 0xFF 0x00 pair gives back as one byte.
void GiveBack(BitReader& r) {
  LONG bytes = r.bits > 0 ? r.bits / 8 : 0;
  while (bytes-- > 0 && r.position > r.start) {
    if (r.position - r.start >= 2 && r.position[-1] == 0 && r.position[-2] == 0xFF)
      r.position -= 2;
    else
      r.position -= 1;
  }
  r.buffer = 0;
  r.bits = 0;
}

inline SHORT Saturate16(LONGLONG v) {
  return static_cast<SHORT>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

struct ScanComponent {
  UCHAR* plane;
  ULONG stride;
  ULONG h, v;
  const MjpegHuffmanTable* dc;
  const MjpegHuffmanTable* ac;
  LONG* predictor;
  USHORT quant[64];  // zigzag order
};

// Decodes one block into `coefficients` (natural order, dequantised).
// Returns the last zigzag position written (0 when only DC), or a negative
// error code.
inline LONG DecodeBlock(BitReader& r, const ScanComponent& c, SHORT* coefficients) {
  memset(coefficients, 0, 64 * sizeof(SHORT));
  if (r.bits < 32) Refill(r);
  // The pre-decoded table read as DC: a run of 0 is a category 1..7 with its
  // value, the end-of-block entry is category 0; anything else (longer
  // codes, larger categories, symbols above 15) takes the full path.
  LONG diff = 0;
  const LONG fastDc = c.dc->fastAc[PeekBits(r, kHuffmanLookaheadBits)];
  const LONG fastKind = (fastDc >> 8) & 0xFF;
  if (fastDc != 0 && (fastKind == 0 || fastKind == 64)) {
    SkipBits(r, fastDc & 0xFF);
    diff = fastDc >> 16;
  } else {
    const LONG s = DecodeSymbol(r, *c.dc);
    if (s < 0 || s > 16) return -kMjpegErrorDcCode;
    if (s != 0) diff = ReceiveExtend(r, s);
  }
  // The predictor wraps like the 32-bit register it is.
  *c.predictor = static_cast<LONG>(static_cast<ULONG>(*c.predictor) + static_cast<ULONG>(diff));
  coefficients[0] = Saturate16(static_cast<LONGLONG>(*c.predictor) * c.quant[0]);

  const MjpegHuffmanTable& ac = *c.ac;
  LONG last = 0;
  for (LONG k = 1; k < 64;) {
    if (r.bits < 32) Refill(r);
    const ULONG prefix = PeekBits(r, kHuffmanLookaheadBits);
    const LONG fast = ac.fastAc[prefix];
    if (fast != 0) {
      SkipBits(r, fast & 0xFF);
      k += (fast >> 8) & 0xFF;
      if (k > 63) break;
      // Pre-decoded values have at most 7 bits: the product fits in 16.
      coefficients[kZigzagToNatural[k]] = static_cast<SHORT>((fast >> 16) * c.quant[k]);
      last = k;
      ++k;
      continue;
    }
    const LONG rs = DecodeSymbol(r, ac);
    if (rs < 0) return -kMjpegErrorAcCode;
    const LONG run = rs >> 4, size = rs & 15;
    if (size == 0) {
      if (run == 0) break;  // end of block
      k += 16;
      continue;
    }
    k += run;
    const LONG value = ReceiveExtend(r, size);
    if (k > 63) break;
    coefficients[kZigzagToNatural[k]] = Saturate16(static_cast<LONGLONG>(value) * c.quant[k]);
    last = k;
    ++k;
  }
  return last;
}

constexpr ULONG kMaxBlocksPerMcu = 8;

inline void FillBlock(UCHAR* out, ULONG stride, UCHAR value) {
  for (int row = 0; row < 8; ++row) {
    memset(out, value, 8);
    out += stride;
  }
}

LONG DecodeScan(DecoderState& s, ScanComponent* components, ULONG count) {
  BitReader r;
  r.buffer = 0;
  r.bits = 0;
  r.position = s.readPosition;
  r.start = s.readPosition;
  r.end = s.dataEnd;
  for (ULONG i = 0; i < 4; ++i) s.dcPredictors[i] = 0;

  // Blocks of one MCU: at most 4 + 2 + 2 with the sampling SOF0 accepts.
  alignas(32) SHORT coefficients[kMaxBlocksPerMcu][64];
  LONG lasts[kMaxBlocksPerMcu];
  UCHAR* outputs[kMaxBlocksPerMcu];
  ULONG strides[kMaxBlocksPerMcu];
  const MjpegIdctFunction idct = s.idct;
  const ULONG interval = s.restartInterval;
  ULONG untilRestart = interval;
  ULONG restartNumber = 0;  // n of the next RSTn
  for (ULONG mcuRow = 0; mcuRow < s.mcuRows; ++mcuRow) {
    for (ULONG mcu = 0; mcu < s.mcusPerRow; ++mcu) {
      if (interval != 0) {
        if (untilRestart == 0) {
          // The interval must have been decoded from its own bytes, not
          // from the zero bits the reader supplies at the marker.
          if (r.bits < 0) return kMjpegErrorTruncated;
          // Realign to the byte boundary. Some cameras write a stuffed zero
          // byte (FF 00) or fill bytes (FF FF) before the marker: skip them.
          // Then the next RSTn in sequence must stand there.
          GiveBack(r);
          const UCHAR* p = r.position;
          while (r.end - p >= 2 && p[0] == 0xFF && (p[1] == 0x00 || p[1] == 0xFF)) p += p[1] == 0 ? 2 : 1;
          if (r.end - p < 2 || p[0] != 0xFF || p[1] != 0xD0 + restartNumber) return kMjpegErrorRestart;
          restartNumber = (restartNumber + 1) & 7;
          r.position = p + 2;
          r.start = r.position;
          for (ULONG i = 0; i < 4; ++i) s.dcPredictors[i] = 0;
          untilRestart = interval;
        }
        --untilRestart;
      }
      // Decode every block of the MCU first, then transform them: the
      // transform reads the coefficients with wide loads, which would stall
      // on the narrow stores of the decoding if it followed each block.
      ULONG blocks = 0;
      for (ULONG ci = 0; ci < count; ++ci) {
        const ScanComponent& c = components[ci];
        for (ULONG bv = 0; bv < c.v; ++bv) {
          UCHAR* row = c.plane + ((mcuRow * c.v + bv) * 8) * c.stride + mcu * c.h * 8;
          for (ULONG bh = 0; bh < c.h; ++bh) {
            const LONG last = DecodeBlock(r, c, coefficients[blocks]);
            if (last < 0) return -last;
            lasts[blocks] = last;
            outputs[blocks] = row + bh * 8;
            strides[blocks] = c.stride;
            ++blocks;
          }
        }
      }
      for (ULONG b = 0; b < blocks; ++b) {
        if (lasts[b] == 0)
          FillBlock(outputs[b], strides[b], IdctDcOnly(coefficients[b][0]));
        else
          idct(coefficients[b], outputs[b], strides[b]);
      }
    }
    // Once the reader stands at a marker or the end of the data it supplies
    // zero bits, and `bits` goes negative by as many as were used: the scan
    // data was cut short. Checked once per row; the reader never moves on
    // from there, so nothing is missed.
    if (r.bits < 0) return kMjpegErrorTruncated;
  }
  GiveBack(r);
  s.readPosition = r.position;
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

  ScanComponent components[3];
  for (ULONG i = 0; i < count; ++i) {
    const UCHAR id = ids[i];
    const ULONG quantIndex = s.quantSelector[id];
    if (!(s.quantDefined & (1u << quantIndex))) return kMjpegErrorMissingSegment;
    ScanComponent& c = components[i];
    c.plane = s.planes[id];
    c.stride = s.planeWidths[id];
    c.h = s.hFactor[id];
    c.v = s.vFactor[id];
    c.dc = s.huffman[td[i]];
    c.ac = s.huffman[2 + ta[i]];
    c.predictor = &s.dcPredictors[id];
    for (int k = 0; k < 64; ++k) c.quant[k] = s.quantTables[quantIndex][kZigzagToNatural[k]];
  }
  // SOF0 admits at most 8 blocks per MCU; the scan's block buffer relies on it.
  ULONG blocksPerMcu = 0;
  for (ULONG i = 0; i < count; ++i) blocksPerMcu += components[i].h * components[i].v;
  if (blocksPerMcu > kMaxBlocksPerMcu) return kMjpegErrorSampling;
  s.readPosition = end;
  status = DecodeScan(s, components, count);
  if (status != kMjpegOk) return status;
  s.seen |= kScanDone;
  return kMjpegOk;
}

// EOI: compact the planes to the output size when the padding differs, then
// interleave into the destination.
void Finish(DecoderState& s) {
  const ULONG outWidth = (s.imageWidth + 3) & ~3u;
  const ULONG outHeight = (s.imageHeight + 1) & ~1u;
  UCHAR* const base = s.scratch;
  const ULONG pw = s.paddedWidth;
  const ULONG ph = s.paddedHeight;
  const bool grey = s.samplingMode == kModeGrey;
  const bool quarter = s.samplingMode == kMode420;
  const ULONG chromaRows = quarter ? outHeight / 2 : outHeight;
  const ULONG chromaWidth = outWidth / 2;
  if (pw != outWidth || ph != outHeight) {
    const UCHAR* yPlane = s.planes[s.frameIds[0]];
    for (ULONG row = 0; row < outHeight; ++row) memmove(base + row * outWidth, yPlane + row * pw, outWidth);
    if (!grey) {
      UCHAR* out = base + outWidth * outHeight;
      for (int c = 1; c <= 2; ++c) {
        const UCHAR* plane = s.planes[s.frameIds[c]];
        const ULONG stride = s.planeWidths[s.frameIds[c]];
        for (ULONG row = 0; row < chromaRows; ++row) {
          memmove(out, plane + row * stride, chromaWidth);
          out += chromaWidth;
        }
      }
    }
  }
  const UCHAR* y = base;
  const UCHAR* cb = base + outWidth * outHeight;
  const UCHAR* cr = cb + chromaWidth * chromaRows;
  UCHAR* out = s.destination;
  const ULONG pairs = outWidth / 2;
  for (ULONG row = 0; row < outHeight; ++row) {
    const ULONG chromaRow = quarter ? row / 2 : row;
    if (grey)
      s.interleaveGrey(y + row * outWidth, out, pairs);
    else
      s.interleave(y + row * outWidth, cb + chromaRow * chromaWidth, cr + chromaRow * chromaWidth, out, pairs);
    out += outWidth * 2;
  }
  s.imageWidth = outWidth;
  s.imageHeight = outHeight;
  s.planeBytes = grey ? outWidth * outHeight : outWidth * outHeight + 2 * chromaWidth * chromaRows;
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
            ULONG scratchSize) {
  DecoderState s = {};
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
  return Decode(destination, destinationSize, source, sourceLength, scratch, scratchSize);
}

LONG DecodeMjpegStill(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                      UCHAR* scratch, ULONG scratchSize) {
  return Decode(destination, destinationSize, source, sourceLength, scratch, scratchSize);
}

MjpegKernels MjpegSelectKernels(MjpegKernels kernels) {
  const MjpegKernels chosen = ResolveKernels(kernels);
  InterlockedExchange(&g_kernels, chosen);
  return chosen;
}
