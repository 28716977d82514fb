// Output files of `uvccam capture` and `uvccam still`: a frame sequence in
// the container the file name's extension picks, and single frames as PNG.
//
//   .y4m          YUY2 and UYVY as planar 4:2:2 (C422), I420 as 4:2:0
//                 (C420jpeg), the frame rate from the frame interval
//   .yuv / .raw   the delivered bytes, frame after frame, any subtype
//   .mjpeg        MJPG frames as delivered
//
// Frames are given as the driver delivers them: packed 4:2:2 rows of 2 * w
// bytes, I420 planes of the driver's layout (chroma planes (w / 2) x (h / 2)),
// RGB24 rows bottom-up with rows padded to 4 bytes, MJPG as compressed data.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/wdk.h"

namespace output_files {

enum class Container { kY4m, kRaw, kMjpeg };

// The container for a file name by its extension (case-insensitive); false
// for any other extension.
bool ContainerForPath(const std::string& path, Container* container);

// The container of the frames written to standard output ("-"): y4m when
// it holds the subtype (or none is given yet), MJPEG for MJPG, else raw.
Container ContainerForStdout(const GUID* subtype);

// Appends `size` bytes to `file` and flushes them. On failure (a full disk,
// a size limit) a seekable file is cut back to where it was, so it keeps only
// whole records; false with errno set.
bool AppendWhole(FILE* file, const void* data, size_t size);

// Whether `path` ends in `extension` (".png"), in any case.
bool HasExtension(const std::string& path, const std::string& extension);

// Bytes of one delivered uncompressed frame (RGB24 with padded rows); 0 for
// MJPG and unknown subtypes.
size_t DeliveredFrameBytes(const GUID& subtype, uint32_t width, uint32_t height);

struct VideoFormat {
  uint32_t width = 0;
  uint32_t height = 0;
  GUID subtype{};
  uint32_t frameInterval = 333333;  // 100 ns units
};

// A frame sequence being written. Errors are one line, ready to print.
class VideoFileWriter {
 public:
  // Opens (truncates) `path` for `format` in the container of its extension
  // ("-": standard output, in the container ContainerForStdout picks).
  // Fails for an unknown extension, a subtype the container cannot hold
  // (y4m: YUY2, UYVY, I420; mjpeg: MJPG) or a file that cannot be created.
  static std::unique_ptr<VideoFileWriter> Open(const std::string& path, const VideoFormat& format,
                                               std::string* error);
  ~VideoFileWriter();
  VideoFileWriter(const VideoFileWriter&) = delete;
  VideoFileWriter& operator=(const VideoFileWriter&) = delete;

  // Appends one delivered frame of `size` bytes, flushed, so that a frame
  // counted as written is in the file; a frame that fails leaves nothing
  // behind (AppendWhole). A y4m frame needs the whole frame
  // (DeliveredFrameBytes); shorter data is refused.
  bool WriteFrame(const uint8_t* data, size_t size, std::string* error);
  // Flushes and closes; false when anything failed to reach the file.
  bool Close(std::string* error);
  // Closes and deletes the file (not standard output): for a capture that
  // wrote no frame.
  void Discard();
  uint64_t FramesWritten() const { return frames_; }
  // The frame rate a y4m header states, as a frame interval (100 ns units):
  // it takes effect while no frame is written (the header goes out with
  // the first frame, or at Close).
  void SetFrameInterval(uint32_t interval) {
    if (interval != 0) format_.frameInterval = interval;
  }

 private:
  VideoFileWriter(FILE* file, std::string path, Container container, const VideoFormat& format);
  bool Put(const uint8_t* data, size_t size, std::string* error);
  bool PutHeader(std::string* error);
  bool ToStdout() const { return file_ == stdout; }

  FILE* file_;
  std::string path_;
  Container container_;
  VideoFormat format_;
  uint64_t frames_ = 0;
  bool headerDue_ = false;  // a y4m header not yet written
  std::vector<uint8_t> planes_;
};

// Turns one delivered frame into top-down RGB rows (red, green, blue; 3 * w
// bytes per row) through the driver's colour tables; MJPG is decoded with the
// driver's decoder and takes its size from the frame. Returns false (with a
// one-line error) for short data, an unknown subtype or a frame that does
// not decode.
bool FrameToRgb(const uint8_t* data, size_t size, const GUID& subtype, uint32_t width,
                uint32_t height, std::vector<uint8_t>* rgb, uint32_t* rgbWidth,
                uint32_t* rgbHeight, std::string* error);

// Writes one delivered frame as an 8-bit RGB PNG.
bool WritePng(const std::string& path, const uint8_t* data, size_t size, const GUID& subtype,
              uint32_t width, uint32_t height, std::string* error);

}  // namespace output_files
