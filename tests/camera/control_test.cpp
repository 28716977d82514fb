// The camera's control endpoint: standard requests and strings, probe/commit
// negotiation, still controls, unit controls, faults and vendor requests.
#include <atomic>
#include <thread>
#include <tuple>

#include "camera_test_util.h"

namespace {

using namespace camtest;
using J = nlohmann::json;

// ---- standard requests ----

TEST(CameraStandardRequests, DescriptorsHonourWLengthAndSelectionsAndHaltsAreChecked) {
  auto cam = camera::DefaultSimulatedCamera();
  const Bytes &dev = cam->DeviceDescriptor(), &cfg = cam->ConfigurationDescriptor();
  Bytes qualifier = {10, 6, dev[2], dev[3], dev[4], dev[5], dev[6], dev[7], 1, 0};
  Expect(*cam, {
      {0x80, 6, 0x0100, 0, dev, false, 64},  // asking for more gets what there is
      {0x80, 6, 0x0200, 0, Bytes(cfg.begin(), cfg.begin() + 9)},
      {0x80, 6, 0x0200, 0, cfg, false, 0xFFFF},
      {0x80, 6, 0x0201, 0, {}, true, 9},  // only one configuration
      {0x80, 6, 0x2100, 0, {}, true, 9},  // unknown type
      {0x80, 6, 0x0600, 0, qualifier},    // high speed: a device qualifier exists
      {0x80, 6, 0x0300, 0, {4, 3, 0x09, 0x04}, false, 255},
      // The driver's two-step string reads are run against this camera with the USB layer.
      {0x80, 6, 0x0309, 0x0409, {}, true, 255},
      // Configuration, interfaces and endpoint halt.
      {0x80, 8, 0, 0, {0}}, {0x00, 9, 2, 0, {}, true}, {0x00, 9, 1, 0, {}}, {0x80, 8, 0, 0, {1}},
      // The streaming interface has alternate settings 0..7, the control interface only 0.
      {0x01, 11, 7, 1, {}}, {0x01, 11, 8, 1, {}, true}, {0x01, 11, 1, 0, {}, true},
      {0x81, 10, 0, 1, {7}},
      // Halt and clear the streaming endpoint; no other endpoint exists.
      {0x02, 3, 0, 0x81, {}}, {0x82, 0, 0, 0x81, {1, 0}}, {0x02, 1, 0, 0x81, {}},
      {0x82, 0, 0, 0x81, {0, 0}}, {0x02, 1, 0, 0x85, {}, true},
      {0x80, 0x33, 0, 0, {}, true, 4},  // unknown standard request
  });
  EXPECT_EQ(cam->CurrentAlternateSetting(1), 7);
  cam->InterfaceSelected(1, 2);
  EXPECT_EQ(In(*cam, 0x81, 10, 0, 1, 1).bytes, Bytes{2});
  cam->ConfigurationSelected(1);
  EXPECT_EQ(cam->CurrentAlternateSetting(1), 0);
}

// ---- probe and commit ----

TEST(CameraProbeCommit, PayloadFollowsTheBandwidthOfTheChoiceOrTheProfilesFaults) {
  auto cam = camera::DefaultSimulatedCamera(), bulk = Load("bulk.json"), full = Load("full_speed.json");
  auto largest = WithProfileEdit([](J& p) { p["streaming"]["payloadSize"] = "largest"; });
  ASSERT_TRUE(largest && bulk && full);
  struct Case { camera::SimulatedCamera* cam; uint8_t format, frame; uint32_t interval, payload; };
  const Case cases[] = {
      // Bytes per (micro)frame plus a 12-byte header, rounded up to an alternate setting.
      {cam.get(), 2, 1, 2000000, 128},   // 160x120x2 at 5 fps: 24 bytes
      {cam.get(), 2, 5, 333333, 3072},   // 640x480x2 at 30 fps: 2304 bytes
      {cam.get(), 2, 7, 1000000, 3072},  // 1280x720x2 at 10 fps: 2304 bytes
      {cam.get(), 1, 3, 333333, 512},    // MJPEG 320x240 bound 76800 at 30 fps: 288 bytes
      {largest.get(), 2, 1, 2000000, 3072}, {bulk.get(), 2, 5, 333333, 32768},
      {full.get(), 2, 1, 1000000, 512},  // 38400 at 10 fps over 1000 frames a second: 384
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetProbe(*c.cam, c.format, c.frame, c.interval));
    EXPECT_EQ(ReadProbe(*c.cam).dwMaxPayloadTransferSize, c.payload)
        << int(c.format) << "/" << int(c.frame) << " " << c.interval;
  }
  EXPECT_TRUE(In(*full, 0x80, 6, 0x0600, 0, 10).stalled);  // full speed only: no qualifier
  // The profile's faults (set at run time too, as the USB layer's negotiation tests do).
  auto rejecting = WithProfileEdit([](J& p) { p["faults"] = {{"rejectProbe", true}}; });
  auto zero = WithProfileEdit([](J& p) { p["faults"] = {{"zeroPayloadSize", true}}; });
  EXPECT_FALSE(SetProbe(*rejecting, 1, 1, 333333));
  EXPECT_TRUE(rejecting->ProbeSetCount() == 0 && ReadProbe(*rejecting).dwMaxPayloadTransferSize != 0);
  ASSERT_TRUE(SetProbe(*zero, 1, 1, 333333));
  const camera::ProbeControl z = ReadProbe(*zero);
  EXPECT_TRUE(z.dwMaxPayloadTransferSize == 0 && z.dwMaxVideoFrameSize > 0);
}

TEST(CameraProbeCommit, PicksTheNearestSupportedInterval) {
  auto cam = camera::DefaultSimulatedCamera();
  struct Case { uint8_t format, frame; uint32_t asked, expected; };
  const Case cases[] = {
      // Discrete: the nearest; on a tie (450000) the faster; 0 is the frame's default.
      {1, 5, 350000, 333333}, {1, 5, 450000, 400000}, {1, 5, 99999999, 2000000},
      {1, 5, 1, 333333}, {1, 5, 0, 333333},
      // Continuous from 333333 in steps of 333333: clamped, then onto the grid.
      {2, 3, 700000, 666666}, {2, 3, 10, 333333}, {2, 3, 5000000, 1999998},
      {2, 7, 1300000, 1500000}, {2, 7, 0, 1000000},  // 1000000..2000000 step 500000
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(SetProbe(*cam, c.format, c.frame, c.asked));
    EXPECT_EQ(ReadProbe(*cam).dwFrameInterval, c.expected)
        << int(c.format) << "/" << int(c.frame) << " " << c.asked;
  }
  // GET_MIN / GET_MAX bound the interval of the probed frame (the last one).
  EXPECT_EQ(std::make_tuple(ReadProbe(*cam, kGetMin).dwFrameInterval, ReadProbe(*cam, kGetMax).dwFrameInterval),
            std::make_tuple(1000000u, 2000000u));
  // A tie in a list given slowest first still picks the faster.
  auto descending = WithProfileEdit([](J& p) { p["formats"][0]["frames"][0]["intervals"] = {1000000, 500000}; });
  ASSERT_TRUE(SetProbe(*descending, 1, 1, 750000));
  EXPECT_EQ(ReadProbe(*descending).dwFrameInterval, 500000u);
}

TEST(CameraProbeCommit, RefusesUnknownFormatsFramesAndMalformedRequestsThenCommits) {
  auto cam = camera::DefaultSimulatedCamera();
  // Formats 0 and 3 and frames 0 and 8 do not exist; the request error code says why.
  Expect(*cam, {
      {0x21, kSetCur, 0x0100, kStreaming, Probe(3, 1, 0), true},
      {0x21, kSetCur, 0x0100, kStreaming, Probe(0, 1, 0), true},
      {0x21, kSetCur, 0x0100, kStreaming, Probe(1, 8, 0), true},
      {0x21, kSetCur, 0x0200, kStreaming, Probe(1, 0, 0), true},
      {0xA1, kGetCur, 0x0200, 0, {0x04}},  // out of range
      {0x21, kSetCur, 0x0100, kStreaming, Bytes(25), true}, {0xA1, kGetCur, 0x0200, 0, {0x07}},
      // Wrong direction, unknown selector, an entity on the streaming interface, no interface 7.
      {0xA1, kSetCur, 0x0100, 1, {}, true, 26}, {0xA1, kGetCur, 0x0F00, 1, {}, true, 26},
      {0xA1, kGetCur, 0x0100, 0x0101, {}, true, 26}, {0xA1, kGetCur, 0x0100, 7, {}, true, 26},
  });
  EXPECT_EQ(Key(cam->CurrentProbe()), Key(ReadProbe(*cam, kGetDef)));
  camera::ProbeControl committed;
  EXPECT_FALSE(cam->CommittedProbe(&committed));
  EXPECT_EQ(std::make_tuple(cam->ProbeSetCount(), cam->StallCount()), std::make_tuple(0u, 9u));
  // Then a good probe and commit (the driver's own sequence is run against
  // this camera with the USB layer).
  const std::vector<uint32_t> mjpeg640 = {1, 5, 333333, 640 * 480}, yuy2640 = {2, 5, 333333, 640 * 480 * 2};
  EXPECT_EQ(Key(ReadProbe(*cam, kGetDef)), mjpeg640);
  EXPECT_EQ(In(*cam, 0xA1, kGetLen, 0x0100, kStreaming, 2).bytes, (Bytes{26, 0}));
  // A 34-byte read (a newer host) gets the 26 bytes the camera has.
  EXPECT_EQ(In(*cam, 0xA1, kGetCur, 0x0100, kStreaming, 34).bytes.size(), 26u);
  ASSERT_TRUE(SetProbe(*cam, 2, 5, 333333) && SetProbe(*cam, 2, 5, 333333, 2) && cam->CommittedProbe(&committed));
  EXPECT_EQ(Key(committed), yuy2640);
  EXPECT_EQ(Key(ReadProbe(*cam, kGetCur, 2)), yuy2640);
  EXPECT_EQ(cam->CommitCount() * 10 + cam->ProbeSetCount(), 11u);
}

// ---- still image controls ----

TEST(CameraStill, ProbeCommitAndTrigger) {
  auto cam = camera::DefaultSimulatedCamera();
  ASSERT_TRUE(SetProbe(*cam, 1, 5, 333333, 2));
  // The driver sends its 26-byte probe buffer with byte 1 set to the still index.
  Bytes buf = Probe(1, 5, 333333);
  buf[1] = 2;  // second still size: 1280x720
  ASSERT_TRUE(Out(*cam, 0x21, kSetCur, 0x0400, kStreaming, buf));
  camera::StillProbeControl still;  // the driver's still tests check what it then sends
  ASSERT_TRUE(cam->CommittedStill(&still));
  EXPECT_EQ(std::make_tuple(still.bFormatIndex, still.bFrameIndex, still.dwMaxVideoFrameSize),
            std::make_tuple(uint8_t(1), uint8_t(2), 1280u * 720));
  Expect(*cam, {
      {0x21, kSetCur, 0x0300, kStreaming, {1, 5, 0, 0, 0, 0, 0, 0, 0, 0, 0}, true},
      {0x21, kSetCur, 0x0300, kStreaming, {1, 1, 0}, true},  // too short
      {0x21, kSetCur, 0x0300, kStreaming, {2, 3, 0, 0, 0, 0, 0, 0, 0, 0, 0}},
      {0x21, kSetCur, 0x0500, kStreaming, {4}, true},  // no trigger 4
      {0x21, kSetCur, 0x0500, kStreaming, {1}},
      {0xA1, kGetCur, 0x0500, kStreaming, {1}},
  });
  EXPECT_EQ(Le32(In(*cam, 0xA1, kGetCur, 0x0300, kStreaming, 11).bytes, 3), 320u * 240 * 2);  // YUY2 still
  EXPECT_EQ(std::make_pair(cam->StillTriggerCount(), cam->LastStillTrigger()), std::make_pair(1u, uint8_t(1)));

  auto none = Load("no_still.json");  // stalls every still control
  ASSERT_TRUE(none);
  Expect(*none, {{0x21, kSetCur, 0x0500, kStreaming, {1}, true},
                 {0x21, kSetCur, 0x0400, kStreaming, Probe(1, 1, 333333), true},
                 {0xA1, kGetCur, 0x0300, kStreaming, {}, true, 11}});
  EXPECT_EQ(none->StillTriggerCount(), 0u);
}

// ---- unit controls ----

// A unit control read; a stalling one reads as many bytes as `value` holds.
Xfer Get(uint8_t request, uint8_t unit, uint8_t selector, Bytes value, bool stalls = false) {
  return {0xA1,          request, uint16_t(selector << 8), uint16_t(unit << 8),
          stalls ? Bytes() : value, stalls, uint16_t(value.size())};
}

// The profile's ranges and defaults as the driver reads them are checked by
// the controls' tests; here the forms they travel in.
TEST(CameraUnits, RangesTravelInTheirWireForms) {
  auto cam = camera::DefaultSimulatedCamera();
  Expect(*cam, {
      Get(kGetMin, kPu, 0x02, {0xC0, 0xFF}), Get(kGetInfo, kPu, 0x02, {3}), Get(kGetLen, kPu, 0x02, {2, 0}),
      Get(kGetMin, kPu, 0x02, {0xC0}),  // one byte of two: the low byte
      Get(kGetDef, kCt, 0x04, {156, 0, 0, 0}), Get(kGetRes, kCt, 0x02, {15}),  // AE modes 1|2|4|8
      Get(kGetLen, kXu, 2, {4, 0}), Get(kGetCur, kXu, 1, {16, 0}),
      Get(kGetMin, kCt, 0x02, {0}, true),  // a bitmap control has no range
  });
}

TEST(CameraUnits, SetStoresInRangeAndStallsWithTheReason) {
  auto cam = camera::DefaultSimulatedCamera();
  // The request error code afterwards: 0 accepted, 2 read-only, 4 out of range, 7 too short.
  struct Case { uint8_t unit, selector; Bytes data; uint8_t error; };
  const Case cases[] = {
      {kPu, 0x02, {0xF6, 0xFF}, 0}, {kPu, 0x02, {65, 0}, 4}, {kPu, 0x02, {0xBF, 0xFF}, 4},
      {kPu, 0x02, {5}, 7},
      // Longer than the control: its own bytes count (the driver sends power line in two).
      {kPu, 0x05, {2, 0}, 0}, {kPu, 0x05, {3, 0}, 4},
      // Unsigned 4-byte exposure from 1; auto-exposure mode: exactly one supported mode.
      {kCt, 0x04, {0x88, 0x13, 0, 0}, 0}, {kCt, 0x04, {0, 0, 0, 0}, 4},
      {kCt, 0x04, {0xFF, 0xFF, 0xFF, 0xFF}, 4}, {kCt, 0x02, {1}, 0}, {kCt, 0x02, {3}, 4},
      {kCt, 0x02, {0}, 4}, {kCt, 0x02, {16}, 4}, {kCt, 0x02, {8}, 0}, {kCt, 0x06, {}, 7},
      // The extension unit: a read-only control, one of at most 65535.
      {kXu, 3, {1}, 2}, {kXu, 2, {1, 2, 3, 0}, 4}, {kXu, 2, {1, 2, 0, 0}, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(::testing::Message() << int(c.unit) << "/" << int(c.selector) << " "
                                      << ::testing::PrintToString(c.data));
    EXPECT_EQ(UnitSet(*cam, c.unit, c.selector, c.data), c.error == 0);
    EXPECT_EQ(ErrorCode(*cam), Bytes{c.error});
  }
  Expect(*cam, {Get(kGetCur, kPu, 0x02, {0xF6, 0xFF}), Get(kGetCur, kPu, 0x05, {2}),
                Get(kGetCur, kCt, 0x04, {0x88, 0x13, 0, 0}), Get(kGetCur, kCt, 0x02, {8}),
                Get(kGetCur, kXu, 2, {1, 2, 0, 0})});
  int64_t v = 0;  // the same as a signed integer
  ASSERT_TRUE(cam->ControlCurrentInt(kPu, 0x02, &v));
  EXPECT_EQ(v, -10);
}

TEST(CameraUnits, UnsupportedSelectorsAndUnitsStallWithTheReason) {
  auto cam = camera::DefaultSimulatedCamera();
  // 5 invalid unit, 6 invalid control, 7 invalid request.
  const std::tuple<uint8_t, uint8_t, uint16_t, uint16_t, uint8_t> cases[] = {
      {0xA1, kGetCur, 0x0400, kPu << 8, 6},  // gain: bit not set
      {0xA1, kGetCur, 0x0200, 9 << 8, 5},    // no unit 9
      {0xA1, kGetCur, 0x0100, 4 << 8, 6},    // the output terminal has no controls
      {0xA1, kGetCur, 0x0400, kXu << 8, 6},  // selector 4 not in the bitmap
      {0xA1, 0x8F, 0x0200, kPu << 8, 7},     // unknown request code
      {0xA2, kGetCur, 0x0200, 0x0081, 7},    // class request to an endpoint
  };
  for (const auto& [type, request, wValue, wIndex, error] : cases) {
    EXPECT_TRUE(In(*cam, type, request, wValue, wIndex, 2).stalled) << std::hex << wValue;
    EXPECT_EQ(ErrorCode(*cam), Bytes{error}) << std::hex << wValue << " " << wIndex;
  }
  auto noPu = Load("no_processing_unit.json");
  ASSERT_TRUE(noPu);
  EXPECT_FALSE(UnitSet(*noPu, kPu, 0x02, {0, 0}));
  Expect(*noPu, {Get(kGetCur, kPu, 0x02, {0, 0}, true), Get(kGetDef, kCt, 0x04, {156, 0, 0, 0})});
}

// ---- vendor requests ----

// The driver's vendor requests are checked one by one with the vendor
// controls; here the replies and the log (only the latest requests kept).
TEST(CameraVendor, RepliesAndTheLog) {
  auto cam = camera::DefaultSimulatedCamera();
  cam->SetVendorReply(0xAA, {0x5A, 0x11});
  Expect(*cam, {{0xC2, 0x61, 0, 0x0305, {0, 0}},  // no reply set: zeros
                {0xC2, 0xAA, 1, 0, {0x5A}}, {0xC2, 0xAA, 0, 0, {0x5A, 0x11, 0}},  // cut or padded
                {0x42, 0x07, 0, 3, {1, 2, 3}}});
  ASSERT_EQ(cam->VendorRequests().size(), 4u);
  const camera::VendorRequestRecord last = cam->VendorRequests()[3];
  EXPECT_EQ(std::make_tuple(last.bRequest, last.data, last.directionIn), std::make_tuple(0x07, Bytes{1, 2, 3}, false));
  // A handler that declines leaves the profile's reply.
  cam = WithProfileEdit([](J& p) { p["vendorReplies"] = J::array({{{"request", "0xAA"}, {"data", {7}}}}); });
  cam->SetVendorHandler([](const host::UsbSetupPacket&, uint8_t*, bool*) { return false; });
  Expect(*cam, {{0xC2, 0xAA, 0, 0, {7}}});
  cam->ClearVendorRequests();
  for (uint16_t i = 0; i < camera::kVendorLogEntries + 5; ++i) ASSERT_TRUE(Out(*cam, 0x42, 0x60, i, 0, {}));
  const auto kept = cam->VendorRequests();
  ASSERT_EQ(kept.size(), camera::kVendorLogEntries);
  EXPECT_EQ(std::make_tuple(kept.front().wValue, kept.back().wValue), std::make_tuple(5, camera::kVendorLogEntries + 4));
}

// ---- concurrency: the bus may call from the stream worker and a property thread at once ----

TEST(CameraConcurrency, ControlsFromSeveralThreads) {
  auto cam = camera::DefaultSimulatedCamera();
  std::atomic<int> failures{0};
  auto prober = [&] {
    for (int i = 0; i < 300; ++i) {
      if (!SetProbe(*cam, uint8_t(1 + i % 2), uint8_t(1 + i % 7), 333333)) ++failures;
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
  std::thread threads[] = {std::thread(prober), std::thread(tuner), std::thread(prober)};
  for (auto& t : threads) t.join();
  EXPECT_EQ(failures.load(), 0);
  EXPECT_EQ(cam->ProbeSetCount(), 600u);
  EXPECT_EQ(cam->VendorRequests().size(), 300u);
}

}  // namespace
