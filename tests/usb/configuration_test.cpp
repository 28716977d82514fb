// Configuration selection, the streaming endpoint, alternate settings by
// bandwidth and probe/commit.
#include "tests/usb/fake_camera.h"
#include "usb/configuration.h"
#include "usb/format_table.h"
#include "usb/usb_bringup.h"
#include "usb/usb_request.h"

namespace {

using fake::CameraConfiguration;
using fake::CameraShape;
using fake::ConfigBuilder;
using fake::Rig;
using fake::UsbTest;
using host::UsbRequestKind;

class ConfigurationTest : public UsbTest {
 protected:
  static NTSTATUS Select(Rig& rig) {
    NTSTATUS s = ReadConfiguration(rig.engine);
    if (!NT_SUCCESS(s)) return s;
    return SelectConfiguration(rig.engine, rig.engine->configuration, rig.engine->configurationLength);
  }
};

TEST_F(ConfigurationTest, ReadConfigurationKeepsOnlyWhatTheDeviceReturned) {
  Rig rig;
  ASSERT_EQ(ReadConfiguration(rig.engine), STATUS_SUCCESS);
  EXPECT_EQ(rig.engine->configurationLength, rig.camera.config_.size());
  EXPECT_EQ(0, std::memcmp(rig.engine->configuration, rig.camera.config_.data(), rig.camera.config_.size()));
  auto log = rig.bus.ControlLog();
  ASSERT_EQ(log.size(), 2u);
  EXPECT_EQ(log[0].wLength, 9);
  EXPECT_EQ(log[1].wLength, rig.camera.config_.size());

  Rig cut;
  cut.camera.configReplyLimit = 40;  // fewer bytes than wTotalLength
  ASSERT_EQ(ReadConfiguration(cut.engine), STATUS_SUCCESS);
  EXPECT_EQ(cut.engine->configurationLength, 40u);
  Rig tiny;
  tiny.camera.configReplyLimit = 5;
  EXPECT_EQ(ReadConfiguration(tiny.engine), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(tiny.engine->configuration, nullptr);
}

TEST_F(ConfigurationTest, HeaderOnlyConfigurationServesAsTheWholeDescriptor) {
  Rig rig(std::vector<uint8_t>{9, 2, 9, 0, 0, 1, 0, 0x80, 50});
  ASSERT_EQ(ReadConfiguration(rig.engine), STATUS_SUCCESS);
  EXPECT_EQ(rig.engine->configurationLength, 9u);
  EXPECT_EQ(rig.bus.Count(UsbRequestKind::GetDescriptor), 1u);
  EXPECT_EQ(SelectConfiguration(rig.engine, rig.engine->configuration, 9), STATUS_INVALID_PARAMETER);
  host::PoolFailTag(kTagBuffer);
  FreeStreamEngine(rig.engine);
  rig.engine = CreateStreamEngine(rig.device);
  EXPECT_EQ(ReadConfiguration(rig.engine), STATUS_NO_MEMORY);
  host::PoolFailTag(0);
}

TEST_F(ConfigurationTest, SelectsLowestAlternateSettingsAndFindsTheInterfaces) {
  // Interface 2's alternate setting 1 comes before its alternate setting 0.
  ConfigBuilder b;
  b.Interface(2, 1, 14, 2, 1).Endpoint(0x81, 5, 512);
  b.Interface(0, 0, 14, 1, 1).Endpoint(0x83, 3, 16);
  b.Interface(2, 0, 14, 2, 0);
  b.Interface(5, 0, 1, 1, 0);  // an audio control interface
  Rig rig(b.Build());
  ASSERT_EQ(Select(rig), STATUS_SUCCESS) << rig.bus.LastRejectionReason();
  EXPECT_EQ(rig.engine->controlInterface, 0);
  EXPECT_EQ(rig.engine->streamingInterface, 2);
  EXPECT_NE(rig.engine->configurationHandle, nullptr);
  EXPECT_EQ(rig.engine->configurationHandle, rig.bus.ConfigurationHandle());
  auto pipes = rig.bus.Pipes();
  ASSERT_EQ(pipes.size(), 1u) << "interface 2 at alternate setting 0 has no pipe";
  EXPECT_EQ(pipes[0].endpointAddress, 0x83);
  // The first interface listed is interface 2, which has no interrupt pipe.
  EXPECT_EQ(rig.engine->hasInterruptPipe, 0u);
  EXPECT_EQ(rig.engine->interruptPipe, nullptr);
}

TEST_F(ConfigurationTest, MissingVideoInterfaceIsInvalidAndSendsNothing) {
  ConfigBuilder noStreaming;
  noStreaming.Interface(0, 0, 14, 1, 0).Interface(1, 0, 1, 2, 0);
  Rig rig(noStreaming.Build());
  ASSERT_EQ(ReadConfiguration(rig.engine), STATUS_SUCCESS);
  rig.bus.ResetCounters();
  EXPECT_EQ(SelectConfiguration(rig.engine, rig.engine->configuration, rig.engine->configurationLength),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
  EXPECT_EQ(rig.engine->streamingInterface, 0) << "zero-filled engine untouched";
}

TEST_F(ConfigurationTest, StreamEndpointTypeAndBulkPacketSize) {
  auto find = [](const std::vector<uint8_t>& cfg, LONG vs, ULONG* type, USHORT* size) {
    return FindStreamEndpoint(cfg.data(), ULONG(cfg.size()), vs, type, size);
  };
  ULONG type = 0;
  USHORT size = 0;
  EXPECT_EQ(find(CameraConfiguration(), 1, &type, &size), STATUS_SUCCESS);
  EXPECT_EQ(type, kEndpointIsochronous);
  CameraShape bulk;
  bulk.bulk = true;
  EXPECT_EQ(find(CameraConfiguration(bulk), 1, &type, &size), STATUS_SUCCESS);
  EXPECT_EQ(type, kEndpointBulk);
  EXPECT_EQ(size, 512);

  ConfigBuilder interrupt;
  interrupt.Interface(1, 0, 14, 2, 1).Endpoint(0x81, 3, 64);
  EXPECT_EQ(find(interrupt.Build(), 1, &type, &size), STATUS_INVALID_PARAMETER);
  // No endpoint in the streaming interface; the next interface's endpoint
  // is not the stream's.
  ConfigBuilder none;
  none.Interface(1, 0, 14, 2, 0).Interface(3, 0, 1, 2, 1).Endpoint(0x84, 5, 192);
  EXPECT_EQ(find(none.Build(), 1, &type, &size), STATUS_UNSUCCESSFUL);
  // A truncated endpoint descriptor is not read.
  ConfigBuilder cut;
  cut.Interface(1, 0, 14, 2, 1).Raw({6, 5, 0x81, 5, 0, 2});
  EXPECT_EQ(find(cut.Build(), 1, &type, &size), STATUS_UNSUCCESSFUL);
}

TEST_F(ConfigurationTest, EffectivePacketSizeCountsExtraTransactions) {
  // Bits 12..11 hold the additional transactions per microframe.
  EXPECT_EQ(EffectivePacketSize(0x0C00), 2048u) << "1024 bytes, two transactions";
  EXPECT_EQ(EffectivePacketSize(0x1400), 3072u) << "1024 bytes, three transactions";
  EXPECT_EQ(EffectivePacketSize(0x1000 | 0x3FF), 3u * 1023);
  EXPECT_EQ(EffectivePacketSize(0x0800 | 0x3FF), 2u * 1023);
  EXPECT_EQ(EffectivePacketSize(512), 512u);
  EXPECT_EQ(EffectivePacketSize(0x1800 | 1024), 0u) << "reserved transaction count";
  EXPECT_EQ(EffectivePacketSize(0xE000 | 256), 256u) << "bits 15..13 are not part of it";
}

class AlternateSettingTest : public ConfigurationTest {
 protected:
  void Up(Rig& rig) {
    ASSERT_EQ(Select(rig), STATUS_SUCCESS) << rig.bus.LastRejectionReason();
    ASSERT_EQ(FindStreamEndpoint(rig.engine->configuration, rig.engine->configurationLength,
                                 rig.engine->streamingInterface, &rig.engine->endpointType,
                                 &rig.engine->bulkPacketSize),
              STATUS_SUCCESS);
    rig.bus.ResetCounters();
  }
};

TEST_F(AlternateSettingTest, FirstWideEnoughWinsEvenIfALaterOneIsLarger) {
  CameraShape s;
  s.isoPackets = {128, 256, 1024, 3072 & 0x7FF, 0x1400};  // alt 3 fits 900 bytes; alt 5 is larger
  Rig rig(CameraConfiguration(s));
  Up(rig);
  ULONG packet = 0;
  ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 900, 256, &packet), STATUS_SUCCESS);
  EXPECT_EQ(packet, 1024u);
  auto sel = rig.bus.InterfaceSelections();
  ASSERT_EQ(sel.size(), 1u);
  EXPECT_EQ(sel[0], std::make_pair(uint8_t(1), uint8_t(3)));
  EXPECT_TRUE(rig.bus.PipeHandleValid(rig.engine->streamPipe));
  auto pipes = rig.bus.Pipes();
  ASSERT_EQ(pipes.size(), 2u);
  EXPECT_EQ(pipes[1].maximumTransferSize, 1024u * 256);
}

TEST_F(AlternateSettingTest, HighBandwidthEndpointCarriesDoubleThePacket) {
  CameraShape s;
  s.isoPackets = {1024, 0x0C00, 0x1400};
  Rig rig(CameraConfiguration(s));
  Up(rig);
  ULONG packet = 0;
  ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 2000, 32, &packet), STATUS_SUCCESS);
  EXPECT_EQ(packet, 2048u);
  EXPECT_EQ(rig.bus.InterfaceSelections().back().second, 2);
  ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 3000, 32, &packet), STATUS_SUCCESS);
  EXPECT_EQ(packet, 3072u);
  EXPECT_EQ(rig.bus.InterfaceSelections().back().second, 3);
  // The bus reports the same per-microframe size for the pipe.
  EXPECT_EQ(rig.bus.Pipes().back().maximumPacketSize, 3072);
}

TEST_F(AlternateSettingTest, NoneWideEnoughAndReservedMultiplierAreRefused) {
  CameraShape s;
  s.isoPackets = {1024, 0x1800 | 1024};  // the second has the reserved transaction count
  Rig rig(CameraConfiguration(s));
  Up(rig);
  ULONG packet = 7;
  EXPECT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 1025, 256, &packet), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(packet, 0u);
  // A payload past 65535 is not compared in 16 bits (it would alias to 1).
  EXPECT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 0x10001, 256, &packet), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
}

TEST_F(AlternateSettingTest, WithoutPayloadOrForBulkAlternateSettingZero) {
  Rig rig;
  Up(rig);
  ULONG packet = 9;
  ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 0, 256, &packet), STATUS_SUCCESS);
  EXPECT_EQ(packet, 0u);
  EXPECT_EQ(rig.engine->streamPipe, nullptr);
  EXPECT_EQ(rig.bus.InterfaceSelections().back(), std::make_pair(uint8_t(1), uint8_t(0)));

  CameraShape s;
  s.bulk = true;
  Rig bulk(CameraConfiguration(s));
  Up(bulk);
  ASSERT_EQ(SelectAlternateSetting(bulk.engine, kEndpointBulk, 614400, 256, &packet), STATUS_SUCCESS);
  ASSERT_TRUE(bulk.bus.PipeHandleValid(bulk.engine->streamPipe));
  auto pipes = bulk.bus.Pipes();
  ASSERT_EQ(pipes.size(), 2u);
  EXPECT_EQ(pipes[1].maximumTransferSize, 614400u);
  EXPECT_EQ(pipes[1].type, UsbdPipeTypeBulk);
}

TEST_F(AlternateSettingTest, EndpointIsSoughtWithinTheAlternateSetting) {
  // A class-specific descriptor between the interface and its endpoint.
  ConfigBuilder b;
  b.Interface(0, 0, 14, 1, 0).Interface(1, 0, 14, 2, 0);
  b.Interface(1, 1, 14, 2, 1).Raw({6, 0x24, 9, 0, 0, 0}).Endpoint(0x81, 5, 800);
  Rig rig(b.Build());
  Up(rig);
  ULONG packet = 0;
  ASSERT_EQ(SelectAlternateSetting(rig.engine, kEndpointIsochronous, 800, 8, &packet), STATUS_SUCCESS);
  EXPECT_EQ(packet, 800u);
}

// ---- probe and commit ----

class NegotiationTest : public ConfigurationTest {
 protected:
  void Up(Rig& rig) {
    UsbBringUpStep step;
    ASSERT_EQ(BringUpUsb(rig.engine, &step), STATUS_SUCCESS) << BringUpStepName(step);
    ASSERT_EQ(SelectFormat(rig.engine, 1280, 720, kSubtypeYuy2), STATUS_SUCCESS);
    rig.bus.ResetCounters();
  }
};

TEST_F(NegotiationTest, ProbeCarriesTheEntryAndCommitTheCamerasAnswer) {
  Rig rig;
  Up(rig);
  rig.camera.SetPayloadSize(2900);
  ULONG payload = 0;
  ASSERT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS);
  EXPECT_EQ(payload, 2900u);
  auto log = rig.bus.ControlLog();
  ASSERT_EQ(log.size(), 4u);
  const uint8_t req[] = {GET_CUR, SET_CUR, GET_CUR, SET_CUR};
  const uint16_t val[] = {0x0100, 0x0100, 0x0100, 0x0200};
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(log[i].bRequest, req[i]) << i;
    EXPECT_EQ(log[i].wValue, val[i]) << i;
    EXPECT_EQ(log[i].wIndex, 1) << i;
    EXPECT_EQ(log[i].wLength, 26) << i;
  }
  // 1280x720 is MJPG frame 3 of format 2 in the fixture.
  ASSERT_EQ(rig.camera.committed.size(), 26u);
  EXPECT_EQ(rig.camera.committed[2], 2);
  EXPECT_EQ(rig.camera.committed[3], 3);
  EXPECT_EQ(rig.camera.committed[4] | rig.camera.committed[5] << 8 | rig.camera.committed[6] << 16, 333333);
  EXPECT_EQ(rig.camera.committed[22] | rig.camera.committed[23] << 8, 2900);
}

TEST_F(NegotiationTest, ShortProbeReplyFailsWithoutCommit) {
  // Rejected probes and zero payloads are tested on the simulated camera.
  Rig rig;
  Up(rig);
  ULONG payload = 5;
  rig.camera.probeReplyLength = 20;
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL);
  EXPECT_TRUE(rig.camera.committed.empty());
  EXPECT_EQ(payload, 0u);
  rig.camera.probeReplyLength = 26;
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_SUCCESS);
}

TEST_F(NegotiationTest, NoCurrentFormatInTheTableSendsNothing) {
  Rig rig;
  Up(rig);
  rig.engine->currentFormat.outputWidth = 99;
  ULONG payload = 0;
  EXPECT_EQ(NegotiateStream(rig.engine, &payload), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(rig.bus.DeviceRequests(), 0u);
}

}  // namespace
