// The USB layer against the simulated camera: every profile, probe/commit
// with the camera's faults, and the alternate setting for each format.
#include <algorithm>

#include "camera/simulated_camera.h"
#include "tests/usb/camera_rig.h"
#include "usb/configuration.h"
#include "usb/format_table.h"
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

TEST_F(SimulatedCameraTest, EveryFormatNegotiatesAndGetsTheFirstWideEnoughAlternateSetting) {
  SimRig rig(camera::DefaultSimulatedCamera());
  ASSERT_EQ(BringUpUsb(rig.engine, nullptr), STATUS_SUCCESS);
  for (ULONG i = 0; i < rig.engine->formatCount; ++i) {
    FrameFormat f = rig.engine->formatTable[i];
    ASSERT_EQ(SelectFormat(rig.engine, f.outputWidth, f.outputHeight, f.outputSubtype), STATUS_SUCCESS);
    ULONG payload = 0, packet = 0;
    ASSERT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS) << i;
    camera::ProbeControl committed;
    ASSERT_TRUE(rig.camera->CommittedProbe(&committed));
    EXPECT_EQ(std::make_tuple(ULONG(committed.bFormatIndex), ULONG(committed.bFrameIndex),
                              ULONG(committed.dwFrameInterval), ULONG(committed.dwMaxPayloadTransferSize)),
              std::make_tuple(f.formatIndex, f.frameIndex, f.defaultInterval, payload)) << i;
    ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, payload, 256, &packet), STATUS_SUCCESS)
        << "payload " << payload;
    EXPECT_GE(packet, payload);
    uint8_t expected = 0;  // by the camera's own numbers
    for (const auto& a : rig.camera->Layout().isoAlternateSettings)
      if (!expected && camera::EffectivePacketSize(a.second) >= payload) expected = a.first;
    EXPECT_EQ(rig.camera->CurrentAlternateSetting(1), expected) << "payload " << payload;
    EXPECT_TRUE(rig.bus.PipeHandleValid(rig.engine->streamPipe));
  }
  // A rejected probe and a zero payload size fail without a commit.
  ASSERT_EQ(SelectFormat(rig.engine, 640, 480, kSubtypeYuy2), STATUS_SUCCESS);
  uint32_t commits = rig.camera->CommitCount();
  for (int fault = 0; fault < 3; ++fault) {
    camera::CameraFaults faults;
    faults.rejectProbe = fault == 0;
    faults.zeroPayloadSize = fault == 1;
    rig.camera->SetFaults(faults);
    ULONG payload = 1;
    EXPECT_EQ(NegotiateStream(rig.engine, &payload), fault == 2 ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL) << fault;
    EXPECT_EQ(rig.camera->CommitCount(), commits + (fault == 2)) << fault;
    EXPECT_TRUE(fault != 1 || payload == 0) << payload;
  }
}

}  // namespace
