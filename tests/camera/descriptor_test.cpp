// Generated descriptors: a camera's shape, parsed back to the profile; the dump
// loader takes a camera's own dump and refuses cut or garbled ones with a message.
#include <fstream>
#include <map>
#include <set>

#include "camera_test_util.h"

namespace {

using namespace camtest;

TEST(CameraDescriptors, DefaultConfigurationHasTheShapeOfACamera) {
  auto cam = camera::DefaultSimulatedCamera();
  const Bytes &dev = cam->DeviceDescriptor(), &cfg = cam->ConfigurationDescriptor();
  ASSERT_EQ(dev.size(), 18u);
  EXPECT_EQ(dev[4], 0xEF);  // miscellaneous class: the function is described by an IAD
  EXPECT_EQ(dev[17], 1);
  std::vector<Desc> d;
  ASSERT_TRUE(Walk(cfg, &d));
  ASSERT_EQ(Le16(cfg, 2), cfg.size());
  EXPECT_EQ(cfg[4], 2);  // two interfaces, both under the IAD that comes first
  ASSERT_EQ(d[1].type, 0x0B);
  EXPECT_EQ(Le16(cfg, d[1].offset + 2), 0x0200);
  Bytes vc, vs;  // class-specific subtypes of the control and the streaming interface
  std::map<int, uint16_t> iso;  // wMaxPacketSize by alternate setting
  std::map<std::pair<uint32_t, uint32_t>, int> sizes;
  size_t headerTotal = 0, vcBytes = 0, vcEndpoints = 0, continuous = 0, discrete = 0;
  for (const Desc& x : d) {
    const size_t o = x.offset;
    if (x.type == 5) {  // interrupt status endpoint, isochronous video endpoints; both IN
      EXPECT_EQ(cfg[o + 3] & 3, x.interface == 0 ? 3 : 1);
      EXPECT_TRUE(cfg[o + 2] & 0x80);
      if (x.interface == 0) ++vcEndpoints;
      else iso[x.alternate] = Le16(cfg, o + 4);
    }
    if (x.type != 0x24) continue;
    if (x.interface == 0) {
      vc.push_back(x.subtype);
      vcBytes += x.length;
      if (x.subtype == 1) headerTotal = Le16(cfg, o + 5);
      continue;
    }
    vs.push_back(x.subtype);
    if (x.subtype != 5 && x.subtype != 7) continue;
    // Frames: buffer size, then discrete intervals holding the default or a range and step.
    const uint32_t w = Le16(cfg, o + 5), h = Le16(cfg, o + 7), def = Le32(cfg, o + 21);
    const uint8_t n = cfg[o + 25];
    ++sizes[{w, h}];
    EXPECT_EQ(Le32(cfg, o + 17), w * h * (x.subtype == 5 ? 2 : 1));
    ASSERT_EQ(x.length, n ? 26 + 4 * n : 38);
    std::set<uint32_t> listed;
    for (int i = 0; i < n; ++i) listed.insert(Le32(cfg, o + 26 + 4 * i));
    const uint32_t mn = Le32(cfg, o + 26), mx = Le32(cfg, o + 30), step = Le32(cfg, o + 34);
    ++(n ? discrete : continuous);
    EXPECT_TRUE(n ? listed.count(def) : mn <= def && def <= mx && step && (def - mn) % step == 0)
        << w << "x" << h << " default " << def;
  }
  // Header, camera terminal, PU, XU, OT; one interrupt endpoint.
  EXPECT_EQ(vc, (Bytes{1, 2, 5, 6, 3}));
  EXPECT_EQ(headerTotal, vcBytes);
  EXPECT_EQ(vcEndpoints, 1u);
  EXPECT_EQ(iso.size(), 7u);  // alternate settings 1..7
  EXPECT_EQ(iso[1], 128);
  EXPECT_EQ(iso[7], 0x1400);
  // Input header, MJPEG (7 frames, still, colour), YUY2 (the same).
  Bytes expected = {1, 6, 7, 7, 7, 7, 7, 7, 7, 3, 0x0D, 4, 5, 5, 5, 5, 5, 5, 5, 3, 0x0D};
  EXPECT_EQ(vs, expected);
  EXPECT_TRUE(continuous && discrete);
  for (auto [w, h] : {std::pair(160u, 120u), {320u, 240u}, {640u, 480u}, {1280u, 720u}})
    EXPECT_EQ((sizes[{w, h}]), 2) << w << "x" << h;  // in both formats
}

TEST(CameraDescriptors, EveryProfileParsesBackToItsLayoutAndItsDumpLoadsBack) {
  for (const std::string& name : kProfiles) {
    SCOPED_TRACE(name);
    auto cam = Load(name);
    ASSERT_TRUE(cam);
    std::vector<Desc> d;
    ASSERT_TRUE(Walk(cam->ConfigurationDescriptor(), &d));
    const camera::CameraLayout& layout = cam->Layout();
    EXPECT_EQ(layout.bulk, name == "bulk.json");
    EXPECT_EQ(layout.bulkMaxPacketSize, layout.bulk ? 512 : 0);
    EXPECT_EQ(layout.isoAlternateSettings.size() >= 3, !layout.bulk);
    int bulkEndpoints = 0;  // in alternate setting 0 of the streaming interface
    for (const Desc& x : d) bulkEndpoints += x.type == 5 && x.interface == 1 && x.alternate == 0;
    EXPECT_EQ(bulkEndpoints, layout.bulk ? 1 : 0);
    EXPECT_EQ(cam->HighSpeed(), name != "full_speed.json");
    for (const auto& alt : layout.isoAlternateSettings)
      EXPECT_LE(alt.second, cam->HighSpeed() ? 0x1FFF : 1023);
    if (name == "yuy2_only.json") {
      ASSERT_EQ(layout.formats.size(), 1u);
      EXPECT_EQ(layout.formats[0].kind, camera::FormatKind::kUncompressed);
      EXPECT_EQ(std::string(reinterpret_cast<const char*>(layout.formats[0].guid), 4), "YUY2");
    }
    bool hasPu = false, hasStills = false;
    for (const auto& e : layout.entities) hasPu |= e.subtype == 5;
    for (const auto& f : layout.formats) hasStills |= !f.stillSizes.empty();
    EXPECT_EQ(hasPu, name != "no_processing_unit.json");
    EXPECT_EQ(hasStills, name != "no_still.json");
    EXPECT_EQ(layout.stillCaptureMethod, hasStills ? 2 : 0);
    EXPECT_EQ(layout.hasInterruptEndpoint, name != "uyvy_no_interrupt.json");

    // The camera's own dump loads back into a camera that negotiates alike.
    std::string error;
    auto copy =
        camera::SimulatedCameraFromDescriptors(cam->DescriptorDump(), !cam->HighSpeed(), &error);
    ASSERT_TRUE(copy) << error;
    EXPECT_EQ(copy->DeviceDescriptor(), cam->DeviceDescriptor());
    EXPECT_EQ(copy->ConfigurationDescriptor(), cam->ConfigurationDescriptor());
    const camera::ProbeControl a = cam->CurrentProbe(), b = copy->CurrentProbe();
    EXPECT_EQ(Key(a), Key(b));
    // The profile's bulk transfer size is not in the descriptors: a dump
    // camera asks for one frame plus its payload header per transfer.
    EXPECT_EQ(b.dwMaxPayloadTransferSize,
              layout.bulk ? b.dwMaxVideoFrameSize + 12 : a.dwMaxPayloadTransferSize);
  }
}

TEST(CameraDescriptorDump, LoadsFromAFileAndIgnoresFurtherConfigurations) {
  auto original = camera::DefaultSimulatedCamera();
  Bytes dump = original->DescriptorDump();
  dump.insert(dump.end(), {9, 2, 9, 0, 0, 2, 0, 0x80, 50});  // only the first counts
  const std::string path = ::testing::TempDir() + "/uvccam_dump.bin";
  ASSERT_TRUE(std::ofstream(path, std::ios::binary)
                  .write(reinterpret_cast<const char*>(dump.data()), std::streamsize(dump.size())));
  std::string error;
  auto cam = camera::CameraFromDescriptorFile(path, true, &error);
  std::remove(path.c_str());
  ASSERT_TRUE(cam) << error;
  EXPECT_FALSE(cam->HighSpeed());
  EXPECT_EQ(cam->ConfigurationDescriptor(), original->ConfigurationDescriptor());
  EXPECT_FALSE(camera::CameraFromDescriptorFile(path + ".missing", false, &error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;
}

TEST(CameraDescriptorDump, TruncatedAndMalformedDumpsAreRefusedWithAMessage) {
  const Bytes good = camera::DefaultSimulatedCamera()->DescriptorDump();
  for (size_t n = 0; n < good.size(); ++n) {
    std::string error;
    EXPECT_FALSE(camera::CameraFromDescriptors(Bytes(good.begin(), good.begin() + n), false,
                                               &error)) << "accepted a dump cut at " << n;
    const char* why = n < 18 ? "too short" : n < 27 ? "no configuration" : "truncated";
    EXPECT_NE(error.find(why), std::string::npos) << n << ": " << error;
  }
  std::vector<Desc> d;
  ASSERT_TRUE(Walk(Bytes(good.begin() + 18, good.end()), &d));
  std::map<int, size_t> first;  // dump offset of the first streaming descriptor by subtype
  for (auto x = d.rbegin(); x != d.rend(); ++x)
    if (x->type == 0x24 && x->interface == 1) first[x->subtype] = 18 + x->offset;
  std::string error;
  const struct { size_t at; uint8_t value; const char* message; } cases[] = {
      {0, 9, "device descriptor"},
      {18 + 9, 0, "bLength 0"},  // would loop a naive walker forever
      {18 + d.back().offset, uint8_t(d.back().length + 1), "runs past the end"},
      {first[7] + 25, 60, "intervals exceed"},
      {first[6] + 4, 9, "declares 9 frame descriptors"},
  };
  for (const auto& c : cases) {
    Bytes bad = good;
    bad[c.at] = c.value;
    EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error)) << c.message;
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
  Bytes bad = good;
  for (const Desc& x : d)
    if (x.type == 4 && x.interface == 1) bad[18 + x.offset + 6] = 0x7F;  // not streaming
  EXPECT_FALSE(camera::CameraFromDescriptors(bad, false, &error));
  EXPECT_NE(error.find("no video-streaming interface"), std::string::npos) << error;
}

TEST(CameraDescriptorDump, FormatsItCannotNegotiateAreCountedAndRefusedInProbes) {
  const Bytes good = camera::DefaultSimulatedCamera()->DescriptorDump();
  Bytes cfg(good.begin() + 18, good.end());
  std::vector<Desc> d;
  ASSERT_TRUE(Walk(cfg, &d));
  size_t header = 0, afterLastVs = 0;
  for (const Desc& x : d) {
    if (x.interface != 1 || x.alternate != 0 || x.type != 0x24) continue;
    if (x.subtype == 1) header = x.offset;
    afterLastVs = x.offset + x.length;
  }
  ASSERT_NE(header, 0u);
  // An H.264 format with one frame descriptor (subtype 0x14), as newer cameras add.
  const Bytes h264 = {10, 0x24, 0x13, 3, 1, 0, 0, 0, 0, 0, 8, 0x24, 0x14, 1, 0, 0, 0, 0};
  cfg.insert(cfg.begin() + afterLastVs, h264.begin(), h264.end());
  cfg[2] = uint8_t(cfg.size());
  cfg[3] = uint8_t(cfg.size() >> 8);
  auto dumpWithFormats = [&](uint8_t bNumFormats) {
    cfg[header + 3] = bNumFormats;
    Bytes dump = cfg;
    dump.insert(dump.begin(), good.begin(), good.begin() + 18);
    return dump;
  };
  std::string error;
  auto cam = camera::SimulatedCameraFromDescriptors(dumpWithFormats(3), false, &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_EQ(cam->Layout().formats.size(), 2u);
  EXPECT_FALSE(SetProbe(*cam, 3, 1, 333333));
  // Declaring fewer formats than follow is refused; more loads (the walk uses what is there).
  EXPECT_FALSE(camera::SimulatedCameraFromDescriptors(dumpWithFormats(2), false, &error));
  EXPECT_NE(error.find("declares 2 formats but 3 follow"), std::string::npos) << error;
  for (uint8_t more : {4, 8})
    EXPECT_TRUE(camera::SimulatedCameraFromDescriptors(dumpWithFormats(more), false, &error)) << error;
}

}  // namespace
