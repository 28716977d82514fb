// Generated descriptors: a camera's shape, parsed back to the profile; the dump
// loader takes a camera's own dump and refuses cut or garbled ones with a message.
#include <map>
#include <set>

#include "camera_test_util.h"
#include "tests/usb/camera_rig.h"

namespace {

using namespace camtest;

TEST(CameraDescriptors, DefaultConfigurationHasTheShapeOfACamera) {
  auto cam = camera::DefaultSimulatedCamera();
  const Bytes &dev = cam->DeviceDescriptor(), &cfg = cam->ConfigurationDescriptor();
  ASSERT_EQ(dev.size(), 18u);
  EXPECT_EQ(dev[4], 0xEF);  // miscellaneous class: the function is described by an IAD
  std::vector<Desc> d;
  ASSERT_TRUE(Walk(cfg, &d));
  ASSERT_EQ(Le16(cfg, 2), cfg.size());
  // Two interfaces, both under the IAD that comes first. (The units and
  // formats the profile lists are parsed back in the next test.)
  EXPECT_EQ(std::make_tuple(cfg[4], d[1].type, Le16(cfg, d[1].offset + 2)), std::make_tuple(2, 0x0B, 0x0200));
  size_t headerTotal = 0, vcBytes = 0, vcEndpoints = 0;
  for (const Desc& x : d) {
    const size_t o = x.offset;
    vcEndpoints += x.type == 5 && x.interface == 0;  // endpoint types are checked by the USB layer's tests
    if (x.type == 0x24 && x.interface == 0) {
      vcBytes += x.length;
      if (x.subtype == 1) headerTotal = Le16(cfg, o + 5);
    }
    if (x.type != 0x24 || x.interface != 1 || (x.subtype != 5 && x.subtype != 7)) continue;
    // Frames: buffer size, then discrete intervals holding the default or a range and step.
    const uint32_t w = Le16(cfg, o + 5), h = Le16(cfg, o + 7), def = Le32(cfg, o + 21);
    const uint8_t n = cfg[o + 25];
    EXPECT_EQ(Le32(cfg, o + 17), w * h * (x.subtype == 5 ? 2 : 1));
    ASSERT_EQ(x.length, n ? 26 + 4 * n : 38);
    std::set<uint32_t> listed;
    for (int i = 0; i < n; ++i) listed.insert(Le32(cfg, o + 26 + 4 * i));
    const uint32_t mn = Le32(cfg, o + 26), mx = Le32(cfg, o + 30), step = Le32(cfg, o + 34);
    EXPECT_TRUE(n ? listed.count(def) : mn <= def && def <= mx && step && (def - mn) % step == 0)
        << w << "x" << h << " default " << def;
  }
  // The control interface's header covers its units; one interrupt endpoint.
  EXPECT_EQ(std::make_tuple(headerTotal, vcEndpoints), std::make_tuple(vcBytes, size_t(1)));
}

TEST(CameraDescriptors, EveryProfileParsesBackToItsLayoutAndItsDumpLoadsBack) {
  for (const std::string& name : kProfiles) {
    SCOPED_TRACE(name);
    auto cam = Load(name);
    ASSERT_TRUE(cam);
    std::vector<Desc> d;
    ASSERT_TRUE(Walk(cam->ConfigurationDescriptor(), &d));
    // The features the profiles are named for (the USB layer's tests check
    // that the descriptors carry the layout).
    const camera::CameraLayout& layout = cam->Layout();
    bool hasPu = false, hasStills = false;
    for (const auto& e : layout.entities) hasPu |= e.subtype == 5;
    for (const auto& f : layout.formats) hasStills |= !f.stillSizes.empty();
    EXPECT_EQ(std::vector<bool>({layout.bulk, cam->HighSpeed(), hasPu, hasStills, layout.hasInterruptEndpoint,
                                 layout.formats.size() == 1}),
              std::vector<bool>({name == "bulk.json", name != "full_speed.json", name != "no_processing_unit.json",
                                 name != "no_still.json", name != "uyvy_no_interrupt.json", name == "yuy2_only.json"}));
    EXPECT_EQ(layout.stillCaptureMethod, hasStills ? 2 : 0);

    // The camera's own dump loads back into a camera that negotiates alike;
    // a further configuration after it is ignored. (Dump files are read by the
    // command line's tests.)
    std::string error;
    Bytes dump = cam->DescriptorDump();
    dump.insert(dump.end(), {9, 2, 9, 0, 0, 2, 0, 0x80, 50});
    auto copy = camera::SimulatedCameraFromDescriptors(dump, !cam->HighSpeed(), &error);
    ASSERT_TRUE(copy) << error;
    EXPECT_EQ(copy->DeviceDescriptor(), cam->DeviceDescriptor());
    EXPECT_EQ(copy->ConfigurationDescriptor(), cam->ConfigurationDescriptor());
    const camera::ProbeControl a = cam->CurrentProbe(), b = copy->CurrentProbe();
    EXPECT_EQ(Key(a), Key(b));
    // The profile's bulk transfer size is not in the descriptors: a dump
    // camera asks for one frame plus its payload header per transfer.
    EXPECT_EQ(b.dwMaxPayloadTransferSize, layout.bulk ? b.dwMaxVideoFrameSize + 12 : a.dwMaxPayloadTransferSize);
  }
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

// An H.264 format with one frame descriptor (subtype 0x14), as newer cameras
// add, after an MJPEG one: counted, never offered, and the declared count
// may not be short of the formats that follow.
TEST(CameraDescriptorDump, FormatsItCannotNegotiateAreCountedAndRefusedInProbes) {
  auto dump = [](uint8_t bNumFormats) {
    rig::ConfigBuilder b;
    b.Interface(0, 0, 14, 1, 1).Raw({13, 0x24, 1, 0x00, 0x01, 13, 0, 0, 0, 0, 0, 1, 1}).Endpoint(0x83, 3, 16, 6);
    b.Interface(1, 0, 14, 2, 0).InputHeader(bNumFormats).Mjpeg(1, {{640, 480}});
    b.Raw({10, 0x24, 0x13, 2, 1, 0, 0, 0, 0, 0, 8, 0x24, 0x14, 1, 0, 0, 0, 0});
    b.Interface(1, 1, 14, 2, 1).Endpoint(0x81, 5, 1024);
    Bytes d = rig::kDevice, cfg = b.Build();
    return d.insert(d.end(), cfg.begin(), cfg.end()), d;
  };
  std::string error;
  auto cam = camera::SimulatedCameraFromDescriptors(dump(2), false, &error);
  ASSERT_TRUE(cam) << error;
  EXPECT_EQ(cam->Layout().formats.size(), 1u);
  EXPECT_FALSE(SetProbe(*cam, 2, 1, 333333));
  EXPECT_FALSE(camera::SimulatedCameraFromDescriptors(dump(1), false, &error));
  EXPECT_NE(error.find("declares 1 formats but 2 follow"), std::string::npos) << error;
  for (uint8_t more : {3, 8})
    EXPECT_TRUE(camera::SimulatedCameraFromDescriptors(dump(more), false, &error)) << error;
}

}  // namespace
