// Fuzz target for both decoder entries. The first input byte picks the entry
// and the buffer sizes; the rest is the frame. Buffers are exactly as large
// as announced so that the sanitizers see any stray access.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mjpeg/mjpeg_decoder.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  // Sizes from a few bytes to a 320 x 240 frame buffer.
  static const ULONG kSizes[] = {64, 4096, 3 * 64 * 64, 3 * 160 * 120, 3 * 320 * 240};
  const ULONG destinationSize = kSizes[(selector >> 1) % 5];
  const ULONG scratchSize = kSizes[(selector >> 4) % 5];
  // The frame in its own allocation, so reads past it are caught.
  uint8_t* frame = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(frame, data, size);
  uint8_t* destination = static_cast<uint8_t*>(malloc(destinationSize));
  uint8_t* scratch = static_cast<uint8_t*>(malloc(scratchSize));
  memset(destination, 0xA5, destinationSize);
  const LONG rc = (selector & 1)
                      ? DecodeMjpegStill(destination, destinationSize, frame, static_cast<ULONG>(size), scratch,
                                         scratchSize)
                      : DecodeMjpeg(destination, destinationSize, frame, static_cast<ULONG>(size), scratch,
                                    scratchSize);
  if (rc != kMjpegOk) {
    for (ULONG i = 0; i < destinationSize; ++i)
      if (destination[i] != 0xA5) abort();  // a failed frame wrote the destination
  }
  free(frame);
  free(destination);
  free(scratch);
  return 0;
}
