// Host kernel services: events and waits on the host clock, IRP completion
// and cancellation, counted strings and the KS device mutex.
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

TEST_F(ClockTest, DelaysAndTimeoutsRunOnTheHostClock) {
  host::SetClockRate(2000.0);
  uint64_t t0 = host::ClockNow100ns();
  LARGE_INTEGER d = Relative(2000);  // two host seconds: one real millisecond
  auto real0 = std::chrono::steady_clock::now();
  EXPECT_EQ(KeDelayExecutionThread(KernelMode, FALSE, &d), STATUS_SUCCESS);
  EXPECT_GE(host::ClockNow100ns() - t0, 2000u * 10000);
  EXPECT_LT(std::chrono::steady_clock::now() - real0, std::chrono::seconds(1));

  KEVENT e;
  KeInitializeEvent(&e, NotificationEvent, FALSE);
  t0 = host::ClockNow100ns();
  LARGE_INTEGER timeout = Relative(300);
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_GE(host::ClockNow100ns() - t0, 300u * 10000);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeWaitForSingleObject(&e, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  LARGE_INTEGER count;
  KeQueryTickCount(&count);
  EXPECT_EQ(ULONGLONG(count.QuadPart), KeQueryInterruptTime() / KeQueryTimeIncrement());
}

TEST_F(ClockTest, NotificationStaysSetSynchronizationResetsOnWait) {
  KEVENT n, s;
  KeInitializeEvent(&n, NotificationEvent, FALSE);
  KeInitializeEvent(&s, SynchronizationEvent, TRUE);
  LARGE_INTEGER zero;
  zero.QuadPart = 0;
  EXPECT_EQ(KeSetEvent(&n, IO_NO_INCREMENT, FALSE), 0);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&n, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_SUCCESS);
  EXPECT_EQ(KeWaitForSingleObject(&s, Executive, KernelMode, FALSE, &zero), STATUS_TIMEOUT);
  EXPECT_EQ(KeResetEvent(&n), 1);
  EXPECT_EQ(KeReadStateEvent(&n), 0);
  // WaitAny reports the index of a signalled object; WaitAll needs all.
  PVOID both[2] = {&n, &s};
  KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAny, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_WAIT_0 + 1);
  KeSetEvent(&s, IO_NO_INCREMENT, FALSE);
  EXPECT_EQ(KeWaitForMultipleObjects(2, both, WaitAll, Executive, KernelMode, FALSE, &zero, nullptr),
            STATUS_TIMEOUT);
  EXPECT_EQ(KeReadStateEvent(&s), 1) << "a failed WaitAll consumes nothing";
}

TEST_F(ClockTest, SpeedingUpWakesASleeperEarly) {
  std::atomic<bool> done{false};
  std::thread t([&] {
    LARGE_INTEGER d = Relative(60 * 1000);  // a host minute
    KeDelayExecutionThread(KernelMode, FALSE, &d);
    done = true;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_FALSE(done.load());
  host::SetClockRate(1e6);
  t.join();
  EXPECT_TRUE(done.load());
}

// ---- IRPs ----

struct Lower {
  DRIVER_OBJECT driver{};
  DEVICE_OBJECT device{};
  NTSTATUS complete = STATUS_SUCCESS;
  bool pend = false;
  PIRP held = nullptr;
  static NTSTATUS Dispatch(PDEVICE_OBJECT d, PIRP irp) {
    Lower* self = static_cast<Lower*>(d->DeviceExtension);
    if (self->pend) {
      IoMarkIrpPending(irp);
      self->held = irp;
      IoSetCancelRoutine(irp, Cancel);
      return STATUS_PENDING;
    }
    irp->IoStatus.Status = self->complete;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return self->complete;
  }
  static VOID Cancel(PDEVICE_OBJECT d, PIRP irp) {
    IoReleaseCancelSpinLock(irp->CancelIrql);
    static_cast<Lower*>(d->DeviceExtension)->held = nullptr;
    irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  Lower() {
    for (auto& f : driver.MajorFunction) f = Dispatch;
    device.DriverObject = &driver;
    device.DeviceExtension = this;
    device.StackSize = 1;
  }
};

struct Seen {
  int calls = 0;
  BOOLEAN pendingReturned = FALSE;
  NTSTATUS status = 0;
};

NTSTATUS Record(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  Seen* s = static_cast<Seen*>(context);
  ++s->calls;
  s->pendingReturned = irp->PendingReturned;
  s->status = irp->IoStatus.Status;
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class IrpTest : public ::testing::Test {
 protected:
  void SetUp() override { host::PoolReset(); }
  void TearDown() override { EXPECT_EQ(host::PoolStats(kHostIrpTag).outstanding, 0u); }
};

TEST_F(IrpTest, CompletionRoutineRunsOnlyForTheOutcomesAskedFor) {
  Lower lower;
  for (NTSTATUS result : {STATUS_SUCCESS, STATUS_UNSUCCESSFUL}) {
    for (int onSuccess = 0; onSuccess < 2; ++onSuccess) {
      KEVENT event;
      KeInitializeEvent(&event, NotificationEvent, FALSE);
      IO_STATUS_BLOCK iosb{};
      PIRP irp = IoBuildDeviceIoControlRequest(1, &lower.device, nullptr, 0, nullptr, 0, TRUE,
                                               &event, &iosb);
      ASSERT_NE(irp, nullptr);
      Seen seen;
      IoSetCompletionRoutine(irp, Record, &seen, BOOLEAN(onSuccess), BOOLEAN(!onSuccess), FALSE);
      lower.complete = result;
      EXPECT_EQ(IofCallDriver(&lower.device, irp), result);
      bool invoked = NT_SUCCESS(result) == bool(onSuccess);
      EXPECT_EQ(seen.calls, invoked ? 1 : 0);
      if (invoked) {
        // The routine kept the IRP: the caller's event is not signalled.
        EXPECT_EQ(seen.status, result);
        EXPECT_FALSE(seen.pendingReturned);
        EXPECT_EQ(KeReadStateEvent(&event), 0);
        IoFreeIrp(irp);
      } else {
        // Completion went on to the top: status handed over, IRP freed.
        EXPECT_EQ(KeReadStateEvent(&event), 1);
        EXPECT_EQ(iosb.Status, result);
      }
    }
  }
}

TEST_F(IrpTest, PendingIrpCompletesLaterAndCancelReachesTheLowerDriver) {
  Lower lower;
  lower.pend = true;
  PIRP irp = IoAllocateIrp(1, FALSE);
  Seen seen;
  IoSetCompletionRoutine(irp, Record, &seen, TRUE, TRUE, TRUE);
  EXPECT_EQ(IofCallDriver(&lower.device, irp), STATUS_PENDING);
  EXPECT_EQ(seen.calls, 0);
  EXPECT_TRUE(IoCancelIrp(irp));
  EXPECT_EQ(seen.calls, 1);
  EXPECT_EQ(seen.status, STATUS_CANCELLED);
  EXPECT_TRUE(seen.pendingReturned);
  EXPECT_FALSE(IoCancelIrp(irp)) << "no cancel routine left";
  IoReuseIrp(irp, STATUS_SUCCESS);
  EXPECT_FALSE(irp->Cancel);
  EXPECT_EQ(irp->CurrentLocation, 2);
  IoFreeIrp(irp);
}

TEST(StringTest, UnicodeToAnsiConvertsTruncatesAndAllocates) {
  const WCHAR text[] = u"Gr\u00fc\u00dfe!";
  UNICODE_STRING u;
  RtlInitUnicodeString(&u, text);
  EXPECT_EQ(u.Length, 12);
  CHAR small[4];
  ANSI_STRING a{0, sizeof small, small};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&a, &u, FALSE), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(small, "Gr?");
  CHAR big[16];
  ANSI_STRING b{0, sizeof big, big};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&b, &u, FALSE), STATUS_SUCCESS);
  EXPECT_STREQ(big, "Gr??e!");
  EXPECT_EQ(b.Length, 6);
  ANSI_STRING c{};
  EXPECT_EQ(RtlUnicodeStringToAnsiString(&c, &u, TRUE), STATUS_SUCCESS);
  EXPECT_STREQ(c.Buffer, "Gr??e!");
  RtlFreeAnsiString(&c);
  EXPECT_EQ(c.Buffer, nullptr);
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
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_FALSE(got.load());
  KsReleaseDevice(d);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_FALSE(got.load());
  KsReleaseDevice(d);
  other.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(host::KsDeviceMutexDepth(d), 0);
  EXPECT_EQ(host::KsDeviceMutexAcquisitions(d), 3u);
  host::DestroyKsDevice(d);
}

}  // namespace
