// The frame pipeline: turns one complete camera frame into one frame of the
// format the capture application negotiated, straight into the application's
// buffer. The route follows the pair (input subtype, output subtype) of the
// frame format:
//
//   camera YUY2, UYVY or MJPG (decoded to YUY2 order)
//     -> effect chain at the camera's size
//     -> scale to the output size (when it differs)
//     -> YUY2 / UYVY (copy or byte swap), I420 or RGB24 (conversion)
//   camera MJPG -> MJPG: the compressed frame as it came.
//
// Every buffer comes with its size in bytes; a route runs only when every
// buffer it touches is large enough, so no route writes past any of them.
#pragma once

#include "effects/effect_state.h"
#include "media/color_tables.h"
#include "platform/wdk.h"
#include "platform/worker_pair.h"
#include "media/frame_format.h"

// Decoder error code reported for a frame that decoded to a size other than
// the format's input size (the decoder's own codes are all below it).
constexpr LONG kDecodeErrorFrameSize = 64;

// One frame's job: the buffers with their sizes and what the route reads.
//   input/inputSize/inputBufferSize: the camera frame, its valid bytes (the
//     compressed length for MJPG, width * height * 2 for packed input) and the
//     size of the buffer holding it (an MJPEG frame may be decoded back into
//     it: at least input width * input height * 2 for the decoding routes).
//   output/outputSize: the application's buffer and its size; the frame needs
//     FrameOutputBytes(output subtype, output size) bytes, or inputSize for
//     MJPG -> MJPG.
//   workBuffer/workBufferSize, effectBuffer/effectBufferSize: the device's two
//     frame buffers (decoder output and scratch, effect chain, scaled frame
//     before a conversion).
//   colorTables, frameFormat, effectSettings, effectState: as the effect
//     chain and the conversions read them.
//   decodeWorkers: a worker pair the caller lends the MJPEG decode (frames
//     with restart intervals then decode as two halves at once, with the
//     same bytes and result codes), or null to decode on the calling thread.
struct FrameJob {
  UCHAR* input;
  ULONG inputSize;
  ULONG inputBufferSize;
  UCHAR* output;
  ULONG outputSize;
  UCHAR* workBuffer;
  ULONG workBufferSize;
  UCHAR* effectBuffer;
  ULONG effectBufferSize;
  const ColorTables* colorTables;
  const FrameFormat* frameFormat;
  const EffectSettings* effectSettings;
  EffectWorkState* effectState;
  const WorkerPair* decodeWorkers = nullptr;
};

// Runs the route for one frame.
// Returns 1 when the output holds the frame, 0 when it was not written: a
// null pointer in the job, a buffer too small for the route, a subtype pair
// that no route produces, or a decode error (reported with the debug message
// and a rate-limited dump of the compressed frame). Whatever returns 0 leaves
// `output` untouched.
LONG FramePipeline(const FrameJob& job);

// Decodes the MJPEG frame in `frame` (frameLength bytes, in a buffer of
// frameBufferSize bytes) back into `frame` as packed YUY2 of width x height
// (2 * width * height bytes, rows without padding), with scratch as the
// decoder's planes (workBuffer takes the decoder's output first when the
// width is no multiple of 4 or the height odd), split on `workers` where
// given (see FrameJob). A stream of another size is a decode error
// (kDecodeErrorFrameSize). Returns 0, or the error after reporting it with
// ReportDecodeError; on an error `frame` is left as it was.
LONG DecodeToPacked(UCHAR* frame, ULONG frameLength, ULONG frameBufferSize, ULONG width,
                    ULONG height, UCHAR* workBuffer, ULONG workBufferSize, UCHAR* scratch,
                    ULONG scratchSize, const WorkerPair* workers = nullptr);

// Bytes between the starts of two RGB24 rows: 3 * width rounded up to a
// multiple of 4, as bitmaps store them.
ULONG Rgb24Stride(ULONG width);

// Bytes one uncompressed output frame takes: YUY2 and UYVY 2 * w * h, I420
// its three planes, RGB24 Rgb24Stride(w) * h. 0 for MJPG, any other subtype
// or a size whose byte count does not fit 32 bits.
ULONG FrameOutputBytes(const GUID& subtype, ULONG width, ULONG height);

// Width and height that the frame header (the last SOF0 before EOI, the one
// the decoder uses) declares. Returns false when the data holds none.
bool ReadMjpegFrameSize(const UCHAR* data, ULONG length, ULONG* width, ULONG* height);

// Decode-error report: "decoder error=%d\n" on the debug output, and, at
// most once per kDecodeDumpIntervalMs and kDecodeDumpLimit times per load,
// the compressed frame written to "\SystemRoot\system32\aa\Image<n>_<e>.dat",
// n = the error's number since load (from an interlocked counter), e = the
// error code. The folder is not created; without it nothing is written.
constexpr ULONG kDecodeDumpIntervalMs = 1000;
constexpr ULONG kDecodeDumpLimit = 100;
VOID ReportDecodeError(LONG error, const UCHAR* frame, ULONG frameLength);
