// MJPEG decoder: one baseline JPEG frame (8-bit samples, Huffman coding, one
// interleaved scan; three components in 4:2:0 or 4:2:2, or one component)
// into a packed YUY2 frame (Y0 Cb Y1 Cr).
//
// Both entries decode into planar form inside `scratch` and interleave into
// `destination` only when the whole frame decoded; a frame that fails leaves
// `destination` untouched. The source is read to its end before the first
// byte of `destination` is written, so `destination` may be the buffer that
// holds the source.
//
// The output is W' x H' pixels, W' = image width rounded up to a multiple of
// 4, H' = image height rounded up to an even number, rows top-down, no
// padding: W' x H' x 2 bytes.
//
// Buffer sizes. The caller passes the size of each buffer it provides. A
// frame whose declared image needs more than `destinationSize` bytes of
// output (W' x H' x 2) or more than `scratchSize` bytes of planar image
// (padded width x padded height x 1.5 for 4:2:0, x 2 for 4:2:2, x 1 for one
// component) fails with kMjpegErrorImageTooLarge before anything is decoded.
// The device's frame-buffer size (3 x the largest pixel count) passed for
// both fits every frame of at least 64 x 48 pixels; only for smaller odd
// sizes can the padding to whole MCUs need more.
//
// Each call keeps its working state on its own stack (about 2 KB with the
// scan's block buffer), so calls for several devices may run at the same
// time, at PASSIVE_LEVEL or DISPATCH_LEVEL. A frame that defines Huffman
// tables other than the standard ones takes one non-paged block (tag
// kTagBuffer, about 50 KB) for the time of the call.
//
// Frames as cameras send them are accepted: Huffman tables the frame does
// not define are the standard tables of the JPEG standard's Annex K (many
// cameras send no DHT at all); quantisation tables may come in any number of
// DQT segments, in any order, the last definition counting; at a restart
// point a stuffed zero byte (FF 00) or fill bytes (FF FF) before the RSTn
// marker are skipped, and the markers must follow in sequence (RST0..RST7,
// then RST0 again).
#pragma once

#include "platform/wdk.h"

// Result codes. 0 is success.
enum MjpegResult : LONG {
  kMjpegOk = 0,
  kMjpegErrorDqtPrecision = 1,    // DQT with 16-bit precision
  kMjpegErrorDqtTable = 2,        // DQT: first table not 0, shorter than a table, table above 3
  kMjpegErrorSamplePrecision = 3, // SOF0 sample precision other than 8
  kMjpegErrorDcCode = 4,          // no DC Huffman code matches (or a DC category above 16)
  kMjpegErrorAcCode = 5,          // no AC Huffman code matches
  kMjpegErrorHuffmanTable = 6,    // DHT: class or table above 1, more than 256 codes, or counts
                                  // that describe no prefix code
  kMjpegErrorMarker = 7,          // unsupported marker
  kMjpegErrorSpectralStart = 8,   // SOS Ss other than 0
  kMjpegErrorSpectralEnd = 9,     // SOS Se other than 63
  kMjpegErrorApproximation = 10,  // SOS Ah or Al other than 0
  kMjpegErrorNoScratch = 11,      // null scratch buffer
  kMjpegErrorRestart = 13,        // the next RSTn in sequence is not where a restart interval ends
  kMjpegErrorSampling = 14,       // sampling not 4:2:0 or 4:2:2 (three components), or not 1 or 3 components
  kMjpegErrorMissingSegment = 16, // SOS before SOI, DQT and SOF0 (and the quantisation tables it
                                  // uses) were seen
  kMjpegErrorFrameComponents = 17,// SOF0: no or four or more components, an identifier above 3,
                                  // a repeated identifier, or a quantisation selector above 3
  kMjpegErrorScanComponents = 18, // SOS: no or four or more components, an identifier above 3, a table
                                  // selector above 1, or components other than those of the frame
  kMjpegErrorRestartLength = 19,  // DRI length other than 4
  kMjpegErrorImageTooLarge = 20,  // declared image empty or larger than the destination or scratch
  kMjpegErrorTruncated = 21,      // the data ends before EOI, a segment runs past the data or its
                                  // own length, EOI comes before a scan was decoded, or the scan
                                  // data ends (at a marker or the end of the data) before the
                                  // last MCU of the scan or of a restart interval is complete
  kMjpegErrorNoMemory = 22,       // no pool memory for the frame's own Huffman tables
};

// Decodes a camera frame. DHT segments carrying the standard tables (the
// usual 418-byte segment, or one segment per table) cost only a comparison;
// a frame with other tables is decoded with them.
//   destination/destinationSize: receives the YUY2 frame.
//   source/sourceLength: the JPEG data.
//   scratch/scratchSize: room for the planar image.
LONG DecodeMjpeg(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                 UCHAR* scratch, ULONG scratchSize);

// Two workers the caller lends the decoder. `runPair` runs work(first) and
// work(second) at the same time (one of them may run on the calling thread)
// and returns when both have finished. The decoder starts no threads of its
// own: the host or platform that has them provides this.
typedef void (*MjpegWorkFunction)(void* item);
struct MjpegWorkers {
  void (*runPair)(void* context, MjpegWorkFunction work, void* first, void* second);
  void* context;
};

// DecodeMjpeg with the scan of a frame that has restart intervals split at
// the restart marker nearest its middle and the two halves decoded by
// `workers` at the same time. The result and the bytes are those of
// DecodeMjpeg: a frame without restart intervals or with fewer than two, a
// frame whose restart markers are missing, out of sequence or damaged, and
// a half that fails for any reason are decoded again serially, and that
// decode's result counts. With null `workers` this is DecodeMjpeg.
LONG DecodeMjpegSplit(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                      UCHAR* scratch, ULONG scratchSize, const MjpegWorkers* workers);

// Decodes a still image; the same decoder as DecodeMjpeg.
LONG DecodeMjpegStill(UCHAR* destination, ULONG destinationSize, const UCHAR* source, ULONG sourceLength,
                      UCHAR* scratch, ULONG scratchSize);

// Code paths for the inverse DCT and the interleave. Every path gives the
// same bytes; the choice exists so that tests and benchmarks can compare
// them. The default is the fastest one the processor supports.
enum MjpegKernels : LONG {
  kMjpegKernelsScalar = 0,
  kMjpegKernelsSse2 = 1,
  kMjpegKernelsAvx2 = 2,
  kMjpegKernelsBest = 3,
};

// Selects the code path for later decodes; a path the processor lacks falls
// back to the best one it has. Returns the path now in use.
MjpegKernels MjpegSelectKernels(MjpegKernels kernels);
