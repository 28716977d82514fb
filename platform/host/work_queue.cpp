// Work items on system worker threads and DPCs on one DPC thread.
//
// Worker threads are started on demand: a routine may block (a stream worker
// waits on its transfers), so a queued item never waits behind a blocked
// one. Idle workers stay for the next item. The DPC thread runs deferred
// routines one at a time, in queue order, at DISPATCH_LEVEL.
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <mutex>
#include <string>
#include <thread>

#include "platform/host/host_control.h"
#include "platform/host/io.h"

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  PIO_WORKITEM_ROUTINE routine;
  PVOID context;
  bool queued;
};

namespace {

struct FaultLog {
  std::mutex lock;
  std::string text;
  uint64_t count = 0;
};
FaultLog& Faults() {
  static FaultLog* log = new FaultLog;  // never destroyed: workers may outlive main
  return *log;
}

struct WorkQueue {
  std::mutex lock;
  std::condition_variable work;  // an item was queued
  std::condition_variable idle;  // the queue drained or an item finished
  std::deque<PIO_WORKITEM> items;
  unsigned threads = 0;
  unsigned waiting = 0;  // threads waiting for an item
  unsigned running = 0;  // routines running now
  bool held = false;     // tests: queued items wait until released
};
WorkQueue& W() {
  static WorkQueue* q = new WorkQueue;
  return *q;
}

void WorkerThread() {
  WorkQueue& q = W();
  std::unique_lock<std::mutex> guard(q.lock);
  for (;;) {
    while (q.items.empty() || q.held) {
      ++q.waiting;
      q.work.wait(guard);
      --q.waiting;
    }
    PIO_WORKITEM item = q.items.front();
    q.items.pop_front();
    // Dequeued before the routine runs: the routine may queue the item again
    // or free it, so nothing of the item is touched afterwards.
    item->queued = false;
    PDEVICE_OBJECT device = item->device;
    PIO_WORKITEM_ROUTINE routine = item->routine;
    PVOID context = item->context;
    ++q.running;
    guard.unlock();
    routine(device, context);
    if (device) InterlockedDecrement(&device->ReferenceCount);
    guard.lock();
    --q.running;
    q.idle.notify_all();
  }
}

struct DpcQueue {
  std::mutex lock;
  std::condition_variable work;
  std::condition_variable done;
  std::deque<std::pair<PKDPC, uint64_t>> dpcs;  // with their insertion tickets
  uint64_t nextTicket = 1;
  uint64_t runningTicket = 0;  // 0 when no routine runs
  bool started = false;
  std::thread::id thread;
};
DpcQueue& Q() {
  static DpcQueue* q = new DpcQueue;
  return *q;
}

void DpcThread() {
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> guard(q.lock);
  for (;;) {
    while (q.dpcs.empty()) q.work.wait(guard);
    PKDPC dpc = q.dpcs.front().first;
    q.runningTicket = q.dpcs.front().second;
    q.dpcs.pop_front();
    dpc->DpcData = nullptr;  // may be queued again from its own routine
    PKDEFERRED_ROUTINE routine = dpc->DeferredRoutine;
    PVOID context = dpc->DeferredContext;
    PVOID arg1 = dpc->SystemArgument1;
    PVOID arg2 = dpc->SystemArgument2;
    guard.unlock();
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    routine(dpc, context, arg1, arg2);
    KeLowerIrql(old);
    guard.lock();
    q.runningTicket = 0;
    q.done.notify_all();
  }
}

}  // namespace

// ---- work items ----

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto* item = static_cast<PIO_WORKITEM>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(_IO_WORKITEM), kHostWorkItemTag));
  if (!item) return nullptr;
  item->device = DeviceObject;
  item->routine = nullptr;
  item->context = nullptr;
  item->queued = false;
  return item;
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE, PVOID Context) {
  if (!IoWorkItem || !WorkerRoutine) {
    host::ReportPlatformFault("IoQueueWorkItem without a work item or routine");
    return;
  }
  WorkQueue& q = W();
  std::lock_guard<std::mutex> guard(q.lock);
  if (IoWorkItem->queued) {
    host::ReportPlatformFault("IoQueueWorkItem of a work item that is still queued (refused)");
    return;
  }
  IoWorkItem->queued = true;
  IoWorkItem->routine = WorkerRoutine;
  IoWorkItem->context = Context;
  // The device object stays referenced until the routine has returned.
  if (IoWorkItem->device) InterlockedIncrement(&IoWorkItem->device->ReferenceCount);
  q.items.push_back(IoWorkItem);
  if (q.waiting >= q.items.size()) {
    q.work.notify_one();
  } else {
    ++q.threads;
    std::thread(WorkerThread).detach();
  }
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  if (!IoWorkItem) return;
  {
    WorkQueue& q = W();
    std::lock_guard<std::mutex> guard(q.lock);
    if (IoWorkItem->queued) {
      // Freeing it would leave a dangling queue entry: keep it (a leak the
      // pool report shows) and record the fault.
      host::ReportPlatformFault("IoFreeWorkItem of a work item that is still queued (refused)");
      return;
    }
  }
  ExFreePoolWithTag(IoWorkItem, kHostWorkItemTag);
}

// ---- DPCs ----

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  std::memset(Dpc, 0, sizeof *Dpc);
  Dpc->Type = 19;  // DpcObject
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> guard(q.lock);
  if (Dpc->DpcData) return FALSE;
  if (!q.started) {
    q.started = true;
    std::thread t(DpcThread);
    q.thread = t.get_id();
    t.detach();
  }
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  Dpc->DpcData = &q;
  q.dpcs.emplace_back(Dpc, q.nextTicket++);
  q.work.notify_one();
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  DpcQueue& q = Q();
  std::lock_guard<std::mutex> guard(q.lock);
  if (!Dpc->DpcData) return FALSE;
  for (auto it = q.dpcs.begin(); it != q.dpcs.end(); ++it) {
    if (it->first == Dpc) {
      q.dpcs.erase(it);
      break;
    }
  }
  Dpc->DpcData = nullptr;
  q.done.notify_all();
  return TRUE;
}

VOID KeFlushQueuedDpcs() {
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> guard(q.lock);
  if (q.started && std::this_thread::get_id() == q.thread) {
    host::ReportPlatformFault("KeFlushQueuedDpcs called from a DPC");
    return;
  }
  uint64_t last = q.nextTicket - 1;
  auto pending = [&] {
    if (q.runningTicket && q.runningTicket <= last) return true;
    return !q.dpcs.empty() && q.dpcs.front().second <= last;
  };
  while (pending()) q.done.wait(guard);
}

namespace host {

uint64_t PlatformFaultCount() {
  FaultLog& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  return f.count;
}

std::string PlatformFaults() {
  FaultLog& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  return f.text;
}

void ClearPlatformFaults() {
  FaultLog& f = Faults();
  std::lock_guard<std::mutex> guard(f.lock);
  f.text.clear();
  f.count = 0;
}

void ReportPlatformFault(const std::string& what) {
  {
    FaultLog& f = Faults();
    std::lock_guard<std::mutex> guard(f.lock);
    f.text += what;
    f.text += '\n';
    ++f.count;
  }
  DbgPrint("host platform fault: %s\n", what.c_str());
}

void HoldWorkItems(bool hold) {
  WorkQueue& q = W();
  std::lock_guard<std::mutex> guard(q.lock);
  q.held = hold;
  q.work.notify_all();
}

bool WaitPlatformIdle(unsigned timeoutMs) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  {
    WorkQueue& w = W();
    std::unique_lock<std::mutex> guard(w.lock);
    while (!w.items.empty() || w.running) {
      if (w.idle.wait_until(guard, deadline) == std::cv_status::timeout) return false;
    }
  }
  DpcQueue& q = Q();
  std::unique_lock<std::mutex> guard(q.lock);
  while (!q.dpcs.empty() || q.runningTicket) {
    if (q.done.wait_until(guard, deadline) == std::cv_status::timeout) return false;
  }
  return true;
}

}  // namespace host
