// Requests to the device: the synchronous request path (refusals, string
// descriptors), configuration selection, the streaming endpoint, alternate
// settings by bandwidth and probe/commit. (A request block or IRP that
// cannot be allocated is failed in turn for every allocation of the
// bring-up, which checks the status, the pool and the device mutex.)
#include "tests/usb/camera_rig.h"
#include "usb/configuration.h"
#include "usb/format_table.h"
#include "usb/usb_bringup.h"
#include "usb/usb_request.h"

namespace {

using namespace rig;
using host::UsbRequestKind;

class ConfigurationTest : public rig::UsbTest {
 protected:
  static NTSTATUS Select(Rig& rig) {
    NTSTATUS s = ReadConfiguration(rig.engine);
    return NT_SUCCESS(s) ? SelectConfiguration(rig.engine, rig.engine->configuration, rig.engine->configurationLength)
                         : s;
  }
  // Configuration selected and stream endpoint found, counters cleared.
  static void Up(Rig& rig) {
    ASSERT_EQ(Select(rig), STATUS_SUCCESS) << rig.bus.LastRejectionReason();
    StreamEngine* e = rig.engine;
    ASSERT_EQ(FindStreamEndpoint(e->configuration, e->configurationLength, e->streamingInterface, &e->endpointType,
                                 &e->bulkPacketSize),
              STATUS_SUCCESS);
    rig.bus.ResetCounters();
  }
};

// (The whole read is in the bring-up's request sequence.)
TEST_F(ConfigurationTest, ReadKeepsWhatCameBackSelectionTakesLowestAlternateSettingsAndFindsTheInterfaces) {
  Rig cut;  // fewer bytes than wTotalLength: only those are kept
  cut.model.shorten = [](const host::UsbSetupPacket& s) { return s.wValue == 0x0200 ? 40u : 0xFFFFu; };
  EXPECT_EQ(ReadConfiguration(cut.engine), STATUS_SUCCESS);
  EXPECT_EQ(cut.engine->configurationLength, 40u);
  // Interface 2's alternate setting 1 comes before its alternate setting 0.
  ConfigBuilder b;
  b.Interface(2, 1, 14, 2, 1).Endpoint(0x81, 5, 512).Interface(0, 0, 14, 1, 1).Endpoint(0x83, 3, 16);
  b.Interface(2, 0, 14, 2, 0).Interface(5, 0, 1, 1, 0);  // and an audio control interface
  Rig rig(b.Build());
  ASSERT_EQ(Select(rig), STATUS_SUCCESS) << rig.bus.LastRejectionReason();
  EXPECT_EQ(std::make_tuple(rig.engine->controlInterface, rig.engine->streamingInterface), std::make_tuple(0L, 2L));
  EXPECT_TRUE(rig.engine->configurationHandle && rig.engine->configurationHandle == rig.bus.ConfigurationHandle());
  auto pipes = rig.bus.Pipes();
  ASSERT_EQ(pipes.size(), 1u) << "interface 2 at alternate setting 0 has no pipe";
  EXPECT_EQ(pipes[0].endpointAddress, 0x83);
  // The first interface listed is interface 2, which has no interrupt pipe.
  EXPECT_TRUE(!rig.engine->hasInterruptPipe && !rig.engine->interruptPipe);

  Rig none(ConfigBuilder().Interface(0, 0, 14, 1, 0).Interface(1, 0, 1, 2, 0).Build());  // no streaming interface
  ASSERT_EQ(ReadConfiguration(none.engine), STATUS_SUCCESS);
  none.bus.ResetCounters();
  EXPECT_EQ(SelectConfiguration(none.engine, none.engine->configuration, none.engine->configurationLength),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(none.bus.DeviceRequests() + none.engine->streamingInterface, 0u) << "nothing sent, engine untouched";
}

TEST_F(ConfigurationTest, StreamEndpointTypeAndBulkPacketSize) {
  // The isochronous type is checked by every Up() and the interrupt refusal in bring-up.
  CameraShape bulk;
  bulk.bulk = true;
  const struct { Bytes cfg; NTSTATUS status; ULONG type; USHORT size; } cases[] = {
      {CameraConfiguration(bulk), STATUS_SUCCESS, kEndpointBulk, 512},
      // No endpoint in the streaming interface; the next interface's is not the stream's.
      {ConfigBuilder().Interface(1, 0, 14, 2, 0).Interface(3, 0, 1, 2, 1).Endpoint(0x84, 5, 192).Build(), STATUS_UNSUCCESSFUL, 0, 0},
      // A truncated endpoint descriptor.
      {ConfigBuilder().Interface(1, 0, 14, 2, 1).Raw({6, 5, 0x81, 5, 0, 2}).Build(), STATUS_UNSUCCESSFUL, 0, 0},
  };
  for (const auto& c : cases) {
    ULONG type = 0;
    USHORT size = 0;
    EXPECT_EQ(FindStreamEndpoint(c.cfg.data(), ULONG(c.cfg.size()), 1, &type, &size), c.status);
    EXPECT_EQ(type * 10000 + size, c.type * 10000 + c.size);
  }
}

TEST_F(ConfigurationTest, AlternateSettingFirstWideEnoughWinsWithHighBandwidthSizes) {
  const struct { std::vector<uint16_t> packets; ULONG payload; NTSTATUS status; ULONG packet; uint8_t alt; } cases[] = {
      {{128, 256, 1024, 3072 & 0x7FF, 0x1400}, 900, STATUS_SUCCESS, 1024, 3},  // alt 5 is larger, not taken
      {{1024, 0x0C00, 0x1400}, 2000, STATUS_SUCCESS, 2048, 2},                 // two transactions
      {{1024, 0x0C00, 0x1400}, 3000, STATUS_SUCCESS, 3072, 3},                 // three transactions
      {{1024, 0x1800 | 1024}, 1025, STATUS_UNSUCCESSFUL, 0, 0},                // reserved count
      {{1024, 0x1400}, 0x10001, STATUS_UNSUCCESSFUL, 0, 0},  // not compared in 16 bits (would alias to 1)
      {{1024, 0x1400}, 0, STATUS_SUCCESS, 0, 0},             // no payload: alternate setting zero
      {{0x1000 | 0x3FF, 0x0800 | 0x3FF}, 3000, STATUS_SUCCESS, 3u * 1023, 1},
  };
  for (const auto& c : cases) {
    CameraShape s;
    s.isoPackets = c.packets;
    Rig rig(CameraConfiguration(s));
    Up(rig);
    ULONG packet = 7;
    SCOPED_TRACE(c.payload);
    ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, c.payload, 256, &packet), c.status);
    EXPECT_EQ(packet, c.packet);
    if (!NT_SUCCESS(c.status)) {
      EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
      continue;
    }
    EXPECT_EQ(rig.bus.InterfaceSelections(), (std::vector<std::pair<uint8_t, uint8_t>>{{1, c.alt}}));
    auto pipes = rig.bus.Pipes();
    ASSERT_EQ(pipes.size(), c.alt ? 2u : 1u);
    EXPECT_EQ(rig.bus.PipeHandleValid(rig.engine->streamPipe), c.alt != 0);
    // The bus reports the per-microframe size.
    EXPECT_TRUE(!c.alt || (pipes[1].maximumPacketSize == c.packet && pipes[1].maximumTransferSize == c.packet * 256));
  }
  EXPECT_EQ(EffectivePacketSize(0xE000 | 256), 256u) << "bits 15..13 are not part of it";
}

TEST_F(ConfigurationTest, NegotiationProbesTheEntryAndCommitsTheCamerasAnswer) {
  Rig rig;
  UsbBringUpStep step;
  ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
  ASSERT_EQ(SelectFormat(rig.engine, 1280, 720, kSubtypeYuy2), STATUS_SUCCESS);
  rig.bus.ResetCounters();
  // A short probe reply, a rejected probe and a zero payload size fail without a commit.
  ULONG payload = 5;
  for (int fault = 0; fault < 3; ++fault) {
    camera::CameraFaults faults;
    faults.rejectProbe = fault == 1;
    faults.zeroPayloadSize = fault == 2;
    rig.cam().SetFaults(faults);
    rig.model.shorten = [fault](const host::UsbSetupPacket& s) { return !fault && s.bRequest == GET_CUR ? 20u : 0xFFFFu; };
    EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL) << fault;
    EXPECT_EQ(rig.cam().CommitCount() + payload, 0u) << fault;
  }
  rig.cam().SetFaults(camera::CameraFaults{});
  // The camera's answer carries a payload size the driver never asked for;
  // the commit must carry it back.
  Bytes commit;
  auto& m = rig.model;
  m.hook = [&commit, &m](const host::UsbSetupPacket& s, uint8_t* data, host::UsbControlResult* r) {
    if (s.bRequest == SET_CUR && s.wValue == 0x0200) commit.assign(data, data + 26);
    if (s.bRequest != GET_CUR) return false;
    *r = m.cam->Control(s, data);
    return data[22] = 0x54, data[23] = 0x0B, data[24] = data[25] = 0, true;
  };
  rig.bus.ResetCounters();
  ASSERT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS);
  EXPECT_EQ(payload, 2900u);
  EXPECT_EQ(SetupsOf(rig.bus), (Setups{{0xA1, GET_CUR, 0x0100, 1, 26}, {0x21, SET_CUR, 0x0100, 1, 26},
                                        {0xA1, GET_CUR, 0x0100, 1, 26}, {0x21, SET_CUR, 0x0200, 1, 26}}));
  ASSERT_EQ(commit.size(), 26u);
  EXPECT_EQ(Bytes(commit.begin() + 22, commit.end()), (Bytes{0x54, 0x0B, 0, 0}));
  for (const auto& f : rig.cam().Layout().formats)  // the camera's own index of MJPEG 1280x720
    for (const auto& fr : f.frames)
      EXPECT_TRUE(f.kind != camera::FormatKind::kMjpeg || fr.width != 1280 || (commit[2] == f.index && commit[3] == fr.index));
  // No current format in the table: nothing is sent.
  rig.engine->currentFormat.outputWidth = 99;
  rig.bus.ResetCounters();
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
}

class RequestTest : public rig::UsbTest {};

TEST_F(RequestTest, RefusesWithoutSendingWhileRemovedWithoutDeviceOrOutsideD0) {
  Rig rig;
  UCHAR buffer[26] = {};
  auto expectRefused = [&](const char* why) {
    EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_UNSUCCESSFUL) << why;
    USB_DEVICE_DESCRIPTOR dd;
    EXPECT_EQ(GetDeviceDescriptor(rig.engine, &dd), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(ReadConfiguration(rig.engine), STATUS_UNSUCCESSFUL) << why;
    EXPECT_EQ(rig.bus.DeviceRequests() + rig.bus.Rejected(), 0u) << why << ": nothing may even reach the bus";
  };
  rig.engine->removed = 1;
  expectRefused("removed");
  rig.engine->removed = 0;
  for (DEVICE_POWER_STATE s : {PowerDeviceD1, PowerDeviceD2, PowerDeviceD3}) {
    rig.device->DevicePowerState = s;
    expectRefused("not in D0");
  }
  rig.device->DevicePowerState = PowerDeviceD0;
  rig.engine->device = nullptr;
  expectRefused("no device");
  rig.engine->device = rig.device;
  // And the same engine works once the conditions are gone.
  EXPECT_EQ(ClassRequest(rig.engine, GET_CUR, 0x0100, 1, buffer, 26, TRUE), STATUS_SUCCESS);
  EXPECT_EQ(rig.bus.DeviceRequests(), 1u);
}

// The two-step read itself is in the bring-up's request sequence.
TEST_F(RequestTest, StringDescriptorsSurviveBadReplies) {
  Rig rig;
  Bytes reply;
  rig.model.hook = [&](const host::UsbSetupPacket& s, uint8_t* data, host::UsbControlResult* r) {
    if (s.wValue >> 8 != 3) return false;
    if (reply.empty()) return r->stalled = true;
    r->length = uint32_t(std::min<size_t>(s.wLength, reply.size()));
    return std::memcpy(data, reply.data(), r->length), true;
  };
  const struct { Bytes reply; NTSTATUS status; const char* text; } cases[] = {
      {{18, 3, 'C', 0, 'a', 0, 'm', 0, 0xE9, 0, 'r', 0, 'a', 0, ' ', 0, '9', 0}, STATUS_SUCCESS, "Cam?ra 9"},
      {{200, 3, 'A', 0, 'B', 0, 'C', 0, 'D', 0}, STATUS_SUCCESS, "ABCD"},  // claims 200, 10 come back
      {{7, 3, 'H', 0, 'i', 0, '!'}, STATUS_SUCCESS, "Hi"},  // the dangling byte is not half a character
      {{1, 3, 'A', 0}, STATUS_UNSUCCESSFUL, ""},            // cannot be a descriptor
      {{9}, STATUS_UNSUCCESSFUL, ""},                       // a one-byte reply
      {{}, STATUS_UNSUCCESSFUL, ""},                        // stalled
  };
  for (const auto& c : cases) {
    reply = c.reply;
    CHAR text[kStringTextSize];
    std::memset(text, 'x', sizeof text);
    EXPECT_EQ(GetStringDescriptor(rig.engine, 1, text), c.status) << c.text;
    EXPECT_STREQ(text, c.text);
  }
  EXPECT_EQ(host::PoolStats(kTagRequest).outstanding, 0u);
  EXPECT_GE(host::PoolStats(kTagRequest).allocations, 3u) << "request blocks are tagged KVIR";
}

}  // namespace
