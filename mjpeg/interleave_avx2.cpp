// Planar to packed YUY2 rows for processors with AVX2 (chosen at run time);
// the same bytes as the scalar rows.
#include <immintrin.h>

#include "mjpeg/mjpeg_internal.h"

// Only the code below is compiled for AVX2 (the headers above keep their
// own options, so no shared inline function gets an AVX2 body).
#include "platform/target_avx2.h"

void InterleaveRowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out,
                                         ULONG pairs) {
  ULONG i = 0;
  // 32 pixel pairs -> 128 output bytes. The unpacks work within 128-bit
  // halves, so the inputs are arranged to match.
  for (; i + 32 <= pairs; i += 32) {
    const __m256i y0 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i));
    const __m256i y1 = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(y + 2 * i + 32));
    const __m256i u = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cb + i)),
                                               _MM_SHUFFLE(3, 1, 2, 0));
    const __m256i v = _mm256_permute4x64_epi64(_mm256_loadu_si256(reinterpret_cast<const __m256i*>(cr + i)),
                                               _MM_SHUFFLE(3, 1, 2, 0));
    // uvLow: U0..7 V0..7 interleaved | U8..15 V8..15; uvHigh: pairs 16..31.
    const __m256i uvLow = _mm256_unpacklo_epi8(u, v);
    const __m256i uvHigh = _mm256_unpackhi_epi8(u, v);
    const __m256i a = _mm256_unpacklo_epi8(y0, uvLow);   // pairs 0-3 | 8-11
    const __m256i b = _mm256_unpackhi_epi8(y0, uvLow);   // pairs 4-7 | 12-15
    const __m256i c = _mm256_unpacklo_epi8(y1, uvHigh);  // pairs 16-19 | 24-27
    const __m256i d = _mm256_unpackhi_epi8(y1, uvHigh);  // pairs 20-23 | 28-31
    __m256i* o = reinterpret_cast<__m256i*>(out + 4 * i);
    _mm256_storeu_si256(o + 0, _mm256_permute2x128_si256(a, b, 0x20));
    _mm256_storeu_si256(o + 1, _mm256_permute2x128_si256(a, b, 0x31));
    _mm256_storeu_si256(o + 2, _mm256_permute2x128_si256(c, d, 0x20));
    _mm256_storeu_si256(o + 3, _mm256_permute2x128_si256(c, d, 0x31));
  }
  InterleaveRowSse2(y + 2 * i, cb + i, cr + i, out + 4 * i, pairs - i);
}

#include "platform/target_end.h"
