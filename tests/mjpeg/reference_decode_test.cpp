// Real frames from libjpeg-turbo's encoder, decoded by both entries and every
// code path, and compared with libjpeg-turbo's own planar decode of the same file.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "mjpeg/mjpeg_decoder.h"
#include "tests/mjpeg/jpeg_fixtures.h"

namespace {

using namespace mjpeg_fixtures;

// Differences over one plane.
struct Difference {
  double sum = 0, squares = 0, count = 0;
  int max = 0;
  void Add(int a, int b) {
    const int d = std::abs(a - b);
    sum += d, squares += d * d, ++count, max = std::max(max, d);
  }
  double Mean() const { return sum / count; }
  double Psnr() const { return squares == 0 ? 99.0 : 10 * std::log10(255.0 * 255.0 * count / squares); }
};

// Compares a YUY2 frame (W' x H', W' = width rounded up to 4) with the
// reference planes over the image area and the chroma of its last pixel pair.
void Compare(const Bytes& yuy2, const Planar& ref, Sampling sampling, Difference* luma, Difference* chroma) {
  for (int y = 0; y < ref.height; ++y) {
    for (int x = 0; x < ((ref.width + 1) & ~1); ++x) {
      const uint8_t* pixel = &yuy2[(static_cast<size_t>(y) * ((ref.width + 3) & ~3) + x) * 2];
      const size_t at = static_cast<size_t>(sampling == Sampling::k420 ? y / 2 : y) * ref.chromaWidth + x / 2;
      if (x < ref.width) luma->Add(pixel[0], ref.y[static_cast<size_t>(y) * ref.width + x]);
      chroma->Add(pixel[1], ref.grey ? 128 : (x & 1 ? ref.cr : ref.cb)[at]);
    }
  }
}

using Case = EncodeOptions;

std::string CaseName(const Case& c) {
  const char* samplings[] = {"420", "422", "444", "grey"};
  char text[96];
  snprintf(text, sizeof(text), "%dx%d_%s_q%d_restart%u%s%s", c.width, c.height,
           samplings[static_cast<int>(c.sampling)], c.quality, c.restartInterval, c.optimize ? "_owntables" : "",
           c.busy ? "_busy" : "");
  return text;
}

class ReferenceDecodeTest : public ::testing::TestWithParam<Case> {
  void TearDown() override { MjpegSelectKernels(kMjpegKernelsBest); }
};

// Measured (printed below): within one level of libjpeg-turbo, PSNR 57-60 dB,
// mean 0.07-0.12; any real decoding fault is many levels off.
constexpr double kMinPsnr = 54.0, kMaxMeanDifference = 0.2;
constexpr int kMaxDifference = 2;

TEST_P(ReferenceDecodeTest, BothEntriesMatchLibjpegTurbo) {
  const Case c = GetParam();
  const Bytes encoded = Encode(c);
  Planar ref;
  ASSERT_TRUE(ReferenceDecode(encoded, &ref));

  // A device's frame buffer (3 x pixels), or the padded planes for tiny odd sizes.
  const size_t size = std::max<size_t>(static_cast<size_t>(3) * c.width * c.height,
                                       static_cast<size_t>((c.width + 15) & ~15) * ((c.height + 15) & ~15) * 2);
  const size_t outBytes = static_cast<size_t>((c.width + 3) & ~3) * ((c.height + 1) & ~1) * 2;
  Bytes scratch(size), video(size, 0xEE), still(size, 0xEE);
  // A frame with its own tables keeps them in both entries.
  const Bytes camera = CameraLayout(encoded, !c.optimize);
  ASSERT_EQ(Decode(false, video, camera, scratch), kMjpegOk);
  ASSERT_EQ(Decode(true, still, CameraLayout(encoded, false), scratch), kMjpegOk);
  // The entries agree to the byte; nothing is written past the output frame.
  EXPECT_TRUE(std::equal(video.begin(), video.begin() + outBytes, still.begin()));
  for (size_t i = outBytes; i < video.size(); ++i) ASSERT_EQ(video[i], 0xEE) << "written past the frame at " << i;

  Difference luma, chroma;
  Compare(video, ref, c.sampling, &luma, &chroma);
  printf("[ measure  ] %-34s luma PSNR %.2f dB mean %.3f max %d | chroma PSNR %.2f dB mean %.3f max %d\n",
         CaseName(c).c_str(), luma.Psnr(), luma.Mean(), luma.max, chroma.Psnr(), chroma.Mean(), chroma.max);
  for (const Difference* d : {&luma, &chroma}) {
    EXPECT_GE(d->Psnr(), kMinPsnr);
    EXPECT_LE(d->Mean(), kMaxMeanDifference);
    EXPECT_LE(d->max, kMaxDifference);
  }

  // The encoder's own layout and (standard tables) the webcam layout, with and
  // without fill before RSTn, give the camera layout's bytes in both entries.
  std::vector<Bytes> layouts = {encoded};
  if (!c.optimize) layouts.push_back(WebcamLayout(encoded, false));
  if (!c.optimize && c.restartInterval != 0) layouts.push_back(WebcamLayout(encoded, true));
  for (size_t i = 0; i < layouts.size(); ++i) {
    for (bool stillEntry : {false, true}) {
      Bytes out(size, 0x3C);
      ASSERT_EQ(Decode(stillEntry, out, layouts[i], scratch), kMjpegOk) << "layout " << i << " still " << stillEntry;
      EXPECT_TRUE(std::equal(video.begin(), video.begin() + outBytes, out.begin())) << "layout " << i;
    }
  }

  // Every code path gives the same bytes.
  for (MjpegKernels k : {kMjpegKernelsScalar, kMjpegKernelsSse2, kMjpegKernelsAvx2}) {
    MjpegSelectKernels(k);
    Bytes again(size, 0xEE);
    ASSERT_EQ(Decode(false, again, camera, scratch), kMjpegOk);
    EXPECT_TRUE(video == again) << "kernels " << k;
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
                      Case{320, 240, 85, Sampling::kGrey, 13}, Case{1280, 722, 70, Sampling::k420, 80},
                      Case{64, 48, 75, Sampling::k420, 1}, Case{640, 480, 75, Sampling::k420, 0, true},
                      Case{321, 243, 80, Sampling::k422, 3, true}, Case{320, 240, 85, Sampling::kGrey, 5, true},
                      Case{320, 240, 50, Sampling::k422, 0, false, 0, true},
                      Case{320, 240, 85, Sampling::k420, 0, false, 0, true},
                      Case{320, 240, 97, Sampling::k422, 0, false, 0, true}),
    [](const ::testing::TestParamInfo<Case>& info) { return CaseName(info.param); });

}  // namespace
