// Work items on worker threads and DPCs on the DPC thread.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/host/host_control.h"
#include "platform/wdk.h"
#include "platform/worker_pair.h"

namespace {

bool WaitFor(const std::function<bool()>& done, int ms = 5000) {
  auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (!done()) {
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
  return true;
}

struct Gate {
  KEVENT entered, release;
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  Gate() {
    KeInitializeEvent(&entered, NotificationEvent, FALSE);
    KeInitializeEvent(&release, NotificationEvent, FALSE);
  }
};

VOID BlockingRoutine(PDEVICE_OBJECT, PVOID context) {
  auto* g = static_cast<Gate*>(context);
  g->irql = KeGetCurrentIrql();
  g->runs++;
  KeSetEvent(&g->entered, IO_NO_INCREMENT, FALSE);
  LARGE_INTEGER t{};
  t.QuadPart = -50000000;  // 5 s
  KeWaitForSingleObject(&g->release, Executive, KernelMode, FALSE, &t);
}

TEST(WorkItems, RunOnWorkersBlockingDoesNotStallOthersAndRequeueWhileQueuedIsRefused) {
  host::ClearPlatformFaults();
  host::PoolReset();
  DEVICE_OBJECT device{};
  Gate a, b;
  PIO_WORKITEM ia = IoAllocateWorkItem(&device);
  PIO_WORKITEM ib = IoAllocateWorkItem(&device);
  ASSERT_TRUE(ia && ib);
  IoQueueWorkItem(ia, BlockingRoutine, DelayedWorkQueue, &a);
  LARGE_INTEGER t{};
  t.QuadPart = -50000000;
  ASSERT_EQ(KeWaitForSingleObject(&a.entered, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  EXPECT_EQ(a.irql.load(), PASSIVE_LEVEL);
  EXPECT_EQ(device.ReferenceCount, 1) << "the device stays referenced while the routine runs";
  // The first routine blocks; a second item still runs on another worker.
  IoQueueWorkItem(ib, BlockingRoutine, DelayedWorkQueue, &b);
  ASSERT_EQ(KeWaitForSingleObject(&b.entered, Executive, KernelMode, FALSE, &t), STATUS_SUCCESS);
  // Running is not queued: the item may be queued again now, once.
  host::HoldWorkItems(true);
  IoQueueWorkItem(ia, BlockingRoutine, DelayedWorkQueue, &a);
  EXPECT_EQ(host::PlatformFaultCount(), 0u);
  IoQueueWorkItem(ia, BlockingRoutine, DelayedWorkQueue, &a);
  EXPECT_EQ(host::PlatformFaultCount(), 1u);
  IoFreeWorkItem(ia);  // still queued: refused, the item stays valid
  EXPECT_EQ(host::PlatformFaultCount(), 2u);
  host::HoldWorkItems(false);
  EXPECT_NE(host::PlatformFaults().find("still queued"), std::string::npos);
  KeSetEvent(&a.release, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&b.release, IO_NO_INCREMENT, FALSE);
  ASSERT_TRUE(host::WaitPlatformIdle(5000));
  EXPECT_EQ(a.runs.load(), 2) << "the refused queueing did not run";
  EXPECT_EQ(b.runs.load(), 1);
  EXPECT_EQ(device.ReferenceCount, 0);
  IoFreeWorkItem(ia);
  IoFreeWorkItem(ib);
  EXPECT_EQ(host::PoolStats(kHostWorkItemTag).outstanding, 0u);
  host::ClearPlatformFaults();
}

struct DpcProbe {
  KDPC dpc;
  std::atomic<int> runs{0};
  std::atomic<int> irql{-1};
  std::atomic<PVOID> arg1{nullptr};
  std::atomic<bool> block{false};
  std::atomic<bool> inside{false};
};

VOID ProbeDpc(PKDPC, PVOID context, PVOID a1, PVOID) {
  auto* p = static_cast<DpcProbe*>(context);
  p->inside = true;
  p->irql = KeGetCurrentIrql();
  p->arg1 = a1;
  while (p->block.load()) std::this_thread::yield();
  p->runs++;
  p->inside = false;
}

TEST(Dpcs, InsertRemoveAndFlushRunInOrderAtDispatchLevel) {
  DpcProbe first, second;
  KeInitializeDpc(&first.dpc, ProbeDpc, &first);
  KeInitializeDpc(&second.dpc, ProbeDpc, &second);
  first.block = true;
  int tag1 = 0, tag2 = 0;
  ASSERT_TRUE(KeInsertQueueDpc(&first.dpc, &tag1, nullptr));
  ASSERT_TRUE(WaitFor([&] { return first.inside.load(); }));
  // One DPC thread: the second waits behind the first.
  EXPECT_TRUE(KeInsertQueueDpc(&second.dpc, &tag1, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&second.dpc, &tag2, nullptr)) << "already queued";
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  EXPECT_EQ(second.runs.load(), 0);
  EXPECT_TRUE(KeRemoveQueueDpc(&second.dpc));
  EXPECT_FALSE(KeRemoveQueueDpc(&second.dpc));
  EXPECT_TRUE(KeInsertQueueDpc(&second.dpc, &tag2, nullptr));
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    first.block = false;
  });
  KeFlushQueuedDpcs();  // returns only after both ran
  release.join();
  EXPECT_EQ(first.runs.load(), 1);
  EXPECT_EQ(second.runs.load(), 1);
  EXPECT_EQ(first.irql.load(), DISPATCH_LEVEL);
  EXPECT_EQ(first.arg1.load(), &tag1);
  EXPECT_EQ(second.arg1.load(), &tag2) << "arguments of the insertion that queued it";
}

VOID FlushFromDpc(PKDPC, PVOID context, PVOID, PVOID) {
  KeFlushQueuedDpcs();
  static_cast<std::atomic<int>*>(context)->fetch_add(1);
}

TEST(Dpcs, FlushFromADpcIsAFaultNotAHang) {
  host::ClearPlatformFaults();
  std::atomic<int> ran{0};
  KDPC dpc;
  KeInitializeDpc(&dpc, FlushFromDpc, &ran);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  ASSERT_TRUE(WaitFor([&] { return ran.load() == 1; }));
  EXPECT_EQ(host::PlatformFaultCount(), 1u);
  host::ClearPlatformFaults();
}

}  // namespace

namespace {

// The platform's worker pair: both items run; a caller that finds the pair busy (another caller's first item is still
// running) runs both of its items itself instead of waiting or taking over
// the runner.
TEST(WorkerPairTest, RunsBothItemsAndStandsInWhenBusy) {
  const WorkerPair* pair = PlatformWorkerPair();
  ASSERT_NE(pair, nullptr);
  using Item = std::function<void()>;
  const WorkerPairFunction run = [](void* item) { (*static_cast<Item*>(item))(); };
  std::thread::id bFirst, bSecond, aSecond;
  std::atomic<bool> bDone{false};
  bool waited = false;
  Item b1 = [&] { bFirst = std::this_thread::get_id(); };
  Item b2 = [&] { bSecond = std::this_thread::get_id(); };
  std::thread b;
  Item a1 = [&] {
    b = std::thread([&] {
      pair->runPair(pair->context, run, &b1, &b2);
      bDone = true;
    });
    waited = WaitFor([&] { return bDone.load(); });
  };
  Item a2 = [&] { aSecond = std::this_thread::get_id(); };
  pair->runPair(pair->context, run, &a1, &a2);
  const std::thread::id bId = b.get_id();
  b.join();
  EXPECT_TRUE(waited);
  EXPECT_NE(aSecond, std::thread::id());  // ran (on whichever thread got to it)
  EXPECT_EQ(bFirst, bId);
  EXPECT_EQ(bSecond, bId);
}

}  // namespace
