// Payload parsing and frame assembly: UVC payloads are appended to the
// ring's write buffer; at every frame-ID toggle the finished frame is
// checked and committed to the ring, delivered to the still buffer, or
// dropped. Runs on the stream worker only (the assembly fields are its own).
#include "usb/stream_engine.h"
#include "usb/usb_request.h"

namespace {

// bmHeaderInfo bits.
constexpr UCHAR kFid = 0x01, kEof = 0x02, kSti = 0x20, kErr = 0x40;
constexpr ULONG kTrailerlessFrames = 3;
constexpr ULONG kStillRetries = 3;
constexpr UCHAR kVsStillImageTrigger = 0x05;

bool IsMjpeg(const StreamEngine* e) { return IsEqualGUID(e->currentFormat.inputSubtype, kSubtypeMjpg); }

// Bytes the frame being assembled may hold.
ULONG FrameLimit(const StreamEngine* e) {
  ULONG limit = e->frameStill ? ReadULongNoFence(&e->stillSize) : e->expectedFrameSize;
  if (e->frameStill && IsMjpeg(e)) limit = e->stillBufferSize;
  if (limit > e->rawFrameSize) limit = e->rawFrameSize;
  return limit;
}

// Length of a good MJPEG frame with the vendor trailer, or 0. The trailer is
// FF FF FF FF and a 16-bit big-endian length of the frame up to and
// including the trailer; bytes after it are allowed. The length field has
// 16 bits, so it is compared with the frame length modulo 65536.
ULONG TrailerLength(const UCHAR* f, ULONG n) {
  if (n <= 6) return 0;
  for (ULONG e = n; e >= 6; --e) {
    if (f[e - 6] == 0xFF && f[e - 5] == 0xFF && f[e - 4] == 0xFF && f[e - 3] == 0xFF) {
      ULONG stated = ULONG(f[e - 2]) << 8 | f[e - 1];
      return stated == (e & 0xFFFF) ? e : 0;
    }
  }
  return 0;
}

// Length of a good MJPEG frame without a trailer: it must end with the
// end-of-image marker, possibly followed by zero or 0xFF padding.
ULONG EndMarkerLength(const UCHAR* f, ULONG n) {
  ULONG e = n;
  ULONG padding = 0;
  while (e >= 2 && padding < 4096) {
    if (f[e - 2] == 0xFF && f[e - 1] == 0xD9) return e;
    if (f[e - 1] != 0x00 && f[e - 1] != 0xFF) return 0;
    --e;
    ++padding;
  }
  return 0;
}

VOID ZeroWriteBuffer(StreamEngine* e) {
  if (e->writeBuffer) RtlZeroMemory(e->writeBuffer, e->rawFrameSize);
}

VOID Commit(StreamEngine* e, ULONG length) {
  RingCommit(&e->ring, &e->writeBuffer, length);
  WriteULongNoFence(&e->framesCommitted, e->framesCommitted + 1);
  KeSetEvent(&e->streamEvent, IO_NO_INCREMENT, FALSE);
}

VOID Drop(StreamEngine* e) { WriteULongNoFence(&e->framesDropped, e->framesDropped + 1); }

// A still goes to the still buffer unless the previous one waits unread.
VOID DeliverStill(StreamEngine* e, ULONG length) {
  if (!e->stillBuffer || length > e->stillBufferSize || StillWaiting(e)) {
    Drop(e);
    return;
  }
  RtlCopyMemory(e->stillBuffer, e->writeBuffer, length);
  e->stillLength = length;
  e->stillRetries = 0;
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&e->stillWaiting), 1);
  WriteULongNoFence(&e->stillsDelivered, e->stillsDelivered + 1);
  KeSetEvent(&e->stillReady, IO_NO_INCREMENT, FALSE);
}

// A damaged still frame: the camera is asked for the still again, at most
// kStillRetries times for one still. Retry n goes out n - 1 frames after
// the drop, so that damage that recurs every few frames cannot hit every
// retry. After the last one the still is given up.
VOID StillDropped(StreamEngine* e) {
  if (e->stillRetries >= kStillRetries) {
    e->stillRetries = e->stillRetryDue = 0;
    return;
  }
  e->stillRetryDue = ++e->stillRetries;
}

// At each frame boundary: a still request that is due goes out.
VOID RequestStillAgain(StreamEngine* e) {
  if (e->stillRetryDue == 0 || --e->stillRetryDue != 0) return;
  if (e->streamingInterface < 0 || e->streamingInterface > 0xFF) return;
  UCHAR trigger = 1;
  ClassRequest(e, SET_CUR, USHORT(kVsStillImageTrigger << 8), USHORT(e->streamingInterface), &trigger, 1, FALSE);
}

// The frame in the write buffer is complete: check it and hand it on.
VOID FinishFrame(StreamEngine* e) {
  ULONG n = e->assembled;
  bool still = e->frameStill != 0;
  bool ok = !e->discarding && !e->corrupt && n > 0 && e->writeBuffer;
  ULONG length = 0;
  if (ok && !IsMjpeg(e)) {
    ok = n == FrameLimit(e);
    length = n;
  } else if (ok) {
    const UCHAR* f = e->writeBuffer;
    ok = n >= 2 && f[0] == 0xFF && f[1] == 0xD8 && e->framesSeen >= 3;  // the first three frames are never committed
    if (ok && e->noTrailer) {
      length = e->frameEof ? EndMarkerLength(f, n) : 0;
    } else if (ok) {
      length = TrailerLength(f, n);
      // A camera that sends no vendor trailer: its frames end with the
      // end-of-image marker on an EOF payload, where a trailer camera's end
      // with the trailer. The camera's kind is learnt from its good frames:
      // once three such frames came (damaged frames in between do not
      // count against them) and none with a trailer, the stream is checked
      // by its markers from then on.
      ULONG marked = !length && e->frameEof ? EndMarkerLength(f, n) : 0;
      if (length) e->trailerSeen = 1;
      if (marked && !e->trailerSeen && ++e->trailerlessFrames >= kTrailerlessFrames) {
        e->noTrailer = 1;
        length = marked;
      }
    }
    ok = ok && length != 0;
  }
  if (!ok) {
    Drop(e);
    if (still) StillDropped(e);
  } else if (still) {
    DeliverStill(e, length);
  } else {
    Commit(e, length);
  }
  if (IsMjpeg(e)) ZeroWriteBuffer(e);
}

// Frame rate from the system tick count, sampled every fifth frame.
VOID SampleRate(StreamEngine* e) {
  if (e->framesSeen % 5 != 0) return;
  LARGE_INTEGER ticks;
  KeQueryTickCount(&ticks);
  ULONG ms = ULONG(ULONGLONG(ticks.QuadPart) * KeQueryTimeIncrement() / 10000);
  if (e->lastMs != 0) {
    ULONG d = ms - e->lastMs;
    if (d != 0) {
      ULONG fps = (d / 2 + 5000) / d;
      WriteULongNoFence(&e->fps, fps > kMaxFps ? kMaxFps : fps);
    }
  }
  e->lastMs = ms ? ms : 1;
}

// Frame boundary: the previous frame is complete; `info` is the header of
// the first payload of the next frame.
VOID Boundary(StreamEngine* e, UCHAR info) {
  FinishFrame(e);
  RequestStillAgain(e);
  e->assembled = 0;
  e->corrupt = 0;
  e->discarding = 0;
  e->frameEof = 0;
  // Still mode covers exactly the frame that carries STI, and only while
  // the still pin has set a still size.
  e->frameStill = (info & kSti) && ReadULongNoFence(&e->stillSize) ? 1 : 0;
  WriteULongNoFence(&e->stillActive, e->frameStill);
  WriteULongNoFence(&e->stillMode, e->frameStill);
  if (e->frameStill && e->hooks.stillFrameBegins) e->hooks.stillFrameBegins(e->hooks.context);
  WriteULongNoFence(&e->framesSeen, e->framesSeen + 1);
  if (e->framesSeen == 2) {
    // The camera has streamed a frame: the stored controls go back to it.
    if (e->hooks.replayControls) e->hooks.replayControls(e->hooks.context);
    WriteULongNoFence(&e->controlsApplied, 1);
  }
  SampleRate(e);
}

}  // namespace

NTSTATUS ParsePayload(StreamEngine* e, const UCHAR* payload, ULONG length) {
  if (length < 2) return STATUS_INVALID_PARAMETER;
  ULONG h = payload[0];
  if (h < 2 || h >= length) return STATUS_INVALID_PARAMETER;
  UCHAR info = payload[1];
  ULONG fid = info & kFid;
  if (e->lastFid == kNoFrameId) {
    // First payload of the stream: a frame starts here (possibly mid-frame;
    // such a partial frame fails its checks).
    e->lastFid = fid;
    e->frameStill = (info & kSti) && ReadULongNoFence(&e->stillSize) ? 1 : 0;
  } else if (fid != e->lastFid) {
    e->lastFid = fid;
    if (e->assembled || e->discarding) {
      Boundary(e, info);
    } else {
      e->frameStill = (info & kSti) && ReadULongNoFence(&e->stillSize) ? 1 : 0;
      e->corrupt = 0;
    }
  }
  if (info & kErr) e->corrupt = 1;
  e->frameEof = (info & kEof) ? 1 : 0;
  if (e->discarding) return STATUS_SUCCESS;
  ULONG n = length - h;
  ULONG limit = FrameLimit(e);
  if (!e->writeBuffer || ULONGLONG(e->assembled) + n > limit) {
    // Too long: the whole frame goes, up to the next frame-ID toggle.
    e->discarding = 1;
    e->assembled = 0;
    return STATUS_SUCCESS;
  }
  RtlCopyMemory(e->writeBuffer + e->assembled, payload + h, n);
  e->assembled += n;
  return STATUS_SUCCESS;
}

NTSTATUS SetStillSize(StreamEngine* e, ULONG stillSize) {
  if (stillSize && !IsMjpeg(e) && (stillSize > e->stillBufferSize || stillSize > e->rawFrameSize))
    return STATUS_INVALID_PARAMETER;
  WriteULongNoFence(&e->stillSize, stillSize);
  return STATUS_SUCCESS;
}

VOID StillConsumed(StreamEngine* e) {
  KeClearEvent(&e->stillReady);
  InterlockedExchange(reinterpret_cast<volatile LONG*>(&e->stillWaiting), 0);
}
