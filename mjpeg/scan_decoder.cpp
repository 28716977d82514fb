// The entropy-coded scan: the bit reader, the Huffman decoding of each block,
// restart points, and the inverse DCT of each MCU into the component planes.
#include <emmintrin.h>

#include "mjpeg/mjpeg_decoder.h"
#include "mjpeg/mjpeg_internal.h"

#if defined(_MSC_VER) && !defined(__clang__)
#define MJPEG_NOINLINE __declspec(noinline)
#define MJPEG_INLINE __forceinline
#define MJPEG_LIKELY(x) (x)
#else
#define MJPEG_NOINLINE __attribute__((noinline))
#define MJPEG_INLINE inline __attribute__((always_inline))
#define MJPEG_LIKELY(x) __builtin_expect(!!(x), 1)
#endif

namespace {

// Bit reader: a 64-bit buffer holding `bits` valid bits at its top end. It
// never reads past a marker or the end of the data; once there it supplies
// zero bits (and `bits` goes negative by the number of bits so supplied), so
// the bytes it still holds are always the bytes right before its position.
// The hot loops keep it in registers: the rare paths take its three fields
// as separate arguments and return it by value, and the callers copy it
// back field by field (a whole-record copy through memory would stall the
// next block's reads of the fields).
struct Bits {
  ULONGLONG buffer;
  LONG bits;
  const UCHAR* position;
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

// Byte by byte up to at least 57 bits, or as far as the data goes before a
// marker or the end: stuffed FF 00 pairs give one byte.
MJPEG_NOINLINE Bits RefillSlow(ULONGLONG buffer, LONG bits, const UCHAR* position, const UCHAR* end) {
  Bits b = {buffer, bits, position};
  while (b.bits <= 56) {
    if (b.position >= end) break;
    const UCHAR byte = *b.position;
    if (byte == 0xFF) {
      if (end - b.position < 2 || b.position[1] != 0) break;  // a marker (or a lone 0xFF)
      b.position += 2;
    } else {
      b.position += 1;
    }
    b.buffer |= static_cast<ULONGLONG>(byte) << (56 - b.bits);
    b.bits += 8;
  }
  return b;
}

// Tops the buffer up. Where the next eight bytes hold no 0xFF (no stuffing,
// no marker) it takes as many whole bytes as fit at once. The bits of the
// next byte that also land in the buffer are that byte's own bits, which the
// next refill puts in the same place.
inline void Refill(Bits& b, const UCHAR* end) {
  if (MJPEG_LIKELY(b.bits >= 0 && end - b.position >= 8)) {
    const ULONGLONG word = LoadBigEndian64(b.position);
    if (MJPEG_LIKELY(!HasFFByte(word))) {
      const LONG bytes = (63 - b.bits) >> 3;
      b.buffer |= word >> b.bits;
      b.bits += bytes * 8;
      b.position += bytes;
      return;
    }
  }
  const Bits t = RefillSlow(b.buffer, b.bits, b.position, end);
  b.buffer = t.buffer;
  b.bits = t.bits;
  b.position = t.position;
}

inline ULONG PeekBits(const Bits& b, int n) { return static_cast<ULONG>(b.buffer >> (64 - n)); }

inline void SkipBits(Bits& b, int n) {
  b.buffer <<= n;
  b.bits -= n;
}

// Reads n (1..16) bits and extends them to a signed value.
inline LONG ReceiveExtend(Bits& b, int n) {
  const ULONG v = PeekBits(b, n);
  SkipBits(b, n);
  return v < (1u << (n - 1)) ? static_cast<LONG>(v) - static_cast<LONG>((1u << n) - 1) : static_cast<LONG>(v);
}

// A symbol and its value bits decoded the long way: codes longer than the
// lookahead, values that do not fit it. `symbol` is -1 when no code of at
// most the table's longest length matches.
struct SlowSymbol {
  Bits bits;
  LONG symbol;
  LONG value;
};

// The buffer holds at least 32 bits (real or supplied zeros): enough for a
// 16-bit code and up to 16 value bits. A DC symbol is the value's size (DC
// symbols above 16 are refused by the caller), an AC one holds it in its low
// four bits.
template <bool kDc>
MJPEG_NOINLINE SlowSymbol DecodeSymbolSlow(ULONGLONG buffer, LONG bits, const UCHAR* position,
                                           const MjpegHuffmanTable& t) {
  Bits b = {buffer, bits, position};
  LONG symbol = -1;
  const USHORT entry = t.lookahead[PeekBits(b, kHuffmanLookaheadBits)];
  if (entry != 0) {
    SkipBits(b, entry >> 8);
    symbol = entry & 0xFF;
  } else {
    for (int length = kHuffmanLookaheadBits + 1; length <= t.maxLength; ++length) {
      const LONG code = static_cast<LONG>(PeekBits(b, length));
      if (code <= t.maxCode[length]) {
        SkipBits(b, length);
        symbol = t.symbols[(code + t.valueOffset[length]) & 0xFF];
        break;
      }
    }
  }
  LONG value = 0;
  const int size = kDc ? (symbol <= 16 ? symbol : 0) : (symbol & 15);
  if (symbol > 0 && size > 0) value = ReceiveExtend(b, size);
  return {b, symbol, value};
}

inline SHORT Saturate16(LONGLONG v) {
  return static_cast<SHORT>(v > 32767 ? 32767 : (v < -32768 ? -32768 : v));
}

// Decodes one block into `coefficients` (natural order, dequantised; all zero
// on entry; a spare slot at 64) with the component's extended dequantisation
// table. Returns one past the last zigzag position stored (1 when only
// DC), or a negative error code. Inlined into the scan loop, so that the
// reader stays in registers from block to block.
MJPEG_INLINE LONG DecodeCoefficients(Bits& b, const UCHAR* end, const ScanComponent& c, const ULONG* dequant,
                                     LONG* predictor, SHORT* coefficients) {
  // Every block starts with a top-up to at least 56 bits (where the data
  // allows): enough for the DC symbol and the first four AC entries.
  Refill(b, end);
  // The DC table: a category and its value in one read where both fit the
  // prefix; a code that fits alone, with its value bits read after it;
  // anything else (longer codes, symbols above 15) takes the full path.
  LONG diff;
  const ULONG fastDc = c.dc->fastDc[PeekBits(b, kHuffmanLookaheadBits)];
  if (MJPEG_LIKELY((fastDc & 15) != 0)) {
    SkipBits(b, static_cast<int>(fastDc & 15));
    diff = static_cast<SHORT>(fastDc) >> 4;
  } else if (fastDc != 0) {
    // The top-up left at least 26 bits for the code and its value (or the
    // data ends); then the buffer is topped up again for the AC entries,
    // as after a long DC code.
    SkipBits(b, static_cast<int>(fastDc >> 4) & 15);
    diff = ReceiveExtend(b, static_cast<int>(fastDc >> 8) & 15);
    Refill(b, end);
  } else {
    const SlowSymbol s = DecodeSymbolSlow<true>(b.buffer, b.bits, b.position, *c.dc);
    if (s.symbol < 0 || s.symbol > 16) return -kMjpegErrorDcCode;
    b.buffer = s.bits.buffer;
    b.bits = s.bits.bits;
    b.position = s.bits.position;
    diff = s.value;
    Refill(b, end);
  }
  // The predictor wraps like the 32-bit register it is.
  *predictor = static_cast<LONG>(static_cast<ULONG>(*predictor) + static_cast<ULONG>(diff));
  coefficients[0] = Saturate16(static_cast<LONGLONG>(*predictor) * (dequant[0] & 0xFFFF));

  const ULONGLONG* const fastAc = c.ac->fastAc;
  LONG k = 1;
  // One top-up (to at least 56 bits where the data allows; 45 are left
  // after a pre-decoded DC symbol) serves up to four pre-decoded entries of
  // at most 11 bits each, so the reader is not tested before every entry:
  // that test's outcome follows the code lengths and would be mispredicted
  // often.
  for (;; Refill(b, end)) {
    ULONGLONG fast;
    int entries = 0;
    for (;;) {
      fast = fastAc[PeekBits(b, kHuffmanLookaheadBits)];
      if (!MJPEG_LIKELY((fast & 0xFF) != 0)) break;
      const LONG at = k + static_cast<LONG>((fast >> 8) & 0xFF);
      if (at >= 63) {
        // End of block is a run of 64: like a position past the block, it
        // stores nothing and ends the block. A coefficient at the last
        // position ends it too, and the symbol paired with it (if any)
        // belongs to the next block: only the first symbol's bits go.
        SkipBits(b, static_cast<int>((fast >> 24) & 0xFF));
        if (at == 63) {
          const ULONG place = dequant[63];
          coefficients[place >> 16] =
              static_cast<SHORT>(static_cast<SHORT>(fast >> 32) * static_cast<LONG>(place & 0xFFFF));
        }
        goto done;
      }
      SkipBits(b, static_cast<int>(fast & 0xFF));
      // The second symbol of the entry lands `distance` after the first (0:
      // none, and its zero store is overwritten by the first's); past the
      // block it goes to the spare slot, and end of block moves k 96 past
      // the position after the first. Pre-decoded values have at most 7
      // bits: the products fit in 16.
      const LONG second = at + static_cast<LONG>((fast >> 16) & 0xFF);
      const ULONG place2 = dequant[second];
      coefficients[place2 >> 16] =
          static_cast<SHORT>(static_cast<SHORT>(fast >> 48) * static_cast<LONG>(place2 & 0xFFFF));
      const ULONG place = dequant[at];
      coefficients[place >> 16] =
          static_cast<SHORT>(static_cast<SHORT>(fast >> 32) * static_cast<LONG>(place & 0xFFFF));
      k = second + 1;
      if (k >= 64) goto done;
      if (++entries == 4) break;
    }
    if ((fast & 0xFF) != 0) continue;
    // A code within the lookahead whose value does not fit it (the usual
    // case here) reads its value bits next; longer codes go the long way.
    // The entry was read with at least 12 bits in the buffer (or at the end
    // of the data), so the top-up does not change the 11 it was read from.
    if (b.bits < 32) Refill(b, end);
    LONG symbol, value;
    if (MJPEG_LIKELY(fast != 0)) {
      SkipBits(b, static_cast<int>(fast >> 8) & 0xFF);
      symbol = static_cast<LONG>(fast >> 16) & 0xFF;
      value = ReceiveExtend(b, symbol & 15);
    } else {
      const SlowSymbol s = DecodeSymbolSlow<false>(b.buffer, b.bits, b.position, *c.ac);
      if (s.symbol < 0) return -kMjpegErrorAcCode;
      b.buffer = s.bits.buffer;
      b.bits = s.bits.bits;
      b.position = s.bits.position;
      symbol = s.symbol;
      value = s.value;
    }
    const LONG run = symbol >> 4, size = symbol & 15;
    if (size == 0) {
      if (run == 0) break;  // end of block
      k += 16;
    } else {
      const LONG at = k + run;
      if (at > 63) break;
      const ULONG place = dequant[at];
      coefficients[place >> 16] = Saturate16(static_cast<LONGLONG>(value) * (place & 0xFFFF));
      k = at + 1;
    }
    if (k >= 64) break;
  }
done:
  // A pair ending in end of block leaves k 96 past the position after its
  // first coefficient; other ends leave it at most 80.
  return k < 64 ? k : (k > 96 ? k - 96 : 64);
}

// Puts the whole bytes the reader still holds back into the data, so that its
// position is right after the last bit used, then empties the buffer. A
// stuffed 0xFF 0x00 pair gives back as one byte. `start` is where the
// reader began (the scan's data or the byte after the last RSTn).
Bits GiveBack(Bits b, const UCHAR* start) {
  LONG bytes = b.bits > 0 ? b.bits / 8 : 0;
  while (bytes-- > 0 && b.position > start) {
    if (b.position - start >= 2 && b.position[-1] == 0 && b.position[-2] == 0xFF)
      b.position -= 2;
    else
      b.position -= 1;
  }
  b.buffer = 0;
  b.bits = 0;
  return b;
}

// A restart point: the interval must have been decoded from its own bytes,
// not from the zero bits the reader supplies at the marker. Realigns to the
// byte boundary, skips the stuffed zero byte (FF 00) or fill bytes (FF FF)
// some cameras write before the marker, and steps over the RSTn, which must
// be the next in sequence. Returns the status; on success `b` stands after
// the marker, empty. (Taken and given back by value, so that the reader of
// the scan loop never needs an address.)
struct RestartResult {
  Bits bits;
  LONG status;
};

MJPEG_NOINLINE RestartResult RestartAt(ULONGLONG buffer, LONG bits, const UCHAR* position, const UCHAR* start,
                                       const UCHAR* end, ULONG restartNumber) {
  Bits b = {buffer, bits, position};
  if (b.bits < 0) return {b, kMjpegErrorTruncated};
  b = GiveBack(b, start);
  const UCHAR* p = b.position;
  while (end - p >= 2 && p[0] == 0xFF && (p[1] == 0x00 || p[1] == 0xFF)) p += p[1] == 0 ? 2 : 1;
  if (end - p < 2 || p[0] != 0xFF || p[1] != 0xD0 + restartNumber) return {b, kMjpegErrorRestart};
  b.position = p + 2;
  return {b, kMjpegOk};
}

inline LONG Restart(Bits& b, const UCHAR* start, const UCHAR* end, ULONG restartNumber) {
  const RestartResult result = RestartAt(b.buffer, b.bits, b.position, start, end, restartNumber);
  b.buffer = result.bits.buffer;
  b.bits = result.bits.bits;
  b.position = result.bits.position;
  return result.status;
}

constexpr ULONG kMaxBlocksPerMcu = 8;
// A block's coefficients and the spare slot past them, in whole vectors.
constexpr ULONG kBlockShorts = 72;
// The dequantisation table by zigzag position, extended past the block for
// the second coefficient of pre-decoded pairs (end of block lands 96 after
// the first): positions 64..159 store into the spare slot with a step of 0.
constexpr ULONG kDequantEntries = 160;

inline void FillBlock(UCHAR* out, ULONG stride, UCHAR value) {
  const ULONGLONG eight = 0x0101010101010101ull * value;
  for (int row = 0; row < 8; ++row) {
    memcpy(out, &eight, 8);
    out += stride;
  }
}

// Clears the first `shorts` coefficients (a multiple of 8) of a block.
inline void ClearCoefficients(SHORT* block, int shorts) {
  const __m128i zero = _mm_setzero_si128();
  for (int i = 0; i < shorts; i += 8) _mm_store_si128(reinterpret_cast<__m128i*>(block + i), zero);
}

// Transforms one decoded block into its place and clears what the decode
// wrote.
MJPEG_INLINE void TransformBlock(const ScanJob& job, SHORT* block, UCHAR* out, ULONG stride, LONG last) {
  if (last == 1) {
    FillBlock(out, stride, IdctDcOnly(block[0]));
    block[0] = 0;
  } else if (last <= 3) {
    job.idctCorner(block, out, stride);
    block[0] = block[1] = block[8] = 0;
  } else {
    job.idct(block, out, stride);
    // Zigzag positions below 10 all lie in the first four rows.
    ClearCoefficients(block, last <= 10 ? 32 : 64);
  }
}

}  // namespace

void DecodeScanPart(const ScanJob& job, ScanPart* part) {
  const UCHAR* const end = job.dataEnd;
  const UCHAR* segmentStart = part->start;
  Bits b = {0, 0, part->start};
  LONG predictors[3] = {0, 0, 0};

  // The blocks of one MCU in decoding order: their component and their
  // place relative to the component's MCU corner. At most 4 + 2 + 2 with the
  // sampling SOF0 accepts.
  ULONG blocksPerMcu = 0;
  UCHAR blockComponent[kMaxBlocksPerMcu];
  ULONG blockOffset[kMaxBlocksPerMcu];
  for (ULONG ci = 0; ci < job.count; ++ci) {
    const ScanComponent& c = job.components[ci];
    for (ULONG bv = 0; bv < c.v; ++bv) {
      for (ULONG bh = 0; bh < c.h && blocksPerMcu < kMaxBlocksPerMcu; ++bh) {
        blockComponent[blocksPerMcu] = static_cast<UCHAR>(ci);
        blockOffset[blocksPerMcu] = bv * 8 * c.stride + bh * 8;
        ++blocksPerMcu;
      }
    }
  }
  // Every block is all zero before its decode; the transform's caller
  // clears what the decode wrote. Two blocks in turn: each block is
  // transformed after the next one has been decoded, so that the vector
  // work of the transform runs in the shadow of the bit-serial decode.
  alignas(32) SHORT coefficients[2][kBlockShorts];
  ClearCoefficients(&coefficients[0][0], 2 * kBlockShorts);
  ULONG slot = 0;
  SHORT* pendingBlock = nullptr;
  UCHAR* pendingOut = nullptr;
  ULONG pendingStride = 0;
  LONG pendingEnd = 0;
  ULONG dequant[3][kDequantEntries];
  for (ULONG ci = 0; ci < job.count; ++ci) {
    for (ULONG k = 0; k < 64; ++k) dequant[ci][k] = job.components[ci].dequant[k];
    for (ULONG k = 64; k < kDequantEntries; ++k) dequant[ci][k] = 64u << 16;
  }
  const ULONG interval = job.restartInterval;
  ULONG untilRestart = interval;
  ULONG restartNumber = part->restartNumber;
  ULONG column = part->mcuBegin % job.mcusPerRow;
  // Each component's MCU corner, moved along as the MCUs go.
  UCHAR* corners[3];
  auto placeCorners = [&](ULONG mcu) {
    const ULONG mcuRow = mcu / job.mcusPerRow, mcuColumn = mcu % job.mcusPerRow;
    for (ULONG ci = 0; ci < job.count; ++ci) {
      const ScanComponent& c = job.components[ci];
      corners[ci] = c.plane + mcuRow * c.v * 8 * c.stride + mcuColumn * c.h * 8;
    }
  };
  placeCorners(part->mcuBegin);
  LONG status = kMjpegOk;
  for (ULONG mcu = part->mcuBegin; mcu < part->mcuEnd; ++mcu) {
    if (interval != 0) {
      if (untilRestart == 0) {
        status = Restart(b, segmentStart, end, restartNumber);
        if (status != kMjpegOk) break;
        restartNumber = (restartNumber + 1) & 7;
        segmentStart = b.position;
        predictors[0] = predictors[1] = predictors[2] = 0;
        untilRestart = interval;
      }
      --untilRestart;
    }
    for (ULONG i = 0; i < blocksPerMcu; ++i) {
      const ULONG ci = blockComponent[i];
      SHORT* block = coefficients[slot];
      slot ^= 1;
      const LONG last = DecodeCoefficients(b, end, job.components[ci], dequant[ci], &predictors[ci], block);
      if (last < 0) {
        part->status = -last;
        part->end = b.position;
        return;
      }
      if (pendingBlock != nullptr) TransformBlock(job, pendingBlock, pendingOut, pendingStride, pendingEnd);
      pendingBlock = block;
      pendingOut = corners[ci] + blockOffset[i];
      pendingStride = job.components[ci].stride;
      pendingEnd = last;
    }
    // Once the reader stands at a marker or the end of the data it supplies
    // zero bits, and `bits` goes negative by as many as were used: the scan
    // data was cut short. Checked once per row; the reader never moves on
    // from there, so nothing is missed.
    if (++column == job.mcusPerRow) {
      column = 0;
      if (b.bits < 0) {
        status = kMjpegErrorTruncated;
        break;
      }
      placeCorners(mcu + 1);
    } else {
      for (ULONG ci = 0; ci < job.count; ++ci) corners[ci] += job.components[ci].h * 8;
    }
  }
  if (status == kMjpegOk && pendingBlock != nullptr)
    TransformBlock(job, pendingBlock, pendingOut, pendingStride, pendingEnd);
  if (status == kMjpegOk) {
    if (part->closeInterval)
      status = Restart(b, segmentStart, end, restartNumber);
    else
      b = GiveBack(b, segmentStart);
  }
  part->status = status;
  part->end = b.position;
}
