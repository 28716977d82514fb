// The host kernel-streaming runtime on its own, under a small minidriver
// written here: object bags and _KsEdit, pin creation against the ranges,
// state steps, processing that is never re-entered, stream pointers over
// the application's buffers and the reference clock.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/host/host_control.h"
#include "platform/host/ks_host.h"

namespace {

constexpr ULONG kTag = 0x74736554;  // "Test"

struct Recorder {
  std::vector<int> freed;
  std::vector<std::pair<int, int>> states;
  std::vector<ULONG> formatCalls;  // SampleSize of each range offered
  NTSTATUS createStatus = STATUS_SUCCESS;
  std::atomic<int> inProcess{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> processCalls{0};
  bool deliver = false;
};
Recorder* gRec = nullptr;

void FreeItem(PVOID item) {
  gRec->freed.push_back(*static_cast<int*>(item));
  ExFreePoolWithTag(item, kTag);
}

int* NewItem(int value) {
  auto* p = static_cast<int*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(int), kTag));
  *p = value;
  return p;
}

NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
  EXPECT_EQ(KsGetPinFromIrp(irp), pin);
  EXPECT_NE(KsGetFilterFromIrp(irp), nullptr);
  EXPECT_EQ(KsAddItemToObjectBag(pin->Bag, NewItem(7), FreeItem), STATUS_SUCCESS);
  return gRec->createStatus;
}

NTSTATUS PinSetDataFormat(PKSPIN, PKSDATAFORMAT, PKSMULTIPLE_ITEM, const KSDATARANGE* range,
                          const KSATTRIBUTE_LIST*) {
  gRec->formatCalls.push_back(range->SampleSize);
  return range->SampleSize == 2 ? STATUS_SUCCESS : STATUS_NO_MATCH;
}

NTSTATUS PinSetDeviceState(PKSPIN, KSSTATE to, KSSTATE from) {
  gRec->states.emplace_back(from, to);
  return STATUS_SUCCESS;
}

NTSTATUS PinProcess(PKSPIN pin) {
  if (gRec->inProcess.fetch_add(1) != 0) gRec->overlaps.fetch_add(1);
  gRec->processCalls.fetch_add(1);
  std::this_thread::sleep_for(std::chrono::microseconds(200));
  if (gRec->deliver) {
    while (PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED)) {
      std::memset(sp->OffsetOut.Data, 0x5A, sp->OffsetOut.Count);
      sp->StreamHeader->DataUsed = sp->OffsetOut.Count;
      KsStreamPointerUnlock(sp, TRUE);
    }
  }
  gRec->inProcess.fetch_sub(1);
  return STATUS_PENDING;
}

const KSPIN_DISPATCH kPinDispatch = {PinCreate, nullptr, PinProcess, nullptr, PinSetDataFormat,
                                     PinSetDeviceState, nullptr, nullptr, nullptr, nullptr};

KSDATARANGE MakeRange(ULONG tag) {
  KSDATARANGE r{};
  r.FormatSize = sizeof r;
  r.SampleSize = tag;
  r.MajorFormat = {1, 0, 0, {0}};
  r.SubFormat = {2, 0, 0, {0}};
  r.Specifier = {3, 0, 0, {0}};
  return r;
}
KSDATARANGE gRanges[3] = {MakeRange(1), MakeRange(2), MakeRange(3)};
const PKSDATARANGE gRangePointers[3] = {&gRanges[0], &gRanges[1], &gRanges[2]};

KSPIN_DESCRIPTOR_EX MakePin() {
  KSPIN_DESCRIPTOR_EX p{};
  p.Dispatch = &kPinDispatch;
  p.PinDescriptor.DataRangesCount = 3;
  p.PinDescriptor.DataRanges = gRangePointers;
  p.PinDescriptor.DataFlow = KSPIN_DATAFLOW_OUT;
  p.Flags = KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING | KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
  p.InstancesPossible = 1;
  return p;
}
const KSPIN_DESCRIPTOR_EX gPin = MakePin();

KSFILTER_DESCRIPTOR MakeFilter() {
  KSFILTER_DESCRIPTOR f{};
  f.Version = KSFILTER_DESCRIPTOR_VERSION;
  f.PinDescriptorsCount = 1;
  f.PinDescriptorSize = sizeof(KSPIN_DESCRIPTOR_EX);
  f.PinDescriptors = &gPin;
  return f;
}
const KSFILTER_DESCRIPTOR gFilter = MakeFilter();

NTSTATUS DeviceStart(PKSDEVICE device, PIRP, PCM_RESOURCE_LIST, PCM_RESOURCE_LIST) {
  return KsCreateFilterFactory(device->FunctionalDeviceObject, &gFilter, u"GLOBAL", nullptr,
                               KSCREATE_ITEM_FREEONSTOP, nullptr, nullptr, nullptr);
}
KSDEVICE_DISPATCH MakeDeviceDispatch() {
  KSDEVICE_DISPATCH d{};
  d.Start = DeviceStart;
  return d;
}
const KSDEVICE_DISPATCH kDeviceDispatch = MakeDeviceDispatch();
const KSDEVICE_DESCRIPTOR kDevice = {&kDeviceDispatch, 0, nullptr, KSDEVICE_DESCRIPTOR_VERSION};

class RuntimeTest : public ::testing::Test {
 protected:
  void SetUp() override {
    gRec = &rec_;
    host::PoolReset();
    baseline_ = host::PoolOutstanding();
    std::memset(&driver_, 0, sizeof driver_);
    ASSERT_EQ(KsInitializeDriver(&driver_, nullptr, &kDevice), STATUS_SUCCESS);
    ASSERT_EQ(host::KsAddDevice(&driver_, nullptr, &device_), STATUS_SUCCESS);
    ASSERT_EQ(host::KsStartDevice(device_), STATUS_SUCCESS);
    ASSERT_EQ(host::KsOpenFilter(device_, u"GLOBAL", &filter_), STATUS_SUCCESS);
  }
  void TearDown() override {
    host::DestroyKsDevice(device_);
    EXPECT_EQ(host::PoolOutstanding(), baseline_) << host::PoolLeakReport();
    gRec = nullptr;
  }
  PKSPIN CreatePin() {
    PKSPIN pin = nullptr;
    KSDATAFORMAT format = gRanges[1];
    EXPECT_EQ(host::KsCreatePin(filter_, 0, &format, sizeof format, &pin), STATUS_SUCCESS);
    return pin;
  }
  Recorder rec_;
  DRIVER_OBJECT driver_;
  PKSDEVICE device_ = nullptr;
  PKSFILTER filter_ = nullptr;
  uint64_t baseline_ = 0;
};

TEST_F(RuntimeTest, BagsFreeLastFirstAndEditReplacesOwnedCopies) {
  KSOBJECT_BAG bag = filter_->Bag;
  int* a = NewItem(1);
  ASSERT_EQ(KsAddItemToObjectBag(bag, a, FreeItem), STATUS_SUCCESS);
  ASSERT_EQ(KsAddItemToObjectBag(bag, NewItem(2), FreeItem), STATUS_SUCCESS);
  EXPECT_EQ(KsRemoveItemFromObjectBag(bag, a, TRUE), 1u);
  EXPECT_EQ(KsRemoveItemFromObjectBag(bag, a, TRUE), 0u) << "only once";
  int original = 5;
  PVOID p = &original;
  ASSERT_EQ(_KsEdit(bag, &p, 8, sizeof original, kTag), STATUS_SUCCESS);
  EXPECT_EQ(*static_cast<int*>(p), 5);
  EXPECT_EQ(static_cast<int*>(p)[1], 0);
  PVOID first = p;
  ASSERT_EQ(_KsEdit(bag, &p, 4, 8, kTag), STATUS_SUCCESS);
  EXPECT_NE(p, first);
  EXPECT_EQ(host::PoolStats(kTag).outstanding, 2u) << "the first copy went with the second edit";
  host::PoolFailNth(1);
  EXPECT_EQ(KsAddItemToObjectBag(bag, &original, nullptr), STATUS_INSUFFICIENT_RESOURCES);
  host::PoolFailNth(0);
  host::KsCloseFilter(filter_);
  EXPECT_EQ(rec_.freed, (std::vector<int>{1, 2}));
  EXPECT_EQ(host::PoolStats(kTag).outstanding, 0u);
  ASSERT_EQ(host::KsOpenFilter(device_, u"GLOBAL", &filter_), STATUS_SUCCESS);
}

TEST_F(RuntimeTest, PinCreationTriesRangesAndFreesTheBagOfAFailedCreate) {
  PKSPIN pin = CreatePin();
  ASSERT_TRUE(pin);
  EXPECT_EQ(rec_.formatCalls, (std::vector<ULONG>{1, 2})) << "NO_MATCH tries the next range";
  PKSPIN second = nullptr;
  KSDATAFORMAT format = gRanges[1];
  EXPECT_EQ(host::KsCreatePin(filter_, 0, &format, sizeof format, &second), STATUS_UNSUCCESSFUL);
  host::KsClosePin(pin);
  EXPECT_EQ(rec_.freed, (std::vector<int>{7}));
  rec_.createStatus = STATUS_INSUFFICIENT_RESOURCES;
  EXPECT_EQ(host::KsCreatePin(filter_, 0, &format, sizeof format, &second), STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(rec_.freed, (std::vector<int>{7, 7}));
  EXPECT_EQ(host::KsPinInstances(filter_, 0), 0u);
  format.SubFormat = {9, 0, 0, {0}};
  rec_.createStatus = STATUS_SUCCESS;
  EXPECT_EQ(host::KsCreatePin(filter_, 0, &format, sizeof format, &second), STATUS_NO_MATCH);
  EXPECT_EQ(host::KsCreatePin(filter_, 0, &format, sizeof format - 1, &second), STATUS_INVALID_PARAMETER);
}

TEST_F(RuntimeTest, StatesMoveOneStepAtATimeAndStopCancelsTheQueue) {
  PKSPIN pin = CreatePin();
  host::KsQueueBuffer(pin, 16, 0);
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_STOP), STATUS_SUCCESS);
  EXPECT_EQ(rec_.states, (std::vector<std::pair<int, int>>{{0, 1}, {1, 2}, {2, 3}, {3, 2}, {2, 1}, {1, 0}}));
  host::KsCompletedFrame frame;
  ASSERT_TRUE(host::KsWaitFrame(pin, 1000, &frame));
  EXPECT_TRUE(frame.cancelled);
}

TEST_F(RuntimeTest, ProcessingIsNeverReenteredAndFillsQueuedBuffers) {
  PKSPIN pin = CreatePin();
  rec_.deliver = true;
  KsPinAttemptProcessing(pin, FALSE);
  EXPECT_EQ(rec_.processCalls.load(), 0) << "processing only in RUN";
  ASSERT_EQ(host::KsSetPinState(pin, KSSTATE_RUN), STATUS_SUCCESS);
  for (int i = 0; i < 8; ++i) host::KsQueueBuffer(pin, 64, sizeof(KS_FRAME_INFO));
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t)
    threads.emplace_back([pin, t] {
      KIRQL old = PASSIVE_LEVEL;
      for (int i = 0; i < 50; ++i) {
        if (t == 0) KeRaiseIrql(DISPATCH_LEVEL, &old);
        KsPinAttemptProcessing(pin, FALSE);
        if (t == 0) KeLowerIrql(old);
      }
    });
  for (auto& t : threads) t.join();
  EXPECT_EQ(rec_.overlaps.load(), 0);
  EXPECT_GT(rec_.processCalls.load(), 0);
  for (int i = 0; i < 8; ++i) {
    host::KsCompletedFrame frame;
    ASSERT_TRUE(host::KsWaitFrame(pin, 5000, &frame));
    EXPECT_FALSE(frame.cancelled);
    EXPECT_EQ(frame.id, uint64_t(i + 1));
    EXPECT_EQ(frame.header.DataUsed, 64u);
    EXPECT_EQ(frame.header.Size, sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO));
    EXPECT_EQ(frame.extension.size(), sizeof(KS_FRAME_INFO));
    EXPECT_EQ(frame.data, std::vector<uint8_t>(64, 0x5A));
  }
}

TEST_F(RuntimeTest, StreamPointersCoverTheQueuedBuffersInOrder) {
  PKSPIN pin = CreatePin();
  EXPECT_EQ(KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED), nullptr);
  host::KsQueueBuffer(pin, 32, 0);
  host::KsQueueBuffer(pin, 0, 0);
  PKSSTREAM_POINTER sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_TRUE(sp);
  EXPECT_EQ(sp->OffsetOut.Count, 32u);
  EXPECT_EQ(sp->StreamHeader->FrameExtent, 32u);
  sp->StreamHeader->DataUsed = 5;
  KsStreamPointerUnlock(sp, TRUE);
  host::KsCompletedFrame frame;
  ASSERT_TRUE(host::KsWaitFrame(pin, 1000, &frame));
  EXPECT_EQ(frame.id * 100 + frame.data.size(), 105u);
  sp = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
  ASSERT_TRUE(sp);
  EXPECT_EQ(sp->StreamHeader->Data, nullptr) << "the second buffer has no data";
  KsStreamPointerUnlock(sp, TRUE);
  ASSERT_TRUE(host::KsWaitFrame(pin, 1000, &frame));
  EXPECT_EQ(frame.id, 2u);
  EXPECT_EQ(host::KsQueuedFrames(pin), 0u);
}

TEST_F(RuntimeTest, ReferenceClockIsOfferedUnlessWithdrawn) {
  PKSPIN pin = CreatePin();
  PIKSREFERENCECLOCK clock = nullptr;
  ASSERT_EQ(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  EXPECT_GT(clock->GetTime(), 0);  // its pace is checked by the driver's time stamps
  clock->Release();
  host::KsSetPinClockAvailable(pin, false);
  EXPECT_NE(KsPinGetReferenceClockInterface(pin, &clock), STATUS_SUCCESS);
  EXPECT_EQ(clock, nullptr);
}

TEST_F(RuntimeTest, DeviceLifecycle) {
  EXPECT_EQ(KsGetDevice(filter_), device_);
  EXPECT_EQ(host::KsStopDevice(device_), STATUS_DEVICE_BUSY) << "a filter is open";
  host::KsCloseFilter(filter_);
  ASSERT_EQ(host::KsStopDevice(device_), STATUS_SUCCESS);
  EXPECT_EQ(host::KsOpenFilter(device_, u"GLOBAL", &filter_), STATUS_OBJECT_NAME_NOT_FOUND);
  ASSERT_EQ(host::KsStartDevice(device_), STATUS_SUCCESS);
  host::KsSurpriseRemoveDevice(device_);
  EXPECT_EQ(host::KsOpenFilter(device_, u"GLOBAL", &filter_), STATUS_NO_SUCH_DEVICE);
}

}  // namespace
