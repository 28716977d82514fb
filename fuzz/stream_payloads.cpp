// Fuzz target for payload parsing and frame assembly. The first bytes pick
// the format (MJPEG with or without trailer, or YUY2), the frame size and a
// still size; the rest is a sequence of payloads, each preceded by a 16-bit
// length (a packet-error marker when the top bit is set). Every committed
// frame must fit its limit, and an uncompressed frame must have exactly the
// frame size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "usb/stream_engine.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  StreamEngine* e = CreateStreamEngine(nullptr);
  if (!e) return 0;
  const uint8_t mode = data[0] % 3;
  const ULONG w = 2u + 2u * (data[1] % 32), h = 1u + data[2] % 16;
  e->currentFormat.inputSubtype = mode == 2 ? kSubtypeYuy2 : kSubtypeMjpg;
  e->currentFormat.inputWidth = w;
  e->currentFormat.inputHeight = h;
  e->expectedFrameSize = RawFrameSize(w, h);
  e->noTrailer = mode == 1;
  if (CreateStreamResources(e, nullptr, e->expectedFrameSize, e->expectedFrameSize) != STATUS_SUCCESS) {
    FreeStreamEngine(e);
    return 0;
  }
  KeInitializeEvent(&e->stillReady, NotificationEvent, FALSE);
  SetStillSize(e, (data[3] & 1) ? e->expectedFrameSize / 2 * 2 : 0);
  e->writeBuffer = e->ring.writeNode->buffer;
  e->lastFid = kNoFrameId;
  size_t off = 4;
  while (off + 2 <= size) {
    ULONG n = ULONG(data[off]) << 8 | data[off + 1];
    bool error = n & 0x8000;
    n &= 0x7FFF;
    off += 2;
    if (n > size - off) n = ULONG(size - off);
    if (error) {
      e->corrupt = 1;
    } else {
      // An exact-size copy so that any read past the payload is caught.
      uint8_t* payload = static_cast<uint8_t*>(malloc(n ? n : 1));
      memcpy(payload, data + off, n);
      ParsePayload(e, payload, n);
      free(payload);
    }
    off += n;
    FrameRingNode* node;
    while (RingTake(&e->ring, &node)) {
      if (node->length > e->rawFrameSize) abort();
      if (mode == 2 && node->length != e->expectedFrameSize) abort();
      if (mode != 2 && (node->length < 2 || node->buffer[0] != 0xFF || node->buffer[1] != 0xD8)) abort();
      RingReturn(&e->ring, node);
    }
    if (e->stillLength > e->stillBufferSize) abort();
    StillConsumed(e);
  }
  FreeStreamEngine(e);
  return 0;
}
