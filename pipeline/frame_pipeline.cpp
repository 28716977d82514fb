// FramePipeline: route choice, buffer-size checks, MJPEG decode (into the
// output or back into the input), effect chain, scaling and the final copy
// or conversion.
#include "pipeline/frame_pipeline.h"

#include <emmintrin.h>

#include <cstring>

#include "effects/effect_chain.h"
#include "mjpeg/mjpeg_decoder.h"
#include "pipeline/conversions.h"
#include "pipeline/scaler.h"

namespace {

enum class Packed { kYuy2, kUyvy };
enum class Target { kYuy2, kUyvy, kI420, kRgb24, kMjpg, kNone };

Target TargetOf(const GUID& subtype) {
  if (IsEqualGUID(subtype, kSubtypeYuy2)) return Target::kYuy2;
  if (IsEqualGUID(subtype, kSubtypeUyvy)) return Target::kUyvy;
  if (IsEqualGUID(subtype, kSubtypeI420)) return Target::kI420;
  if (IsEqualGUID(subtype, kSubtypeRgb24)) return Target::kRgb24;
  if (IsEqualGUID(subtype, kSubtypeMjpg)) return Target::kMjpg;
  return Target::kNone;
}

// 2 * w * h when it fits 32 bits, else 0.
ULONG PackedBytes(ULONG w, ULONG h) {
  const ULONGLONG n = 2ull * w * h;
  return n <= 0xFFFFFFFFull ? static_cast<ULONG>(n) : 0;
}

// YUY2 -> RGB24 into rows of Rgb24Stride(w) bytes, bottom-up; the padding
// bytes at the end of each row are zeroed.
VOID ConvertToRgb24Rows(const ColorTables* tables, UCHAR* out, const UCHAR* src, ULONG w, ULONG h) {
  const SIZE_T stride = Rgb24Stride(w);
  const SIZE_T row = 3 * static_cast<SIZE_T>(w);
  if (stride == row) {
    ConvertYuy2ToRgb24(tables, out, src, w, h);
    return;
  }
  for (ULONG r = 0; r < h; ++r) {
    UCHAR* line = out + (h - 1 - r) * stride;
    ConvertYuy2ToRgb24(tables, line, src + r * 2 * static_cast<SIZE_T>(w), w, 1);
    memset(line + row, 0, stride - row);
  }
}

// Swaps the byte order of a packed frame (the swap is its own inverse). A
// frame of odd width and odd height ends in half a group, one pixel of luma
// and one chroma byte: those two change places as well.
VOID SwapOrder(UCHAR* destination, const UCHAR* source, ULONG bytes) {
  SwapYuy2ToUyvy(destination, source, bytes);
  if (bytes % 4 == 2) {
    const UCHAR a = source[bytes - 2], b = source[bytes - 1];
    destination[bytes - 2] = b;
    destination[bytes - 1] = a;
  }
}

// The processed frame `src` (order `order`, input size) to the output.
struct RouteFrame {
  UCHAR* src;
  Packed order;
  ULONG inW, inH, outW, outH;
};

VOID Deliver(const RouteFrame& f, Target target, UCHAR* output, UCHAR* workBuffer,
             const ColorTables* tables) {
  const bool same = f.inW == f.outW && f.inH == f.outH;
  const ULONG lumaFirst = f.order == Packed::kYuy2 ? 1 : 0;
  const bool matches = (target == Target::kYuy2) == (f.order == Packed::kYuy2);
  if ((target == Target::kYuy2 || target == Target::kUyvy) && matches) {
    if (same) {
      memcpy(output, f.src, PackedBytes(f.inW, f.inH));
    } else {
      ScaleFrame(output, f.src, f.inW, f.inH, f.outW, f.outH, tables->ClampPointer, lumaFirst);
    }
    return;
  }
  // Every other target starts from a frame at the output size; a swap of the
  // byte order follows where the target needs the other one (the swap is its
  // own inverse).
  const UCHAR* sized = f.src;
  if (!same) {
    ScaleFrame(workBuffer, f.src, f.inW, f.inH, f.outW, f.outH, tables->ClampPointer, lumaFirst);
    sized = workBuffer;
  }
  const ULONG bytes = PackedBytes(f.outW, f.outH);
  if (target == Target::kYuy2 || target == Target::kUyvy) {
    SwapOrder(output, sized, bytes);
    return;
  }
  if (f.order == Packed::kUyvy) {
    SwapOrder(workBuffer, sized, bytes);
    sized = workBuffer;
  }
  if (target == Target::kI420) {
    ConvertYuy2ToI420(output, sized, f.outW, f.outH);
  } else {
    ConvertToRgb24Rows(tables, output, sized, f.outW, f.outH);
  }
}

inline ULONG ReadU16(const UCHAR* p) { return (static_cast<ULONG>(p[0]) << 8) | p[1]; }

// The first 0xFF byte in [p, end), or end. Inline, 16 bytes a step: the
// entropy-coded data of a frame holds one (stuffed) 0xFF in a few hundred
// bytes, too close together for a library search call each.
const UCHAR* FindFF(const UCHAR* p, const UCHAR* end) {
  const __m128i ff = _mm_set1_epi8(static_cast<char>(0xFF));
  while (end - p >= 16) {
    const int mask = _mm_movemask_epi8(_mm_cmpeq_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(p)), ff));
    if (mask != 0) {
      while (*p != 0xFF) ++p;  // within these 16 bytes
      return p;
    }
    p += 16;
  }
  while (p < end && *p != 0xFF) ++p;
  return p;
}

}  // namespace

ULONG Rgb24Stride(ULONG width) {
  const ULONGLONG stride = (3ull * width + 3) & ~3ull;
  return stride <= 0xFFFFFFFFull ? static_cast<ULONG>(stride) : 0;
}

ULONG FrameOutputBytes(const GUID& subtype, ULONG width, ULONG height) {
  ULONGLONG n = 0;
  switch (TargetOf(subtype)) {
    case Target::kYuy2:
    case Target::kUyvy: n = 2ull * width * height; break;
    case Target::kI420: n = I420FrameSize(width, height); break;
    case Target::kRgb24: n = ((3ull * width + 3) & ~3ull) * height; break;
    default: return 0;
  }
  return n <= 0xFFFFFFFFull ? static_cast<ULONG>(n) : 0;
}

// Walks the markers the way the decoder does: every 0xFF starts a marker;
// the segments with a length are skipped whole (a scan only its header, its
// entropy-coded data holds no marker that matters here: 0xFF 0x00 and RSTn).
bool ReadMjpegFrameSize(const UCHAR* data, ULONG length, ULONG* width, ULONG* height) {
  if (data == nullptr) return false;
  const UCHAR* p = data;
  const UCHAR* const end = data + length;
  bool found = false;
  for (;;) {
    p = FindFF(p, end);
    if (end - p < 2) return found;
    const UCHAR code = p[1];
    p += 2;
    if (code == 0xD9) return found;
    const bool segment = code == 0xC0 || code == 0xC4 || code == 0xDB || code == 0xDD ||
                         code == 0xDA || code == 0xFE || (code >= 0xE0 && code <= 0xEF);
    if (!segment) continue;
    if (end - p < 2) return found;
    const ULONG segmentLength = ReadU16(p);
    if (segmentLength < 2 || static_cast<ULONG>(end - p) < segmentLength) return found;
    if (code == 0xC0 && segmentLength >= 8) {
      *height = ReadU16(p + 3);
      *width = ReadU16(p + 5);
      found = true;
    }
    p += segmentLength;
  }
}

namespace {

// Decodes the MJPEG frame in `frame` to packed YUY2 of width x height
// (rows without padding) into `destination`, which holds destinationSize
// bytes and may be `frame` itself. Straight into it when the decoder's rows
// are those rows (width a multiple of 4, even height) and the stream's size
// is the format's: the decoder reads all of its source before it writes
// any output, and writes nothing when the frame fails. Otherwise through
// the work buffer, the rows copied over. Returns 0 or the error, after
// reporting it; on an error neither `frame` nor `destination` is changed.
LONG DecodeFrame(UCHAR* destination, ULONG destinationSize, UCHAR* frame, ULONG frameLength,
                 ULONG frameBufferSize, ULONG width, ULONG height, UCHAR* workBuffer,
                 ULONG workBufferSize, UCHAR* scratch, ULONG scratchSize, const WorkerPair* workers) {
  const ULONG frameBytes = PackedBytes(width, height);
  if (frame == nullptr || destination == nullptr || frameBytes == 0 || frameLength > frameBufferSize ||
      frameBufferSize < frameBytes || destinationSize < frameBytes) {
    return kDecodeErrorFrameSize;
  }
  MjpegWorkers pair = {nullptr, nullptr};
  if (workers != nullptr) pair = {workers->runPair, workers->context};
  const MjpegWorkers* lent = workers != nullptr ? &pair : nullptr;
  ULONG streamW = 0, streamH = 0;
  const bool sized = ReadMjpegFrameSize(frame, frameLength, &streamW, &streamH) && streamW == width &&
                     streamH == height;
  const bool direct = sized && width % 4 == 0 && height % 2 == 0;
  LONG error;
  if (direct) {
    error = DecodeMjpegSplit(destination, frameBytes, frame, frameLength, scratch, scratchSize, lent);
  } else {
    // The decoder checks both of its buffers against the frame's declared
    // size; its own error comes first, then a stream of another size.
    error = DecodeMjpegSplit(workBuffer, workBufferSize, frame, frameLength, scratch, scratchSize, lent);
    if (error == kMjpegOk && !sized) error = kDecodeErrorFrameSize;
  }
  if (error != kMjpegOk) {
    ReportDecodeError(error, frame, frameLength);
    return error;
  }
  if (direct) return kMjpegOk;
  // The decoder's rows are the width rounded up to a multiple of 4.
  const SIZE_T row = 2 * static_cast<SIZE_T>(width);
  const SIZE_T decodedRow = 2 * static_cast<SIZE_T>((width + 3) & ~3u);
  if (decodedRow == row) {
    memcpy(destination, workBuffer, frameBytes);
  } else {
    for (ULONG r = 0; r < height; ++r) memcpy(destination + r * row, workBuffer + r * decodedRow, row);
  }
  return kMjpegOk;
}

}  // namespace

LONG DecodeToPacked(UCHAR* frame, ULONG frameLength, ULONG frameBufferSize, ULONG width,
                    ULONG height, UCHAR* workBuffer, ULONG workBufferSize, UCHAR* scratch,
                    ULONG scratchSize, const WorkerPair* workers) {
  return DecodeFrame(frame, frameBufferSize, frame, frameLength, frameBufferSize, width, height, workBuffer,
                     workBufferSize, scratch, scratchSize, workers);
}

LONG FramePipeline(const FrameJob& job) {
  UCHAR* const input = job.input;
  UCHAR* const output = job.output;
  UCHAR* const workBuffer = job.workBuffer;
  UCHAR* const effectBuffer = job.effectBuffer;
  const ULONG inputSize = job.inputSize, inputBufferSize = job.inputBufferSize;
  const ULONG outputSize = job.outputSize, workBufferSize = job.workBufferSize;
  const ULONG effectBufferSize = job.effectBufferSize;
  const ColorTables* const colorTables = job.colorTables;
  if (input == nullptr || output == nullptr || workBuffer == nullptr || effectBuffer == nullptr ||
      colorTables == nullptr || job.frameFormat == nullptr || job.effectSettings == nullptr ||
      job.effectState == nullptr) {
    return 0;
  }
  const FrameFormat format = *job.frameFormat;
  const ULONG inW = format.inputWidth, inH = format.inputHeight;
  const ULONG outW = format.outputWidth, outH = format.outputHeight;
  const Target target = TargetOf(format.outputSubtype);
  const bool mjpegIn = IsEqualGUID(format.inputSubtype, kSubtypeMjpg);
  const bool uyvyIn = IsEqualGUID(format.inputSubtype, kSubtypeUyvy);
  if (!mjpegIn && !uyvyIn && !IsEqualGUID(format.inputSubtype, kSubtypeYuy2)) return 0;
  if (inputSize > inputBufferSize || target == Target::kNone) return 0;

  if (target == Target::kMjpg) {
    // The compressed frame as it came; no effects, no scaling. Uncompressed
    // camera frames have no MJPEG route.
    if (!mjpegIn || outputSize < inputSize) return 0;
    memcpy(output, input, inputSize);
    return 1;
  }

  // Sizes every remaining route relies on: the camera frame packed in the
  // input buffer and in both device buffers (effect chain), the output
  // frame, and the scaled frame in the work buffer before a conversion.
  const ULONG frameBytes = PackedBytes(inW, inH);
  const ULONG outBytes = FrameOutputBytes(format.outputSubtype, outW, outH);
  const ULONG scaledBytes = PackedBytes(outW, outH);
  if (frameBytes == 0 || outBytes == 0 || scaledBytes == 0) return 0;
  if (inputBufferSize < frameBytes || workBufferSize < frameBytes ||
      effectBufferSize < frameBytes || outputSize < outBytes || workBufferSize < scaledBytes) {
    return 0;
  }
  if (!mjpegIn && inputSize < frameBytes) return 0;

  // A decoded frame wanted as YUY2 at the camera's size is decoded straight
  // into the output and the chain runs there: no pass copies it over (only
  // a chain that ends in the effect buffer does). Every other route decodes
  // back into the input buffer. The effect buffer is the decoder's scratch.
  if (mjpegIn && target == Target::kYuy2 && inW == outW && inH == outH) {
    if (DecodeFrame(output, outputSize, input, inputSize, inputBufferSize, inW, inH, workBuffer, workBufferSize,
                    effectBuffer, effectBufferSize, job.decodeWorkers) != kMjpegOk) {
      return 0;
    }
    if (ApplyEffects(output, workBuffer, effectBuffer, colorTables, &format, job.effectSettings,
                     job.effectState) != 0) {
      memcpy(output, effectBuffer, frameBytes);
    }
    return 1;
  }
  if (mjpegIn && DecodeToPacked(input, inputSize, inputBufferSize, inW, inH, workBuffer,
                                 workBufferSize, effectBuffer, effectBufferSize, job.decodeWorkers) != kMjpegOk) {
    return 0;
  }

  const LONG inEffectBuffer =
      ApplyEffects(input, workBuffer, effectBuffer, colorTables, &format, job.effectSettings,
                   job.effectState);
  const RouteFrame frame{inEffectBuffer != 0 ? effectBuffer : input,
                         uyvyIn ? Packed::kUyvy : Packed::kYuy2, inW, inH, outW, outH};
  Deliver(frame, target, output, workBuffer, colorTables);
  return 1;
}
