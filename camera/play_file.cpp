#include "camera/play_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace camera {

namespace {

// Opens `path` read-only if it is a regular file; otherwise -1 and the
// reason.
int OpenRegular(const std::string& path, struct stat* info, std::string* error) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = "cannot open " + path + ": " + std::strerror(errno);
    return -1;
  }
  if (::fstat(fd, info) != 0 || !S_ISREG(info->st_mode)) {
    *error = path + (S_ISDIR(info->st_mode) ? ": is a directory" : ": not a regular file");
    ::close(fd);
    return -1;
  }
  return fd;
}

}  // namespace

bool ReadInputFile(const std::string& path, size_t maxBytes, std::vector<uint8_t>* bytes,
                   std::string* error) {
  std::string local;
  if (!error) error = &local;
  struct stat info {};
  const int fd = OpenRegular(path, &info, error);
  if (fd < 0) return false;
  // Read up to one byte past the limit: the file may have grown since.
  bytes->clear();
  uint8_t chunk[65536];
  while (bytes->size() <= maxBytes) {
    const size_t want = std::min(sizeof chunk, maxBytes + 1 - bytes->size());
    const ssize_t n = ::read(fd, chunk, want);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": cannot read (" + std::strerror(errno) + ")";
      ::close(fd);
      return false;
    }
    if (n == 0) break;
    bytes->insert(bytes->end(), chunk, chunk + n);
  }
  const size_t got = bytes->size();
  ::close(fd);
  if (got > maxBytes) {
    *error = path + ": larger than " + std::to_string(maxBytes / 1024) + " KiB, the most this input may be";
    bytes->clear();
    return false;
  }
  bytes->resize(got);
  return true;
}

std::shared_ptr<PlayFile> PlayFile::Open(const std::string& path, std::string* error) {
  struct stat info {};
  const int fd = OpenRegular(path, &info, error);
  if (fd < 0) return nullptr;
  if (info.st_size == 0) {
    *error = path + ": is empty";
    ::close(fd);
    return nullptr;
  }
  FILE* file = ::fdopen(fd, "rb");
  if (!file) {
    *error = path + ": cannot open";
    ::close(fd);
    return nullptr;
  }
  return std::shared_ptr<PlayFile>(new PlayFile(file, {}));
}

std::shared_ptr<PlayFile> PlayFile::FromBytes(std::vector<uint8_t> bytes) {
  if (bytes.empty()) bytes.push_back(0);  // fmemopen needs a buffer; one byte holds no frame
  std::shared_ptr<PlayFile> play(new PlayFile(nullptr, std::move(bytes)));
  play->file_ = ::fmemopen(play->bytes_.data(), play->bytes_.size(), "rb");
  return play->file_ ? play : nullptr;
}

PlayFile::PlayFile(FILE* file, std::vector<uint8_t> bytes) : file_(file), bytes_(std::move(bytes)) {}

PlayFile::~PlayFile() {
  if (file_) std::fclose(file_);
}

void PlayFile::Rewind() { std::rewind(file_); }

// From the current position: skips to an SOI marker and collects up to the
// next EOI. False at the end of the file (or the scan limit) without one.
bool PlayFile::ScanJpeg(std::vector<uint8_t>* frame, size_t* scanned) {
  int previous = -1, c;
  bool inImage = false;
  while ((c = getc_unlocked(file_)) != EOF) {
    if (++*scanned > kMaxScan) return false;
    if (!inImage) {
      if (previous == 0xFF && c == 0xD8) {
        inImage = true;
        frame->assign({0xFF, 0xD8});
        previous = -1;
        continue;
      }
    } else {
      frame->push_back(uint8_t(c));
      if (previous == 0xFF && c == 0xD9) return true;
      if (frame->size() > kMaxJpeg) inImage = false;  // too long: look for the next image
    }
    previous = c;
  }
  return false;
}

bool PlayFile::NextJpeg(std::vector<uint8_t>* frame) {
  if (noJpeg_) return false;
  size_t scanned = 0;
  if (ScanJpeg(frame, &scanned)) return true;
  if (scanned > kMaxScan) return false;
  // The end: the first image again, unless the file holds none.
  Rewind();
  scanned = 0;
  if (ScanJpeg(frame, &scanned)) return true;
  if (scanned <= kMaxScan) noJpeg_ = true;
  Rewind();
  return false;
}

bool PlayFile::NextRaw(size_t size, std::vector<uint8_t>* frame) {
  if (size == 0 || size == noRawSize_) return false;
  frame->resize(size);
  if (std::fread(frame->data(), 1, size, file_) == size) return true;
  Rewind();
  if (std::fread(frame->data(), 1, size, file_) == size) return true;
  noRawSize_ = size;
  Rewind();
  return false;
}

}  // namespace camera
