// Derived Huffman decoding tables and the four standard tables.
#include "mjpeg/mjpeg_internal.h"

const UCHAR kZigzagToNatural[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63,
};

namespace {

constexpr UCHAR kDcLuminanceCounts[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr UCHAR kDcChrominanceCounts[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr UCHAR kDcSymbols[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};

constexpr UCHAR kAcLuminanceCounts[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr UCHAR kAcLuminanceSymbols[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

constexpr UCHAR kAcChrominanceCounts[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr UCHAR kAcChrominanceSymbols[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa,
};

// One symbol decoded from the top `available` bits of `prefix` (a
// kHuffmanLookaheadBits-bit value), with its value bits when they also fit:
// the bits used, the run to the coefficient (64 = end of block, 15 with value
// 0 = sixteen zeros) and the value. Values of up to 7 bits only: times a
// quantisation step (at most 255) they stay within 16 bits. False when the
// symbol does not decode so.
struct FastSymbol {
  ULONG length;
  ULONG run;
  LONG value;
};

// The `size` value bits that follow a code of `codeLength` bits at the top
// of `prefix`, extended to their signed value.
constexpr LONG PrefixValue(ULONG prefix, ULONG codeLength, ULONG size) {
  const ULONG bits = (prefix >> (kHuffmanLookaheadBits - codeLength - size)) & ((1u << size) - 1);
  return bits < (1u << (size - 1)) ? static_cast<LONG>(bits) - static_cast<LONG>((1u << size) - 1)
                                   : static_cast<LONG>(bits);
}

constexpr bool DecodeFast(const MjpegHuffmanTable& table, ULONG prefix, ULONG available, FastSymbol* out) {
  const USHORT entry = table.lookahead[prefix];
  if (entry == 0) return false;
  const ULONG codeLength = entry >> 8;
  const ULONG rs = entry & 0xFF;
  const ULONG run = rs >> 4;
  const ULONG size = rs & 15;
  if (codeLength > available) return false;
  if (size == 0) {
    *out = {codeLength, run == 0 ? 64u : 15u, 0};
    return true;
  }
  if (size > 7 || codeLength + size > available) return false;
  *out = {codeLength + size, run, PrefixValue(prefix, codeLength, size)};
  return true;
}

// The distance of a pair's second symbol when it is end of block: past any
// position a run can reach, and recognisable in the position after the pair.
constexpr ULONG kEndDistance = 96;

constexpr ULONGLONG PackValue(LONG value) { return static_cast<ULONGLONG>(static_cast<USHORT>(value)); }

// Fills the pre-decoded AC entries: a coefficient whose bits leave room for
// a whole second symbol in the prefix carries it too.
constexpr void BuildFastAc(MjpegHuffmanTable* table) {
  constexpr ULONG kMask = (1u << kHuffmanLookaheadBits) - 1;
  for (ULONG prefix = 0; prefix <= kMask; ++prefix) {
    table->fastDc[prefix] = 0;
    table->fastAc[prefix] = 0;
    FastSymbol first{};
    if (!DecodeFast(*table, prefix, kHuffmanLookaheadBits, &first)) {
      // A code within the prefix whose value bits do not fit: the code's
      // length and symbol, for the value to be read after it.
      const USHORT lookahead = table->lookahead[prefix];
      if (lookahead != 0 && (lookahead & 15) != 0)
        table->fastAc[prefix] = (static_cast<ULONGLONG>(lookahead >> 8) << 8) | (static_cast<ULONGLONG>(lookahead & 0xFF) << 16);
      continue;
    }
    const ULONGLONG firstLength = static_cast<ULONGLONG>(first.length) << 24;
    ULONGLONG entry =
        first.length | (static_cast<ULONGLONG>(first.run) << 8) | firstLength | (PackValue(first.value) << 32);
    FastSymbol second{};
    if (first.run != 64 &&
        DecodeFast(*table, (prefix << first.length) & kMask, kHuffmanLookaheadBits - first.length, &second)) {
      const ULONG distance = second.run == 64 ? kEndDistance : second.run + 1;
      entry = (first.length + second.length) | (static_cast<ULONGLONG>(first.run) << 8) |
              (static_cast<ULONGLONG>(distance) << 16) | firstLength | (PackValue(first.value) << 32) |
              (PackValue(second.value) << 48);
    }
    table->fastAc[prefix] = entry;
  }
}

// Fills the pre-decoded DC entries (categories 1..15 and 0; larger symbols
// are left to the full path, which refuses those above 16).
constexpr void BuildFastDc(MjpegHuffmanTable* table) {
  for (ULONG prefix = 0; prefix < (1u << kHuffmanLookaheadBits); ++prefix) {
    table->fastAc[prefix] = 0;
    table->fastDc[prefix] = 0;
    const USHORT lookahead = table->lookahead[prefix];
    const ULONG codeLength = lookahead >> 8, category = lookahead & 0xFF;
    if (lookahead == 0 || category >= 16) continue;
    if (category == 0) {
      table->fastDc[prefix] = static_cast<USHORT>(codeLength);
    } else if (codeLength + category <= static_cast<ULONG>(kHuffmanLookaheadBits)) {
      const LONG value = PrefixValue(prefix, codeLength, category);
      table->fastDc[prefix] = static_cast<USHORT>((codeLength + category) | (static_cast<ULONG>(value) << 4));
    } else {
      table->fastDc[prefix] = static_cast<USHORT>((codeLength << 4) | (category << 8));
    }
  }
}

// The table builder, usable at compile time so that the standard tables are
// constants: no first-use initialisation for concurrent decodes to race on.
constexpr bool BuildTable(const UCHAR counts[16], const UCHAR* symbols, bool ac, MjpegHuffmanTable* table) {
  ULONG total = 0;
  for (int i = 0; i < 16; ++i) total += counts[i];
  if (total > 256) return false;

  for (ULONG i = 0; i < (1u << kHuffmanLookaheadBits); ++i) table->lookahead[i] = 0;
  for (ULONG i = 0; i < 256; ++i) table->symbols[i] = i < total ? symbols[i] : 0;
  table->maxLength = 0;

  // Canonical codes: consecutive values within a length, doubled when the
  // length grows. A length whose codes would not fit in its bits means the
  // counts describe no prefix code.
  ULONG code = 0;
  ULONG index = 0;
  table->maxCode[0] = -1;
  table->valueOffset[0] = 0;
  for (ULONG length = 1; length <= 16; ++length) {
    const ULONG count = counts[length - 1];
    if (code + count > (1u << length)) return false;
    if (count == 0) {
      table->maxCode[length] = -1;
      table->valueOffset[length] = 0;
    } else {
      table->valueOffset[length] = static_cast<LONG>(index) - static_cast<LONG>(code);
      if (length <= static_cast<ULONG>(kHuffmanLookaheadBits)) {
        const ULONG shift = kHuffmanLookaheadBits - length;
        for (ULONG i = 0; i < count; ++i) {
          const USHORT entry = static_cast<USHORT>((length << 8) | symbols[index + i]);
          const ULONG first = (code + i) << shift;
          for (ULONG j = 0; j < (1u << shift); ++j) table->lookahead[first + j] = entry;
        }
      }
      code += count;
      index += count;
      table->maxCode[length] = static_cast<LONG>(code) - 1;
      table->maxLength = static_cast<UCHAR>(length);
    }
    code <<= 1;
  }
  table->maxCode[17] = 0x7FFFFFFF;
  table->valueOffset[17] = 0;
  if (ac)
    BuildFastAc(table);
  else
    BuildFastDc(table);
  return true;
}

constexpr MjpegHuffmanTable StandardTable(const UCHAR counts[16], const UCHAR* symbols, bool ac) {
  MjpegHuffmanTable table{};
  BuildTable(counts, symbols, ac, &table);
  return table;
}

// DC 0, DC 1, AC 0, AC 1, as constants.
constexpr MjpegHuffmanTable kBuiltIn[4] = {
    StandardTable(kDcLuminanceCounts, kDcSymbols, false),
    StandardTable(kDcChrominanceCounts, kDcSymbols, false),
    StandardTable(kAcLuminanceCounts, kAcLuminanceSymbols, true),
    StandardTable(kAcChrominanceCounts, kAcChrominanceSymbols, true),
};

const UCHAR* const kStandardCounts[4] = {kDcLuminanceCounts, kDcChrominanceCounts, kAcLuminanceCounts,
                                         kAcChrominanceCounts};
const UCHAR* const kStandardSymbols[4] = {kDcSymbols, kDcSymbols, kAcLuminanceSymbols, kAcChrominanceSymbols};

ULONG AppendTable(UCHAR* out, UCHAR classAndId, const UCHAR counts[16], const UCHAR* symbols) {
  ULONG n = 0;
  out[n++] = classAndId;
  ULONG total = 0;
  for (int i = 0; i < 16; ++i) {
    out[n++] = counts[i];
    total += counts[i];
  }
  for (ULONG i = 0; i < total; ++i) out[n++] = symbols[i];
  return n;
}

}  // namespace

bool BuildHuffmanTable(const UCHAR counts[16], const UCHAR* symbols, bool ac, MjpegHuffmanTable* table) {
  return BuildTable(counts, symbols, ac, table);
}

const MjpegHuffmanTable* BuiltInHuffmanTables() { return kBuiltIn; }

bool IsStandardHuffmanTable(ULONG index, const UCHAR counts[16], const UCHAR* symbols) {
  if (index >= 4) return false;
  ULONG total = 0;
  for (int i = 0; i < 16; ++i) {
    if (counts[i] != kStandardCounts[index][i]) return false;
    total += counts[i];
  }
  return memcmp(symbols, kStandardSymbols[index], total) == 0;
}

void WriteStandardDhtBody(UCHAR* out) {
  ULONG n = 0;
  n += AppendTable(out + n, 0x00, kDcLuminanceCounts, kDcSymbols);
  n += AppendTable(out + n, 0x10, kAcLuminanceCounts, kAcLuminanceSymbols);
  n += AppendTable(out + n, 0x01, kDcChrominanceCounts, kDcSymbols);
  AppendTable(out + n, 0x11, kAcChrominanceCounts, kAcChrominanceSymbols);
}
