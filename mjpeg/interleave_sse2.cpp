// Planar to packed YUY2 rows with SSE2; the same bytes as the scalar rows.
#include <emmintrin.h>

#include "mjpeg/mjpeg_internal.h"

void InterleaveRowSse2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs) {
  ULONG i = 0;
  // 16 pixel pairs (32 luma, 16 of each chroma) -> 64 output bytes.
  for (; i + 16 <= pairs; i += 16) {
    const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i));
    const __m128i y1 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i + 16));
    const __m128i u = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cb + i));
    const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(cr + i));
    const __m128i uvLow = _mm_unpacklo_epi8(u, v);   // U0 V0 .. U7 V7
    const __m128i uvHigh = _mm_unpackhi_epi8(u, v);  // U8 V8 .. U15 V15
    __m128i* o = reinterpret_cast<__m128i*>(out + 4 * i);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi8(y0, uvLow));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi8(y0, uvLow));
    _mm_storeu_si128(o + 2, _mm_unpacklo_epi8(y1, uvHigh));
    _mm_storeu_si128(o + 3, _mm_unpackhi_epi8(y1, uvHigh));
  }
  InterleaveRowScalar(y + 2 * i, cb + i, cr + i, out + 4 * i, pairs - i);
}

void InterleaveGreyRowSse2(const UCHAR* y, UCHAR* out, ULONG pairs) {
  ULONG i = 0;
  const __m128i grey = _mm_set1_epi8(static_cast<char>(128));
  for (; i + 8 <= pairs; i += 8) {
    const __m128i y0 = _mm_loadu_si128(reinterpret_cast<const __m128i*>(y + 2 * i));
    __m128i* o = reinterpret_cast<__m128i*>(out + 4 * i);
    _mm_storeu_si128(o + 0, _mm_unpacklo_epi8(y0, grey));
    _mm_storeu_si128(o + 1, _mm_unpackhi_epi8(y0, grey));
  }
  InterleaveGreyRowScalar(y + 2 * i, out + 4 * i, pairs - i);
}
