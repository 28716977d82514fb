// Output files of the capture and still commands: y4m, raw and MJPEG frame
// sequences, and PNG stills through libpng.
#include "tools/output_files.h"

#include <png.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <numeric>

#include "mjpeg/mjpeg_decoder.h"
#include "media/color_tables.h"
#include "pipeline/conversions.h"
#include "pipeline/frame_pipeline.h"
#include "media/frame_format.h"

namespace output_files {

namespace {

std::string Lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool EndsWith(const std::string& s, const std::string& tail) {
  return s.size() >= tail.size() && s.compare(s.size() - tail.size(), tail.size(), tail) == 0;
}

bool Packed422(const GUID& s) { return IsEqualGUID(s, kSubtypeYuy2) || IsEqualGUID(s, kSubtypeUyvy); }

const char* SubtypeName(const GUID& s) {
  if (IsEqualGUID(s, kSubtypeYuy2)) return "YUY2";
  if (IsEqualGUID(s, kSubtypeUyvy)) return "UYVY";
  if (IsEqualGUID(s, kSubtypeI420)) return "I420";
  if (IsEqualGUID(s, kSubtypeRgb24)) return "RGB24";
  if (IsEqualGUID(s, kSubtypeMjpg)) return "MJPG";
  return "an unknown subtype";
}

const ColorTables& Tables() {
  static const ColorTables* tables = [] {
    auto* t = new ColorTables;
    BuildColorTables(t);
    return t;
  }();
  return *tables;
}

// Packed 4:2:2 -> planar Y, U, V (chroma planes (w + 1) / 2 wide; the last
// pixel of an odd row has no V sample and takes 128).
void Planar422(const uint8_t* src, uint32_t w, uint32_t h, bool uyvy, uint8_t* out) {
  const size_t cw = (size_t(w) + 1) / 2;
  uint8_t* y = out;
  uint8_t* u = y + size_t(w) * h;
  uint8_t* v = u + cw * h;
  const size_t yo = uyvy ? 1 : 0, uo = uyvy ? 0 : 1, vo = uyvy ? 2 : 3;
  for (uint32_t r = 0; r < h; ++r) {
    const uint8_t* row = src + size_t(r) * w * 2;
    for (uint32_t x = 0; x < w; ++x) *y++ = row[2 * size_t(x) + yo];
    for (size_t p = 0; p < cw; ++p) {
      *u++ = row[4 * p + uo];
      *v++ = 4 * p + vo < size_t(w) * 2 ? row[4 * p + vo] : 128;
    }
  }
}

// The driver's I420 layout -> y4m 4:2:0 planes. The driver's chroma planes
// are (w / 2) x (h / 2); y4m's are rounded up, so an odd last column or row
// repeats its neighbour (128 when there is none).
void Planar420(const uint8_t* src, uint32_t w, uint32_t h, uint8_t* out) {
  const size_t luma = size_t(w) * h;
  const size_t sw = w / 2, sh = h / 2, cw = (size_t(w) + 1) / 2, ch = (size_t(h) + 1) / 2;
  memcpy(out, src, luma);
  const uint8_t* planes[2] = {src + luma, src + (5 * luma) / 4};
  uint8_t* d = out + luma;
  for (const uint8_t* plane : planes) {
    for (size_t r = 0; r < ch; ++r)
      for (size_t x = 0; x < cw; ++x)
        *d++ = sw == 0 || sh == 0 ? 128 : plane[std::min(r, sh - 1) * sw + std::min(x, sw - 1)];
  }
}

size_t Y4mFrameBytes(const VideoFormat& f) {
  const size_t luma = size_t(f.width) * f.height;
  const size_t cw = (size_t(f.width) + 1) / 2;
  if (Packed422(f.subtype)) return luma + 2 * cw * f.height;
  return luma + 2 * cw * ((size_t(f.height) + 1) / 2);
}

}  // namespace

Container ContainerForStdout(const GUID* subtype) {
  if (subtype == nullptr || Packed422(*subtype) || IsEqualGUID(*subtype, kSubtypeI420)) return Container::kY4m;
  return IsEqualGUID(*subtype, kSubtypeMjpg) ? Container::kMjpeg : Container::kRaw;
}

bool AppendWhole(FILE* file, const void* data, size_t size) {
  const long at = std::ftell(file);  // -1 for a pipe: nothing to cut back
  if ((size == 0 || std::fwrite(data, 1, size, file) == size) && std::fflush(file) == 0) return true;
  const int reason = errno;
  if (at >= 0 && ftruncate(fileno(file), off_t(at)) == 0) {
    std::clearerr(file);
    std::fseek(file, at, SEEK_SET);
  }
  errno = reason;
  return false;
}

bool HasExtension(const std::string& path, const std::string& extension) {
  return EndsWith(Lower(path), Lower(extension));
}

bool ContainerForPath(const std::string& path, Container* container) {
  const std::string p = Lower(path);
  if (EndsWith(p, ".y4m")) *container = Container::kY4m;
  else if (EndsWith(p, ".yuv") || EndsWith(p, ".raw")) *container = Container::kRaw;
  else if (EndsWith(p, ".mjpeg") || EndsWith(p, ".mjpg")) *container = Container::kMjpeg;
  else return false;
  return true;
}

size_t DeliveredFrameBytes(const GUID& subtype, uint32_t width, uint32_t height) {
  if (Packed422(subtype)) return size_t(width) * height * 2;
  if (IsEqualGUID(subtype, kSubtypeI420)) return I420FrameSize(width, height);
  if (IsEqualGUID(subtype, kSubtypeRgb24)) return ((size_t(width) * 3 + 3) & ~size_t(3)) * height;
  return 0;
}

VideoFileWriter::VideoFileWriter(FILE* file, std::string path, Container container,
                                 const VideoFormat& format)
    : file_(file), path_(std::move(path)), container_(container), format_(format) {}

VideoFileWriter::~VideoFileWriter() {
  if (file_ != nullptr && !ToStdout()) fclose(file_);
}

void VideoFileWriter::Discard() {
  if (ToStdout()) return;
  if (file_ != nullptr) fclose(file_);
  file_ = nullptr;
  std::remove(path_.c_str());
}

std::unique_ptr<VideoFileWriter> VideoFileWriter::Open(const std::string& path,
                                                       const VideoFormat& format,
                                                       std::string* error) {
  Container container = ContainerForStdout(&format.subtype);
  if (path != "-" && !ContainerForPath(path, &container)) {
    *error = "unknown output file type: " + path + " (use .y4m, .yuv, .raw or .mjpeg)";
    return nullptr;
  }
  const bool y4mOk = Packed422(format.subtype) || IsEqualGUID(format.subtype, kSubtypeI420);
  if (container == Container::kY4m && !y4mOk) {
    *error = std::string("a .y4m file holds YUY2, UYVY or I420 frames, not ") + SubtypeName(format.subtype);
    return nullptr;
  }
  if (container == Container::kMjpeg && !IsEqualGUID(format.subtype, kSubtypeMjpg)) {
    *error = std::string("a .mjpeg file holds MJPG frames, not ") + SubtypeName(format.subtype);
    return nullptr;
  }
  if (container == Container::kY4m && (format.width == 0 || format.height == 0)) {
    *error = "a .y4m file needs a frame size";
    return nullptr;
  }
  FILE* file = path == "-" ? stdout : fopen(path.c_str(), "wb");
  if (file == nullptr) {
    *error = "cannot write " + path + ": " + strerror(errno);
    return nullptr;
  }
  std::unique_ptr<VideoFileWriter> writer(
      new VideoFileWriter(file, path == "-" ? "standard output" : path, container, format));
  writer->headerDue_ = container == Container::kY4m;
  return writer;
}

bool VideoFileWriter::PutHeader(std::string* error) {
  if (!headerDue_) return true;
  // Frame rate as the exact fraction 10^7 / interval, reduced.
  const uint64_t interval = format_.frameInterval != 0 ? format_.frameInterval : 333333;
  const uint64_t g = std::gcd(uint64_t(10000000), interval);
  const char* colour = Packed422(format_.subtype) ? "C422" : "C420jpeg";
  char header[160];
  snprintf(header, sizeof header, "YUV4MPEG2 W%u H%u F%llu:%llu Ip A1:1 %s\n", format_.width, format_.height,
           static_cast<unsigned long long>(10000000 / g), static_cast<unsigned long long>(interval / g), colour);
  if (!Put(reinterpret_cast<const uint8_t*>(header), strlen(header), error)) return false;
  headerDue_ = false;
  return true;
}

bool VideoFileWriter::Put(const uint8_t* data, size_t size, std::string* error) {
  if (file_ == nullptr) {
    *error = "cannot write " + path_ + ": file closed";
    return false;
  }
  if (!AppendWhole(file_, data, size)) {
    *error = "cannot write " + path_ + ": " + strerror(errno);
    return false;
  }
  return true;
}

bool VideoFileWriter::WriteFrame(const uint8_t* data, size_t size, std::string* error) {
  if (container_ == Container::kY4m) {
    const size_t need = DeliveredFrameBytes(format_.subtype, format_.width, format_.height);
    if (data == nullptr || size < need) {
      *error = "frame of " + std::to_string(size) + " bytes is shorter than " + std::to_string(need);
      return false;
    }
    if (!PutHeader(error)) return false;
    // One record: the FRAME line and the planes, written whole or not at all.
    static const uint8_t kFrame[] = {'F', 'R', 'A', 'M', 'E', '\n'};
    planes_.resize(sizeof kFrame + Y4mFrameBytes(format_));
    memcpy(planes_.data(), kFrame, sizeof kFrame);
    uint8_t* planes = planes_.data() + sizeof kFrame;
    if (Packed422(format_.subtype)) {
      Planar422(data, format_.width, format_.height, IsEqualGUID(format_.subtype, kSubtypeUyvy), planes);
    } else {
      Planar420(data, format_.width, format_.height, planes);
    }
    if (!Put(planes_.data(), planes_.size(), error)) return false;
  } else if (!Put(data, data != nullptr ? size : 0, error)) {
    return false;
  }
  ++frames_;
  return true;
}

bool VideoFileWriter::Close(std::string* error) {
  if (file_ == nullptr) return true;
  if (!PutHeader(error)) {
    if (!ToStdout()) fclose(file_);
    file_ = nullptr;
    return false;
  }
  const bool ok = fflush(file_) == 0 && !ferror(file_);
  const int savedErrno = errno;
  const bool closed = ToStdout() || fclose(file_) == 0;
  file_ = nullptr;
  if (!ok || !closed) {
    *error = "cannot write " + path_ + ": " + strerror(ok ? errno : savedErrno);
    return false;
  }
  return true;
}

bool FrameToRgb(const uint8_t* data, size_t size, const GUID& subtype, uint32_t width,
                uint32_t height, std::vector<uint8_t>* rgb, uint32_t* rgbWidth,
                uint32_t* rgbHeight, std::string* error) {
  if (data == nullptr) size = 0;
  std::vector<uint8_t> yuy2;
  uint32_t w = width, h = height;
  if (IsEqualGUID(subtype, kSubtypeMjpg)) {
    ULONG fw = 0, fh = 0;
    if (size > 0xFFFFFFFFu || !ReadMjpegFrameSize(data, ULONG(size), &fw, &fh) || fw == 0 || fh == 0) {
      *error = "the MJPG frame has no readable frame header";
      return false;
    }
    w = fw, h = fh;
    const size_t pw = (size_t(w) + 3) & ~size_t(3), ph = (size_t(h) + 1) & ~size_t(1);
    std::vector<uint8_t> decoded(pw * ph * 2);
    std::vector<uint8_t> scratch(((size_t(w) + 15) & ~size_t(15)) * ((size_t(h) + 15) & ~size_t(15)) * 3);
    const LONG e = DecodeMjpegStill(decoded.data(), ULONG(decoded.size()), data, ULONG(size),
                                    scratch.data(), ULONG(scratch.size()));
    if (e != kMjpegOk) {
      *error = "the MJPG frame does not decode (decoder error " + std::to_string(e) + ")";
      return false;
    }
    yuy2.resize(size_t(w) * h * 2);
    for (uint32_t r = 0; r < h; ++r) memcpy(&yuy2[size_t(r) * w * 2], &decoded[r * pw * 2], size_t(w) * 2);
  } else {
    const size_t need = DeliveredFrameBytes(subtype, w, h);
    if (need == 0 || w == 0 || h == 0) {
      *error = std::string("cannot convert ") + SubtypeName(subtype) + " frames to RGB";
      return false;
    }
    if (size < need) {
      *error = "frame of " + std::to_string(size) + " bytes is shorter than " + std::to_string(need);
      return false;
    }
    rgb->assign(size_t(w) * h * 3, 0);
    *rgbWidth = w, *rgbHeight = h;
    if (IsEqualGUID(subtype, kSubtypeRgb24)) {
      // Bottom-up BGR rows with padded stride -> top-down RGB.
      const size_t stride = (size_t(w) * 3 + 3) & ~size_t(3);
      for (uint32_t r = 0; r < h; ++r) {
        const uint8_t* s = data + (h - 1 - r) * stride;
        uint8_t* d = &(*rgb)[size_t(r) * w * 3];
        for (uint32_t x = 0; x < w; ++x) d[3 * x] = s[3 * x + 2], d[3 * x + 1] = s[3 * x + 1], d[3 * x + 2] = s[3 * x];
      }
      return true;
    }
    yuy2.resize(size_t(w) * h * 2);
    if (IsEqualGUID(subtype, kSubtypeYuy2)) {
      memcpy(yuy2.data(), data, yuy2.size());
    } else if (IsEqualGUID(subtype, kSubtypeUyvy)) {
      SwapYuy2ToUyvy(yuy2.data(), data, yuy2.size());
    } else if (IsEqualGUID(subtype, kSubtypeI420)) {
      // Each chroma sample serves its 2 x 2 block (the last odd column or
      // row takes its neighbour's, or 128 when there is none).
      const size_t sw = w / 2, sh = h / 2;
      const uint8_t* u = data + size_t(w) * h;
      const uint8_t* v = data + (5 * size_t(w) * h) / 4;
      for (uint32_t r = 0; r < h; ++r) {
        for (uint32_t x = 0; x < w; ++x) {
          const size_t c = sw == 0 || sh == 0 ? SIZE_MAX
                                              : std::min<size_t>(r / 2, sh - 1) * sw + std::min<size_t>(x / 2, sw - 1);
          uint8_t* p = &yuy2[(size_t(r) * w + x) * 2];
          p[0] = data[size_t(r) * w + x];
          p[1] = c == SIZE_MAX ? 128 : (x % 2 == 0 ? u[c] : v[c]);
        }
      }
    }
  }
  // YUY2 -> bottom-up BGR through the driver's tables -> top-down RGB.
  std::vector<uint8_t> bgr(size_t(w) * h * 3);
  ConvertYuy2ToRgb24(&Tables(), bgr.data(), yuy2.data(), w, h);
  rgb->assign(bgr.size(), 0);
  for (uint32_t r = 0; r < h; ++r) {
    const uint8_t* s = &bgr[size_t(h - 1 - r) * w * 3];
    uint8_t* d = &(*rgb)[size_t(r) * w * 3];
    for (uint32_t x = 0; x < w; ++x) d[3 * x] = s[3 * x + 2], d[3 * x + 1] = s[3 * x + 1], d[3 * x + 2] = s[3 * x];
  }
  *rgbWidth = w, *rgbHeight = h;
  return true;
}

bool WritePng(const std::string& path, const uint8_t* data, size_t size, const GUID& subtype,
              uint32_t width, uint32_t height, std::string* error) {
  std::vector<uint8_t> rgb;
  uint32_t w = 0, h = 0;
  if (!FrameToRgb(data, size, subtype, width, height, &rgb, &w, &h, error)) return false;
  png_image image;
  memset(&image, 0, sizeof image);
  image.version = PNG_IMAGE_VERSION;
  image.width = w;
  image.height = h;
  image.format = PNG_FORMAT_RGB;
  if (!png_image_write_to_file(&image, path.c_str(), 0, rgb.data(), png_int_32(w * 3), nullptr)) {
    *error = "cannot write " + path + ": " + (errno != 0 ? strerror(errno) : image.message);
    png_image_free(&image);
    return false;
  }
  return true;
}

}  // namespace output_files
