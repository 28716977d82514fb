// The generated descriptors look like a real camera's, parse back into what
// the profile said, and the descriptor-dump loader accepts a camera's own
// dump while refusing truncated or garbled ones cleanly.
#include <gtest/gtest.h>

#include <map>
#include <random>

#include "camera_test_util.h"

namespace {

using camtest::Desc;

std::unique_ptr<camera::SimulatedCamera> Load(const std::string& name) {
  std::string error;
  auto cam = camera::SimulatedCameraFromProfileFile(camtest::ProfilePath(name), &error);
  EXPECT_TRUE(cam) << name << ": " << error;
  return cam;
}

TEST(CameraDescriptors, DefaultConfigurationHasTheShapeOfACamera) {
  auto cam = camera::DefaultSimulatedCamera();
  const std::vector<uint8_t>& dev = cam->DeviceDescriptor();
  ASSERT_EQ(dev.size(), 18u);
  EXPECT_EQ(dev[0], 18);
  EXPECT_EQ(dev[1], 1);
  EXPECT_EQ(dev[4], 0xEF);  // miscellaneous class: the function is described by an IAD
  EXPECT_EQ(dev[17], 1);
  EXPECT_TRUE(cam->HighSpeed());

  const std::vector<uint8_t>& cfg = cam->ConfigurationDescriptor();
  std::vector<Desc> d;
  ASSERT_TRUE(camtest::Walk(cfg, &d));
  ASSERT_EQ(camtest::Le16(cfg, 2), cfg.size());
  EXPECT_EQ(d[0].type, 2);
  EXPECT_EQ(cfg[4], 2);        // two interfaces
  ASSERT_EQ(d[1].type, 0x0B);  // IAD before the interfaces
  EXPECT_EQ(cfg[d[1].offset + 2], 0);
  EXPECT_EQ(cfg[d[1].offset + 3], 2);

  // Video control: interface 0, header, camera terminal, PU, XU, OT, interrupt endpoint.
  std::vector<uint8_t> vcSubtypes;
  int vcEndpoints = 0, streamingAlternates = 0;
  size_t headerAt = 0, headerTotal = 0, vcBytes = 0;
  std::map<int, uint16_t> isoPackets;
  for (const Desc& x : d) {
    if (x.interface == 0 && x.type == 0x24) {
      vcSubtypes.push_back(x.subtype);
      vcBytes += x.length;
      if (x.subtype == 1) headerAt = x.offset, headerTotal = camtest::Le16(cfg, x.offset + 5);
    }
    if (x.interface == 0 && x.type == 5) {
      ++vcEndpoints;
      EXPECT_EQ(cfg[x.offset + 3] & 3, 3) << "status endpoint must be interrupt";
      EXPECT_TRUE(cfg[x.offset + 2] & 0x80);
    }
    if (x.interface == 1 && x.type == 4 && x.alternate > 0) ++streamingAlternates;
    if (x.interface == 1 && x.type == 5) {
      EXPECT_GT(x.alternate, 0) << "isochronous endpoints live in alternate settings 1..n";
      EXPECT_EQ(cfg[x.offset + 3] & 3, 1);
      isoPackets[x.alternate] = camtest::Le16(cfg, x.offset + 4);
    }
  }
  ASSERT_NE(headerAt, 0u);
  EXPECT_EQ(headerTotal, vcBytes);
  EXPECT_EQ(vcSubtypes, (std::vector<uint8_t>{1, 2, 5, 6, 3}));
  EXPECT_EQ(vcEndpoints, 1);
  EXPECT_EQ(streamingAlternates, 7);
  EXPECT_EQ(isoPackets[1], 128);
  EXPECT_EQ(isoPackets[7], 0x1400);

  // Video streaming alt 0: input header, MJPEG (frames, still, colour), YUY2 (same).
  std::vector<uint8_t> vs;
  for (const Desc& x : d)
    if (x.interface == 1 && x.alternate == 0 && x.type == 0x24) vs.push_back(x.subtype);
  std::vector<uint8_t> expected = {1, 6};
  expected.insert(expected.end(), 7, 7);
  expected.insert(expected.end(), {3, 0x0D, 4});
  expected.insert(expected.end(), 7, 5);
  expected.insert(expected.end(), {3, 0x0D});
  EXPECT_EQ(vs, expected);
}

TEST(CameraDescriptors, FrameDescriptorsCarryIntervalsAndSizes) {
  auto cam = camera::DefaultSimulatedCamera();
  const std::vector<uint8_t>& cfg = cam->ConfigurationDescriptor();
  std::vector<Desc> d;
  ASSERT_TRUE(camtest::Walk(cfg, &d));
  bool sawContinuous = false, sawDiscrete = false, saw320 = false, saw640 = false, saw160 = false,
       saw720 = false;
  for (const Desc& x : d) {
    if (x.interface != 1 || x.type != 0x24 || (x.subtype != 5 && x.subtype != 7)) continue;
    const size_t o = x.offset;
    const uint16_t w = camtest::Le16(cfg, o + 5), h = camtest::Le16(cfg, o + 7);
    saw160 |= w == 160 && h == 120;
    saw320 |= w == 320 && h == 240;
    saw640 |= w == 640 && h == 480;
    saw720 |= w == 1280 && h == 720;
    const uint8_t type = cfg[o + 25];
    if (type == 0) {
      sawContinuous = true;
      ASSERT_EQ(x.length, 38);
      const uint32_t mn = camtest::Le32(cfg, o + 26), mx = camtest::Le32(cfg, o + 30),
                     step = camtest::Le32(cfg, o + 34);
      EXPECT_LE(mn, mx);
      EXPECT_GT(step, 0u);
      const uint32_t def = camtest::Le32(cfg, o + 21);
      EXPECT_TRUE(def >= mn && def <= mx && (def - mn) % step == 0);
    } else {
      sawDiscrete = true;
      ASSERT_EQ(x.length, 26 + 4 * type);
      bool found = false;
      for (int i = 0; i < type; ++i)
        found |= camtest::Le32(cfg, o + 26 + 4 * i) == camtest::Le32(cfg, o + 21);
      EXPECT_TRUE(found) << "default interval must be one of the listed ones";
    }
    if (x.subtype == 5) {
      EXPECT_EQ(camtest::Le32(cfg, o + 17), uint32_t(w) * h * 2);
    }
  }
  EXPECT_TRUE(sawContinuous && sawDiscrete && saw160 && saw320 && saw640 && saw720);
}

TEST(CameraDescriptors, EveryProfileParsesBackToItsLayout) {
  for (const std::string& name : camtest::ProfileNames()) {
    SCOPED_TRACE(name);
    auto cam = Load(name);
    ASSERT_TRUE(cam);
    std::vector<Desc> d;
    ASSERT_TRUE(camtest::Walk(cam->ConfigurationDescriptor(), &d));
    const camera::CameraLayout& layout = cam->Layout();
    EXPECT_EQ(layout.controlInterface, 0);
    EXPECT_EQ(layout.streamingInterface, 1);
    EXPECT_FALSE(layout.formats.empty());
    for (const auto& f : layout.formats) EXPECT_FALSE(f.frames.empty());
    if (name == "bulk.json") {
      EXPECT_TRUE(layout.bulk);
      EXPECT_EQ(layout.bulkMaxPacketSize, 512);
      EXPECT_TRUE(layout.isoAlternateSettings.empty());
      // The bulk endpoint sits in alternate setting 0 of the streaming interface.
      int bulkEndpoints = 0;
      for (const Desc& x : d)
        if (x.type == 5 && x.interface == 1) {
          EXPECT_EQ(x.alternate, 0);
          ++bulkEndpoints;
        }
      EXPECT_EQ(bulkEndpoints, 1);
    } else {
      EXPECT_FALSE(layout.bulk);
      EXPECT_GE(layout.isoAlternateSettings.size(), 3u);
    }
    if (name == "full_speed.json") {
      EXPECT_FALSE(cam->HighSpeed());
      for (const auto& alt : layout.isoAlternateSettings) EXPECT_LE(alt.second, 1023);
    }
    if (name == "yuy2_only.json") {
      ASSERT_EQ(layout.formats.size(), 1u);
      EXPECT_EQ(layout.formats[0].kind, camera::FormatKind::kUncompressed);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(layout.formats[0].guid), 4), "YUY2");
    }
    bool hasPu = false;
    for (const auto& e : layout.entities) hasPu |= e.subtype == 5;
    EXPECT_EQ(hasPu, name != "no_processing_unit.json");
    bool hasStills = false;
    for (const auto& f : layout.formats) hasStills |= !f.stillSizes.empty();
    EXPECT_EQ(hasStills, name != "no_still.json");
    EXPECT_EQ(layout.stillCaptureMethod, hasStills ? 2 : 0);
    EXPECT_EQ(layout.hasInterruptEndpoint, name != "uyvy_no_interrupt.json");
  }
}

TEST(CameraDescriptors, EffectivePacketSizeCountsAdditionalTransactions) {
  EXPECT_EQ(camera::EffectivePacketSize(0x0400), 1024u);
  EXPECT_EQ(camera::EffectivePacketSize(0x0C00), 2048u);
  EXPECT_EQ(camera::EffectivePacketSize(0x1400), 3072u);
  EXPECT_EQ(camera::EffectivePacketSize(0x0B20), 1600u);
}

// ---- descriptor dumps ----

TEST(CameraDescriptorDump, OwnDumpLoadsBackToTheSameCamera) {
  for (const std::string& name : camtest::ProfileNames()) {
    SCOPED_TRACE(name);
    auto original = Load(name);
    ASSERT_TRUE(original);
    std::vector<uint8_t> dump = original->DescriptorDump();
    std::string error;
    auto copy = camera::SimulatedCameraFromDescriptors(dump, !original->HighSpeed(), &error);
    ASSERT_TRUE(copy) << error;
    EXPECT_EQ(copy->DeviceDescriptor(), original->DeviceDescriptor());
    EXPECT_EQ(copy->ConfigurationDescriptor(), original->ConfigurationDescriptor());
    EXPECT_EQ(copy->HighSpeed(), original->HighSpeed());
    EXPECT_EQ(copy->Layout().formats.size(), original->Layout().formats.size());
    EXPECT_EQ(copy->Layout().entities.size(), original->Layout().entities.size());
    // The copy negotiates like the original.
    const camera::ProbeControl a = original->CurrentProbe(), b = copy->CurrentProbe();
    EXPECT_EQ(a.bFormatIndex, b.bFormatIndex);
    EXPECT_EQ(a.bFrameIndex, b.bFrameIndex);
    EXPECT_EQ(a.dwMaxVideoFrameSize, b.dwMaxVideoFrameSize);
    if (original->Layout().bulk) {
      // The profile's bulk transfer size is not in the descriptors: a dump
      // camera asks for one frame plus its payload header per transfer.
      EXPECT_EQ(b.dwMaxPayloadTransferSize, b.dwMaxVideoFrameSize + 12);
    } else {
      EXPECT_EQ(a.dwMaxPayloadTransferSize, b.dwMaxPayloadTransferSize);
    }
  }
}

TEST(CameraDescriptorDump, LoadsFromAFileAndIgnoresFurtherConfigurations) {
  auto original = camera::DefaultSimulatedCamera();
  std::vector<uint8_t> dump = original->DescriptorDump();
  // Linux appends further configurations; only the first counts.
  dump.insert(dump.end(), {9, 2, 9, 0, 0, 2, 0, 0x80, 50});
  const std::string path = ::testing::TempDir() + "/uvccam_dump.bin";
  FILE* f = std::fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(std::fwrite(dump.data(), 1, dump.size(), f), dump.size());
  std::fclose(f);
  std::string error;
  auto cam = camera::CameraFromDescriptorFile(path, true, &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_FALSE(cam->HighSpeed());
  EXPECT_EQ(cam->ConfigurationDescriptor(), original->ConfigurationDescriptor());
  std::remove(path.c_str());

  EXPECT_FALSE(camera::CameraFromDescriptorFile(path + ".missing", false, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(CameraDescriptorDump, EveryTruncationIsRefusedWithAMessage) {
  const std::vector<uint8_t> dump = camera::DefaultSimulatedCamera()->DescriptorDump();
  for (size_t n = 0; n < dump.size(); ++n) {
    std::vector<uint8_t> cut(dump.begin(), dump.begin() + n);
    std::string error;
    auto cam = camera::CameraFromDescriptors(cut, false, &error);
    EXPECT_FALSE(cam) << "accepted a dump cut at " << n;
    EXPECT_FALSE(error.empty()) << n;
  }
}

TEST(CameraDescriptorDump, ExplainsWhatIsWrong) {
  const std::vector<uint8_t> good = camera::DefaultSimulatedCamera()->DescriptorDump();
  std::string error;

  std::vector<uint8_t> bad = good;
  bad[0] = 9;  // not a device descriptor
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("device descriptor"), std::string::npos) << error;

  bad = good;
  bad[18 + 2] = uint8_t(bad[18 + 2] + 1);  // wTotalLength one past the data
  if (bad[18 + 2] == 0) bad[18 + 3]++;
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("truncated"), std::string::npos) << error;

  // A zero bLength inside the configuration would loop forever in a naive walker.
  bad = good;
  bad[18 + 9] = 0;
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("bLength 0"), std::string::npos) << error;

  // The last descriptor claiming one byte more than the configuration holds.
  bad = good;
  {
    std::vector<Desc> all;
    std::vector<uint8_t> c(bad.begin() + 18, bad.end());
    ASSERT_TRUE(camtest::Walk(c, &all));
    bad[18 + all.back().offset] = uint8_t(all.back().length + 1);
  }
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("runs past the end"), std::string::npos) << error;

  // A frame descriptor claiming more intervals than its length holds.
  bad = good;
  std::vector<Desc> d;
  std::vector<uint8_t> cfg(bad.begin() + 18, bad.end());
  ASSERT_TRUE(camtest::Walk(cfg, &d));
  for (const Desc& x : d)
    if (x.type == 0x24 && x.subtype == 7) {
      bad[18 + x.offset + 25] = 60;
      break;
    }
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("intervals exceed"), std::string::npos) << error;

  // A format announcing more frames than follow.
  bad = good;
  for (const Desc& x : d)
    if (x.type == 0x24 && x.subtype == 6 && x.interface == 1) {
      bad[18 + x.offset + 4] = 9;
      break;
    }
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("declares 9 frame descriptors"), std::string::npos) << error;

  // No video-streaming interface at all.
  bad = good;
  for (const Desc& x : d)
    if (x.type == 4 && x.interface == 1) bad[18 + x.offset + 6] = 0x7F;
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("no video-streaming interface"), std::string::npos) << error;
}

TEST(CameraDescriptorDump, FormatsItCannotNegotiateAreCountedAndRefusedInProbes) {
  const std::vector<uint8_t> good = camera::DefaultSimulatedCamera()->DescriptorDump();
  std::vector<uint8_t> cfg(good.begin() + 18, good.end());
  std::vector<Desc> d;
  ASSERT_TRUE(camtest::Walk(cfg, &d));
  size_t header = 0, afterLastVs = 0;
  for (const Desc& x : d) {
    if (x.interface == 1 && x.alternate == 0 && x.type == 0x24) {
      if (x.subtype == 1) header = x.offset;
      afterLastVs = x.offset + x.length;
    }
  }
  ASSERT_NE(header, 0u);
  // An H.264 format with one frame descriptor (subtype 0x14), as newer cameras add.
  std::vector<uint8_t> h264 = {10, 0x24, 0x13, 3, 1, 0, 0, 0, 0, 0, 8, 0x24, 0x14, 1, 0, 0, 0, 0};
  cfg.insert(cfg.begin() + afterLastVs, h264.begin(), h264.end());
  cfg[header + 3] = 3;
  const uint16_t total = uint16_t(cfg.size());
  cfg[2] = uint8_t(total);
  cfg[3] = uint8_t(total >> 8);
  std::vector<uint8_t> dump(good.begin(), good.begin() + 18);
  dump.insert(dump.end(), cfg.begin(), cfg.end());
  std::string error;
  auto cam = camera::SimulatedCameraFromDescriptors(dump, false, &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_EQ(cam->Layout().formats.size(), 2u);
  std::vector<uint8_t> probe(26);
  camera::ProbeControl p;
  p.bFormatIndex = 3;
  p.bFrameIndex = 1;
  p.ToBytes(probe.data());
  EXPECT_FALSE(camtest::Out(*cam, 0x21, 0x01, 0x0100, 1, probe));

  // Without raising bNumFormats the count no longer matches.
  cfg[header + 3] = 2;
  dump.resize(18);
  dump.insert(dump.end(), cfg.begin(), cfg.end());
  EXPECT_FALSE(camera::SimulatedCameraFromDescriptors(dump, false, &error));
  EXPECT_NE(error.find("declares 2 formats but 3 follow"), std::string::npos) << error;
}

TEST(CameraDescriptorDump, RandomCorruptionNeverCrashes) {
  const std::vector<uint8_t> good = camera::DefaultSimulatedCamera()->DescriptorDump();
  std::mt19937 rng(1234);
  int accepted = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<uint8_t> bytes = good;
    const int flips = 1 + int(rng() % 6);
    for (int i = 0; i < flips; ++i) bytes[rng() % bytes.size()] = uint8_t(rng());
    if (rng() % 4 == 0) bytes.resize(rng() % bytes.size());
    std::string error;
    auto cam = camera::SimulatedCameraFromDescriptors(bytes, false, &error);
    if (cam) {
      ++accepted;
      // An accepted camera must answer its basic requests without trouble.
      auto r = camtest::In(*cam, 0xA1, 0x81, 0x0100, cam->Layout().streamingInterface, 26);
      EXPECT_FALSE(r.stalled);
      EXPECT_EQ(r.bytes.size(), 26u);
    } else {
      EXPECT_FALSE(error.empty());
    }
  }
  EXPECT_GT(accepted, 0);  // harmless flips (string indices, ids of unused fields) still load
}

}  // namespace
