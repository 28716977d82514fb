// AVX-512 (F, BW, VBMI) twin of the rotation's quarter turn (quarter_turn.h).
// Sixteen source row pairs by sixteen macro-pixels at a time: for each row
// pair, one two-source byte permute puts the luma of the two rows into the
// output macro-pixels of the even and of the odd output rows and the chroma
// is the truncated mean of the two rows; a 16 x 16 transpose of those words
// then gives sixteen whole 64-byte pieces of output rows.
#include "effects/quarter_turn.h"

#if defined(__x86_64__) || defined(_M_X64)
#include <immintrin.h>

#include "platform/target_avx512.h"

namespace {

// Full masks: the zero-masking forms say what every lane holds, where the
// plain forms leave the compiler an undefined source it warns about.
constexpr __mmask16 kAll16 = 0xFFFF;
constexpr __mmask8 kAll8 = 0xFF;

// r[m] holds the 16 words of row m; afterwards r[c] holds word c of every
// row, in order of m.
inline VOID Transpose16(__m512i r[16]) {
  __m512i t[16];
  for (int i = 0; i < 8; ++i) {
    t[2 * i] = _mm512_maskz_unpacklo_epi32(kAll16, r[2 * i], r[2 * i + 1]);
    t[2 * i + 1] = _mm512_maskz_unpackhi_epi32(kAll16, r[2 * i], r[2 * i + 1]);
  }
  // Within each 16-byte lane L, u[4 i + q] now gets column 4 L + q of rows
  // 4 i .. 4 i + 3.
  __m512i u[16];
  for (int i = 0; i < 4; ++i) {
    u[4 * i] = _mm512_maskz_unpacklo_epi64(kAll8, t[4 * i], t[4 * i + 2]);
    u[4 * i + 1] = _mm512_maskz_unpackhi_epi64(kAll8, t[4 * i], t[4 * i + 2]);
    u[4 * i + 2] = _mm512_maskz_unpacklo_epi64(kAll8, t[4 * i + 1], t[4 * i + 3]);
    u[4 * i + 3] = _mm512_maskz_unpackhi_epi64(kAll8, t[4 * i + 1], t[4 * i + 3]);
  }
  for (int q = 0; q < 4; ++q) {
    const __m512i v1 = _mm512_maskz_shuffle_i32x4(kAll16, u[q], u[4 + q], 0x88);  // lanes 0, 2 of both
    const __m512i v2 = _mm512_maskz_shuffle_i32x4(kAll16, u[q], u[4 + q], 0xDD);  // lanes 1, 3
    const __m512i w1 = _mm512_maskz_shuffle_i32x4(kAll16, u[8 + q], u[12 + q], 0x88);
    const __m512i w2 = _mm512_maskz_shuffle_i32x4(kAll16, u[8 + q], u[12 + q], 0xDD);
    r[q] = _mm512_maskz_shuffle_i32x4(kAll16, v1, w1, 0x88);
    r[8 + q] = _mm512_maskz_shuffle_i32x4(kAll16, v1, w1, 0xDD);
    r[4 + q] = _mm512_maskz_shuffle_i32x4(kAll16, v2, w2, 0x88);
    r[12 + q] = _mm512_maskz_shuffle_i32x4(kAll16, v2, w2, 0xDD);
  }
}

}  // namespace

VOID QuarterTurnBlocksAvx512(UCHAR* dst, const UCHAR* src, ULONG w, ULONG s, ULONG cx, ULONG ry,
                             bool clockwise, ULONG lumaFirst) {
  const SIZE_T stride = SIZE_T(w) * 2;
  const ULONG pairs = s / 2;
  const ULONG full = pairs & ~15u;
  const ULONG lo = lumaFirst ? 0 : 1;  // first luma byte of a macro-pixel
  // Luma of output word j: in the even output row the first (second)
  // sample of the source macro-pixel j from the lower (upper) row when
  // turning clockwise, from the upper (lower) row otherwise; the odd output
  // row the same with the second samples. Index bit 6 picks the lower row.
  UCHAR even[64], odd[64];
  for (ULONG j = 0; j < 16; ++j) {
    const UCHAR first = clockwise ? 64 : 0, second = clockwise ? 0 : 64;
    for (ULONG b = 0; b < 4; ++b) even[4 * j + b] = odd[4 * j + b] = 0;
    even[4 * j + lo] = UCHAR(first + 4 * j + lo);
    even[4 * j + lo + 2] = UCHAR(second + 4 * j + lo);
    odd[4 * j + lo] = UCHAR(first + 4 * j + lo + 2);
    odd[4 * j + lo + 2] = UCHAR(second + 4 * j + lo + 2);
  }
  const __m512i evenIndex = _mm512_loadu_si512(even), oddIndex = _mm512_loadu_si512(odd);
  const __mmask64 luma = lumaFirst ? 0x5555555555555555ull : 0xAAAAAAAAAAAAAAAAull;
  const __m512i low7 = _mm512_set1_epi8(0x7F);
  for (ULONG k0 = 0; k0 < full; k0 += 16) {
    for (ULONG j0 = 0; j0 < full; j0 += 16) {
      __m512i e[16], f[16];
      for (ULONG m = 0; m < 16; ++m) {
        // Output macro-pixels run against k when turning clockwise.
        const ULONG k = clockwise ? k0 + 15 - m : k0 + m;
        const UCHAR* top = src + SIZE_T(ry + 2 * k) * stride + SIZE_T(cx) * 2 + 4 * SIZE_T(j0);
        const __m512i a = _mm512_loadu_si512(top), b = _mm512_loadu_si512(top + stride);
        // Truncated mean per byte: (a & b) + ((a ^ b) >> 1).
        const __m512i mean = _mm512_add_epi8(
            _mm512_and_si512(a, b), _mm512_and_si512(_mm512_srli_epi16(_mm512_xor_si512(a, b), 1), low7));
        e[m] = _mm512_mask_blend_epi8(luma, mean, _mm512_permutex2var_epi8(a, evenIndex, b));
        f[m] = _mm512_mask_blend_epi8(luma, mean, _mm512_permutex2var_epi8(a, oddIndex, b));
      }
      Transpose16(e);
      Transpose16(f);
      const ULONG column = clockwise ? pairs - 16 - k0 : k0;  // first output macro-pixel in the square
      for (ULONG c = 0; c < 16; ++c) {
        const ULONG j = j0 + c;
        const ULONG rowE = clockwise ? ry + 2 * j : ry + s - 1 - 2 * j;
        const ULONG rowF = clockwise ? ry + 2 * j + 1 : ry + s - 2 - 2 * j;
        const SIZE_T x = SIZE_T(cx) * 2 + 4 * SIZE_T(column);
        _mm512_storeu_si512(dst + SIZE_T(rowE) * stride + x, e[c]);
        _mm512_storeu_si512(dst + SIZE_T(rowF) * stride + x, f[c]);
      }
    }
  }
}

#include "platform/target_end.h"

#else
VOID QuarterTurnBlocksAvx512(UCHAR*, const UCHAR*, ULONG, ULONG, ULONG, ULONG, bool, ULONG) {}
#endif
