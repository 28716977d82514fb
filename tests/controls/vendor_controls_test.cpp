// The vendor control set against the simulated camera: exact vendor and
// class requests, hostile values, lengths and buffers, the zoom arithmetic,
// effect selection and the button latch.
#include <map>

#include "controls/settings_store.h"
#include "controls/vendor_controls.h"
#include "tests/controls/controls_rig.h"

namespace {

using namespace ctl;
using rig::Bytes;
using A = std::array<int, 5>;

constexpr int kCt = 1, kPu = 2;

// Brought up as device start does, settings included (no registry: the
// orientation reads as 0).
struct VendorRig : Rig {
  template <class... A>
  explicit VendorRig(A&&... a) : Rig(std::forward<A>(a)...) {
    LoadSettings(bus.DeviceObject(), state, state);
    ResetDeviceFlags(state, engine);
  }
  NTSTATUS Call(bool set, ULONG id, ULONG op, ULONG index = 0, ULONG value = 0, VendorCallerBuffer* buffer = nullptr) {
    r = VendorControlRequest{};
    r.Property = Prop(kVendorControlSet, id, 0), r.Operation = op, r.Index = index, r.Value = value;
    r.Result = r.Result2 = -12345;
    return set ? VendorControlSet(controls, &r, buffer, stream) : VendorControlGet(controls, &r, buffer, stream);
  }
  VendorControlRequest r{};
  VendorStreamState stream{0};
};

// One item of each request shape: vendor reads and writes with their value
// and index packing, stored values, request sequences, class requests to
// either unit with their defaults and the driver-kept states.
TEST_F(ControlsTest, VendorItemsSendTheExactRequests) {
  VendorRig rig;
  rig.cam().SetVendorReply(0x61, {0x34, 0x12});
  rig.cam().SetVendorReply(0x01, {0xCD, 0xAB, 9, 9, 9, 9, 9, 9});
  rig.cam().SetVendorReply(0xAA, {0x42});
  const struct {
    bool set;
    ULONG id, op, index, value;
    std::vector<A> sent;
    LONG result;  // -12345: untouched
  } cases[] = {
      {false, 1, 3, 5, 0, {{0xC2, 0x61, 0, 0x0305, 2}}, 0x1234},
      {true, 1, 2, 7, 0x1ABCD, {{0x42, 0x60, 0xABCD, 0x0207, 0}}, -12345},
      {false, 2, 0x1234, 0, 0, {{0xC2, 0x01, 0, 0x1334, 8}}, 0xABCD},
      {true, 2, 0x55, 0x10077, 0, {{0x42, 0x00, 0x0077, 0x0155, 0}}, -12345},
      {true, 4, 3, 2, 0x101, {{0x42, 0x5E, 0, 0x01, 0}}, -12345},
      {false, 4, 3, 2, 0, {}, 0x101},
      {true, 6, 1, 0, 1, {{0x42, 0x5F, 0, 1, 0}, {0x42, 0x69, 50, 0, 0}, {0x42, 0x6A, 50, 0, 0}, {0x42, 0x6B, 50, 0, 0}}, -12345},
      {true, 6, 3, 2, 70, {{0x42, 0x6A, 70, 0, 0}}, -12345},
      {true, 6, 255, 0, 0, {{0x42, 0x5F, 0, 0, 0}}, -12345},
      {true, 24, 0, 0, 0x1FF, {{0x42, 0xD1, 0xFF, 0, 0}}, -12345},
      {true, 240, 4, 0, 0x10020, {{0x42, 0x8C, 0x20, 0, 0}}, -12345},
      {false, 240, 5, 0, 0, {{0x42, 0x8C, 34, 0, 0}}, 34},
      {false, 234, 0, 0, 0, {{0xC2, 0xAA, 0, 0, 1}}, 0x42},
      // camera-backed items reach the processing unit and camera terminal
      {true, 9, 3, 0, 0xFFFB, {SetCur(kPu, 0x02, 2)}, -12345},
      {false, 9, 3, 0, 0, {}, -5},
      {true, 10, 3, 0, 0x10028, {SetCur(kPu, 0x03, 2)}, -12345},
      {true, 10, 0, 0, 0, {SetCur(kPu, 0x03, 2)}, -12345},
      {true, 66, 3, 0, 0, {SetCur(kPu, 0x01, 2)}, -12345},
      {true, 66, 255, 0, 0, {SetCur(kPu, 0x01, 2)}, -12345},
      {true, 66, 255, 0, 0, {}, -12345},  // already the default
      {true, 7, 3, 0, 2, {SetCur(kPu, 0x05, 1)}, -12345},
      {true, 7, 3, 0, 0, {}, -12345},  // off: kept in the driver
      {true, 5, 3, 0, 0xFFFD, {}, -12345},  // auto exposure runs: the time waits
      {true, 5, 1, 0, 0, {SetCur(kCt, 0x02, 1), SetCur(kCt, 0x04, 4)}, -12345},
      {false, 5, 3, 0, 0, {}, -3},
      {false, 5, 1, 0, 0, {}, 0},
      {true, 5, 255, 0, 0, {SetCur(kCt, 0x02, 1)}, -12345},
  };
  uint32_t stalls = rig.cam().StallCount();
  for (const auto& t : cases) {
    SCOPED_TRACE(testing::Message() << (t.set ? "set " : "get ") << t.id << " op " << t.op << " value " << t.value);
    EXPECT_EQ(rig.Call(t.set, t.id, t.op, t.index, t.value), STATUS_SUCCESS);
    EXPECT_EQ(rig.Sent(), t.sent);
    EXPECT_EQ(rig.r.Result, t.result);
  }
  EXPECT_EQ(rig.cam().StallCount(), stalls);
  // Exposure -3 went out when exposure turned manual; Op 255 restored the camera's auto mode.
  EXPECT_EQ(std::make_tuple(rig.Current(kPu, 0x03), rig.Current(kCt, 0x04), rig.Current(kCt, 0x02), rig.state->exposure.Current),
            std::make_tuple(40, 1250, 2, -7));
  // Failures: reads give 0 and STATUS_UNSUCCESSFUL, the status byte 255.
  rig.model.hook = [](const host::UsbSetupPacket& s, uint8_t*, host::UsbControlResult* r) {
    return (s.bmRequestType & 0x60) == 0x40 && (r->stalled = true);
  };
  EXPECT_TRUE(rig.Call(false, 1, 3, 5) == STATUS_UNSUCCESSFUL && rig.r.Result == 0);
  EXPECT_TRUE(rig.Call(false, 2, 0) == STATUS_UNSUCCESSFUL && rig.r.Result == 0);
  EXPECT_TRUE(rig.Call(false, 234, 0) == STATUS_SUCCESS && rig.r.Result == 255);
  rig.model.hook = nullptr;
  rig.model.shorten = [](const host::UsbSetupPacket&) { return 1u; };
  EXPECT_TRUE(rig.Call(false, 1, 3, 5) == STATUS_UNSUCCESSFUL && rig.r.Result == 0) << "one byte of two: nothing half-read";
}

TEST_F(ControlsTest, VendorItemsRefuseHostileValuesAndSendNothing) {
  VendorRig rig;
  const struct { ULONG id, op, index, value; NTSTATUS status; } cases[] = {
      {9, 3, 0, 0x7FFF, STATUS_INVALID_PARAMETER},   // brightness max 64
      {9, 3, 0, 0xFFBF, STATUS_INVALID_PARAMETER},   // -65
      {10, 3, 0, 0xFFFF, STATUS_INVALID_PARAMETER},  // contrast is unsigned: 65535
      {66, 3, 0, 0x80000000, STATUS_INVALID_PARAMETER},
      {11, 1, 0, 3, STATUS_INVALID_PARAMETER},       // neither auto nor manual
      {5, 3, 0, 0, STATUS_INVALID_PARAMETER},        // exposure 0: outside -14..-1
      {5, 3, 0, 0xFFF1, STATUS_INVALID_PARAMETER},   // -15
      {5, 1, 0, 2, STATUS_INVALID_PARAMETER},        // the auto flag is 0 or 1
      {7, 3, 0, 3, STATUS_INVALID_PARAMETER},
      {6, 3, 1, 101, STATUS_INVALID_PARAMETER},      // gains 0..100
      {65, 0, 0, 11, STATUS_INVALID_PARAMETER},      // option 0..10
  };
  DeviceState before;
  std::memcpy(&before, rig.state, sizeof before);
  for (const auto& t : cases)
    EXPECT_EQ(rig.Call(true, t.id, t.op, t.index, t.value), t.status) << t.id << " op " << t.op << " value " << t.value;
  EXPECT_EQ(rig.Sent(), Setups{});
  EXPECT_EQ(std::memcmp(&before, rig.state, sizeof before), 0) << "nothing stored";
}

TEST_F(ControlsTest, MemoryItemsCopyThroughBoundedBuffersOnly) {
  VendorRig rig;
  std::map<uint16_t, uint8_t> memory;  // what the camera holds after a download
  bool corrupt = false;
  rig.cam().SetVendorHandler([&](const host::UsbSetupPacket& s, uint8_t* data, bool* stall) {
    if (s.bRequest == 0x07)
      for (int j = 0; j < s.wLength; ++j) memory[uint16_t(0xA200 + 32 * s.wIndex + j)] = data[j];
    if (s.bRequest == 0x01 && s.wIndex >= 0xA200) data[0] = uint8_t(memory[s.wIndex] ^ (corrupt ? 1 : 0));
    if (s.bRequest == 0x07 || (s.bRequest == 0x01 && s.wIndex >= 0xA200)) return true;
    if (s.bRequest == 0x02 && (s.bmRequestType & 0x80)) {
      if (s.wValue == 0xDEAD) return *stall = true;
      for (int j = 0; j < s.wLength; ++j) data[j] = uint8_t(j + 1);
      return true;
    }
    return false;
  });
  // Exact-size heap buffers: an access past them is an ASan failure.
  std::unique_ptr<UCHAR[]> image(new UCHAR[100]);
  for (int i = 0; i < 100; ++i) image[i] = UCHAR(i * 7);
  VendorCallerBuffer buffer{image.get(), 100}, shortBuffer{image.get(), 63}, none{nullptr, 100};
  const struct { ULONG length; VendorCallerBuffer* buffer; } refused[] = {{31, &buffer}, {0, &buffer}, {64, &shortBuffer}, {64, &none}, {64, nullptr},
                 {kDownloadChunk * (kDownloadMaxChunks + 1), &buffer}, {0xFFFFFFFF, &buffer}};
  for (const auto& t : refused) EXPECT_EQ(rig.Call(true, 3, t.length, 0, 0, t.buffer), STATUS_INVALID_PARAMETER) << t.length;
  EXPECT_EQ(rig.Sent(), Setups{});

  ASSERT_EQ(rig.Call(true, 3, 100, 0, 0, &buffer), STATUS_SUCCESS) << "three whole chunks; the remainder stays";
  Setups sent = rig.Sent();
  ASSERT_EQ(sent.size(), 3u + 3 * 32 + 1);
  // The three chunks, then each byte read back, then the start command.
  EXPECT_EQ((Setups{sent[2], sent[3], sent[3 + 32], sent.back()}),
            (Setups{{0x42, 0x07, 0, 2, 32}, {0xC2, 0x01, 0, 0xA200, 1}, {0xC2, 0x01, 0, 0xA220, 1}, {0x42, 0x08, 0, 1, 0}}));
  EXPECT_EQ(std::make_tuple(rig.controls.downloaded, memory.size()), std::make_tuple(1u, size_t(96)));
  corrupt = true;
  rig.controls.downloaded = 0;
  EXPECT_EQ(rig.Call(true, 3, 64, 0, 0, &buffer), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(std::make_tuple(rig.Sent().size(), rig.controls.downloaded), std::make_tuple(size_t(2 + 1), 0u))
      << "stops at the first wrong byte; no start command";

  // Block access (the reads through the filter): never past the caller's buffer.
  std::unique_ptr<UCHAR[]> block(new UCHAR[16]);
  std::memset(block.get(), 0xEE, 16);
  VendorCallerBuffer small{block.get(), 8}, room{block.get(), 16};
  EXPECT_EQ(rig.Call(true, 241, 0, 3, 0x10, &small), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.Sent(), Setups{});
  EXPECT_TRUE(rig.Call(false, 241, 0, 0xDEAD, 1, &room) == STATUS_UNSUCCESSFUL && block[0] == 0xEE)
      << "a failed read leaves the caller's buffer";
  rig.Sent();
  EXPECT_EQ(rig.Call(true, 241, 0, 0x1234, 4, &room), STATUS_SUCCESS);
  EXPECT_EQ(rig.Sent(), (Setups{{0x42, 0x02, 0, 0x1234, 4}}));
  EXPECT_EQ(rig.Call(true, 241, 0, 0x1234, 0, nullptr), STATUS_SUCCESS) << "no data stage needs no buffer";
}

TEST_F(ControlsTest, ZoomPanEffectsAndReportedValues) {
  VendorRig rig;
  DeviceState& s = *rig.state;
  rig.engine->currentFormat.inputWidth = 640, rig.engine->currentFormat.inputHeight = 480;
  EXPECT_EQ(rig.Call(true, 20, 2, 0, 32), STATUS_SUCCESS);
  EXPECT_EQ(s.zoom.zoomFactor, 64u) << "the stream does not run";
  rig.stream.running = 1;
  for (ULONG n : {15u, 65u, 0u, 0xFFFFFFFFu}) EXPECT_EQ(rig.Call(true, 20, 2, 0, n), STATUS_INVALID_PARAMETER) << n;
  EXPECT_EQ(s.zoom.zoomFactor, 64u);
  ASSERT_EQ(rig.Call(true, 20, 2, 0, 32), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(s.zoom.panX, s.zoom.panY, s.zoom.zoomFactor, s.zoom.panXPercent),
            std::make_tuple(10240, 7680, 32u, 1600)) << "2x from 1x centres the view";
  for (int i = 0; i < 20; ++i) rig.Call(true, 20, 3, 0, 1);
  EXPECT_EQ(s.zoom.panX, 64 * 640 - 32 * 640) << "stops at the right edge";
  rig.Call(false, 20, 3);
  EXPECT_EQ(std::make_pair(rig.r.Result, rig.r.Result2), std::make_pair(1, 0));
  for (int i = 0; i < 20; ++i) rig.Call(true, 20, 4, 0, 0);
  EXPECT_EQ(s.zoom.panY, 0);
  rig.Call(false, 20, 5);
  EXPECT_EQ(std::make_pair(rig.r.Result, rig.r.Result2), std::make_pair(5000, 0));
  ASSERT_EQ(rig.Call(true, 20, 2, 0, 16), STATUS_SUCCESS);
  EXPECT_EQ(s.zoom.panX, 20480 + (32 - 16) * 640 / 2) << "zooming in keeps the view's centre";
  rig.Call(true, 255, 0, 0, 1);
  EXPECT_EQ(s.zoom.zoomFactor, 16u) << "reset needs Value 2";
  LONG panX = s.zoom.panX;
  s.special.specialEffect = 4;
  rig.Call(true, 255, 0, 0, 2);
  EXPECT_EQ(std::make_tuple(s.zoom.zoomFactor, s.zoom.panX, s.special.specialEffect), std::make_tuple(64u, panX, 0u));

  // Effect selection: the overlay and effects 2 and 7 exclude each other.
  s.special.overlayMode = 3, s.special.overlayLoaded = 1, s.special.gridCounter = 9;
  rig.Call(true, 21, 3, 0, 7);
  EXPECT_EQ(std::make_tuple(s.special.specialEffect, s.special.overlayMode, s.special.gridCounter, s.special.overlayLoaded),
            std::make_tuple(7u, 0u, 0u, 1u));
  s.special.specialEffect = 2;
  rig.Call(true, 21, 3, 5, 1);
  EXPECT_EQ(std::make_tuple(s.special.specialEffect, s.special.overlayMode, s.special.overlayLoaded),
            std::make_tuple(0u, 1u, 0u));
  rig.Call(false, 21, 3, 5);
  EXPECT_EQ(rig.r.Result, 1);

  // The latch and the software switches.
  s.buttonLatch = 1;
  rig.Call(false, 225, 0);
  EXPECT_EQ(std::make_tuple(rig.r.Result, s.buttonLatch, s.buttonPolled), std::make_tuple(1, 0u, 1u));
  s.mirror = s.verticalFlip = 1;
  rig.Call(true, 4, 255);
  EXPECT_EQ(std::make_pair(s.mirror, s.verticalFlip), std::make_pair(0u, 0u));
  EXPECT_TRUE(rig.Call(false, 99, 3) == STATUS_SUCCESS && rig.r.Result == -12345) << "an unlisted id changes nothing";
  EXPECT_TRUE(rig.Call(false, 6, 9) == STATUS_SUCCESS && rig.r.Result == -12345) << "an unlisted operation leaves Result";
  EXPECT_EQ(rig.Sent(), Setups{}) << "none of these reach the camera";
}

TEST_F(ControlsTest, PoolFailuresRefuseWithoutSendingOrLeaking) {
  VendorRig rig;
  UCHAR data[64] = {1, 2};
  VendorCallerBuffer buffer{data, 64};
  ULONG info = 0;
  host::PoolFailTag(kTagBuffer);
  EXPECT_EQ(rig.Call(true, 3, 64, 0, 0, &buffer), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(GetExtensionControl(rig.controls, 1, data, 64, &info), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(SetExtensionControl(rig.controls, 1, data, 64), STATUS_INSUFFICIENT_RESOURCES);
  host::PoolFailTag(0);
  EXPECT_EQ(rig.Sent(), (Setups{{0xA1, 0x85, 0x0100, 0x0300, 2}, {0xA1, 0x85, 0x0100, 0x0300, 2}}))
      << "only the length queries before the copy";
  EXPECT_EQ(rig.controls.downloaded, 0u);
}

}  // namespace
