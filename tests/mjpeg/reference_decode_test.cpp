// Real frames from libjpeg-turbo's encoder, decoded by both entries and
// compared with libjpeg-turbo's own planar decode of the same file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "mjpeg/mjpeg_decoder.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using mjpeg_fixtures::CameraLayout;
using mjpeg_fixtures::Encode;
using mjpeg_fixtures::EncodeOptions;
using mjpeg_fixtures::Planar;
using mjpeg_fixtures::ReferenceDecode;
using mjpeg_fixtures::Sampling;

struct Difference {
  double mean = 0;
  int max = 0;
  double psnr = 0;
};

struct PlaneAccumulator {
  double sum = 0, squares = 0;
  long count = 0;
  int max = 0;
  void Add(int a, int b) {
    const int d = a > b ? a - b : b - a;
    sum += d;
    squares += static_cast<double>(d) * d;
    ++count;
    if (d > max) max = d;
  }
  Difference Result() const {
    Difference r;
    r.mean = sum / count;
    r.max = max;
    const double mse = squares / count;
    r.psnr = mse == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 / mse);
    return r;
  }
};

struct Comparison {
  Difference luma, chroma;
};

// Compares a YUY2 frame (W' x H', W' = width rounded up to 4) with the
// reference planes over the image area; each chroma sample is compared once.
Comparison Compare(const std::vector<uint8_t>& yuy2, const Planar& ref, Sampling sampling) {
  const int outWidth = (ref.width + 3) & ~3;
  PlaneAccumulator luma, chroma;
  for (int y = 0; y < ref.height; ++y) {
    const uint8_t* row = &yuy2[static_cast<size_t>(y) * outWidth * 2];
    for (int x = 0; x < ref.width; ++x) luma.Add(row[2 * x], ref.y[static_cast<size_t>(y) * ref.width + x]);
    if (ref.grey) {
      for (int x = 0; x < ref.width; ++x) chroma.Add(row[(x / 2) * 4 + 1 + (x & 1) * 2], 128);
      continue;
    }
    if (sampling == Sampling::k420 && (y & 1)) continue;
    const int chromaRow = sampling == Sampling::k420 ? y / 2 : y;
    for (int i = 0; i < ref.chromaWidth; ++i) {
      chroma.Add(row[4 * i + 1], ref.cb[static_cast<size_t>(chromaRow) * ref.chromaWidth + i]);
      chroma.Add(row[4 * i + 3], ref.cr[static_cast<size_t>(chromaRow) * ref.chromaWidth + i]);
    }
  }
  return {luma.Result(), chroma.Result()};
}

const char* SamplingName(Sampling s) {
  switch (s) {
    case Sampling::k420: return "4:2:0";
    case Sampling::k422: return "4:2:2";
    case Sampling::k444: return "4:4:4";
    default: return "grey";
  }
}

struct Case {
  int width, height, quality;
  Sampling sampling;
  unsigned restart;
};

std::string CaseName(const Case& c) {
  char text[96];
  snprintf(text, sizeof(text), "%dx%d %s q%d restart %u", c.width, c.height, SamplingName(c.sampling),
           c.quality, c.restart);
  return text;
}

// Frame-buffer size of a device whose largest frame is this one (3 x pixels),
// or more for tiny odd sizes whose padded planes exceed that.
size_t BufferSize(const Case& c) {
  const size_t fb = static_cast<size_t>(3) * c.width * c.height;
  const size_t padded = static_cast<size_t>((c.width + 15) / 16 * 16) * ((c.height + 15) / 16 * 16) * 2;
  return fb > padded ? fb : padded;
}

class ReferenceDecodeTest : public ::testing::TestWithParam<Case> {
 protected:
  void TearDown() override { MjpegSelectKernels(kMjpegKernelsBest); }
};

// Thresholds chosen from the measured differences (printed by the test):
// over all these frames the transform stays within one level of
// libjpeg-turbo's accurate IDCT, PSNR 57-60 dB, mean difference 0.07-0.12.
// The thresholds leave a little room above that. A wrong constant, a
// swapped Huffman table, a misplaced block or a wrong interleave gives
// differences of many levels and a PSNR far below these.
constexpr double kMinLumaPsnr = 54.0;
constexpr double kMinChromaPsnr = 54.0;
constexpr double kMaxMeanDifference = 0.2;
constexpr int kMaxDifference = 2;

TEST_P(ReferenceDecodeTest, BothEntriesMatchLibjpegTurbo) {
  const Case c = GetParam();
  EncodeOptions options;
  options.width = c.width;
  options.height = c.height;
  options.quality = c.quality;
  options.sampling = c.sampling;
  options.restartInterval = c.restart;
  const std::vector<uint8_t> encoded = Encode(options);
  Planar ref;
  ASSERT_TRUE(ReferenceDecode(encoded, &ref));

  const size_t size = BufferSize(c);
  const int outWidth = (c.width + 3) & ~3, outHeight = (c.height + 1) & ~1;
  const size_t outBytes = static_cast<size_t>(outWidth) * outHeight * 2;
  std::vector<uint8_t> scratch(size), video(size, 0xEE), still(size, 0xEE);

  const std::vector<uint8_t> camera = CameraLayout(encoded, true);
  const std::vector<uint8_t> stillFrame = CameraLayout(encoded, false);
  ASSERT_EQ(DecodeMjpeg(video.data(), video.size(), camera.data(), camera.size(), scratch.data(), scratch.size()),
            kMjpegOk);
  ASSERT_EQ(DecodeMjpegStill(still.data(), still.size(), stillFrame.data(), stillFrame.size(), scratch.data(),
                             scratch.size()),
            kMjpegOk);
  // Same tables, same arithmetic: the two entries agree to the byte, and
  // nothing is written past the output frame.
  EXPECT_TRUE(std::equal(video.begin(), video.begin() + outBytes, still.begin()));
  for (size_t i = outBytes; i < video.size(); ++i) ASSERT_EQ(video[i], 0xEE) << "written past the frame at " << i;

  const Comparison d = Compare(video, ref, c.sampling);
  printf("[ measure  ] %-34s luma PSNR %.2f dB mean %.3f max %d | chroma PSNR %.2f dB mean %.3f max %d\n",
         CaseName(c).c_str(), d.luma.psnr, d.luma.mean, d.luma.max, d.chroma.psnr, d.chroma.mean, d.chroma.max);
  EXPECT_GE(d.luma.psnr, kMinLumaPsnr);
  EXPECT_GE(d.chroma.psnr, kMinChromaPsnr);
  EXPECT_LE(d.luma.mean, kMaxMeanDifference);
  EXPECT_LE(d.chroma.mean, kMaxMeanDifference);
  EXPECT_LE(d.luma.max, kMaxDifference);
  EXPECT_LE(d.chroma.max, kMaxDifference);

  // The encoder's file as it is: one DQT segment per table, so the second
  // starts with table 1 (error 2); a grey frame has one table but not the
  // camera's DHT, which only the still entry accepts.
  std::vector<uint8_t> untouched(size, 0x3C);
  const LONG asIsVideo = DecodeMjpeg(untouched.data(), untouched.size(), encoded.data(), encoded.size(),
                                     scratch.data(), scratch.size());
  EXPECT_EQ(asIsVideo, c.sampling == Sampling::kGrey ? kMjpegErrorHuffmanTable : kMjpegErrorDqtTable);
  EXPECT_EQ(untouched, std::vector<uint8_t>(size, 0x3C));
  const LONG asIsStill = DecodeMjpegStill(untouched.data(), untouched.size(), encoded.data(), encoded.size(),
                                          scratch.data(), scratch.size());
  if (c.sampling == Sampling::kGrey) {
    EXPECT_EQ(asIsStill, kMjpegOk);
    EXPECT_TRUE(std::equal(video.begin(), video.begin() + outBytes, untouched.begin()));
  } else {
    EXPECT_EQ(asIsStill, kMjpegErrorDqtTable);
    EXPECT_EQ(untouched, std::vector<uint8_t>(size, 0x3C));
  }

  // Every code path gives the same bytes.
  for (MjpegKernels k : {kMjpegKernelsScalar, kMjpegKernelsSse2, kMjpegKernelsAvx2}) {
    MjpegSelectKernels(k);
    std::vector<uint8_t> again(size, 0xEE);
    ASSERT_EQ(DecodeMjpeg(again.data(), again.size(), camera.data(), camera.size(), scratch.data(),
                          scratch.size()),
              kMjpegOk);
    EXPECT_TRUE(std::equal(video.begin(), video.end(), again.begin())) << "kernels " << k;
  }
}

INSTANTIATE_TEST_SUITE_P(
    Frames, ReferenceDecodeTest,
    ::testing::Values(Case{640, 480, 75, Sampling::k422, 0}, Case{640, 480, 95, Sampling::k420, 0},
                      Case{640, 480, 50, Sampling::kGrey, 0}, Case{1280, 720, 85, Sampling::k422, 0},
                      Case{1280, 720, 60, Sampling::k420, 0}, Case{1280, 722, 80, Sampling::k420, 0},
                      Case{1280, 722, 90, Sampling::k422, 0}, Case{320, 240, 50, Sampling::k420, 0},
                      Case{320, 240, 95, Sampling::k422, 0}, Case{321, 243, 70, Sampling::k422, 0},
                      Case{333, 187, 90, Sampling::k420, 0}, Case{97, 61, 95, Sampling::kGrey, 0},
                      Case{18, 10, 75, Sampling::k420, 0}, Case{640, 480, 75, Sampling::k422, 7},
                      Case{640, 480, 90, Sampling::k420, 40}, Case{321, 243, 60, Sampling::k422, 1},
                      Case{320, 240, 85, Sampling::kGrey, 13}, Case{1280, 722, 70, Sampling::k420, 80}),
    [](const ::testing::TestParamInfo<Case>& info) {
      std::string name = CaseName(info.param);
      for (char& ch : name)
        if (!isalnum(static_cast<unsigned char>(ch))) ch = '_';
      return name;
    });

TEST(StandardTables, BuiltInTablesAreTheOnesTheEncoderWrites) {
  // libjpeg-turbo writes the four standard tables as separate DHT segments:
  // DC 0, AC 0, DC 1, AC 1. Their bodies concatenated are the standard
  // 418-byte segment's body.
  EncodeOptions options;
  options.width = 64;
  options.height = 32;
  std::vector<uint8_t> scan;
  const auto segments = mjpeg_fixtures::SplitHeaders(Encode(options), &scan);
  std::vector<uint8_t> encoder;
  for (const auto& s : segments)
    if (s.marker == 0xC4) encoder.insert(encoder.end(), s.body.begin(), s.body.end());
  std::vector<uint8_t> ours(kStandardDhtBodyBytes);
  WriteStandardDhtBody(ours.data());
  EXPECT_EQ(encoder, ours);
}

}  // namespace
