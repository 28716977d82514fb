// The USB layer against the simulated camera: every profile comes up with
// the tables its own description of itself calls for.
#include <algorithm>

#include "camera/simulated_camera.h"
#include "tests/usb/camera_rig.h"
#include "usb/usb_bringup.h"

namespace {

using SimRig = rig::RigOf<std::unique_ptr<camera::SimulatedCamera>>;

class SimulatedCameraTest : public rig::UsbTest {};

// What the tables must hold for a camera, worked out from the camera's own
// description of itself rather than from the driver's code.
void CheckAgainstLayout(const camera::CameraLayout& layout, bool highSpeed, const StreamEngine* e,
                        const std::string& what) {
  SCOPED_TRACE(what);
  bool mjpeg = std::any_of(layout.formats.begin(), layout.formats.end(),
                           [](const camera::FormatInfo& f) { return f.kind == camera::FormatKind::kMjpeg; });
  size_t own = 0;
  std::vector<std::pair<uint16_t, uint16_t>> stills;  // the last still descriptor's sizes
  for (const auto& f : layout.formats) {
    if (f.kind != camera::FormatKind::kFrameBased && (!mjpeg || f.kind == camera::FormatKind::kMjpeg))
      own += f.frames.size();
    if (!f.stillSizes.empty()) stills = f.stillSizes;
  }
  ASSERT_GE(e->formatCount, own);
  EXPECT_LE(e->formatCount, own + (highSpeed ? 6 : 0));
  for (ULONG i = 0; i < e->formatCount; ++i) {
    const FrameFormat& t = e->formatTable[i];
    const camera::FrameInfo* frame = nullptr;
    for (const auto& f : layout.formats)
      for (const auto& fr : f.frames)
        if (f.index == t.formatIndex && fr.index == t.frameIndex) frame = &fr;
    ASSERT_NE(frame, nullptr) << "entry " << i;
    EXPECT_EQ(std::make_tuple(t.inputWidth, t.inputHeight, t.defaultInterval),
              std::make_tuple(ULONG(frame->width), ULONG(frame->height), ULONG(frame->defaultInterval))) << i;
    EXPECT_TRUE(!mjpeg || (IsEqualGUID(t.inputSubtype, kSubtypeMjpg) && IsEqualGUID(t.outputSubtype, kSubtypeYuy2)));
  }
  ASSERT_EQ(e->stillCount, stills.size());
  for (ULONG i = 0; i < e->stillCount; ++i)
    EXPECT_EQ(std::make_pair(uint16_t(e->stillTable[i].inputWidth), uint16_t(e->stillTable[i].inputHeight)),
              stills[i]);
  EXPECT_EQ(e->endpointType, layout.bulk ? kEndpointBulk : kEndpointIsochronous);
  EXPECT_EQ(e->hasInterruptPipe != 0, layout.hasInterruptEndpoint);
  EXPECT_EQ(e->controlInterface, layout.controlInterface);
  EXPECT_EQ(e->streamingInterface, layout.streamingInterface);
  EXPECT_EQ(e->packetsPerTransfer, highSpeed ? 256u : 32u);
  EXPECT_EQ(e->highSpeed, highSpeed ? 1u : 0u);
}

TEST_F(SimulatedCameraTest, EveryProfileAndADescriptorDumpComeUpWithTheTablesTheyDescribe) {
  auto profiles = rig::Profiles();
  ASSERT_GE(profiles.size(), 6u) << UVCCAM_PROFILE_DIR;
  profiles.push_back("dump");  // the default camera's descriptors, at full speed
  for (const std::string& p : profiles) {
    std::string error;
    auto cam = p == "dump" ? camera::SimulatedCameraFromDescriptors(
                                 camera::DefaultSimulatedCamera()->DescriptorDump(), true, &error)
                           : camera::SimulatedCameraFromProfileFile(p, &error);
    ASSERT_NE(cam, nullptr) << p << ": " << error;
    bool hs = cam->HighSpeed();
    camera::CameraLayout layout = cam->Layout();
    SimRig rig(std::move(cam));
    UsbBringUpStep step;
    ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << p << " at " << BringUpStepName(step);
    CheckAgainstLayout(layout, hs, rig.engine, p);
    EXPECT_EQ(rig.bus.Rejected(), 0u) << p << ": " << rig.bus.LastRejectionReason();
    EXPECT_EQ(rig.camera->CurrentConfiguration(), layout.configurationValue) << p;
    EXPECT_EQ(rig.camera->CurrentAlternateSetting(layout.streamingInterface), 0) << p;
  }
}

}  // namespace
