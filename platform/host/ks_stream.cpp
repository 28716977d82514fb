// Host kernel streaming: processing, the application's buffer queue with its
// stream pointers, the reference clock and KS workers.
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "platform/host/host_control.h"
#include "platform/host/ks_internal.h"

namespace host {
namespace ks {

namespace {

// Runs Process until no attempt is left; only one thread at a time gets
// past the `processing` flag, the others leave their attempt behind.
void RunProcessing(HostPin* p) {
  p->requested.store(true);
  for (;;) {
    bool expected = false;
    if (!p->processing.compare_exchange_strong(expected, true)) return;
    while (p->requested.exchange(false)) {
      const KSPIN_DESCRIPTOR_EX* d = p->ks.Descriptor;
      bool runOnly = d->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY;
      KSSTATE state = KSSTATE(__atomic_load_n(&p->ks.DeviceState, __ATOMIC_ACQUIRE));
      if (d->Dispatch && d->Dispatch->Process && (!runOnly || state == KSSTATE_RUN))
        d->Dispatch->Process(&p->ks);
    }
    p->processing.store(false);
    if (!p->requested.load()) return;
  }
}

void ProcessingThread(HostPin* p) {
  std::unique_lock<std::mutex> lock(p->asyncLock);
  for (;;) {
    p->asyncWake.wait(lock, [p] { return p->asyncPending || p->closing; });
    if (p->closing) return;
    p->asyncPending = false;
    lock.unlock();
    RunProcessing(p);
    lock.lock();
  }
}

void Complete(HostPin* p, Frame* f) {
  // queueLock held
  for (auto it = p->queue.begin(); it != p->queue.end(); ++it)
    if (*it == f) {
      p->queue.erase(it);
      break;
    }
  p->completed.push_back(f);
  p->completedWake.notify_all();
}

void Release(HostPin* p, Frame* f) {
  // queueLock held
  if (--f->references == 0) Complete(p, f);
}

Frame* LeadingFrame(HostPin* p) {
  for (Frame* f : p->queue)
    if (!f->passed) return f;
  return nullptr;
}

void Point(HostStreamPointer* sp, Frame* f) {
  sp->frame = f;
  KSSTREAM_HEADER* h = f ? f->Header() : nullptr;
  sp->ks.StreamHeader = h;
  std::memset(&sp->ks.OffsetIn, 0, sizeof sp->ks.OffsetIn);
  std::memset(&sp->ks.OffsetOut, 0, sizeof sp->ks.OffsetOut);
  if (h) {
    sp->ks.OffsetOut.Data = static_cast<PUCHAR>(h->Data);
    sp->ks.OffsetOut.Count = h->FrameExtent;
    sp->ks.OffsetOut.Remaining = h->FrameExtent;
  }
  sp->ks.Offset = &sp->ks.OffsetOut;
}

HostStreamPointer* AsHost(PKSSTREAM_POINTER sp) {
  if (!sp) {
    std::fprintf(stderr, "host KS: null stream pointer\n");
    std::abort();
  }
  return reinterpret_cast<HostStreamPointer*>(sp);  // ks is the first member
}

class HostClock final : public IKsReferenceClock {
 public:
  NTSTATUS QueryInterface(REFIID, PVOID*) override { return STATUS_NOT_IMPLEMENTED; }
  ULONG AddRef() override { return ULONG(++refs_); }
  ULONG Release() override {
    int n = --refs_;
    if (n == 0) delete this;
    return ULONG(n);
  }
  LONGLONG GetTime() override { return LONGLONG(host::ClockNow100ns()); }
  LONGLONG GetPhysicalTime() override { return GetTime(); }
  LONGLONG GetCorrelatedTime(LONGLONG* system) override {
    LONGLONG t = GetTime();
    if (system) *system = t;
    return t;
  }
  LONGLONG GetCorrelatedPhysicalTime(LONGLONG* system) override { return GetCorrelatedTime(system); }
  NTSTATUS GetResolution(PKSRESOLUTION r) override {
    r->Granularity = 1;
    r->Error = 0;
    return STATUS_SUCCESS;
  }
  NTSTATUS GetState(PKSSTATE state) override {
    *state = KSSTATE_RUN;
    return STATUS_SUCCESS;
  }

 private:
  ~HostClock() = default;
  std::atomic<int> refs_{1};
};

struct HostWorker {
  std::mutex lock;
  std::condition_variable wake;
  std::deque<PWORK_QUEUE_ITEM> items;
  bool stop = false;
  bool busy = false;
  std::thread thread;
};

void WorkerThread(HostWorker* w) {
  std::unique_lock<std::mutex> lock(w->lock);
  for (;;) {
    w->wake.wait(lock, [w] { return w->stop || !w->items.empty(); });
    if (w->items.empty()) return;  // stopping with nothing left
    PWORK_QUEUE_ITEM item = w->items.front();
    w->items.pop_front();
    w->busy = true;
    lock.unlock();
    item->WorkerRoutine(item->Parameter);
    lock.lock();
    w->busy = false;
  }
}

}  // namespace

void StartProcessingThread(HostPin* p) { p->asyncThread = std::thread(ProcessingThread, p); }

void StopProcessingThread(HostPin* p) {
  {
    std::lock_guard<std::mutex> g(p->asyncLock);
    p->closing = true;
  }
  p->asyncWake.notify_all();
  if (p->asyncThread.joinable()) p->asyncThread.join();
  // A synchronous attempt still running on another thread finishes first.
  while (p->processing.load()) std::this_thread::yield();
}

void FlushQueue(HostPin* p) {
  std::lock_guard<std::mutex> g(p->queueLock);
  p->leadingLocked = false;
  std::deque<Frame*> keep;
  for (Frame* f : std::deque<Frame*>(p->queue)) {
    f->passed = true;
    f->cancelled = true;
    if (f->references > 1) {
      --f->references;  // the clones complete it when they go
    } else {
      f->references = 0;
      Complete(p, f);
    }
  }
}

void ReleasePinStreams(HostPin* p) {
  std::lock_guard<std::mutex> g(p->queueLock);
  for (HostStreamPointer* c : p->clones) delete c;
  p->clones.clear();
  for (Frame* f : p->queue) delete f;
  p->queue.clear();
  for (Frame* f : p->completed) delete f;
  p->completed.clear();
}

}  // namespace ks
}  // namespace host

using namespace host::ks;

VOID KsPinAttemptProcessing(PKSPIN Pin, BOOLEAN Asynchronous) {
  HostPin* p = PinOf(Pin);
  if (Asynchronous || KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    {
      std::lock_guard<std::mutex> g(p->asyncLock);
      if (p->closing) return;
      p->asyncPending = true;
    }
    p->asyncWake.notify_all();
    return;
  }
  RunProcessing(p);
}

PKSSTREAM_POINTER KsPinGetLeadingEdgeStreamPointer(PKSPIN Pin, KSSTREAM_POINTER_STATE State) {
  HostPin* p = PinOf(Pin);
  std::lock_guard<std::mutex> g(p->queueLock);
  Frame* f = LeadingFrame(p);
  if (!f) return nullptr;
  p->leading.pin = p;
  p->leading.clone = false;
  p->leading.ks.Pin = Pin;
  p->leading.ks.Context = nullptr;
  Point(&p->leading, f);
  p->leadingLocked = State == KSSTREAM_POINTER_STATE_LOCKED;
  return &p->leading.ks;
}

VOID KsStreamPointerUnlock(PKSSTREAM_POINTER StreamPointer, BOOLEAN Eject) {
  HostStreamPointer* sp = AsHost(StreamPointer);
  HostPin* p = sp->pin;
  std::lock_guard<std::mutex> g(p->queueLock);
  if (sp->clone || !Eject) {
    if (!sp->clone) p->leadingLocked = false;
    return;
  }
  p->leadingLocked = false;
  Frame* f = sp->frame;
  if (f && !f->passed) {
    f->passed = true;
    Release(p, f);
  }
  Point(sp, nullptr);
}

NTSTATUS KsStreamPointerAdvance(PKSSTREAM_POINTER StreamPointer) {
  HostStreamPointer* sp = AsHost(StreamPointer);
  HostPin* p = sp->pin;
  std::lock_guard<std::mutex> g(p->queueLock);
  Frame* f = sp->frame;
  if (sp->clone) return STATUS_NOT_IMPLEMENTED;
  if (f && !f->passed) {
    f->passed = true;
    Release(p, f);
  }
  Frame* next = LeadingFrame(p);
  Point(sp, next);
  return next ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

NTSTATUS KsStreamPointerClone(PKSSTREAM_POINTER StreamPointer, PVOID, ULONG ContextSize,
                              PKSSTREAM_POINTER* CloneStreamPointer) {
  HostStreamPointer* sp = AsHost(StreamPointer);
  HostPin* p = sp->pin;
  std::lock_guard<std::mutex> g(p->queueLock);
  if (!sp->frame) return STATUS_DEVICE_NOT_READY;
  auto* c = new HostStreamPointer;
  std::memset(&c->ks, 0, sizeof c->ks);
  c->pin = p;
  c->clone = true;
  c->context.assign(ContextSize, 0);
  c->ks.Pin = StreamPointer->Pin;
  c->ks.Context = ContextSize ? c->context.data() : nullptr;
  Point(c, sp->frame);
  c->ks.OffsetOut = StreamPointer->OffsetOut;
  ++sp->frame->references;
  p->clones.push_back(c);
  *CloneStreamPointer = &c->ks;
  return STATUS_SUCCESS;
}

VOID KsStreamPointerDelete(PKSSTREAM_POINTER StreamPointer) {
  HostStreamPointer* sp = AsHost(StreamPointer);
  if (!sp->clone) return;  // the leading edge is not deleted
  HostPin* p = sp->pin;
  std::lock_guard<std::mutex> g(p->queueLock);
  for (auto it = p->clones.begin(); it != p->clones.end(); ++it)
    if (*it == sp) {
      p->clones.erase(it);
      break;
    }
  if (sp->frame) Release(p, sp->frame);
  delete sp;
}

PKSSTREAM_POINTER KsPinGetFirstCloneStreamPointer(PKSPIN Pin) {
  HostPin* p = PinOf(Pin);
  std::lock_guard<std::mutex> g(p->queueLock);
  return p->clones.empty() ? nullptr : &p->clones.front()->ks;
}

PKSSTREAM_POINTER KsStreamPointerGetNextClone(PKSSTREAM_POINTER StreamPointer) {
  HostStreamPointer* sp = AsHost(StreamPointer);
  HostPin* p = sp->pin;
  std::lock_guard<std::mutex> g(p->queueLock);
  for (size_t i = 0; i + 1 < p->clones.size(); ++i)
    if (p->clones[i] == sp) return &p->clones[i + 1]->ks;
  return nullptr;
}

NTSTATUS KsPinGetReferenceClockInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
  HostPin* p = PinOf(Pin);
  if (!Interface) return STATUS_INVALID_PARAMETER;
  *Interface = nullptr;
  if (!p->clockAvailable) return STATUS_DEVICE_NOT_READY;
  *Interface = new HostClock;
  return STATUS_SUCCESS;
}

NTSTATUS KsRegisterWorker(WORK_QUEUE_TYPE, PKSWORKER* Worker) {
  if (!Worker) return STATUS_INVALID_PARAMETER;
  *Worker = nullptr;
  void* mem = ExAllocatePoolWithTag(NonPagedPool, sizeof(HostWorker), kTagWorker);
  if (!mem) return STATUS_INSUFFICIENT_RESOURCES;
  auto* w = new (mem) HostWorker;
  w->thread = std::thread(WorkerThread, w);
  *Worker = w;
  return STATUS_SUCCESS;
}

VOID KsUnregisterWorker(PKSWORKER Worker) {
  if (!Worker) return;
  auto* w = static_cast<HostWorker*>(Worker);
  {
    std::lock_guard<std::mutex> g(w->lock);
    w->stop = true;
  }
  w->wake.notify_all();
  if (w->thread.joinable()) w->thread.join();
  w->~HostWorker();
  ExFreePoolWithTag(w, kTagWorker);
}

NTSTATUS KsQueueWorkItem(PKSWORKER Worker, PWORK_QUEUE_ITEM WorkItem) {
  if (!Worker || !WorkItem || !WorkItem->WorkerRoutine) return STATUS_INVALID_PARAMETER;
  auto* w = static_cast<HostWorker*>(Worker);
  {
    std::lock_guard<std::mutex> g(w->lock);
    if (w->stop) return STATUS_UNSUCCESSFUL;
    w->items.push_back(WorkItem);
  }
  w->wake.notify_all();
  return STATUS_SUCCESS;
}

namespace host {

void KsSetPinClockAvailable(PKSPIN pin, bool available) { PinOf(pin)->clockAvailable = available; }

uint64_t KsQueueBuffer(PKSPIN pin, ULONG frameExtent, ULONG headerExtension) {
  HostPin* p = PinOf(pin);
  auto* f = new Frame;
  f->references = 1;
  f->passed = false;
  f->cancelled = false;
  ULONG headerSize = ULONG(sizeof(KSSTREAM_HEADER)) + headerExtension;
  if (pin->StreamHeaderSize > headerSize) headerSize = pin->StreamHeaderSize;
  f->header.assign(headerSize, 0);
  f->data.assign(frameExtent, 0);
  KSSTREAM_HEADER* h = f->Header();
  h->Size = headerSize;
  h->FrameExtent = frameExtent;
  h->Data = frameExtent ? f->data.data() : nullptr;
  {
    std::lock_guard<std::mutex> g(p->queueLock);
    f->id = p->nextId++;
    p->queue.push_back(f);
  }
  if (!(pin->Descriptor->Flags & KSPIN_FLAG_DO_NOT_INITIATE_PROCESSING))
    KsPinAttemptProcessing(pin, TRUE);
  return f->id;
}

bool KsWaitFrame(PKSPIN pin, uint32_t timeoutMs, KsCompletedFrame* out) {
  HostPin* p = PinOf(pin);
  std::unique_lock<std::mutex> lock(p->queueLock);
  if (!p->completedWake.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [p] { return !p->completed.empty(); }))
    return false;
  Frame* f = p->completed.front();
  p->completed.pop_front();
  lock.unlock();
  KSSTREAM_HEADER* h = f->Header();
  out->id = f->id;
  out->cancelled = f->cancelled;
  out->header = *h;
  out->header.Data = nullptr;
  out->extension.assign(f->header.begin() + sizeof(KSSTREAM_HEADER), f->header.end());
  ULONG used = h->DataUsed < f->data.size() ? h->DataUsed : ULONG(f->data.size());
  out->data.assign(f->data.begin(), f->data.begin() + used);
  delete f;
  return true;
}

size_t KsQueuedFrames(PKSPIN pin) {
  HostPin* p = PinOf(pin);
  std::lock_guard<std::mutex> g(p->queueLock);
  return p->queue.size();
}

}  // namespace host
