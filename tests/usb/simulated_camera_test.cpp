// The USB layer against the simulated camera: every profile, probe/commit
// with the camera's faults, and the alternate setting for each format.
#include <dirent.h>

#include <algorithm>
#include <nlohmann/json.hpp>

#include "camera/simulated_camera.h"
#include "tests/usb/fake_camera.h"
#include "usb/configuration.h"
#include "usb/format_table.h"
#include "usb/usb_bringup.h"

namespace {

using host::UsbRequestKind;

std::vector<std::string> Profiles() {
  std::vector<std::string> out;
  if (DIR* d = opendir(UVCCAM_PROFILE_DIR)) {
    while (dirent* e = readdir(d)) {
      std::string n = e->d_name;
      if (n.size() > 5 && n.compare(n.size() - 5, 5, ".json") == 0)
        out.push_back(std::string(UVCCAM_PROFILE_DIR) + "/" + n);
    }
    closedir(d);
  }
  std::sort(out.begin(), out.end());
  return out;
}

// A simulated camera on the bus with an engine above it.
struct SimRig {
  explicit SimRig(std::unique_ptr<camera::SimulatedCamera> c) : cam(std::move(c)), bus(cam.get()) {
    device = host::CreateKsDevice(bus.DeviceObject());
    engine = CreateStreamEngine(device);
  }
  ~SimRig() {
    FreeStreamEngine(engine);
    host::DestroyKsDevice(device);
  }
  std::unique_ptr<camera::SimulatedCamera> cam;
  host::UsbBus bus;
  PKSDEVICE device;
  StreamEngine* engine;
};

class SimulatedCameraTest : public fake::UsbTest {};

// What the tables must hold for a camera, worked out from the camera's own
// description of itself rather than from the driver's code.
void CheckAgainstLayout(const camera::CameraLayout& layout, bool highSpeed, const StreamEngine* e,
                        const std::string& what) {
  bool mjpeg = false;
  for (const auto& f : layout.formats) mjpeg = mjpeg || f.kind == camera::FormatKind::kMjpeg;
  size_t own = 0;
  for (const auto& f : layout.formats) {
    if (f.kind == camera::FormatKind::kFrameBased) continue;
    if (mjpeg && f.kind != camera::FormatKind::kMjpeg) continue;
    own += f.frames.size();
  }
  ASSERT_GE(e->formatCount, own) << what;
  if (highSpeed) {
    EXPECT_LE(e->formatCount, own + 6) << what;
  } else {
    EXPECT_EQ(e->formatCount, own) << what;
  }
  for (ULONG i = 0; i < e->formatCount; ++i) {
    const FrameFormat& t = e->formatTable[i];
    const camera::FormatInfo* format = nullptr;
    for (const auto& f : layout.formats)
      if (f.index == t.formatIndex) format = &f;
    ASSERT_NE(format, nullptr) << what << " entry " << i;
    const camera::FrameInfo* frame = nullptr;
    for (const auto& fr : format->frames)
      if (fr.index == t.frameIndex) frame = &fr;
    ASSERT_NE(frame, nullptr) << what << " entry " << i;
    EXPECT_EQ(t.inputWidth, frame->width) << what << " entry " << i;
    EXPECT_EQ(t.inputHeight, frame->height) << what << " entry " << i;
    EXPECT_EQ(t.defaultInterval, frame->defaultInterval) << what << " entry " << i;
    if (mjpeg) {
      EXPECT_TRUE(IsEqualGUID(t.inputSubtype, kSubtypeMjpg)) << what << " entry " << i;
      EXPECT_TRUE(IsEqualGUID(t.outputSubtype, kSubtypeYuy2)) << what << " entry " << i;
    }
  }
  // Stills: the last still descriptor's sizes.
  std::vector<std::pair<uint16_t, uint16_t>> stills;
  for (const auto& f : layout.formats)
    if (!f.stillSizes.empty()) stills = f.stillSizes;
  ASSERT_EQ(e->stillCount, stills.size()) << what;
  for (ULONG i = 0; i < e->stillCount; ++i) {
    EXPECT_EQ(e->stillTable[i].inputWidth, stills[i].first) << what;
    EXPECT_EQ(e->stillTable[i].inputHeight, stills[i].second) << what;
  }
  EXPECT_EQ(e->endpointType, layout.bulk ? kEndpointBulk : kEndpointIsochronous) << what;
  EXPECT_EQ(e->hasInterruptPipe != 0, layout.hasInterruptEndpoint) << what;
  EXPECT_EQ(e->controlInterface, layout.controlInterface) << what;
  EXPECT_EQ(e->streamingInterface, layout.streamingInterface) << what;
  EXPECT_EQ(e->packetsPerTransfer, highSpeed ? 256u : 32u) << what;
}

TEST_F(SimulatedCameraTest, EveryProfileComesUpWithTheTablesItDescribes) {
  auto profiles = Profiles();
  ASSERT_GE(profiles.size(), 6u) << UVCCAM_PROFILE_DIR;
  for (const std::string& p : profiles) {
    std::string error;
    auto cam = camera::SimulatedCameraFromProfileFile(p, &error);
    ASSERT_NE(cam, nullptr) << p << ": " << error;
    bool hs = cam->HighSpeed();
    camera::CameraLayout layout = cam->Layout();
    SimRig rig(std::move(cam));
    UsbBringUpStep step;
    ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << p << " at " << BringUpStepName(step);
    CheckAgainstLayout(layout, hs, rig.engine, p);
    EXPECT_EQ(rig.bus.Rejected(), 0u) << p << ": " << rig.bus.LastRejectionReason();
    EXPECT_EQ(rig.cam->CurrentConfiguration(), layout.configurationValue) << p;
    EXPECT_EQ(rig.cam->CurrentAlternateSetting(layout.streamingInterface), 0) << p;
  }
}

TEST_F(SimulatedCameraTest, DescriptorDumpAtFullSpeedHasNoScaledSizes) {
  auto source = camera::DefaultSimulatedCamera();
  std::string error;
  auto dump = camera::SimulatedCameraFromDescriptors(source->DescriptorDump(), true, &error);
  ASSERT_NE(dump, nullptr) << error;
  camera::CameraLayout layout = dump->Layout();
  SimRig rig(std::move(dump));
  ASSERT_EQ(BringUpUsb(rig.engine, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(rig.engine->highSpeed, 0u);
  CheckAgainstLayout(layout, false, rig.engine, "dump");
}

TEST_F(SimulatedCameraTest, EveryFormatNegotiatesAndGetsAWideEnoughAlternateSetting) {
  SimRig rig(camera::DefaultSimulatedCamera());
  ASSERT_EQ(BringUpUsb(rig.engine, nullptr), STATUS_SUCCESS);
  const auto& alts = rig.cam->Layout().isoAlternateSettings;
  for (ULONG i = 0; i < rig.engine->formatCount; ++i) {
    FrameFormat f = rig.engine->formatTable[i];
    ASSERT_EQ(SelectFormat(rig.engine, f.outputWidth, f.outputHeight, f.outputSubtype), STATUS_SUCCESS);
    ULONG payload = 0;
    ASSERT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS) << i;
    camera::ProbeControl committed;
    ASSERT_TRUE(rig.cam->CommittedProbe(&committed));
    EXPECT_EQ(committed.bFormatIndex, f.formatIndex) << i;
    EXPECT_EQ(committed.bFrameIndex, f.frameIndex) << i;
    EXPECT_EQ(committed.dwFrameInterval, f.defaultInterval) << i;
    EXPECT_EQ(committed.dwMaxPayloadTransferSize, payload) << i;
    ULONG packet = 0;
    ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, payload, 256, &packet), STATUS_SUCCESS)
        << "payload " << payload;
    EXPECT_GE(packet, payload);
    // The first alternate setting wide enough, by the camera's own numbers.
    uint8_t expected = 0;
    for (const auto& a : alts) {
      if (camera::EffectivePacketSize(a.second) >= payload) {
        expected = a.first;
        break;
      }
    }
    EXPECT_EQ(rig.cam->CurrentAlternateSetting(1), expected) << "payload " << payload;
    EXPECT_TRUE(rig.bus.PipeHandleValid(rig.engine->streamPipe));
  }
}

TEST_F(SimulatedCameraTest, RejectedProbeAndZeroPayloadFailWithoutCommit) {
  SimRig rig(camera::DefaultSimulatedCamera());
  ASSERT_EQ(BringUpUsb(rig.engine, nullptr), STATUS_SUCCESS);
  ASSERT_EQ(SelectFormat(rig.engine, 640, 480, kSubtypeYuy2), STATUS_SUCCESS);
  ULONG payload = 1;
  camera::CameraFaults faults;
  faults.rejectProbe = true;
  rig.cam->SetFaults(faults);
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.cam->CommitCount(), 0u);
  faults.rejectProbe = false;
  faults.zeroPayloadSize = true;
  rig.cam->SetFaults(faults);
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.cam->CommitCount(), 0u);
  EXPECT_EQ(payload, 0u);
  rig.cam->SetFaults(camera::CameraFaults());
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS);
  EXPECT_EQ(rig.cam->CommitCount(), 1u);
}

}  // namespace
