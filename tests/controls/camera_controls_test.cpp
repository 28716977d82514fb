// Control ranges, the video-control walk and the standard property sets
// against the simulated cameras: exact requests, refusals that send nothing,
// auto/manual switching without a stall, broken descriptors and replies.
#include <climits>

#include "tests/controls/controls_rig.h"

namespace {

using namespace ctl;
using rig::Bytes;
using A = std::array<int, 5>;

constexpr int kCt = 1, kPu = 2, kXu = 3;  // unit ids of the default camera

// The ranges as read show in the tool's listing and limits (brightness
// -64..64, white balance in steps of 10, exposure -14..-1 converted from
// the exposure time), tested there; here the units found and the requests.
TEST_F(ControlsTest, UnitsOfTheDefaultCameraAndTheRequestsThatReadTheirRanges) {
  Rig rig;
  ASSERT_EQ(rig.rangeStatus, STATUS_SUCCESS);
  const ControlUnits& u = rig.controls.units;
  EXPECT_EQ(std::make_tuple(u.controlInterface, u.hasProcessingUnit, u.processingUnitId, u.hasCameraTerminal,
                            u.cameraTerminalId, u.hasExtensionUnit, u.extensionUnitId, u.exposureAutoMode),
            std::make_tuple(0, 1u, UCHAR(kPu), 1u, UCHAR(kCt), 1u, UCHAR(kXu), UCHAR(2)));
  // Every read is a class request to the video-control interface; the
  // power-line default is one byte, exposure-time values four.
  for (const A& r : rig.rangeReads) EXPECT_EQ(std::make_tuple(r[0], r[3] & 0xFF), std::make_tuple(0xA1, 0));
  for (A r : {A{0xA1, GET_DEF, 0x0500, kPu << 8, 1}, A{0xA1, GET_RES, 0x0400, kCt << 8, 4},
              A{0xA1, GET_MIN, 0x0200, kPu << 8, 2}})
    EXPECT_EQ(std::count(rig.rangeReads.begin(), rig.rangeReads.end(), r), 1);
}

TEST_F(ControlsTest, HostileValuesAndFlagsAreRefusedAndNothingIsSentOrStored) {
  Rig rig;
  const CameraControls& c = rig.controls;
  for (bool procAmp : {true, false}) {
    for (ULONG id : procAmp ? std::vector<ULONG>(std::begin(kProcAmpOrder), std::end(kProcAmpOrder))
                            : std::vector<ULONG>(std::begin(kCameraControlOrder), std::end(kCameraControlOrder))) {
      const ControlValue* cv = procAmp ? ProcAmpControl(rig.state, id) : CameraControlRecord(rig.state, id);
      ControlValue before = *cv;
      auto set = procAmp ? SetProcAmp : SetCameraControl;
      for (LONG v : {cv->Minimum - 1, cv->Maximum + 1, LONG(INT_MIN), LONG(INT_MAX)})
        EXPECT_EQ(set(c, id, v, kControlFlagManual), STATUS_NOT_SUPPORTED) << id << " " << v;
      bool hasAuto = id == kProcAmpWhiteBalance || id == kProcAmpHue || !procAmp;
      for (ULONG f : {0u, 3u, 0x10u, 0xFFFFFFFFu})
        EXPECT_EQ(set(c, id, cv->Default, f), hasAuto ? STATUS_INVALID_PARAMETER : STATUS_SUCCESS) << id << " " << f;
      if (!hasAuto) rig.Sent();  // a plain control ignores flags and is sent
      EXPECT_EQ(cv->Current, before.Current);
    }
  }
  EXPECT_EQ(rig.Sent(), Setups{});
  ControlReading r;
  EXPECT_EQ(SetProcAmp(c, 6, 1, 2), STATUS_NOT_SUPPORTED) << "no such VIDEOPROCAMP item";
  EXPECT_EQ(GetProcAmp(c, 99, &r), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetCameraControl(c, 0, 1, 2), STATUS_NOT_IMPLEMENTED);
  EXPECT_EQ(GetCameraControl(c, 5, &r), STATUS_NOT_IMPLEMENTED);
  // Helpers shared with the stream restart refuse what the wire cannot carry.
  for (NTSTATUS s : {SendExposureTime(c, 0), SendExposureTime(c, -15), SendExposureMode(c, 2),
                     SendPowerLineFrequency(c, 256), SendProcessingValue(c, kPuBrightness, 0x10000)})
    EXPECT_EQ(s, STATUS_INVALID_PARAMETER);
  EXPECT_EQ(SendProcessingValue(c, 0x0C, 0), STATUS_NOT_SUPPORTED) << "a selector the driver does not drive";
  EXPECT_EQ(rig.Sent(), Setups{});
  ULONG t = 99;
  EXPECT_TRUE(!ExposureTimeFor(0, &t) && t == 99u);
}

TEST_F(ControlsTest, CamerasWithoutUnitsOrAutoModesSendNothingTheyLack) {
  ControlReading r;
  // Only brightness, white balance without its auto control, exposure time
  // without the mode, an aperture-priority camera for the second rig.
  Rig sparse(camtest::WithProfileEdit([](nlohmann::json& p) {
    p["processingUnit"]["controls"] = {{"brightness", {{"min", 0}, {"max", 255}, {"def", 128}}},
                                       {"whiteBalanceTemperature", nlohmann::json::object()}};
    p["cameraTerminal"]["controls"] = {{"exposureTimeAbsolute", nlohmann::json::object()}};
  }));
  const CameraControls& c = sparse.controls;
  EXPECT_EQ(GetProcAmp(c, kProcAmpContrast, &r), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(GetCameraControl(c, kCameraControlFocus, &r), STATUS_NOT_SUPPORTED);
  ASSERT_EQ(GetProcAmp(c, kProcAmpWhiteBalance, &r), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(r.Flags, r.Capabilities), std::make_tuple(2u, 2u)) << "manual only";
  EXPECT_EQ(SetProcAmp(c, kProcAmpWhiteBalance, 3000, kControlFlagAuto), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetProcAmp(c, kProcAmpWhiteBalance, 3000, kControlFlagManual), STATUS_SUCCESS);
  EXPECT_EQ(SetCameraControl(c, kCameraControlExposure, -7, kControlFlagAuto), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetCameraControl(c, kCameraControlExposure, -7, kControlFlagManual), STATUS_SUCCESS);
  EXPECT_EQ(sparse.Sent(), (Setups{SetCur(kPu, 0x0A, 2), SetCur(kCt, 0x04, 4)})) << "no auto switch exists to send";
  EXPECT_EQ(sparse.Current(kCt, 0x04), 78);
  EXPECT_EQ(sparse.state->brightness.Maximum, 255) << "unsigned range: no sign extension";

  Rig aperture(camtest::WithProfileEdit(
      [](nlohmann::json& p) { p["cameraTerminal"]["controls"]["autoExposureMode"] = {{"def", 8}, {"res", 9}}; }));
  EXPECT_EQ(std::make_tuple(aperture.controls.units.exposureAutoMode, aperture.state->exposureMode.AutoCurrent),
            std::make_tuple(UCHAR(8), 1u));
  uint32_t stalls = aperture.cam().StallCount();
  for (ULONG flags : {kControlFlagManual, kControlFlagAuto})
    EXPECT_EQ(SetCameraControl(aperture.controls, kCameraControlExposure, -7, flags), STATUS_SUCCESS);
  EXPECT_EQ(aperture.Current(kCt, 0x02), 8) << "auto is the camera's own auto mode";
  EXPECT_EQ(aperture.cam().StallCount(), stalls);
}

// A configuration holding one video-control interface with these
// class-specific descriptors after its header.
Bytes VideoControl(const std::vector<Bytes>& units, int totalLength = -1, bool header = true) {
  Bytes b = {9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 14, 1, 0, 0};
  size_t at = b.size();
  if (header) b.insert(b.end(), {13, 0x24, 1, 0x00, 0x01, 0, 0, 0, 0, 0, 0, 1, 1});
  for (const Bytes& u : units) b.insert(b.end(), u.begin(), u.end());
  int total = totalLength >= 0 ? totalLength : int(b.size() - at);
  if (header) b[at + 5] = uint8_t(total), b[at + 6] = uint8_t(total >> 8);
  return b;
}
const Bytes kCamera = {18, 0x24, 2, 1, 0x01, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 3, 0x2A, 0x00, 0x02};
const Bytes kProcessing = {11, 0x24, 5, 2, 1, 0, 0, 2, 0x3F, 0x14, 0};
Bytes Extension() {
  Bytes x(26, 0);
  x[0] = 26, x[1] = 0x24, x[2] = 6, x[3] = 3;
  return x;
}

TEST_F(ControlsTest, MalformedControlDescriptorsAreWalkedWithinBounds) {
  Bytes streamingTerminal = kCamera;
  streamingTerminal[4] = 0x01, streamingTerminal[5] = 0x01, streamingTerminal[3] = 9;  // USB streaming terminal
  Bytes shortCamera = kCamera;
  shortCamera[0] = 17;  // bControlSize 3 needs 18 bytes
  Bytes bigBitmap = kProcessing;
  bigBitmap[7] = 4;  // four bytes of bitmap do not fit in 11
  Bytes tinyPu(kProcessing.begin(), kProcessing.begin() + 9);
  tinyPu[0] = 9;
  Bytes oneBytePu = kProcessing;
  oneBytePu[7] = 1;  // the second byte is not part of the bitmap
  const Bytes otherInterface = {9, 4, 1, 0, 0, 14, 2, 0, 0};
  const struct { const char* what; Bytes config; NTSTATUS status; bool pu, ct, xu; ULONG puBits, ctBits; } cases[] = {
      {"complete", VideoControl({kCamera, kProcessing, Extension()}), STATUS_SUCCESS, 1, 1, 1, 0x143F, 0x02002A},
      {"zero bLength ends the walk", VideoControl({kCamera, {0, 0x24, 5}, kProcessing}), STATUS_SUCCESS, 0, 1, 0, 0, 0x02002A},
      {"short processing unit", VideoControl({tinyPu, kCamera}), STATUS_SUCCESS, 0, 1, 0, 0, 0x02002A},
      {"bitmap past the unit", VideoControl({bigBitmap}), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"one-byte bitmap", VideoControl({oneBytePu}), STATUS_SUCCESS, 1, 0, 0, 0x3F, 0},
      {"non-camera input terminal", VideoControl({streamingTerminal, kCamera}), STATUS_SUCCESS, 0, 1, 0, 0, 0x02002A},
      {"camera terminal shorter than its bitmap", VideoControl({shortCamera}), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"short extension unit", VideoControl({Bytes{4, 0x24, 6, 3}}), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"header covers only itself", VideoControl({kCamera, kProcessing}, 13), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"header claims 64 KiB", VideoControl({kCamera, kProcessing}, 0xFFFF), STATUS_SUCCESS, 1, 1, 0, 0x143F, 0x02002A},
      {"units after the next interface", VideoControl({otherInterface, kCamera}), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"truncated unit", [] { Bytes b = VideoControl({kCamera}); b.resize(b.size() - 1); return b; }(), STATUS_SUCCESS, 0, 0, 0, 0, 0},
      {"no header", VideoControl({kCamera}, -1, false), STATUS_UNSUCCESSFUL, 0, 0, 0, 0, 0},
      {"no video-control interface", Bytes{9, 2, 9, 0, 0, 1, 0, 0x80, 50}, STATUS_UNSUCCESSFUL, 0, 0, 0, 0, 0},
      {"interface cut short", Bytes{9, 2, 0, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 0, 14, 1}, STATUS_UNSUCCESSFUL, 0, 0, 0, 0, 0},
  };
  for (const auto& t : cases) {
    SCOPED_TRACE(t.what);
    // An exact-size heap copy: any read past the end is an ASan failure.
    std::unique_ptr<UCHAR[]> copy(new UCHAR[t.config.size()]);
    std::copy(t.config.begin(), t.config.end(), copy.get());
    ControlUnits u;
    EXPECT_EQ(FindControlUnits(copy.get(), ULONG(t.config.size()), &u), t.status);
    EXPECT_EQ(std::make_tuple(u.hasProcessingUnit, u.hasCameraTerminal, u.hasExtensionUnit, u.processingControls,
                              u.cameraControls),
              std::make_tuple(ULONG(t.pu), ULONG(t.ct), ULONG(t.xu), t.puBits, t.ctBits));
    EXPECT_TRUE(!t.ct || u.cameraTerminalId == 1);
  }
}

TEST_F(ControlsTest, FailedAndShortRangeRepliesReadAsZero) {
  // GET_MIN answers one byte of two, GET_DEF stalls, the exposure mode list
  // stalls: nothing half-read, nothing stale.
  Rig rig(camera::DefaultSimulatedCamera(), [](Interposer& m) {
    m.shorten = [](const host::UsbSetupPacket& s) { return s.bRequest == GET_MIN ? 1u : 0xFFFFu; };
    m.hook = [](const host::UsbSetupPacket& s, uint8_t* data, host::UsbControlResult* r) {
      if ((s.bRequest != GET_DEF || (s.wIndex >> 8) != kPu) && (s.bRequest != GET_RES || s.wValue != 0x0200)) return false;
      if (data) std::memset(data, 0x5A, s.wLength);  // junk the driver must not keep
      return r->stalled = true;
    };
  });
  const DeviceState& s = *rig.state;
  EXPECT_EQ(std::make_tuple(s.brightness.Minimum, s.brightness.Maximum, s.brightness.Default, s.brightness.Current),
            std::make_tuple(0, 64, 0, 0));
  // A failed GET_DEF reads as 0 (manual); no mode list gives the default auto mode.
  EXPECT_EQ(std::make_tuple(s.whiteBalanceAuto.AutoCurrent, s.powerLineFrequency.Default, s.focus.Minimum,
                            rig.controls.units.exposureAutoMode), std::make_tuple(kControlFlagManual, 0, 0, UCHAR(2)));
  // A camera that stalls everything: every range is 0 and sets still refuse
  // nothing they would have taken, without hanging.
  Rig dead(camera::DefaultSimulatedCamera(), [](Interposer& m) {
    m.hook = [](const host::UsbSetupPacket& s, uint8_t*, host::UsbControlResult* r) {
      return (s.bmRequestType & 0x60) == 0x20 && (r->stalled = true);
    };
  });
  EXPECT_EQ(dead.state->contrast.Maximum, 0);
  EXPECT_EQ(SetProcAmp(dead.controls, kProcAmpContrast, 0, 2), STATUS_SUCCESS) << "camera failures are not the caller's";
  EXPECT_EQ(SetProcAmp(dead.controls, kProcAmpContrast, 1, 2), STATUS_NOT_SUPPORTED);
}

TEST_F(ControlsTest, ExtensionUnitPassThroughChecksEveryLength) {
  Rig rig;
  const CameraControls& c = rig.controls;
  UCHAR buffer[8];
  std::memset(buffer, 0xEE, sizeof buffer);
  ULONG info = 99;
  ASSERT_TRUE(GetExtensionControl(c, 1, buffer, 2, &info) == STATUS_SUCCESS && info == 2u);
  EXPECT_EQ(Bytes(buffer, buffer + 3), (Bytes{16, 0, 0xEE}));
  EXPECT_EQ(rig.Sent(), (Setups{{0xA1, 0x85, 0x0100, kXu << 8, 2}, {0xA1, GET_CUR, 0x0100, kXu << 8, 2}}));
  EXPECT_TRUE(GetExtensionControl(c, 2, buffer, 3, &info) == STATUS_UNSUCCESSFUL && info == 0u) << "4 bytes in 3";
  EXPECT_EQ(GetExtensionControl(c, 2, nullptr, 8, &info), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.Sent().size(), 2u) << "only the two GET_LENs";
  const UCHAR value[4] = {1, 2, 0, 0};
  EXPECT_EQ(SetExtensionControl(c, 2, value, 3), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(SetExtensionControl(c, 2, value, 4) == STATUS_SUCCESS && rig.Current(kXu, 2) == 0x0201);
  EXPECT_EQ(SetExtensionControl(c, 2, nullptr, 4), STATUS_SUCCESS);
  EXPECT_EQ(rig.Sent(), (Setups{{0xA1, 0x85, 0x0200, kXu << 8, 2}, {0xA1, 0x85, 0x0200, kXu << 8, 2},
                                {0x21, SET_CUR, 0x0200, kXu << 8, 4}}));
  EXPECT_EQ(GetExtensionControl(c, 3, buffer, 8, &info), STATUS_NOT_SUPPORTED) << "items 1 and 2 only";
  // A failed GET_CUR is reported and leaves the caller's buffer as it was.
  rig.model.hook = [](const host::UsbSetupPacket& s, uint8_t*, host::UsbControlResult* r) {
    return s.bRequest == GET_CUR && (r->stalled = true);
  };
  std::memset(buffer, 0xEE, sizeof buffer);
  EXPECT_TRUE(GetExtensionControl(c, 1, buffer, 8, &info) == STATUS_UNSUCCESSFUL && buffer[0] == 0xEE);
  // No extension unit: nothing is sent.
  Rig noXu(camtest::WithProfileEdit([](nlohmann::json& p) { p.erase("extensionUnit"); }));
  EXPECT_EQ(GetExtensionControl(noXu.controls, 1, buffer, 8, &info), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(SetExtensionControl(noXu.controls, 1, value, 4), STATUS_NOT_SUPPORTED);
  EXPECT_EQ(noXu.Sent(), Setups{});
}

TEST_F(ControlsTest, VideoControlAndCompressionItems) {
  // The caps and compression items are checked through the filter.
  ULONG info = 0;
  std::vector<UCHAR> list(300, 0xEE);
  EXPECT_EQ(GetFrameRates(1, list.data(), 300, &info), STATUS_NOT_SUPPORTED);
  EXPECT_TRUE(GetFrameRates(0, nullptr, 0, &info) == STATUS_BUFFER_OVERFLOW && info == 248u) << "a size query gets the size";
  EXPECT_TRUE(GetFrameRates(0, list.data(), 247, &info) == STATUS_BUFFER_TOO_SMALL && list[0] == 0xEE) << "a short buffer";
  ASSERT_EQ(GetFrameRates(0, list.data(), 248, &info), STATUS_SUCCESS);
  EXPECT_EQ(list[248], 0xEE) << "nothing past the list";
  LONGLONG current, maximum;
  GetActualFrameRate(45, &current, &maximum);
  EXPECT_EQ(std::make_pair(current, maximum), std::make_pair(LONGLONG(30), LONGLONG(30)));

  // The still trigger goes out only with a formatted still pin and a still size.
  Rig rig;
  const CameraControls& c = rig.controls;
  rig.engine->stillFrameIndex = 0;
  EXPECT_EQ(SetVideoControlMode(c, 1, 4, TRUE), STATUS_SUCCESS);
  rig.engine->stillFrameIndex = 1;
  // No formatted still pin, not the still stream, no trigger bit.
  for (NTSTATUS s : {SetVideoControlMode(c, 1, 8, FALSE), SetVideoControlMode(c, 0, 4, TRUE), SetVideoControlMode(c, 1, 3, TRUE)})
    EXPECT_EQ(s, STATUS_SUCCESS);
  EXPECT_EQ(rig.Sent(), Setups{});
  EXPECT_EQ(SetVideoControlMode(c, 1, 4, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(rig.Sent(), (Setups{{0x21, SET_CUR, 0x0500, 1, 1}}));
  EXPECT_EQ(std::make_tuple(rig.cam().StillTriggerCount(), rig.state->softwareStillRequest), std::make_tuple(1u, 1u));
}

TEST_F(ControlsTest, UnitRequestsCarryTheVideoControlInterfaceNumber) {
  rig::Rig rig;
  UCHAR b[2] = {};
  for (LONG vc : std::vector<LONG>{0, 5, kNoInterface, 300}) {
    rig.engine->controlInterface = vc;
    UnitRequest(rig.engine, GET_CUR, 2, 3, b, 2, TRUE);
  }
  EXPECT_EQ(rig::SetupsOf(rig.bus), (Setups{{0xA1, GET_CUR, 0x0200, 0x0300, 2}, {0xA1, GET_CUR, 0x0200, 0x0305, 2},
                                             {0xA1, GET_CUR, 0x0200, 0x0300, 2}, {0xA1, GET_CUR, 0x0200, 0x0300, 2}}));
}

TEST_F(ControlsTest, StoredControlsAreReplayedInTheirFixedOrderInTheirWireForms) {
  Rig rig;
  const CameraControls& c = rig.controls;
  SendStoredControls(c);  // defaults: exposure and white balance on auto
  EXPECT_EQ(rig.Sent(), (Setups{SetCur(kPu, 0x05, 1), SetCur(kPu, 0x02, 2), SetCur(kPu, 0x03, 2), SetCur(kPu, 0x08, 2),
                                SetCur(kPu, 0x06, 2), SetCur(kPu, 0x07, 2), SetCur(kPu, 0x09, 2), SetCur(kPu, 0x01, 2),
                                SetCur(kCt, 0x02, 1), SetCur(kPu, 0x0B, 1)}));
  EXPECT_EQ(std::make_tuple(rig.Current(kCt, 0x02), rig.Current(kPu, 0x0B)), std::make_tuple(int64_t(2), int64_t(1)));
  ASSERT_EQ(SetCameraControl(c, kCameraControlExposure, -9, kControlFlagManual), STATUS_SUCCESS);
  ASSERT_EQ(SetProcAmp(c, kProcAmpWhiteBalance, 3300, kControlFlagManual), STATUS_SUCCESS);
  ASSERT_EQ(SetProcAmp(c, kProcAmpHue, 5, kControlFlagAuto), STATUS_SUCCESS);
  rig.Sent();
  uint32_t stalls = rig.cam().StallCount();
  SendStoredControls(c);
  Setups sent = rig.Sent();
  EXPECT_EQ(std::count(sent.begin(), sent.end(), SetCur(kPu, 0x06, 2)), 0) << "hue runs on auto";
  EXPECT_EQ(Setups(sent.end() - 4, sent.end()),
            (Setups{SetCur(kCt, 0x02, 1), SetCur(kCt, 0x04, 4), SetCur(kPu, 0x0B, 1), SetCur(kPu, 0x0A, 2)}));
  EXPECT_EQ(std::make_tuple(rig.Current(kCt, 0x02), rig.Current(kCt, 0x04), rig.Current(kPu, 0x0B), rig.Current(kPu, 0x0A)),
            std::make_tuple(1, 19, 0, 3300));
  EXPECT_EQ(rig.cam().StallCount(), stalls);
}

}  // namespace
