// Internal pieces of the MJPEG decoder shared between its source files:
// the derived Huffman tables, the inverse DCT and the interleave kernels.
#pragma once

#include "platform/wdk.h"

// Huffman codes up to this many bits decode with one table access.
constexpr int kHuffmanLookaheadBits = 11;

// Decoding table derived from a DHT table (code counts per length and the
// symbols in code order).
struct MjpegHuffmanTable {
  // For every kHuffmanLookaheadBits-bit prefix: (code length << 8) | symbol,
  // or 0 when no code of at most kHuffmanLookaheadBits bits is a prefix.
  USHORT lookahead[1 << kHuffmanLookaheadBits];
  // AC tables: pre-decoded symbols for the same prefixes, one or two AC
  // coefficients whose codes and value bits all fit in the prefix (values of
  // at most 7 bits). Bits 0-7: the bits the entry uses; bits 8-15: the run
  // before the first coefficient (64 = end of block, 15 with value 0 =
  // sixteen zeros); bits 16-23: 0 when the entry holds one symbol, else the
  // distance from the first coefficient to the second (its run + 1; 16 with
  // value 0 for sixteen zeros; 96 for end of block); bits 24-31: the bits of
  // the first symbol alone; bits 32-47 and 48-63: the two values. A prefix
  // that starts with a whole code but not its value bits (a coefficient of
  // more than 7 bits, or a code too long to leave room) holds bits 0-7 zero,
  // the code's length in bits 8-15 and its symbol in bits 16-23; any other
  // prefix holds 0. All 0 in DC tables.
  ULONGLONG fastAc[1 << kHuffmanLookaheadBits];
  // DC tables (all 0 in AC tables), a quarter of the size: bits 0-3 the bits
  // a category and its value take when both fit the prefix, bits 4-15 the
  // value (signed); or bits 0-3 zero, bits 4-7 the length of a code that
  // fits without its value bits and bits 8-11 its category (1..15); 0
  // otherwise (longer codes, symbols above 15).
  USHORT fastDc[1 << kHuffmanLookaheadBits];
  // Canonical decoding of longer codes: the largest code of each length
  // (-1 when the length has no code) and the offset that turns a code of that
  // length into an index into `symbols`.
  LONG maxCode[18];
  LONG valueOffset[18];
  UCHAR symbols[256];
  UCHAR maxLength;  // longest code of the table
};

// Builds `table` from 16 code counts (lengths 1..16) and their symbols, for
// AC coefficients (`ac`) or DC differences. Returns false when the counts are
// over-subscribed (more codes of some length than the shorter codes leave
// room for) or name more than 256 codes.
bool BuildHuffmanTable(const UCHAR counts[16], const UCHAR* symbols, bool ac, MjpegHuffmanTable* table);

// The four standard tables (DC luminance, DC chrominance, AC luminance, AC
// chrominance) in the order the decoder keeps its tables: DC 0, DC 1, AC 0,
// AC 1. Constants built at compile time.
const MjpegHuffmanTable* BuiltInHuffmanTables();

// Whether 16 code counts and their symbols are the standard table for the
// given index (0 = DC 0, 1 = DC 1, 2 = AC 0, 3 = AC 1).
bool IsStandardHuffmanTable(ULONG index, const UCHAR counts[16], const UCHAR* symbols);

// Writes the body of the standard 418-byte DHT segment that carries those
// four tables (the 416 bytes after the length field; DC 0, AC 0, DC 1, AC 1).
constexpr ULONG kStandardDhtBodyBytes = 416;
void WriteStandardDhtBody(UCHAR* out);

// Zigzag position k -> natural (row-major) position.
extern const UCHAR kZigzagToNatural[64];

// Inverse DCT of one dequantised 8x8 block (natural order), with the final
// rounding, +128 and the clamp to 0..255; writes 8 rows of 8 bytes at `out`
// with `stride` bytes between rows. Coefficients are 16-bit, so none of the
// 32-bit arithmetic of the transform can overflow.
typedef void (*MjpegIdctFunction)(const SHORT* coefficients, UCHAR* out, ULONG stride);
void IdctScalar(const SHORT* coefficients, UCHAR* out, ULONG stride);
void IdctSse2(const SHORT* coefficients, UCHAR* out, ULONG stride);
void IdctAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride);

// The same transform for a block whose only nonzero coefficients are the
// three lowest ((0,0), (0,1) and (1,0): zigzag positions 0..2), at a fraction
// of the cost; the same bytes as the full transform.
void IdctCornerScalar(const SHORT* coefficients, UCHAR* out, ULONG stride);
void IdctCornerSse2(const SHORT* coefficients, UCHAR* out, ULONG stride);
void IdctCornerAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride);

// Value of a block whose only nonzero coefficient is the DC one.
UCHAR IdctDcOnly(LONG dc);

// One output row of packed YUY2: pixel pair i = Y[2i], Cb[i], Y[2i+1], Cr[i].
typedef void (*MjpegInterleaveFunction)(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out,
                                        ULONG pairs);
void InterleaveRowScalar(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs);
void InterleaveRowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs);
void InterleaveRowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs);
// The same for a grey image: chroma 128.
typedef void (*MjpegInterleaveGreyFunction)(const UCHAR* y, UCHAR* out, ULONG pairs);
void InterleaveGreyRowScalar(const UCHAR* y, UCHAR* out, ULONG pairs);
void InterleaveGreyRowSse2(const UCHAR* y, UCHAR* out, ULONG pairs);

// Whether the processor runs AVX2 code.
bool MjpegCpuHasAvx2();

// ---------------------------------------------------------------------------
// The entropy-coded scan, shared by the serial decode and the split decode of
// frames with restart intervals.

// One component of the scan.
struct ScanComponent {
  UCHAR* plane;
  ULONG stride;
  ULONG h, v;
  const MjpegHuffmanTable* dc;
  const MjpegHuffmanTable* ac;
  // By zigzag position k: (natural position << 16) | quantiser, so that
  // one load gives both where a coefficient goes and its multiplier.
  ULONG dequant[64];
};

// Everything the scan's MCUs need; read-only while parts decode.
struct ScanJob {
  ScanComponent components[3];
  ULONG count;
  ULONG mcusPerRow;
  ULONG mcuCount;
  ULONG restartInterval;  // MCUs, 0 = none
  const UCHAR* dataEnd;
  MjpegIdctFunction idct;
  MjpegIdctFunction idctCorner;  // blocks with coefficients at zigzag 0..2 only
};

// A run of MCUs decoded from `start`: MCU `mcuBegin` opens a restart interval
// (or the scan), `restartNumber` is n of the next RSTn expected. With
// `closeInterval` the part ends at a restart point and also checks and steps
// over the RSTn there, as the decode of the following MCU would.
struct ScanPart {
  ULONG mcuBegin;
  ULONG mcuEnd;
  const UCHAR* start;
  ULONG restartNumber;
  bool closeInterval;
  // Results: the status, and the position after the last byte used (after
  // the RSTn with `closeInterval`).
  LONG status;
  const UCHAR* end;
};

// Decodes the MCUs of `part` into the component planes. Parts that cover
// different MCUs write different bytes and may run at the same time.
void DecodeScanPart(const ScanJob& job, ScanPart* part);

// Decodes the whole scan of `job` from `start` into `whole` (status and end
// position) as two parts split at a restart marker, on `workers`; false when
// the frame offers no split (no or a single restart interval, the marker
// not found where the sequence puts it) or a part failed, and the caller
// decodes serially instead.
struct MjpegWorkers;
bool DecodeScanSplit(const ScanJob& job, const UCHAR* start, const MjpegWorkers& workers, ScanPart* whole);
