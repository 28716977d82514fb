// The camera's control endpoint: standard requests and strings, probe/commit
// negotiation, still controls, unit controls, faults and vendor requests.
#include <gtest/gtest.h>

#include <atomic>
#include <nlohmann/json.hpp>
#include <thread>

#include "camera_test_util.h"

namespace {

using camtest::In;
using camtest::Out;
using camtest::UnitGet;
using camtest::UnitSet;

constexpr uint8_t kSetCur = 0x01, kGetCur = 0x81, kGetMin = 0x82, kGetMax = 0x83, kGetRes = 0x84,
                  kGetLen = 0x85, kGetInfo = 0x86, kGetDef = 0x87;
constexpr uint8_t kCt = 1, kPu = 2, kXu = 3;
constexpr uint16_t kStreaming = 1;

std::vector<uint8_t> Probe(uint8_t format, uint8_t frame, uint32_t interval) {
  camera::ProbeControl p;
  p.bmHint = 1;
  p.bFormatIndex = format;
  p.bFrameIndex = frame;
  p.dwFrameInterval = interval;
  std::vector<uint8_t> bytes(26);
  p.ToBytes(bytes.data());
  return bytes;
}

camera::ProbeControl ReadProbe(host::UsbDeviceModel& cam, uint8_t request = kGetCur,
                               uint8_t selector = 1) {
  auto r = In(cam, 0xA1, request, uint16_t(selector << 8), kStreaming, 26);
  EXPECT_FALSE(r.stalled);
  EXPECT_EQ(r.bytes.size(), 26u);
  r.bytes.resize(26);
  return camera::ProbeControl::FromBytes(r.bytes.data());
}

std::unique_ptr<camera::SimulatedCamera> WithProfileEdit(
    const std::function<void(nlohmann::json&)>& edit) {
  auto profile = nlohmann::json::parse(camera::DefaultProfileJson());
  edit(profile);
  std::string error;
  auto cam = camera::SimulatedCameraFromProfile(profile.dump(), &error);
  EXPECT_TRUE(cam) << error;
  return cam;
}

// ---- standard requests ----

TEST(CameraStandardRequests, DescriptorsHonourWLength) {
  auto cam = camera::DefaultCamera();
  auto dev = In(*cam, 0x80, 6, 0x0100, 0, 64);
  ASSERT_FALSE(dev.stalled);
  EXPECT_EQ(dev.bytes, cam->DeviceDescriptor());
  auto head = In(*cam, 0x80, 6, 0x0200, 0, 9);
  ASSERT_FALSE(head.stalled);
  EXPECT_EQ(head.bytes, std::vector<uint8_t>(cam->ConfigurationDescriptor().begin(),
                                             cam->ConfigurationDescriptor().begin() + 9));
  auto whole = In(*cam, 0x80, 6, 0x0200, 0, 0xFFFF);
  EXPECT_EQ(whole.bytes, cam->ConfigurationDescriptor());
  EXPECT_TRUE(In(*cam, 0x80, 6, 0x0201, 0, 9).stalled);  // only one configuration
  EXPECT_TRUE(In(*cam, 0x80, 6, 0x2100, 0, 9).stalled);  // unknown type
  // High speed: a device qualifier exists.
  auto q = In(*cam, 0x80, 6, 0x0600, 0, 10);
  ASSERT_FALSE(q.stalled);
  EXPECT_EQ(q.bytes.size(), 10u);
  EXPECT_EQ(q.bytes[1], 6);
}

TEST(CameraStandardRequests, StringsAsTheDriverReadsThem) {
  auto cam = camera::DefaultCamera();
  auto langs = In(*cam, 0x80, 6, 0x0300, 0, 255);
  EXPECT_EQ(langs.bytes, (std::vector<uint8_t>{4, 3, 0x09, 0x04}));
  const uint8_t iProduct = cam->DeviceDescriptor()[15];
  ASSERT_NE(iProduct, 0);
  // First a 4-byte read for bLength, then the whole descriptor.
  auto head = In(*cam, 0x80, 6, uint16_t(0x0300 | iProduct), 0x0409, 4);
  ASSERT_EQ(head.bytes.size(), 4u);
  const std::string product = "uvccam simulated camera";
  EXPECT_EQ(head.bytes[0], 2 + 2 * product.size());
  EXPECT_EQ(head.bytes[1], 3);
  EXPECT_EQ(head.bytes[2], 'u');
  EXPECT_EQ(head.bytes[3], 0);
  auto full = In(*cam, 0x80, 6, uint16_t(0x0300 | iProduct), 0x0409, head.bytes[0]);
  ASSERT_EQ(full.bytes.size(), head.bytes[0]);
  std::string text;
  for (size_t i = 2; i < full.bytes.size(); i += 2) text.push_back(char(full.bytes[i]));
  EXPECT_EQ(text, product);
  EXPECT_TRUE(In(*cam, 0x80, 6, 0x0309, 0x0409, 255).stalled);
}

TEST(CameraStandardRequests, ConfigurationAndInterfaces) {
  auto cam = camera::DefaultSimulatedCamera();
  EXPECT_EQ(In(*cam, 0x80, 8, 0, 0, 1).bytes, std::vector<uint8_t>{0});
  EXPECT_FALSE(Out(*cam, 0x00, 9, 2, 0, {}));
  EXPECT_TRUE(Out(*cam, 0x00, 9, 1, 0, {}));
  EXPECT_EQ(In(*cam, 0x80, 8, 0, 0, 1).bytes, std::vector<uint8_t>{1});
  EXPECT_TRUE(Out(*cam, 0x01, 11, 7, 1, {}));
  EXPECT_EQ(cam->CurrentAlternateSetting(1), 7);
  EXPECT_EQ(In(*cam, 0x81, 10, 0, 1, 1).bytes, std::vector<uint8_t>{7});
  EXPECT_FALSE(Out(*cam, 0x01, 11, 8, 1, {}));  // no alternate setting 8
  EXPECT_FALSE(Out(*cam, 0x01, 11, 1, 0, {}));  // the control interface has only 0
  EXPECT_EQ(cam->CurrentAlternateSetting(1), 7);
  cam->InterfaceSelected(1, 2);
  EXPECT_EQ(In(*cam, 0x81, 10, 0, 1, 1).bytes, std::vector<uint8_t>{2});
  cam->ConfigurationSelected(1);
  EXPECT_EQ(cam->CurrentAlternateSetting(1), 0);
  EXPECT_EQ(In(*cam, 0x80, 0, 0, 0, 2).bytes.size(), 2u);
  // Endpoint halt on the streaming endpoint, not on one that does not exist.
  EXPECT_TRUE(Out(*cam, 0x02, 3, 0, 0x81, {}));
  EXPECT_EQ(In(*cam, 0x82, 0, 0, 0x81, 2).bytes, (std::vector<uint8_t>{1, 0}));
  EXPECT_TRUE(Out(*cam, 0x02, 1, 0, 0x81, {}));
  EXPECT_EQ(In(*cam, 0x82, 0, 0, 0x81, 2).bytes, (std::vector<uint8_t>{0, 0}));
  EXPECT_FALSE(Out(*cam, 0x02, 1, 0, 0x85, {}));
  EXPECT_TRUE(In(*cam, 0x80, 0x33, 0, 0, 4).stalled);  // unknown standard request
}

// ---- probe and commit ----

TEST(CameraProbeCommit, DefaultProbeDescribesTheDefaultFrame) {
  auto cam = camera::DefaultCamera();
  camera::ProbeControl def = ReadProbe(*cam, kGetDef);
  EXPECT_EQ(def.bFormatIndex, 1);  // MJPEG
  EXPECT_EQ(def.bFrameIndex, 5);   // 640x480
  EXPECT_EQ(def.dwFrameInterval, 333333u);
  EXPECT_EQ(def.dwMaxVideoFrameSize, 640u * 480);
  EXPECT_GT(def.dwMaxPayloadTransferSize, 0u);
  camera::ProbeControl cur = ReadProbe(*cam);
  EXPECT_EQ(cur.bFormatIndex, def.bFormatIndex);
  EXPECT_EQ(cur.bFrameIndex, def.bFrameIndex);
  auto len = In(*cam, 0xA1, kGetLen, 0x0100, kStreaming, 2);
  EXPECT_EQ(len.bytes, (std::vector<uint8_t>{26, 0}));
  // A 34-byte read (a newer host) gets the 26 bytes the camera has.
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0100, kStreaming, 34).bytes.size(), 26u);
}

TEST(CameraProbeCommit, NegotiatesTheDriverSequence) {
  auto cam = camera::DefaultSimulatedCamera();
  // GET_CUR, patch format/frame/interval, SET_CUR, GET_CUR, SET_CUR commit.
  auto r = In(*cam, 0xA1, kGetCur, 0x0100, kStreaming, 26);
  ASSERT_EQ(r.bytes.size(), 26u);
  std::vector<uint8_t> buf = r.bytes;
  buf[2] = 2;  // YUY2
  buf[3] = 5;  // 640x480
  const uint32_t interval = 333333;
  for (int i = 0; i < 4; ++i) buf[4 + i] = uint8_t(interval >> (8 * i));
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, buf));
  camera::ProbeControl p = ReadProbe(*cam);
  EXPECT_EQ(p.bFormatIndex, 2);
  EXPECT_EQ(p.bFrameIndex, 5);
  EXPECT_EQ(p.dwFrameInterval, 333333u);
  EXPECT_EQ(p.dwMaxVideoFrameSize, 614400u);
  // 614400 bytes every 1/30 s over 8000 microframes a second need 2304
  // bytes plus a header per microframe: the 3072-byte setting is the first
  // that fits.
  EXPECT_EQ(p.dwMaxPayloadTransferSize, 3072u);
  std::vector<uint8_t> back(26);
  p.ToBytes(back.data());
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0200, kStreaming, back));
  camera::ProbeControl committed;
  ASSERT_TRUE(cam->CommittedProbe(&committed));
  EXPECT_EQ(committed.bFormatIndex, 2);
  EXPECT_EQ(committed.bFrameIndex, 5);
  EXPECT_EQ(cam->CommitCount(), 1u);
  EXPECT_EQ(cam->ProbeSetCount(), 1u);
  camera::ProbeControl c = ReadProbe(*cam, kGetCur, 2);
  EXPECT_EQ(c.dwMaxVideoFrameSize, 614400u);
}

TEST(CameraProbeCommit, PayloadFollowsTheBandwidthOfTheChoice) {
  auto cam = camera::DefaultSimulatedCamera();
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 1, 2000000)));
  // 160x120x2 at 5 fps: 38400 * 1250 / 2000000 = 24 bytes + 12: the smallest setting.
  EXPECT_EQ(ReadProbe(*cam).dwMaxPayloadTransferSize, 128u);
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 7, 1000000)));
  // 1280x720x2 at 10 fps: 2304 + 12 bytes per microframe.
  EXPECT_EQ(ReadProbe(*cam).dwMaxPayloadTransferSize, 3072u);
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 3, 333333)));
  // MJPEG 320x240 bound 76800 bytes at 30 fps: 288 + 12.
  EXPECT_EQ(ReadProbe(*cam).dwMaxPayloadTransferSize, 512u);

  auto largest =
      WithProfileEdit([](nlohmann::json& p) { p["streaming"]["payloadSize"] = "largest"; });
  ASSERT_TRUE(Out(*largest, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 1, 2000000)));
  EXPECT_EQ(ReadProbe(*largest).dwMaxPayloadTransferSize, 3072u);

  std::string error;
  auto bulk = camera::SimulatedCameraFromProfileFile(camtest::ProfilePath("bulk.json"), &error);
  ASSERT_TRUE(bulk) << error;
  ASSERT_TRUE(Out(*bulk, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 5, 333333)));
  EXPECT_EQ(ReadProbe(*bulk).dwMaxPayloadTransferSize, 32768u);

  auto full =
      camera::SimulatedCameraFromProfileFile(camtest::ProfilePath("full_speed.json"), &error);
  ASSERT_TRUE(full) << error;
  ASSERT_TRUE(Out(*full, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 1, 1000000)));
  EXPECT_TRUE(In(*full, 0x80, 6, 0x0600, 0, 10).stalled);  // full speed only: no qualifier
  // 38400 bytes at 10 fps over 1000 frames a second: 384 + 12 per frame.
  EXPECT_EQ(ReadProbe(*full).dwMaxPayloadTransferSize, 512u);
}

TEST(CameraProbeCommit, PicksTheNearestSupportedInterval) {
  auto cam = camera::DefaultSimulatedCamera();
  struct Case {
    uint8_t format, frame;
    uint32_t asked, expected;
  } cases[] = {
      {1, 5, 350000, 333333},  // discrete: nearest
      {1, 5, 450000, 400000},  // equal distance to 400000 and 500000: the faster
      {1, 5, 99999999, 2000000},
      {1, 5, 1, 333333},
      {1, 5, 0, 333333},       // zero: the frame's default
      {2, 3, 700000, 666666},  // continuous with step 333333 from 333333
      {2, 3, 10, 333333},
      {2, 3, 5000000, 1999998},  // clamped to max, then onto the step grid
      {2, 7, 1300000, 1500000},  // 1000000..2000000 step 500000
      {2, 7, 0, 1000000},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(c.format, c.frame, c.asked)));
    EXPECT_EQ(ReadProbe(*cam).dwFrameInterval, c.expected)
        << int(c.format) << "/" << int(c.frame) << " " << c.asked;
  }
  // Equal distance in a list given slowest first still picks the faster.
  auto descending = WithProfileEdit([](nlohmann::json& p) {
    p["formats"][0]["frames"][0]["intervals"] = {1000000, 500000};
  });
  ASSERT_TRUE(Out(*descending, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 1, 750000)));
  EXPECT_EQ(ReadProbe(*descending).dwFrameInterval, 500000u);
  // GET_MIN / GET_MAX bound the interval of the probed frame.
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(2, 7, 0)));
  EXPECT_EQ(ReadProbe(*cam, kGetMin).dwFrameInterval, 1000000u);
  EXPECT_EQ(ReadProbe(*cam, kGetMax).dwFrameInterval, 2000000u);
}

TEST(CameraProbeCommit, RefusesUnknownFormatsAndFrames) {
  auto cam = camera::DefaultSimulatedCamera();
  const camera::ProbeControl before = cam->CurrentProbe();
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(3, 1, 333333)));
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(0, 1, 333333)));
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 8, 333333)));
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0200, kStreaming, Probe(1, 0, 333333)));
  // The request error code says why.
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes, std::vector<uint8_t>{0x04});
  // Short data, wrong direction, unknown selector, an entity on the streaming interface.
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, std::vector<uint8_t>(25)));
  EXPECT_TRUE(In(*cam, 0xA1, kSetCur, 0x0100, kStreaming, 26).stalled);
  EXPECT_TRUE(In(*cam, 0xA1, kGetCur, 0x0F00, kStreaming, 26).stalled);
  EXPECT_TRUE(In(*cam, 0xA1, kGetCur, 0x0100, 0x0100 | kStreaming, 26).stalled);
  EXPECT_TRUE(In(*cam, 0xA1, kGetCur, 0x0100, 7, 26).stalled);  // no interface 7
  const camera::ProbeControl after = cam->CurrentProbe();
  EXPECT_EQ(after.bFormatIndex, before.bFormatIndex);
  EXPECT_EQ(after.bFrameIndex, before.bFrameIndex);
  camera::ProbeControl unused;
  EXPECT_FALSE(cam->CommittedProbe(&unused));
  EXPECT_GE(cam->StallCount(), 9u);
}

TEST(CameraFaults, RejectProbeAndZeroPayload) {
  auto rejecting = WithProfileEdit([](nlohmann::json& p) {
    p["faults"] = {{"rejectProbe", true}};
  });
  EXPECT_TRUE(rejecting->Faults().rejectProbe);
  EXPECT_FALSE(Out(*rejecting, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 1, 333333)));
  EXPECT_EQ(rejecting->ProbeSetCount(), 0u);
  EXPECT_FALSE(ReadProbe(*rejecting).dwMaxPayloadTransferSize == 0);

  auto zero = WithProfileEdit([](nlohmann::json& p) { p["faults"] = {{"zeroPayloadSize", true}}; });
  ASSERT_TRUE(Out(*zero, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 1, 333333)));
  EXPECT_EQ(ReadProbe(*zero).dwMaxPayloadTransferSize, 0u);
  EXPECT_GT(ReadProbe(*zero).dwMaxVideoFrameSize, 0u);

  // Faults can be switched at run time too.
  auto cam = camera::DefaultSimulatedCamera();
  camera::CameraFaults f;
  f.rejectProbe = true;
  cam->SetFaults(f);
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 1, 333333)));
  cam->SetFaults(camera::CameraFaults());
  EXPECT_TRUE(Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(1, 1, 333333)));
}

// ---- still image controls ----

TEST(CameraStill, CommitAndTrigger) {
  auto cam = camera::DefaultSimulatedCamera();
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0200, kStreaming, Probe(1, 5, 333333)));
  // The driver sends its 26-byte probe buffer with byte 1 set to the still index.
  std::vector<uint8_t> buf = Probe(1, 5, 333333);
  buf[1] = 2;  // second still size: 1280x720
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0400, kStreaming, buf));
  camera::StillProbeControl still;
  ASSERT_TRUE(cam->CommittedStill(&still));
  EXPECT_EQ(still.bFormatIndex, 1);
  EXPECT_EQ(still.bFrameIndex, 2);
  EXPECT_EQ(still.dwMaxVideoFrameSize, 1280u * 720);
  auto r = In(*cam, 0xA1, kGetCur, 0x0400, kStreaming, 11);
  ASSERT_EQ(r.bytes.size(), 11u);
  EXPECT_EQ(r.bytes[1], 2);
  // Still probe: default is the first size; a bad index stalls.
  auto def = In(*cam, 0xA1, kGetDef, 0x0300, kStreaming, 11);
  ASSERT_EQ(def.bytes.size(), 11u);
  EXPECT_EQ(def.bytes[1], 1);
  auto mx = In(*cam, 0xA1, kGetMax, 0x0300, kStreaming, 11);
  EXPECT_EQ(mx.bytes[1], 4);
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0300, kStreaming, {1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0300, kStreaming, {1, 1, 0}));  // too short
  EXPECT_TRUE(Out(*cam, 0x21, kSetCur, 0x0300, kStreaming, {2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}));
  auto cur = In(*cam, 0xA1, kGetCur, 0x0300, kStreaming, 11);
  EXPECT_EQ(camtest::Le32(cur.bytes, 3), 320u * 240 * 2);  // YUY2 still

  EXPECT_EQ(cam->StillTriggerCount(), 0u);
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0500, kStreaming, {1}));
  EXPECT_EQ(cam->StillTriggerCount(), 1u);
  EXPECT_EQ(cam->LastStillTrigger(), 1);
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0500, kStreaming, 1).bytes, std::vector<uint8_t>{1});
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0500, kStreaming, {4}));
  EXPECT_EQ(cam->StillTriggerCount(), 1u);
}

TEST(CameraStill, CameraWithoutStillsStallsTheStillControls) {
  std::string error;
  auto cam = camera::SimulatedCameraFromProfileFile(camtest::ProfilePath("no_still.json"), &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0500, kStreaming, {1}));
  EXPECT_FALSE(Out(*cam, 0x21, kSetCur, 0x0400, kStreaming, Probe(1, 1, 333333)));
  EXPECT_TRUE(In(*cam, 0xA1, kGetCur, 0x0300, kStreaming, 11).stalled);
  EXPECT_EQ(cam->StillTriggerCount(), 0u);
}

// ---- unit controls ----

int64_t Signed16(const camtest::Reply& r) {
  return r.bytes.size() == 2 ? int16_t(r.bytes[0] | r.bytes[1] << 8) : -99999;
}

TEST(CameraUnits, RangesAsTheProfileSays) {
  auto cam = camera::DefaultCamera();
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetMin, kPu, 0x02, 2)), -64);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetMax, kPu, 0x02, 2)), 64);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetDef, kPu, 0x02, 2)), 0);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetRes, kPu, 0x02, 2)), 1);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetCur, kPu, 0x02, 2)), 0);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetDef, kPu, 0x0A, 2)), 4600);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetRes, kPu, 0x0A, 2)), 10);
  EXPECT_EQ(UnitGet(*cam, kGetDef, kPu, 0x05, 1).bytes, std::vector<uint8_t>{1});
  EXPECT_EQ(UnitGet(*cam, kGetDef, kPu, 0x0B, 1).bytes, std::vector<uint8_t>{1});
  EXPECT_EQ(UnitGet(*cam, kGetInfo, kPu, 0x02, 1).bytes, std::vector<uint8_t>{3});
  EXPECT_EQ(UnitGet(*cam, kGetLen, kPu, 0x02, 2).bytes, (std::vector<uint8_t>{2, 0}));
  auto exposure = UnitGet(*cam, kGetDef, kCt, 0x04, 4);
  ASSERT_EQ(exposure.bytes.size(), 4u);
  EXPECT_EQ(camtest::Le32(exposure.bytes, 0), 156u);
  EXPECT_EQ(UnitGet(*cam, kGetDef, kCt, 0x02, 1).bytes, std::vector<uint8_t>{2});
  EXPECT_EQ(UnitGet(*cam, kGetRes, kCt, 0x02, 1).bytes, std::vector<uint8_t>{15});
  EXPECT_EQ(UnitGet(*cam, kGetDef, kCt, 0x08, 1).bytes, std::vector<uint8_t>{1});
  EXPECT_EQ(UnitGet(*cam, kGetLen, kXu, 2, 2).bytes, (std::vector<uint8_t>{4, 0}));
  EXPECT_EQ(UnitGet(*cam, kGetCur, kXu, 1, 2).bytes, (std::vector<uint8_t>{16, 0}));
  // A one-byte read of a two-byte value gets the low byte only.
  EXPECT_EQ(UnitGet(*cam, kGetMin, kPu, 0x02, 1).bytes, std::vector<uint8_t>{0xC0});
}

TEST(CameraUnits, ControlBitmapsMatchTheProfile) {
  auto cam = camera::DefaultSimulatedCamera();
  uint32_t pu = 0, ct = 0, xu = 0;
  for (const auto& e : cam->Layout().entities) {
    if (e.subtype == 5) pu = e.bmControls;
    if (e.subtype == 2) ct = e.bmControls;
    if (e.subtype == 6) xu = e.bmControls;
  }
  // brightness, contrast, hue, saturation, sharpness, gamma, WB temperature,
  // backlight, power line, hue auto, WB temperature auto.
  EXPECT_EQ(pu, 0x1D7Fu);
  // AE mode, exposure absolute, focus absolute, focus auto.
  EXPECT_EQ(ct, (1u << 1) | (1u << 3) | (1u << 5) | (1u << 17));
  EXPECT_EQ(xu, 0x7u);
}

TEST(CameraUnits, SetStoresInRangeAndStallsOutside) {
  auto cam = camera::DefaultSimulatedCamera();
  EXPECT_TRUE(UnitSet(*cam, kPu, 0x02, {0xF6, 0xFF}));  // -10
  int64_t v = 0;
  ASSERT_TRUE(cam->ControlCurrentInt(kPu, 0x02, &v));
  EXPECT_EQ(v, -10);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetCur, kPu, 0x02, 2)), -10);
  EXPECT_FALSE(UnitSet(*cam, kPu, 0x02, {65, 0}));
  EXPECT_FALSE(UnitSet(*cam, kPu, 0x02, {0xBF, 0xFF}));  // -65
  ASSERT_TRUE(cam->ControlCurrentInt(kPu, 0x02, &v));
  EXPECT_EQ(v, -10);
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes,
            std::vector<uint8_t>{0x04});        // out of range
  EXPECT_FALSE(UnitSet(*cam, kPu, 0x02, {5}));  // shorter than the control
  // Longer data than the control: the control's bytes are used (the driver
  // sends the power-line frequency as two bytes).
  EXPECT_TRUE(UnitSet(*cam, kPu, 0x05, {2, 0}));
  ASSERT_TRUE(cam->ControlCurrentInt(kPu, 0x05, &v));
  EXPECT_EQ(v, 2);
  EXPECT_FALSE(UnitSet(*cam, kPu, 0x05, {3, 0}));
  // Unsigned 4-byte exposure.
  EXPECT_TRUE(UnitSet(*cam, kCt, 0x04, {0x88, 0x13, 0, 0}));  // 5000
  ASSERT_TRUE(cam->ControlCurrentInt(kCt, 0x04, &v));
  EXPECT_EQ(v, 5000);
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x04, {0, 0, 0, 0}));  // below 1
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x04, {0xFF, 0xFF, 0xFF, 0xFF}));
  // Auto-exposure mode takes exactly one supported mode.
  EXPECT_TRUE(UnitSet(*cam, kCt, 0x02, {1}));
  EXPECT_TRUE(UnitSet(*cam, kCt, 0x02, {8}));
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x02, {3}));
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x02, {0}));
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x02, {16}));
  EXPECT_TRUE(UnitGet(*cam, kGetMin, kCt, 0x02, 1).stalled);
  ASSERT_TRUE(cam->ControlCurrentInt(kCt, 0x02, &v));
  EXPECT_EQ(v, 8);
  // The extension unit's read-only control.
  EXPECT_FALSE(UnitSet(*cam, kXu, 3, {1}));
  EXPECT_FALSE(UnitSet(*cam, kXu, 2, {1, 2, 3, 0}));  // above its maximum of 65535
  EXPECT_TRUE(UnitSet(*cam, kXu, 2, {1, 2, 0, 0}));
  EXPECT_EQ(UnitGet(*cam, kGetCur, kXu, 2, 4).bytes, (std::vector<uint8_t>{1, 2, 0, 0}));
  // A successful request clears the error code.
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes, std::vector<uint8_t>{0x00});
}

TEST(CameraUnits, UnsupportedSelectorsAndUnitsStall) {
  auto cam = camera::DefaultSimulatedCamera();
  EXPECT_TRUE(UnitGet(*cam, kGetCur, kPu, 0x04, 2).stalled);  // gain: bit not set
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes, std::vector<uint8_t>{0x06});
  EXPECT_TRUE(UnitGet(*cam, kGetCur, 9, 0x02, 2).stalled);  // no unit 9
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0200, 0, 1).bytes, std::vector<uint8_t>{0x05});
  EXPECT_TRUE(UnitGet(*cam, kGetCur, 4, 0x01, 1).stalled);  // the output terminal has no controls
  EXPECT_TRUE(UnitGet(*cam, kGetCur, kXu, 4, 2).stalled);   // selector 4 not in the bitmap
  EXPECT_TRUE(UnitGet(*cam, 0x8F, kPu, 0x02, 2).stalled);   // unknown request code
  EXPECT_TRUE(In(*cam, 0xA2, kGetCur, 0x0200, 0x0081, 2).stalled);  // class request to an endpoint
  EXPECT_FALSE(UnitSet(*cam, kCt, 0x06, {}));                       // no data stage at all

  std::string error;
  auto noPu = camera::SimulatedCameraFromProfileFile(
      camtest::ProfilePath("no_processing_unit.json"), &error);
  ASSERT_TRUE(noPu) << error;
  EXPECT_TRUE(UnitGet(*noPu, kGetCur, kPu, 0x02, 2).stalled);
  EXPECT_FALSE(UnitSet(*noPu, kPu, 0x02, {0, 0}));
  EXPECT_FALSE(UnitGet(*noPu, kGetCur, kCt, 0x04, 4).stalled);
}

TEST(CameraUnits, DumpCameraAnswersWithDefaults) {
  auto original = camera::DefaultSimulatedCamera();
  std::string error;
  auto cam = camera::SimulatedCameraFromDescriptors(original->DescriptorDump(), false, &error);
  ASSERT_TRUE(cam) << error;
  // Same bitmaps, generic values: brightness -64..64, extension unit 0..65535 in two bytes.
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetMin, kPu, 0x02, 2)), -64);
  EXPECT_EQ(Signed16(UnitGet(*cam, kGetDef, kPu, 0x0A, 2)), 4600);
  EXPECT_EQ(UnitGet(*cam, kGetLen, kXu, 2, 2).bytes, (std::vector<uint8_t>{2, 0}));
  EXPECT_TRUE(UnitSet(*cam, kPu, 0x03, {10, 0}));
  int64_t v = 0;
  ASSERT_TRUE(cam->ControlCurrentInt(kPu, 0x03, &v));
  EXPECT_EQ(v, 10);
  // Strings are generic but present.
  auto s = In(*cam, 0x80, 6, 0x0302, 0x0409, 255);
  ASSERT_FALSE(s.stalled);
  EXPECT_GT(s.bytes.size(), 2u);
}

// ---- vendor requests ----

TEST(CameraVendor, RecordedAndAnswered) {
  auto cam = camera::DefaultSimulatedCamera();
  // Device-to-host without a configured reply: zeros.
  auto r = In(*cam, 0xC2, 0x61, 0, 0x0305, 2);
  ASSERT_FALSE(r.stalled);
  EXPECT_EQ(r.bytes, (std::vector<uint8_t>{0, 0}));
  cam->SetVendorReply(0xAA, {0x5A, 0x11});
  EXPECT_EQ(In(*cam, 0xC2, 0xAA, 0, 0, 1).bytes, std::vector<uint8_t>{0x5A});
  EXPECT_EQ(In(*cam, 0xC2, 0xAA, 0, 0, 3).bytes, (std::vector<uint8_t>{0x5A, 0x11, 0}));
  EXPECT_TRUE(Out(*cam, 0x42, 0x07, 0, 3, {1, 2, 3}));
  EXPECT_TRUE(Out(*cam, 0x42, 0x5E, 0, 1, {}));
  auto log = cam->VendorRequests();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[0].bRequest, 0x61);
  EXPECT_EQ(log[0].wIndex, 0x0305);
  EXPECT_TRUE(log[0].directionIn);
  EXPECT_EQ(log[2].data, (std::vector<uint8_t>{0x5A, 0x11, 0}));
  EXPECT_EQ(log[3].bmRequestType, 0x42);
  EXPECT_FALSE(log[3].directionIn);
  EXPECT_EQ(log[3].wIndex, 3);
  EXPECT_EQ(log[3].data, (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(log[4].bRequest, 0x5E);
  EXPECT_TRUE(log[4].data.empty());
  cam->ClearVendorRequests();
  EXPECT_TRUE(cam->VendorRequests().empty());
}

TEST(CameraVendor, ProfileRepliesAndAHandler) {
  auto cam = WithProfileEdit([](nlohmann::json& p) {
    p["vendorReplies"] = nlohmann::json::array({{{"request", "0xAA"}, {"data", {7}}}});
  });
  EXPECT_EQ(In(*cam, 0xC2, 0xAA, 0, 0, 1).bytes, std::vector<uint8_t>{7});
  // A handler can model firmware: here a memory that 0x07 writes and 0x01 reads back.
  std::vector<uint8_t> memory(256);
  cam->SetVendorHandler([&memory](const host::UsbSetupPacket& s, uint8_t* data, bool* stall) {
    if (s.bRequest == 0x07 && !(s.bmRequestType & 0x80) && s.wIndex < 8) {
      std::copy(data, data + 32, memory.begin() + 32 * s.wIndex);
      return true;
    }
    if (s.bRequest == 0x01 && (s.bmRequestType & 0x80) && s.wIndex >= 0xA200 && s.wIndex < 0xA300) {
      data[0] = memory[s.wIndex - 0xA200];
      return true;
    }
    if (s.bRequest == 0x99) {
      *stall = true;
      return true;
    }
    return false;
  });
  std::vector<uint8_t> chunk(32);
  for (int i = 0; i < 32; ++i) chunk[i] = uint8_t(i * 3);
  EXPECT_TRUE(Out(*cam, 0x42, 0x07, 0, 1, chunk));
  EXPECT_EQ(In(*cam, 0xC2, 0x01, 0, 0xA200 + 32 + 5, 1).bytes, std::vector<uint8_t>{15});
  EXPECT_TRUE(In(*cam, 0xC2, 0x99, 0, 0, 1).stalled);
  EXPECT_EQ(In(*cam, 0xC2, 0xAA, 0, 0, 1).bytes,
            std::vector<uint8_t>{7});  // falls through to the reply
  EXPECT_EQ(cam->VendorRequests().size(), 5u);
}

// ---- concurrency: the bus may call from the stream worker and a property thread at once ----

TEST(CameraConcurrency, ControlsFromSeveralThreads) {
  auto cam = camera::DefaultSimulatedCamera();
  std::atomic<int> failures{0};
  auto prober = [&] {
    for (int i = 0; i < 300; ++i) {
      if (!Out(*cam, 0x21, kSetCur, 0x0100, kStreaming, Probe(1 + i % 2, 1 + i % 7, 333333)))
        ++failures;
      if (ReadProbe(*cam).dwMaxPayloadTransferSize == 0) ++failures;
    }
  };
  auto tuner = [&] {
    for (int i = 0; i < 300; ++i) {
      if (!UnitSet(*cam, kPu, 0x02, {uint8_t(i % 64), 0})) ++failures;
      if (!Out(*cam, 0x42, 0x60, uint16_t(i), 0, {})) ++failures;
      int64_t v;
      if (!cam->ControlCurrentInt(kPu, 0x02, &v) || v < 0 || v > 63) ++failures;
    }
  };
  std::thread a(prober), b(tuner), c(prober);
  a.join();
  b.join();
  c.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(cam->ProbeSetCount(), 600u);
  EXPECT_EQ(cam->VendorRequests().size(), 300u);
}

}  // namespace
