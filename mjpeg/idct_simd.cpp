// Inverse DCT and interleave, vector versions.
#include "mjpeg/mjpeg_internal.h"

bool MjpegCpuHasAvx2() {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
  return __builtin_cpu_supports("avx2");
#else
  return false;
#endif
}

// Vector transforms not written yet: these use the scalar code.
void IdctSse2(const SHORT* coefficients, UCHAR* out, ULONG stride) { IdctScalar(coefficients, out, stride); }
void IdctAvx2(const SHORT* coefficients, UCHAR* out, ULONG stride) { IdctScalar(coefficients, out, stride); }
void InterleaveRowAvx2(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs) {
  InterleaveRowSse2(y, cb, cr, out, pairs);
}
