// AVX-512 (F, BW) twin of the bad-pixel scan's quick test (BadPixelCorrection
// in image_filters.h), used only when EffectsUseAvx512Vbmi().
#pragma once

#include "platform/wdk.h"

// From byte c (a multiple of 4) of `row` (luma at even offsets from row, up
// and dn the rows above and below), skips blocks of 32 luma samples
// c + 2, c + 4, .., c + 64 in which no sample stands out of its 3 x 3 luma
// neighbourhood by more than `margin`, while a block's reads (bytes c ..
// c + 67) stay below `end`. Returns the c of the first block not skipped.
// Skipping is exact: nothing in such a block would be repaired.
SIZE_T SkipCleanLumaAvx512(const UCHAR* up, const UCHAR* row, const UCHAR* dn, SIZE_T c, SIZE_T end,
                           LONG margin);
