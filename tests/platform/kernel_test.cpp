// Host kernel services: events and waits on the host clock, IRP completion
// and cancellation, and the KS device mutex.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/host/host_control.h"
#include "platform/host/ks_host.h"
#include "platform/wdk.h"

namespace {

LARGE_INTEGER Relative(LONGLONG ms) {
  LARGE_INTEGER t;
  t.QuadPart = -ms * 10000;
  return t;
}

class ClockTest : public ::testing::Test {
 protected:
  void TearDown() override { host::SetClockRate(1.0); }
};

TEST_F(ClockTest, DelaysTimeoutsAndEventsRunOnTheHostClock) {
  host::SetClockRate(2000.0);
  uint64_t t0 = host::ClockNow100ns();
  LARGE_INTEGER d = Relative(2000), timeout = Relative(300), zero = Relative(0);  // two host seconds: 1 real ms
  auto real0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
  EXPECT_GE(host::ClockNow100ns() - t0, 2000u * 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::seconds(1));
  // The tick count follows the host clock (bracketed: at this rate a tick
  // passes in under a real millisecond).
  LARGE_INTEGER count;
  ULONGLONG before = KeQueryInterruptTime() / KeQueryTimeIncrement();
  KeQueryTickCount(&count);
  ULONGLONG after = KeQueryInterruptTime() / KeQueryTimeIncrement();
  EXPECT_GE(ULONGLONG(count.QuadPart), before);
  EXPECT_LE(ULONGLONG(count.QuadPart), after);
  EXPECT_GT(before, 0u);

  KEVENT n, other;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  KeInitializeEvent(&other, NotificationEvent, FALSE);
  auto wait = [&](KEVENT* e, LARGE_INTEGER* t) { return KeWaitForSingleObject(e, Executive, KernelMode, FALSE, t); };
  t0 = host::ClockNow100ns();
  EXPECT_EQ(wait(&n, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(host::ClockNow100ns() - t0, 300u * 10000);
  EXPECT_EQ(wait(&n, &zero), STATUS_TIMEOUT);
  // A notification event stays set; WaitAny reports the index of a signalled object.
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(wait(&n, &zero) + wait(&n, &zero), STATUS_SUCCESS);
  PVOID both[2] = {&other, &n};
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_WAIT_0 + 1);
  KeClearEvent(&n);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr), STATUS_TIMEOUT);
}

// ---- IRPs ----

// A lower driver that completes with `complete` or, if `pend`, holds the IRP
// with a cancel routine.
struct Lower {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  NTSTATUS complete = STATUS_SUCCESS;
  bool pend = false;
  static NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
    Lower* self = static_cast<Lower*>(d->DeviceExtension);
    if (self->pend) {
      IoMarkIrpPending(irp);
      IoSetCancelRoutine(irp, [](PDEVICE_OBJECT, PIRP i) {
        IoReleaseCancelSpinLock(i->CancelIrql);
        i->IoStatus.Status = STATUS_CANCELLED;
        IoCompleteRequest(i, IO_NO_INCREMENT);
      });
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = self->complete;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return self->complete;
  }
  Lower() {
    for (auto& f : driver.MajorFunction) f = Dispatch;
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
  }
};

// What a completion routine saw; it keeps the IRP.
struct Seen {
  int calls = 0;
  BOOLEAN pendingReturned = FALSE;
  NTSTATUS status = 0;
  static NTSTATUS Record(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    Seen* s = static_cast<Seen*>(context);
    *s = {s->calls + 1, irp->PendingReturned, irp->IoStatus.Status};
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

class IrpTest : public ::testing::Test {
 protected:
  void SetUp() override { host::PoolReset(); }
  void TearDown() override { EXPECT_EQ(host::PoolStats(kHostIrpTag).outstanding, 0u); }
};

// A routine that keeps the IRP stops completion there; without one the
// status reaches the caller's block and event and the IRP is freed.
TEST_F(IrpTest, CompletionReachesTheCallerUnlessTheRoutineKeepsTheIrp) {
  Lower lower;
  lower.complete = STATUS_UNSUCCESSFUL;
  for (bool keep : {false, true}) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    IO_STATUS_BLOCK iosb{};
    PIRP irp = IoBuildDeviceIoControlRequest(1, &lower.device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    ASSERT_NE(irp, nullptr);
    Seen seen;
    if (keep) IoSetCompletionRoutine(irp, Seen::Record, &seen, TRUE, TRUE, TRUE);
    EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(seen.calls, keep ? 1 : 0);
    EXPECT_EQ(KeReadStateEvent(&event), keep ? 0 : 1);
    EXPECT_EQ(keep ? seen.status : iosb.Status, STATUS_UNSUCCESSFUL);
    EXPECT_FALSE(seen.pendingReturned);
    if (keep) IoFreeIrp(irp);
  }
}

TEST_F(IrpTest, PendingIrpCompletesLaterAndCancelReachesTheLowerDriver) {
  Lower lower;
  lower.pend = true;
  PIRP irp = IoAllocateIrp(1, FALSE);
  Seen seen;
  IoSetCompletionRoutine(irp, Seen::Record, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_PENDING);
  EXPECT_EQ(seen.calls, 0);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.status, STATUS_CANCELLED);
  EXPECT_TRUE(seen.pendingReturned);
  EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine left";
  IoFreeIrp(irp);
}

TEST(KsDeviceTest, DeviceMutexIsReentrantForItsOwnerAndExcludesOthers) {
  PKSDEVICE d = host::CreateKsDevice(nullptr);
  EXPECT_EQ(d->DevicePowerState, PowerDeviceD0);
  KsAcquireDevice(d);
  KsAcquireDevice(d);
  EXPECT_EQ(host::KsDeviceMutexDepth(d), 2);
  std::atomic<bool> got{false};
  std::thread other([&] {
    KsAcquireDevice(d);
    got = true;
    KsReleaseDevice(d);
  });
  for (int held = 2; held > 0; --held) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(got.load()) << held;
    KsReleaseDevice(d);
  }
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(host::KsDeviceMutexDepth(d), 0);
  EXPECT_EQ(host::KsDeviceMutexAcquisitions(d), 3u);
  host::DestroyKsDevice(d);
}

}  // namespace
