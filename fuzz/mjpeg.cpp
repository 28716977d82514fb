// Fuzz target for both decoder entries. The first input byte picks the entry
// and the buffer sizes; the rest is the frame. Buffers are exactly as large
// as announced so that the sanitizers see any stray access. Each input is
// decoded with the scalar and with the fastest kernels: the results must be
// the same code and the same bytes, and a failed frame must leave the
// destination untouched.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "mjpeg/mjpeg_decoder.h"

namespace {

LONG DecodeOnce(bool still, MjpegKernels kernels, uint8_t* destination, ULONG destinationSize,
                const uint8_t* frame, ULONG size, uint8_t* scratch, ULONG scratchSize) {
  MjpegSelectKernels(kernels);
  memset(destination, 0xA5, destinationSize);
  const LONG rc = still ? DecodeMjpegStill(destination, destinationSize, frame, size, scratch, scratchSize)
                        : DecodeMjpeg(destination, destinationSize, frame, size, scratch, scratchSize);
  if (rc != kMjpegOk) {
    for (ULONG i = 0; i < destinationSize; ++i)
      if (destination[i] != 0xA5) abort();  // a failed frame wrote the destination
  }
  return rc;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t selector = data[0];
  ++data;
  --size;
  // Sizes from a few bytes to a 320 x 240 frame buffer.
  static const ULONG kSizes[] = {64, 4096, 3 * 64 * 64, 3 * 160 * 120, 3 * 320 * 240};
  const ULONG destinationSize = kSizes[(selector >> 1) % 5];
  const ULONG scratchSize = kSizes[(selector >> 4) % 5];
  const bool still = selector & 1;
  // The frame in its own allocation, so reads past it are caught.
  uint8_t* frame = static_cast<uint8_t*>(malloc(size ? size : 1));
  memcpy(frame, data, size);
  uint8_t* first = static_cast<uint8_t*>(malloc(destinationSize));
  uint8_t* second = static_cast<uint8_t*>(malloc(destinationSize));
  uint8_t* scratch = static_cast<uint8_t*>(malloc(scratchSize));
  const ULONG length = static_cast<ULONG>(size);
  const LONG scalar = DecodeOnce(still, kMjpegKernelsScalar, first, destinationSize, frame, length, scratch,
                                 scratchSize);
  const LONG best = DecodeOnce(still, kMjpegKernelsBest, second, destinationSize, frame, length, scratch,
                               scratchSize);
  if (scalar != best || memcmp(first, second, destinationSize) != 0) abort();  // kernels disagree
  free(frame);
  free(first);
  free(second);
  free(scratch);
  return 0;
}
