// Frames through the capture pin: every advertised size and subtype of
// every profile delivers exactly what the image code makes of the camera's
// frames; headers, frame information, pacing and time stamps.
#include "tests/capture/capture_rig.h"

namespace capture_test {
namespace {

class Frames : public CaptureRig {};

// Every capture range of every profile: a few frames each, every one equal
// to the pipeline's output for one of the played pictures, with DataUsed
// the output size and the frame information filled in.
TEST_F(Frames, EveryProfileEveryRangeDeliversThePipelineOutput) {
  int cases = 0;
  for (const std::string& profile : ProfileNames()) {
    SCOPED_TRACE(profile);
    Plug(profile);
    for (const Range& r : CaptureRanges()) {
      SCOPED_TRACE(std::to_string(r.width) + "x" + std::to_string(r.height) + " " +
                   std::to_string(r.subtype.Data1));
      Pin* pin = CreateCapture(r.width, r.height, r.subtype);
      ASSERT_TRUE(pin);
      std::vector<Bytes> expected = PlayKnownFrames(2, r.subtype);
      Bytes format = Format(kCapturePinId, r.width, r.height, r.subtype);
      ASSERT_EQ(pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
      auto frames = Collect(pin, 2, ImageSize(format));
      ASSERT_EQ(pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
      filter_->ClosePin(pin);
      if (getenv("TRACE_CASES")) fprintf(stderr, "%s %ux%u %08x frames %zu\n", profile.c_str(), r.width, r.height, unsigned(r.subtype.Data1), frames.size());
      ASSERT_EQ(frames.size(), 2u);
      int good = 0;
      for (const auto& f : frames) {
        if (f.data.empty()) continue;  // a tick without a frame completes nothing; never empty
        EXPECT_EQ(f.header.DataUsed, expected[0].size());
        bool match = std::find(expected.begin(), expected.end(), f.data) != expected.end();
        EXPECT_TRUE(match) << "a delivered frame is not the image code's output";
        good += match;
        KS_FRAME_INFO info = InfoOf(f);
        EXPECT_EQ(info.ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
        EXPECT_GE(info.PictureNumber, 1);
      }
      EXPECT_EQ(good, 2);
      ++cases;
    }
  }
  EXPECT_GT(cases, 50);
}

}  // namespace
}  // namespace capture_test
