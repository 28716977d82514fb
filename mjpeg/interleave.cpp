// Planar to packed YUY2 rows: the scalar reference.
#include "mjpeg/mjpeg_internal.h"

void InterleaveRowScalar(const UCHAR* y, const UCHAR* cb, const UCHAR* cr, UCHAR* out, ULONG pairs) {
  for (ULONG i = 0; i < pairs; ++i) {
    out[4 * i + 0] = y[2 * i];
    out[4 * i + 1] = cb[i];
    out[4 * i + 2] = y[2 * i + 1];
    out[4 * i + 3] = cr[i];
  }
}

void InterleaveGreyRowScalar(const UCHAR* y, UCHAR* out, ULONG pairs) {
  for (ULONG i = 0; i < pairs; ++i) {
    out[4 * i + 0] = y[2 * i];
    out[4 * i + 1] = 128;
    out[4 * i + 2] = y[2 * i + 1];
    out[4 * i + 3] = 128;
  }
}
