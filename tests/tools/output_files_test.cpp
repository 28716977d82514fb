// Output writers of the capture and still commands, read back: y4m header
// and planes, raw and MJPEG bytes, PNG through libpng's reader.
#include <gtest/gtest.h>
#include <png.h>
#include <unistd.h>

#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "media/color_tables.h"
#include "pipeline/conversions.h"
#include "tests/mjpeg/jpeg_fixtures.h"
#include "tests/tools/command_run.h"
#include "tools/output_files.h"
#include "media/frame_format.h"

namespace {

using Bytes = std::vector<uint8_t>;
using namespace output_files;

std::string TempPath(const std::string& name) {
  static std::string dir = [] {
    char t[] = "/tmp/uvccam-output-XXXXXX";
    return std::string(mkdtemp(t));
  }();
  return dir + "/" + name;
}

Bytes ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

Bytes Random(size_t n, uint32_t seed) {
  std::mt19937 rng(seed);
  Bytes b(n);
  for (auto& x : b) x = uint8_t(rng());
  return b;
}

// Sample of a delivered frame by meaning: plane 0 Y, 1 U, 2 V at pixel (x, y).
uint8_t Sample(const Bytes& f, const GUID& s, uint32_t w, uint32_t h, int plane, uint32_t x, uint32_t y) {
  if (IsEqualGUID(s, kSubtypeI420)) {
    if (plane == 0) return f[size_t(y) * w + x];
    const size_t sw = w / 2, sh = h / 2, base = plane == 1 ? size_t(w) * h : 5 * size_t(w) * h / 4;
    return f[base + std::min<size_t>(y / 2, sh - 1) * sw + std::min<size_t>(x / 2, sw - 1)];
  }
  const bool uyvy = IsEqualGUID(s, kSubtypeUyvy);
  const size_t pair = (size_t(y) * w + (x & ~1u)) * 2;
  if (plane == 0) return f[(size_t(y) * w + x) * 2 + (uyvy ? 1 : 0)];
  const size_t at = pair + (uyvy ? 0 : 1) + (plane == 2 ? 2 : 0);
  return at < (size_t(y) + 1) * w * 2 ? f[at] : 128;
}

TEST(OutputFilesTest, Y4mHoldsPlanarFramesAndTheRate) {
  const struct { GUID subtype; uint32_t w, h, interval; const char* header; } cases[] = {
      {kSubtypeYuy2, 64, 48, 333333, "YUV4MPEG2 W64 H48 F10000000:333333 Ip A1:1 C422\n"},
      {kSubtypeUyvy, 6, 4, 400000, "YUV4MPEG2 W6 H4 F25:1 Ip A1:1 C422\n"},
      {kSubtypeYuy2, 5, 3, 1000000, "YUV4MPEG2 W5 H3 F10:1 Ip A1:1 C422\n"},
      {kSubtypeI420, 64, 48, 666666, "YUV4MPEG2 W64 H48 F5000000:333333 Ip A1:1 C420jpeg\n"},
      {kSubtypeI420, 7, 5, 333333, "YUV4MPEG2 W7 H5 F10000000:333333 Ip A1:1 C420jpeg\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.header);
    const std::string path = TempPath("a.Y4M");
    std::string error;
    auto writer = VideoFileWriter::Open(path, {c.w, c.h, c.subtype, c.interval}, &error);
    ASSERT_TRUE(writer) << error;
    const size_t bytes = DeliveredFrameBytes(c.subtype, c.w, c.h);
    const Bytes frames[2] = {Random(bytes, 1), Random(bytes, 2)};
    for (const Bytes& f : frames) ASSERT_TRUE(writer->WriteFrame(f.data(), f.size(), &error)) << error;
    EXPECT_FALSE(writer->WriteFrame(frames[0].data(), bytes - 1, &error));
    ASSERT_TRUE(writer->Close(&error)) << error;
    EXPECT_EQ(writer->FramesWritten(), 2u);

    const Bytes file = ReadAll(path);
    const std::string header(c.header);
    ASSERT_GE(file.size(), header.size());
    EXPECT_EQ(std::string(file.begin(), file.begin() + header.size()), header);
    const bool i420 = IsEqualGUID(c.subtype, kSubtypeI420);
    const uint32_t cw = (c.w + 1) / 2, ch = i420 ? (c.h + 1) / 2 : c.h;
    size_t at = header.size();
    for (const Bytes& f : frames) {
      ASSERT_LE(at + 6, file.size());
      EXPECT_EQ(std::string(file.begin() + at, file.begin() + at + 6), "FRAME\n");
      at += 6;
      for (int plane = 0; plane < 3; ++plane) {
        const uint32_t pw = plane ? cw : c.w, ph = plane ? ch : c.h;
        for (uint32_t y = 0; y < ph; ++y)
          for (uint32_t x = 0; x < pw; ++x, ++at) {
            ASSERT_LT(at, file.size());
            const uint32_t sx = plane ? std::min(2 * x, c.w - 1) : x, sy = plane && i420 ? std::min(2 * y, c.h - 1) : y;
            ASSERT_EQ(file[at], Sample(f, c.subtype, c.w, c.h, plane, sx, sy)) << plane << " " << x << "," << y;
          }
      }
    }
    EXPECT_EQ(at, file.size());
  }
}

TEST(OutputFilesTest, RawAndMjpegKeepTheDeliveredBytes) {
  for (const char* name : {"b.yuv", "b.raw", "b.mjpeg"}) {
    const GUID subtype = std::string(name) == "b.mjpeg" ? kSubtypeMjpg : kSubtypeRgb24;
    std::string error;
    auto writer = VideoFileWriter::Open(TempPath(name), {6, 2, subtype, 333333}, &error);
    ASSERT_TRUE(writer) << error;
    const Bytes a = Random(24, 3), b = Random(17, 4);  // frames as delivered, any length
    ASSERT_TRUE(writer->WriteFrame(a.data(), a.size(), &error));
    ASSERT_TRUE(writer->WriteFrame(b.data(), b.size(), &error));
    ASSERT_TRUE(writer->Close(&error));
    Bytes both = a;
    both.insert(both.end(), b.begin(), b.end());
    EXPECT_TRUE(ReadAll(TempPath(name)) == both) << name;
  }
}

TEST(OutputFilesTest, RefusalsAreOneClearLine) {
  const struct { std::string path; GUID subtype; const char* words; } cases[] = {
      {TempPath("c.avi"), kSubtypeYuy2, "unknown output file type"},
      {TempPath("c.y4m"), kSubtypeRgb24, "holds YUY2, UYVY or I420 frames, not RGB24"},
      {TempPath("c.y4m"), kSubtypeMjpg, "not MJPG"},
      {TempPath("c.mjpeg"), kSubtypeYuy2, "holds MJPG frames, not YUY2"},
      {"/nonexistent-dir/c.yuv", kSubtypeYuy2, "cannot write /nonexistent-dir/c.yuv: No such file"},
  };
  for (const auto& c : cases) {
    std::string error;
    EXPECT_FALSE(VideoFileWriter::Open(c.path, {64, 48, c.subtype, 333333}, &error));
    EXPECT_NE(error.find(c.words), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

// Top-down RGB of a YUY2 frame through the driver's conversion.
Bytes RgbOfYuy2(const Bytes& yuy2, uint32_t w, uint32_t h) {
  ColorTables t;
  BuildColorTables(&t);
  Bytes bgr(size_t(w) * h * 3), rgb(bgr.size());
  ConvertYuy2ToRgb24(&t, bgr.data(), yuy2.data(), w, h);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) rgb[(size_t(y) * w + x) * 3 + k] = bgr[(size_t(h - 1 - y) * w + x) * 3 + 2 - k];
  return rgb;
}

TEST(OutputFilesTest, PngFromEveryDeliveredSubtype) {
  const uint32_t w = 6, h = 4;
  // YUY2 with one chroma pair per 2 x 2 block, so I420 carries it exactly.
  Bytes yuy2 = Random(size_t(w) * h * 2, 5);
  for (uint32_t y = 1; y < h; y += 2) memcpy(&yuy2[size_t(y) * w * 2], &yuy2[size_t(y - 1) * w * 2], w * 2);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x) yuy2[(size_t(y) * w + x) * 2] = uint8_t(16 + 11 * x + 37 * y);
  Bytes uyvy(yuy2.size()), i420(I420FrameSize(w, h));
  SwapYuy2ToUyvy(uyvy.data(), yuy2.data(), yuy2.size());
  ConvertYuy2ToI420(i420.data(), yuy2.data(), w, h);
  const Bytes expected = RgbOfYuy2(yuy2, w, h);

  // RGB24 bottom-up with padded rows (stride 20 for width 6).
  const Bytes rgb24 = Random(20 * h, 6);
  Bytes rgbExpected(size_t(w) * h * 3);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t x = 0; x < w; ++x)
      for (int k = 0; k < 3; ++k) rgbExpected[(y * w + x) * 3 + k] = rgb24[(h - 1 - y) * 20 + x * 3 + 2 - k];

  // MJPG at an odd size: the PNG has the frame's size, decoded by our decoder.
  mjpeg_fixtures::EncodeOptions o;
  o.width = 21, o.height = 9;
  const Bytes jpeg = mjpeg_fixtures::CameraLayout(mjpeg_fixtures::Encode(o), true);
  Bytes decoded(24 * 10 * 2), scratch(32 * 16 * 3), jpegYuy2(21 * 9 * 2);
  ASSERT_EQ(DecodeMjpegStill(decoded.data(), ULONG(decoded.size()), jpeg.data(), ULONG(jpeg.size()),
                             scratch.data(), ULONG(scratch.size())), 0);
  for (int y = 0; y < 9; ++y) memcpy(&jpegYuy2[y * 42], &decoded[y * 48], 42);

  const struct { GUID subtype; const Bytes& frame; const Bytes& want; uint32_t ww, wh; } cases[] = {
      {kSubtypeYuy2, yuy2, expected, w, h},     {kSubtypeUyvy, uyvy, expected, w, h},
      {kSubtypeI420, i420, expected, w, h},     {kSubtypeRgb24, rgb24, rgbExpected, w, h},
      {kSubtypeMjpg, jpeg, RgbOfYuy2(jpegYuy2, 21, 9), 21, 9},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.subtype.Data1);
    const std::string path = TempPath("d.png");
    std::string error;
    ASSERT_TRUE(WritePng(path, c.frame.data(), c.frame.size(), c.subtype, w, h, &error)) << error;
    Bytes got;
    uint32_t gw = 0, gh = 0;
    ASSERT_TRUE(ReadPng(path, &got, &gw, &gh));
    EXPECT_EQ(gw, c.ww);
    EXPECT_EQ(gh, c.wh);
    EXPECT_TRUE(got == c.want);
    // One byte short, or a broken MJPG: refused with a reason.
    EXPECT_FALSE(WritePng(path, c.frame.data(), c.frame.size() / 2, c.subtype, w, h, &error));
    EXPECT_FALSE(error.empty());
  }
}

}  // namespace
