// Frames played by the simulated camera from a file, read one frame at a
// time as the stream needs them (a play file may be long; it is never held
// whole), looping at its end. Host build only.
#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace camera {

// Reads a whole input file of at most `maxBytes`, for inputs that are read
// whole (descriptor dumps, profiles). Refuses, with a one-line message that
// starts with the path, a directory, anything that is not a regular file
// (devices, pipes), and a file over the limit.
bool ReadInputFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* bytes,
                   std::string* error);

// Limits of the inputs read whole.
constexpr size_t kMaxDescriptorDump = 64 * 1024;
constexpr size_t kMaxProfile = 1024 * 1024;
// Other inputs read whole (overlay bitmaps, a play file's frame check).
constexpr size_t kMaxWholeFile = 256 * 1024 * 1024;
bool ReadWholeFile(const std::string& path, std::vector<uint8_t>* bytes, std::string* error);

class PlayFile {
 public:
  // A regular, non-empty file; otherwise null and a one-line message.
  static std::shared_ptr<PlayFile> Open(const std::string& path, std::string* error);
  // The same over bytes in memory.
  static std::shared_ptr<PlayFile> FromBytes(std::vector<uint8_t> bytes);
  ~PlayFile();
  PlayFile(const PlayFile&) = delete;
  PlayFile& operator=(const PlayFile&) = delete;

  // Back to the first frame (a new stream).
  void Rewind();
  // The next JPEG image (SOI to EOI); after the last one the first again.
  // False when the file holds none (or none within the search limit).
  bool NextJpeg(std::vector<uint8_t>* frame);
  // The next `size` bytes; a partial frame at the end is skipped. False
  // when the file is shorter than one frame.
  bool NextRaw(size_t size, std::vector<uint8_t>* frame);

  // A JPEG image longer than this is skipped, and one call reads at most
  // kMaxScan bytes looking for an image.
  static constexpr size_t kMaxJpeg = 16 * 1024 * 1024;
  static constexpr size_t kMaxScan = 64 * 1024 * 1024;

 private:
  explicit PlayFile(FILE* file, std::vector<uint8_t> bytes);
  bool ScanJpeg(std::vector<uint8_t>* frame, size_t* scanned);

  FILE* file_;
  std::vector<uint8_t> bytes_;  // the memory a FromBytes file reads
  bool noJpeg_ = false;         // a whole pass found no image
  size_t noRawSize_ = 0;        // the file is shorter than a frame of this size
};

}  // namespace camera
