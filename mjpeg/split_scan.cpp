// The scan of a frame with restart intervals decoded as two halves at once.
// Restart intervals are independent (the bit reader starts afresh on a byte
// boundary after each RSTn and the DC predictors restart at zero), so the
// MCUs after a restart marker decode the same whether or not the ones
// before it were decoded first. The halves write different blocks of the
// planes; a half that fails sends the whole scan back to the serial decode,
// whose result then counts, so errors are reported exactly as without the
// split.
#include <cstring>

#include "mjpeg/mjpeg_decoder.h"
#include "mjpeg/mjpeg_internal.h"

namespace {

struct HalfWork {
  const ScanJob* job;
  ScanPart part;
};

void DecodeHalf(void* item) {
  HalfWork* half = static_cast<HalfWork*>(item);
  DecodeScanPart(*half->job, &half->part);
}

// The position of the `count`-th restart marker (1-based) from `p`, or null
// when another marker or the end of the data comes first. Stuffed bytes
// (FF 00) and fill bytes (FF FF) are data here, as for the bit reader.
const UCHAR* FindRestartMarker(const UCHAR* p, const UCHAR* end, ULONG count) {
  while (end - p >= 2) {
    if (p[0] != 0xFF) {
      // Straight to the next 0xFF: most of the data holds none.
      p = static_cast<const UCHAR*>(memchr(p, 0xFF, static_cast<SIZE_T>(end - p)));
      if (p == nullptr) return nullptr;
      continue;
    }
    const UCHAR code = p[1];
    if (code == 0x00) {
      p += 2;
    } else if (code == 0xFF) {
      p += 1;
    } else if (code >= 0xD0 && code <= 0xD7) {
      if (--count == 0) return p;
      p += 2;
    } else {
      return nullptr;
    }
  }
  return nullptr;
}

}  // namespace

bool DecodeScanSplit(const ScanJob& job, const UCHAR* start, const MjpegWorkers& workers, ScanPart* whole) {
  const ULONG interval = job.restartInterval;
  if (interval == 0 || workers.runPair == nullptr) return false;
  const ULONG intervals = (job.mcuCount + interval - 1) / interval;
  if (intervals < 2) return false;
  // The second half begins with interval `middle`, after the marker that
  // closes interval middle - 1: RSTn with n = (middle - 1) mod 8.
  const ULONG middle = intervals / 2;
  const UCHAR* marker = FindRestartMarker(start, job.dataEnd, middle);
  if (marker == nullptr || marker[1] != 0xD0 + ((middle - 1) & 7)) return false;
  HalfWork first = {&job, {0, middle * interval, start, 0, true, kMjpegOk, nullptr}};
  HalfWork second = {&job, {middle * interval, job.mcuCount, marker + 2, middle & 7, false, kMjpegOk, nullptr}};
  workers.runPair(workers.context, DecodeHalf, &first, &second);
  // The first half must have closed its last interval at that very marker.
  if (first.part.status != kMjpegOk || first.part.end != marker + 2 || second.part.status != kMjpegOk)
    return false;
  whole->status = kMjpegOk;
  whole->end = second.part.end;
  return true;
}
