// The driver through the client on simulated cameras: allocation failures
// in Start, surprise removal, the capture slot across filters, the still
// pin, data ranges, the intersect handler and the pins' format checks on
// hostile formats, property dispatch.
#include "controls/property_sets.h"
#include "tests/driver/capture_rig.h"

namespace {

using capture_test::Bytes;
using rig::Prop;
using client::Camera;
using client::Filter;
using client::Pin;

// The capture rig with the host clock fast for the start paths.
class DriverTest : public capture_test::CaptureRig {
 protected:
  DriverTest() { clockRate_ = 1000.0; }
  Filter* Open() {
    Filter* f = nullptr;
    EXPECT_EQ(cam_->OpenFilter(&f), STATUS_SUCCESS);
    return f;
  }
  // A YUY2 capture format (every filter of the device offers the same).
  Bytes Yuy2(ULONG w = 640, ULONG h = 480) { return Format(kCapturePinId, w, h, kSubtypeYuy2); }
};

// Every allocation of Start fails once: Start fails cleanly, the driver's
// pool counts fall back, Stop after the failure frees nothing twice, and the
// next Start succeeds.
TEST_F(DriverTest, AllocationFailureAtEveryAllocationOfStart) {
  Plug("default.json", false);
  uint64_t before = host::PoolAllocationCount();
  ASSERT_EQ(cam_->Start(), STATUS_SUCCESS);
  uint64_t perStart = host::PoolAllocationCount() - before;
  ASSERT_GT(perStart, 10u);
  cam_.reset();
  int failures = 0;
  for (uint64_t n = 1; n <= perStart; ++n) {
    SCOPED_TRACE(n);
    Plug("default.json", false);
    uint64_t live = host::PoolOutstanding();
    host::PoolFailNth(n);
    NTSTATUS s = cam_->Start();
    host::PoolFailNth(0);
    if (!NT_SUCCESS(s)) {
      ++failures;
      EXPECT_EQ(host::PoolOutstanding(), live) << host::PoolLeakReport();
      EXPECT_TRUE(host::KsFactories(cam_->Device()).empty());
      EXPECT_EQ(host::KsStopDevice(cam_->Device()), STATUS_SUCCESS);
      EXPECT_EQ(cam_->Start(), STATUS_SUCCESS);
    }
    EXPECT_TRUE(Open());
    cam_.reset();
  }
  // Most allocations are fatal to Start; those of the control-range reads
  // are not (a failed read gives 0, as a failed camera reply does).
  EXPECT_GT(failures, int(perStart / 3));
}

TEST_F(DriverTest, AddFailsCleanlyWithoutMemory) {
  host::PoolFailTag(kTagContext);
  std::unique_ptr<Camera> cam;
  EXPECT_EQ(Camera::Plug(camera::DefaultCamera(), &cam), STATUS_INSUFFICIENT_RESOURCES);
  host::PoolFailTag(0);
  EXPECT_FALSE(cam);
}

TEST_F(DriverTest, SurpriseRemovalRefusesRequestsWithoutSendingOrHanging) {
  Plug();
  Pin* capture = CreateCapture(640, 480, kSubtypeYuy2);
  ASSERT_TRUE(capture);
  cam_->SurpriseRemove();
  cam_->Bus().ResetCounters();
  EXPECT_EQ(capture->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_EQ(capture->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  Filter* again = nullptr;
  EXPECT_EQ(cam_->OpenFilter(&again), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(cam_->Bus().DeviceRequests(), 0u);
  EXPECT_EQ(cam_->Stop(), STATUS_SUCCESS);
}

TEST_F(DriverTest, CaptureSlotAndOwnershipAcrossTwoFilters) {
  Plug();
  Filter* a = filter_;
  Filter* b = Open();
  EXPECT_EQ(Device()->openCount, 2);
  Pin *pa = nullptr, *pb = nullptr, *extra = nullptr;
  ASSERT_EQ(a->CreatePin(kCapturePinId, Yuy2(), &pa), STATUS_SUCCESS);
  EXPECT_EQ(a->CreatePin(kCapturePinId, Yuy2(), &extra), STATUS_UNSUCCESSFUL) << "one instance";
  ASSERT_EQ(b->CreatePin(kCapturePinId, Yuy2(320, 240), &pb), STATUS_SUCCESS);
  // The slot's owner after each state change; a refused pin leaves it alone.
  const struct { Pin* pin; KSSTATE state; NTSTATUS status; LONG slot; } steps[] = {
      {pb, KSSTATE_ACQUIRE, STATUS_SHARING_VIOLATION, 0}, {pa, KSSTATE_RUN, STATUS_SUCCESS, 1},
      {pb, KSSTATE_ACQUIRE, STATUS_SHARING_VIOLATION, 1}, {pa, KSSTATE_STOP, STATUS_SUCCESS, 0}};
  for (const auto& t : steps) {
    EXPECT_EQ(t.pin->SetState(t.state), t.status);
    EXPECT_EQ(Device()->captureSlot, t.slot);
  }
  a->ClosePin(pa);
  b->ClosePin(pb);
  ASSERT_EQ(b->CreatePin(kCapturePinId, Yuy2(320, 240), &pb), STATUS_SUCCESS);
  EXPECT_EQ(pb->SetState(KSSTATE_RUN), STATUS_SUCCESS) << "ownership went with the closed pin";
  EXPECT_EQ(pb->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  cam_->CloseFilter(a);
  cam_->CloseFilter(b);
  EXPECT_EQ(std::make_tuple(Device()->openCount, Device()->effects->idle.idleAllowed), std::make_tuple(0L, 1UL));
}

TEST_F(DriverTest, StillPinNeedsTheCaptureFormatAndRegistersAtAcquire) {
  Plug();
  Filter* f = filter_;
  auto pins = f->Pins();
  ASSERT_FALSE(pins[1].ranges.empty());
  std::vector<uint8_t> still;
  ASSERT_EQ(f->Intersect(kStillPinId, pins[1].ranges.back(), &still), STATUS_SUCCESS);
  Pin *sp = nullptr, *cp = nullptr;
  EXPECT_EQ(f->CreatePin(kStillPinId, still, &sp), STATUS_NO_MATCH);
  ASSERT_EQ(f->CreatePin(kCapturePinId, Yuy2(), &cp), STATUS_SUCCESS);
  ASSERT_EQ(f->CreatePin(kStillPinId, still, &sp), STATUS_SUCCESS);
  EXPECT_EQ(Device()->effects->stillPinPresent, 1u);
  ASSERT_EQ(cp->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(sp->SetState(KSSTATE_RUN), STATUS_SUCCESS);
  EXPECT_NE(Device()->stillPin, nullptr);
  f->ClosePin(sp);
  EXPECT_TRUE(!Device()->stillPin && !Device()->effects->stillPinPresent) << "no dangling still pin after close";
}

TEST_F(DriverTest, PinFramingFollowsTheFormat) {
  Plug();
  Pin* p = CreateCapture(640, 480, kSubtypeYuy2);
  ASSERT_TRUE(p);
  KSPROPERTY prop = Prop(kConnectionSet, KSPROPERTY_CONNECTION_ALLOCATORFRAMING, KSPROPERTY_TYPE_GET);
  KSALLOCATOR_FRAMING framing{};
  ULONG got = 0;
  ASSERT_EQ(p->Property(&prop, sizeof prop, &framing, sizeof framing, &got), STATUS_SUCCESS);
  EXPECT_EQ(std::make_tuple(got, framing.RequirementsFlags, framing.FrameSize),
            std::make_tuple(24UL, 0x80000003UL, 640UL * 480 * 2));
  EXPECT_EQ(p->Handle()->Descriptor->AllocatorFraming->FramingItem[0].FramingRange.Range.MaxFrameSize,
            640u * 480 * 2) << "the pin's own framing copy";
}

// Property dispatch in front of the handlers.
TEST_F(DriverTest, PropertyDispatchChecks) {
  Plug();
  Filter* f = filter_;
  const GUID unknown = {1, 2, 3, {4, 5, 6, 7, 8, 9, 10, 11}};
  const struct {
    const char* name;
    GUID set;
    ULONG id, flags, propertyLength, dataLength;
    NTSTATUS status;
    ULONG returned;
  } cases[] = {
      {"unknown set", unknown, 0, KSPROPERTY_TYPE_GET, 56, 56, STATUS_NOT_FOUND, 0},
      {"unknown item", kVendorControlSet, 99, KSPROPERTY_TYPE_GET, 56, 56, STATUS_NOT_FOUND, 0},
      {"short property", kVendorControlSet, 0, KSPROPERTY_TYPE_GET, 55, 56, STATUS_BUFFER_TOO_SMALL, 0},
      {"size query", kVendorControlSet, 0, KSPROPERTY_TYPE_GET, 56, 0, STATUS_BUFFER_OVERFLOW, 56},
      {"short data", kVendorControlSet, 0, KSPROPERTY_TYPE_GET, 56, 55, STATUS_BUFFER_TOO_SMALL, 0},
      {"no set handler", kVideoCompressionSet, 0, KSPROPERTY_TYPE_SET, 48, 48, STATUS_INVALID_DEVICE_REQUEST, 0},
      {"vendor handler", kVendorControlSet, 255, KSPROPERTY_TYPE_SET, 56, 56, STATUS_SUCCESS, 0},
      {"frame rates take no data minimum", kVideoControlSet, 2, KSPROPERTY_TYPE_GET, 40, 0, STATUS_BUFFER_OVERFLOW, 248},
  };
  for (const auto& c : cases) {
    Bytes property(c.propertyLength), data(c.dataLength + 1);
    KSPROPERTY p = Prop(c.set, c.id, c.flags);
    std::memcpy(property.data(), &p, std::min<size_t>(sizeof p, property.size()));
    ULONG got = 0;
    EXPECT_EQ(f->Property(property.data(), c.propertyLength, data.data(), c.dataLength, &got), c.status) << c.name;
    EXPECT_EQ(got, c.returned) << c.name;
  }
  KSP_NODE node{};
  node.Property = Prop(kExtensionUnitSet, 1, KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_TOPOLOGY);
  UCHAR data[8];
  ULONG got = 0;
  EXPECT_EQ(f->Property(&node, sizeof node, data, sizeof data, &got), STATUS_SUCCESS);
  node.NodeId = 1;
  EXPECT_EQ(f->Property(&node, sizeof node, data, sizeof data, &got), STATUS_INVALID_DEVICE_REQUEST);
  EXPECT_EQ(f->Property(&node, sizeof(KSPROPERTY), data, sizeof data, &got), STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(f->Handle()->Descriptor->AutomationTable->PropertySetsCount, 5u)
      << "camera-control and proc-amp sets come with the control ranges";
}

// ---- the intersect handler and the format checks on hostile input ----

KS_DATARANGE_VIDEO Range(ULONG w, ULONG h, const GUID& s) {
  KS_DATARANGE_VIDEO r;
  EXPECT_TRUE(FillVideoRange(&r, w, h, s));
  return r;
}

NTSTATUS Intersect(KS_DATARANGE_VIDEO caller, KS_DATARANGE_VIDEO ours, ULONG bufferSize, Bytes* out, ULONG* size) {
  out->assign(bufferSize, 0xCD);
  return IntersectHandler(nullptr, nullptr, nullptr, &caller.DataRange, &ours.DataRange, bufferSize,
                          bufferSize ? out->data() : nullptr, size);
}

TEST(IntersectHandlerTest, HostileCallerRanges) {
  const KS_DATARANGE_VIDEO ours = Range(640, 480, kSubtypeYuy2);
  struct Case { const char* name; void (*edit)(KS_DATARANGE_VIDEO*); NTSTATUS status; };
  const Case cases[] = {
      {"as offered", [](KS_DATARANGE_VIDEO*) {}, STATUS_SUCCESS},
      {"biSize 0", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 0; }, STATUS_INVALID_PARAMETER},
      {"biSize 39", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 39; }, STATUS_INVALID_PARAMETER},
      {"biSize 41 beyond the range", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 41; }, STATUS_INVALID_PARAMETER},
      {"biSize wrapping", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biSize = 0xFFFFFF10; }, STATUS_INVALID_PARAMETER},
      {"width negative", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biWidth = -640; }, STATUS_NO_MATCH},
      {"width zero", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biWidth = 0; }, STATUS_NO_MATCH},
      {"height zero", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biHeight = 0; }, STATUS_NO_MATCH},
      {"bit count 0", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biBitCount = 0; }, STATUS_INVALID_PARAMETER},
      {"bit count 32", [](KS_DATARANGE_VIDEO* r) { r->VideoInfoHeader.bmiHeader.biBitCount = 32; }, STATUS_INVALID_PARAMETER},
      {"foreign specifier", [](KS_DATARANGE_VIDEO* r) { r->DataRange.Specifier = kFormatTypeVideo; }, STATUS_NO_MATCH},
      {"short range", [](KS_DATARANGE_VIDEO* r) { r->DataRange.FormatSize = 295; }, STATUS_NO_MATCH},
      {"other config caps", [](KS_DATARANGE_VIDEO* r) { r->ConfigCaps.StretchTapsX = 1; }, STATUS_NO_MATCH},
  };
  for (const Case& c : cases) {
    KS_DATARANGE_VIDEO caller = ours;
    c.edit(&caller);
    Bytes out;
    ULONG size = 0;
    EXPECT_EQ(Intersect(caller, ours, 152, &out, &size), c.status) << c.name;
  }
}

TEST(IntersectHandlerTest, SizesIntervalAndBuffers) {
  const KS_DATARANGE_VIDEO ours = Range(640, 480, kSubtypeYuy2);
  std::vector<uint8_t> out;
  ULONG size = 0;
  EXPECT_EQ(Intersect(ours, ours, 0, &out, &size), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(size, 152u);
  EXPECT_EQ(Intersect(ours, ours, 151, &out, &size), STATUS_BUFFER_TOO_SMALL);
  KS_DATARANGE_VIDEO fast = ours;
  fast.VideoInfoHeader.AvgTimePerFrame = 1;
  ASSERT_EQ(Intersect(fast, ours, 152, &out, &size), STATUS_SUCCESS);
  auto* f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out.data());
  EXPECT_EQ(f->DataFormat.FormatSize, 152u);
  EXPECT_EQ(f->VideoInfoHeader.AvgTimePerFrame, 333333) << "held to the range's minimum interval";
  EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, 614400u);
  for (auto [w, h, bytes] : {std::tuple<ULONG, ULONG, ULONG>{640, 480, 921600}, {642, 480, 1928 * 480}}) {
    const KS_DATARANGE_VIDEO rgb = Range(w, h, kSubtypeRgb24);
    ASSERT_EQ(Intersect(rgb, rgb, 152, &out, &size), STATUS_SUCCESS);
    f = reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(out.data());
    EXPECT_EQ(f->DataFormat.SampleSize, bytes);
    EXPECT_EQ(f->VideoInfoHeader.bmiHeader.biSizeImage, bytes);
  }
}

TEST(DataRangeTest, SizesBeyond32BitsAreLeftOutAndBitRatesSaturate) {
  KS_DATARANGE_VIDEO r;
  EXPECT_FALSE(FillVideoRange(&r, 65535, 65535, kSubtypeRgb24));
  EXPECT_FALSE(FillVideoRange(&r, 640, 480, MakeFourccSubtype('N', 'V', '1', '2')));
  ASSERT_TRUE(FillVideoRange(&r, 16384, 16384, kSubtypeYuy2));
  EXPECT_EQ(r.DataRange.SampleSize, 16384u * 16384 * 2);
  EXPECT_EQ(r.VideoInfoHeader.dwBitRate, 0xFFFFFFFFu);
  EXPECT_EQ(r.ConfigCaps.MaxBitsPerSecond, 0x7FFFFFFF);
  FrameFormat nv12{};
  nv12.inputWidth = nv12.outputWidth = 640;
  nv12.inputHeight = nv12.outputHeight = 480;
  nv12.inputSubtype = MakeFourccSubtype('N', 'V', '1', '2');
  nv12.outputSubtype = kSubtypeYuy2;
  EXPECT_FALSE(EntryUsable(nv12)) << "a camera format the pipeline cannot take is not advertised";
}

// The pins' format checks when a pin is created with a hostile format.
KSDATAFORMAT* F(Bytes* v) { return reinterpret_cast<KSDATAFORMAT*>(v->data()); }
KS_VIDEOINFOHEADER* V(Bytes* v) { return &reinterpret_cast<KS_DATAFORMAT_VIDEOINFOHEADER*>(v->data())->VideoInfoHeader; }
TEST_F(DriverTest, PinCreationRefusesHostileFormats) {
  Plug();
  Filter* f = filter_;
  const Bytes good = Yuy2();
  struct Case { const char* name; void (*edit)(Bytes*); NTSTATUS status; };
  const Case cases[] = {
      {"biSize 39", [](Bytes* v) { V(v)->bmiHeader.biSize = 39; }, STATUS_INVALID_PARAMETER},
      {"biSize beyond the format", [](Bytes* v) { V(v)->bmiHeader.biSize = 41; }, STATUS_INVALID_PARAMETER},
      {"biSize wrapping", [](Bytes* v) { V(v)->bmiHeader.biSize = 0xFFFFFFA0; }, STATUS_INVALID_PARAMETER},
      {"image too small", [](Bytes* v) { V(v)->bmiHeader.biSizeImage = 614399; }, STATUS_INVALID_PARAMETER},
      {"interval 0", [](Bytes* v) { V(v)->AvgTimePerFrame = 0; }, STATUS_INVALID_PARAMETER},
      {"interval above 1 s", [](Bytes* v) { V(v)->AvgTimePerFrame = 10000001; }, STATUS_INVALID_PARAMETER},
      {"size in no range", [](Bytes* v) { V(v)->bmiHeader.biWidth = 641; }, STATUS_NO_MATCH},
      {"short format", [](Bytes* v) { v->resize(151), F(v)->FormatSize = 151; }, STATUS_NO_MATCH},
      {"format size beyond the buffer", [](Bytes* v) { F(v)->FormatSize = 153; }, STATUS_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<uint8_t> format = good;
    c.edit(&format);
    Pin* p = nullptr;
    EXPECT_EQ(f->CreatePin(kCapturePinId, format, &p), c.status);
    EXPECT_EQ(host::KsPinInstances(f->Handle(), kCapturePinId), 0u);
  }
  Pin* p = nullptr;
  ASSERT_EQ(f->CreatePin(kCapturePinId, good, &p), STATUS_SUCCESS);
  ASSERT_EQ(p->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
  EXPECT_EQ(p->SetFormat(Yuy2(320, 240)), STATUS_INVALID_DEVICE_STATE);
  ASSERT_EQ(p->SetState(KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(p->SetFormat(Yuy2(320, 240)), STATUS_SUCCESS);
}

}  // namespace
