// AVX2 twin of the row warp's packing (the AVX-512 kernel's layout, with
// byte shuffles that stay inside 128-bit lanes). A run of 32 output pixels
// is done as two halves of 16; each 128-bit lane of a half holds 8 output
// pixels (4 pairs, 16 bytes) and reads a window of the source row that
// starts at the pair of its first shown pixel: two 16-byte blocks (32 bytes)
// when its pixels lie close, four (64 bytes) when the rate spreads them
// more. Byte offsets of each pixel's Y, U and V inside the window are worked
// out in 16-bit lanes and packed into two index vectors, per pixel i
//   first:  Y(i) and U(i) for an even i, V(i) for an odd one,
//   second: Y(i) and U(i + 1) for an even i, V(i - 1) for an odd one
// (each pixel's two bytes in the frame's byte order), so both vectors put
// Y(a) and Y(b) where the pair's luma goes and the rounded mean of the two
// gives the U and V means of the per-pixel code. A byte shuffle reads one
// 16-byte block at the offset's low four bits; bits 4 and 5 of the offset
// choose between the blocks' results (byte blends on the offset shifted so
// that the bit lands in bit 7). Black pixels' offsets are 0xFF, which the
// shuffles read as zero; their chroma bytes get 0x80 ORed in before the
// mean, so a black and a coloured pixel share their chroma as there. Both
// rows of a table entry use the same index vectors.
#include "effects/special/row_warp_avx2.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx2.h"

namespace {

// Widest row the 16-bit offset lanes hold.
constexpr ULONG kMaxVectorWidth = 16384;

// What one half run (16 output pixels) needs for each of its rows.
struct Half {
  __m256i index1, index2;      // both index vectors
  __m256i bit4a, bit4b;        // their offsets' bit 4 in bit 7 of each byte
  __m256i bit5a, bit5b;        // and bit 5
  __m256i black1, black2;      // 0x80 in the chroma bytes of black pixels
  ULONG base0, base1;          // window start (bytes) of each 128-bit lane
  ULONG blocks;                // 16-byte blocks per window; 0: all black
  bool padded;                 // the row is shorter than a window
};

// Block k of both lanes' windows (at s0 and s1).
inline __m256i Block(const UCHAR* s0, const UCHAR* s1, ULONG k) {
  return _mm256_inserti128_si256(
      _mm256_castsi128_si256(_mm_loadu_si128(reinterpret_cast<const __m128i*>(s0 + 16 * k))),
      _mm_loadu_si128(reinterpret_cast<const __m128i*>(s1 + 16 * k)), 1);
}

// The window bytes both index vectors pick, and their rounded mean.
template <ULONG kBlocks>
inline __m256i Shuffle(const UCHAR* s0, const UCHAR* s1, const Half& h) {
  const __m256i b0 = Block(s0, s1, 0), b1 = Block(s0, s1, 1);
  __m256i p1 = _mm256_blendv_epi8(_mm256_shuffle_epi8(b0, h.index1), _mm256_shuffle_epi8(b1, h.index1), h.bit4a);
  __m256i p2 = _mm256_blendv_epi8(_mm256_shuffle_epi8(b0, h.index2), _mm256_shuffle_epi8(b1, h.index2), h.bit4b);
  if (kBlocks == 4) {
    const __m256i b2 = Block(s0, s1, 2), b3 = Block(s0, s1, 3);
    p1 = _mm256_blendv_epi8(
        p1, _mm256_blendv_epi8(_mm256_shuffle_epi8(b2, h.index1), _mm256_shuffle_epi8(b3, h.index1), h.bit4a),
        h.bit5a);
    p2 = _mm256_blendv_epi8(
        p2, _mm256_blendv_epi8(_mm256_shuffle_epi8(b2, h.index2), _mm256_shuffle_epi8(b3, h.index2), h.bit4b),
        h.bit5b);
  }
  return _mm256_avg_epu8(_mm256_or_si256(p1, h.black1), _mm256_or_si256(p2, h.black2));
}

// The constants of one row (and byte order) and the work of one run.
struct RowWarper {
  __m256i vw, two, pairMask, firstWord, lastPair, yOffset, uOffset, vOffset;
  __m256i black, blackChroma, lumaBytes, lowBytes, swapWords, far32, far64;
  __m128i yShift, cShift;
  UCHAR* out0;
  UCHAR* out1;
  const UCHAR* in0;
  const UCHAR* in1;
  const USHORT* columns;
  ULONG w;
  ULONG rowBytes;

  void Setup(ULONG width, ULONG lumaOffset) {
    w = width;
    vw = _mm256_set1_epi16(short(w));
    two = _mm256_set1_epi16(2);
    pairMask = _mm256_set1_epi16(short(0xFFFC));
    firstWord = _mm256_setr_epi8(0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1, 0, 1,
                                 0, 1, 0, 1);
    lastPair = _mm256_set1_epi16(short(2 * w - 4));  // the last pair's first byte
    yOffset = _mm256_set1_epi16(short(lumaOffset));
    uOffset = _mm256_set1_epi16(short(1 - lumaOffset));
    vOffset = _mm256_set1_epi16(short(3 - lumaOffset));
    black = _mm256_set1_epi32(lumaOffset ? 0x00800080 : int(0x80008000u));
    blackChroma = _mm256_set1_epi16(short(lumaOffset ? 0x0080 : 0x8000));
    lumaBytes = _mm256_set1_epi16(short(lumaOffset ? 0xFF00 : 0x00FF));
    lowBytes = _mm256_set1_epi16(0x00FF);
    swapWords = _mm256_setr_epi8(2, 3, 0, 1, 6, 7, 4, 5, 10, 11, 8, 9, 14, 15, 12, 13, 2, 3, 0, 1, 6, 7, 4, 5,
                                 10, 11, 8, 9, 14, 15, 12, 13);
    far32 = _mm256_set1_epi16(short(0xFFE0));
    far64 = _mm256_set1_epi16(short(0xFFC0));
    yShift = _mm_cvtsi32_si128(lumaOffset ? 8 : 0);
    cShift = _mm_cvtsi32_si128(lumaOffset ? 0 : 8);
    rowBytes = 2 * w;
  }

  // The index vectors of the 16 output pixels with the columns at cols.
  // False when a lane's shown pixels span more than 64 source bytes.
  bool Prepare(const USHORT* cols, Half& h) const {
    const __m256i c = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(cols));
    const __m256i dark = _mm256_cmpeq_epi16(c, vw);
    const ULONG darkBits = ULONG(_mm256_movemask_epi8(dark));
    if (darkBits == 0xFFFFFFFFu) {
      h.blocks = 0;
      return true;
    }
    // Each lane's window starts at the pair of its first shown pixel, which
    // has the lane's smallest column (shown columns rise along the row).
    const __m256i c2 = _mm256_add_epi16(c, c);
    __m256i vbase;
    ULONG base0, base1;
    if ((darkBits & 0x00010001u) == 0) {
      // Both lanes start with a shown pixel.
      vbase = _mm256_and_si256(_mm256_shuffle_epi8(c2, firstWord), pairMask);
      base0 = (2 * ULONG(cols[0])) & ~3u;
      base1 = (2 * ULONG(cols[8])) & ~3u;
    } else {
      // The smallest column in all 16-bit lanes of each 128-bit lane (black,
      // w, is above every shown one); an all-black lane reads the row's
      // first bytes and shows none of them.
      __m256i m = _mm256_min_epu16(c2, _mm256_shuffle_epi32(c2, 0x4E));
      m = _mm256_min_epu16(m, _mm256_shuffle_epi32(m, 0xB1));
      m = _mm256_min_epu16(m, _mm256_shuffle_epi8(m, swapWords));
      vbase = _mm256_and_si256(m, pairMask);
      const ULONG first0 = ULONG(_mm256_extract_epi16(m, 0)), first1 = ULONG(_mm256_extract_epi16(m, 8));
      base0 = first0 < rowBytes ? first0 & ~3u : 0;
      base1 = first1 < rowBytes ? first1 & ~3u : 0;
    }
    // Byte offsets in the window: the pixel's Y, its pair's V, and the U of
    // its pair (even) or of the next pair (odd; the row's last pair keeps
    // its own).
    const __m256i d = _mm256_sub_epi16(c2, vbase);
    __m256i y = _mm256_add_epi16(d, yOffset);
    __m256i v = _mm256_add_epi16(_mm256_and_si256(d, pairMask), vOffset);
    __m256i u = _mm256_add_epi16(
        _mm256_min_epu16(_mm256_and_si256(_mm256_add_epi16(d, two), pairMask), _mm256_sub_epi16(lastPair, vbase)),
        uOffset);
    // The farthest byte of every shown pixel is its U or its V.
    const __m256i reach = _mm256_andnot_si256(dark, _mm256_max_epu16(u, v));
    if (!_mm256_testz_si256(reach, far64)) return false;
    h.blocks = _mm256_testz_si256(reach, far32) ? 2 : 4;
    // A window that would run past the row's end starts earlier instead, so
    // that it ends with the row (the offsets grow by as much, and stay inside
    // it since every byte they reach is in the row).
    const ULONG span = 16 * h.blocks;
    h.padded = rowBytes < span;
    if (!h.padded && (base0 + span > rowBytes || base1 + span > rowBytes)) {
      const ULONG back0 = base0 + span > rowBytes ? base0 + span - rowBytes : 0;
      const ULONG back1 = base1 + span > rowBytes ? base1 + span - rowBytes : 0;
      const __m256i back = _mm256_setr_m128i(_mm_set1_epi16(short(back0)), _mm_set1_epi16(short(back1)));
      y = _mm256_add_epi16(y, back);
      u = _mm256_add_epi16(u, back);
      v = _mm256_add_epi16(v, back);
      base0 -= back0;
      base1 -= back1;
    }
    h.base0 = base0;
    h.base1 = base1;
    // Chroma offsets: own (U even, V odd) and the pair partner's.
    const __m256i own = _mm256_blend_epi16(u, v, 0xAA);
    const __m256i partner = _mm256_or_si256(_mm256_srli_epi32(u, 16), _mm256_slli_epi32(v, 16));
    __m256i index1, index2;
    if (darkBits == 0) {
      const __m256i yBytes = _mm256_sll_epi16(y, yShift);
      index1 = _mm256_or_si256(yBytes, _mm256_sll_epi16(own, cShift));
      index2 = _mm256_or_si256(yBytes, _mm256_sll_epi16(partner, cShift));
      h.black1 = h.black2 = _mm256_setzero_si256();
    } else {
      // Offsets of black pixels are large: only low bytes are combined, and
      // black pixels' bytes (by the partner's for the second vector's
      // chroma) become 0xFF.
      const __m256i darkPartner = _mm256_shuffle_epi8(dark, swapWords);
      const __m256i yBytes = _mm256_sll_epi16(_mm256_and_si256(y, lowBytes), yShift);
      index1 = _mm256_or_si256(_mm256_or_si256(yBytes, _mm256_sll_epi16(own, cShift)), dark);
      const __m256i dark2 =
          _mm256_or_si256(_mm256_and_si256(dark, lumaBytes), _mm256_andnot_si256(lumaBytes, darkPartner));
      index2 = _mm256_or_si256(
          _mm256_or_si256(yBytes, _mm256_sll_epi16(_mm256_and_si256(partner, lowBytes), cShift)), dark2);
      h.black1 = _mm256_and_si256(index1, blackChroma);
      h.black2 = _mm256_and_si256(index2, blackChroma);
    }
    h.index1 = index1;
    h.index2 = index2;
    h.bit4a = _mm256_slli_epi16(index1, 3);
    h.bit4b = _mm256_slli_epi16(index2, 3);
    h.bit5a = _mm256_slli_epi16(index1, 2);
    h.bit5b = _mm256_slli_epi16(index2, 2);
    return true;
  }

  // One row's 32 output bytes of a half run from the row at `row`.
  __m256i Row(const UCHAR* row, const Half& h) const {
    if (h.blocks == 0) return black;
    if (h.padded) {
      // A row shorter than the window: through a zero-padded copy.
      UCHAR pad[2][64];
      const ULONG bases[2] = {h.base0, h.base1};
      for (ULONG lane = 0; lane < 2; ++lane) {
        for (ULONG i = 0; i < 64; ++i) pad[lane][i] = bases[lane] + i < rowBytes ? row[bases[lane] + i] : 0;
      }
      return h.blocks == 2 ? Shuffle<2>(pad[0], pad[1], h) : Shuffle<4>(pad[0], pad[1], h);
    }
    return h.blocks == 2 ? Shuffle<2>(row + h.base0, row + h.base1, h) : Shuffle<4>(row + h.base0, row + h.base1, h);
  }

  // Output pixels n .. n + 31 (those inside the row). False, with nothing
  // written, when their source bytes lie too far apart.
  bool Run(ULONG n) {
    const bool whole = n + 32 <= w;
    const USHORT* cols = columns + n;
    USHORT tail[32];
    if (!whole) {
      // The row's last pixels, black after them.
      for (ULONG i = 0; i < 32; ++i) tail[i] = n + i < w ? columns[n + i] : USHORT(w);
      cols = tail;
    }
    Half h0, h1;
    if (!Prepare(cols, h0) || !Prepare(cols + 16, h1)) return false;
    Store(out0 + 2 * SIZE_T(n), Row(in0, h0), Row(in0, h1), whole, n);
    if (out1 != nullptr) Store(out1 + 2 * SIZE_T(n), Row(in1, h0), Row(in1, h1), whole, n);
    return true;
  }

  void Store(UCHAR* out, __m256i a, __m256i b, bool whole, ULONG n) const {
    if (whole) {
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out), a);
      _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + 32), b);
      return;
    }
    UCHAR bytes[64];
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes), a);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(bytes + 32), b);
    for (ULONG i = 0; i < 2 * (w - n); ++i) out[i] = bytes[i];
  }
};

}  // namespace

ULONG RowWarpAvx2(UCHAR* out0, UCHAR* out1, const UCHAR* in0, const UCHAR* in1, const USHORT* columns,
                  ULONG w, ULONG lumaOffset, ULONG from) {
  if (w > kMaxVectorWidth || w < 2 || (w & 1) != 0 || (from & 31) != 0) return from;
  RowWarper warper;
  warper.Setup(w, lumaOffset);
  warper.out0 = out0;
  warper.out1 = out1;
  warper.in0 = in0;
  warper.in1 = in1;
  warper.columns = columns;
  ULONG n = from;
  while (n < w && warper.Run(n)) n += 32;
  return n < w ? n : w;
}

#include "platform/target_end.h"

#else
ULONG RowWarpAvx2(UCHAR*, UCHAR*, const UCHAR*, const UCHAR*, const USHORT*, ULONG, ULONG, ULONG from) {
  return from;
}
#endif
