// Events, waits, delays and the host clock. One dispatcher lock and one
// condition variable serve every waitable object, as the kernel's dispatcher
// database does: a signal wakes all waiters, each re-checks its own objects.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "platform/host/host_control.h"
#include "platform/host/kernel.h"

namespace {

using RealClock = std::chrono::steady_clock;

struct Dispatcher {
  std::mutex lock;
  std::condition_variable changed;
  // Host clock: host time = hostAnchor + (real now - realAnchor) x rate.
  RealClock::time_point realAnchor = RealClock::now();
  double hostAnchor100ns = 0;
  double rate = 1.0;
};

Dispatcher& D() {
  static Dispatcher* d = new Dispatcher;  // never destroyed: threads may outlive main
  return *d;
}

constexpr UCHAR kEventObjectTag = 0xE0;  // DISPATCHER_HEADER.Signalling marks an initialised event
// Windows' system time of the host clock's zero: an arbitrary fixed date.
constexpr LONGLONG kSystemTimeBase = 133000000000000000LL;

double NowLocked(const Dispatcher& d) {
  std::chrono::duration<double, std::ratio<1, 10000000>> real = RealClock::now() - d.realAnchor;
  return d.hostAnchor100ns + real.count() * d.rate;
}

PKEVENT AsEvent(PVOID object) {
  auto* e = static_cast<PKEVENT>(object);
  if (!e || e->Header.Signalling != kEventObjectTag) {
    std::fprintf(stderr, "host kernel: wait on an object that is not an initialised event\n");
    std::abort();
  }
  return e;
}

// Converts a kernel timeout into an absolute host-clock deadline; returns
// false for "no timeout".
bool Deadline(const Dispatcher& d, PLARGE_INTEGER timeout, double* deadline) {
  if (!timeout) return false;
  if (timeout->QuadPart <= 0) {
    *deadline = NowLocked(d) + double(-timeout->QuadPart);
  } else {
    *deadline = double(timeout->QuadPart - kSystemTimeBase);
  }
  return true;
}

// Sleeps on the dispatcher until notified or until the host deadline; real
// sleeps are capped so that a rate change is seen promptly.
void SleepLocked(Dispatcher& d, std::unique_lock<std::mutex>& guard, bool hasDeadline,
                 double deadline) {
  if (!hasDeadline) {
    d.changed.wait(guard);
    return;
  }
  double remainingHost = deadline - NowLocked(d);
  if (remainingHost <= 0) return;
  double realNs = remainingHost * 100.0 / d.rate;
  if (realNs > 20e6) realNs = 20e6;
  if (realNs < 1) realNs = 1;
  d.changed.wait_for(guard, std::chrono::nanoseconds(int64_t(realNs)));
}

bool Signalled(PKEVENT e) { return e->Header.SignalState > 0; }

void Satisfy(PKEVENT e) {
  if (e->Header.Type == SynchronizationEvent) e->Header.SignalState = 0;
}

}  // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  std::memset(Event, 0, sizeof *Event);
  Event->Header.Type = UCHAR(Type);
  Event->Header.Signalling = kEventObjectTag;
  Event->Header.Size = sizeof(KEVENT) / sizeof(LONG);
  Event->Header.SignalState = State ? 1 : 0;
  Event->Header.WaitListHead.Flink = &Event->Header.WaitListHead;
  Event->Header.WaitListHead.Blink = &Event->Header.WaitListHead;
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  PKEVENT e = AsEvent(Event);
  LONG previous = e->Header.SignalState;
  e->Header.SignalState = 1;
  d.changed.notify_all();
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  AsEvent(Event)->Header.SignalState = 0;
}

LONG KeResetEvent(PRKEVENT Event) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  PKEVENT e = AsEvent(Event);
  LONG previous = e->Header.SignalState;
  e->Header.SignalState = 0;
  return previous;
}

LONG KeReadStateEvent(PRKEVENT Event) {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  return AsEvent(Event)->Header.SignalState;
}

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN,
                               PLARGE_INTEGER Timeout) {
  PVOID objects[1] = {Object};
  return KeWaitForMultipleObjects(1, objects, WaitAny, Executive, KernelMode, FALSE, Timeout,
                                  nullptr);
}

NTSTATUS KeWaitForMultipleObjects(ULONG Count, PVOID Object[], WAIT_TYPE WaitType, KWAIT_REASON,
                                  KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout,
                                  PKWAIT_BLOCK WaitBlockArray) {
  if (Count == 0 || Count > MAXIMUM_WAIT_OBJECTS ||
      (Count > THREAD_WAIT_OBJECTS && WaitBlockArray == nullptr)) {
    std::fprintf(stderr, "host kernel: KeWaitForMultipleObjects with %u objects\n", Count);
    std::abort();
  }
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL &&
      !(Timeout && Timeout->QuadPart == 0)) {
    std::fprintf(stderr, "host kernel: blocking wait at DISPATCH_LEVEL\n");
    std::abort();
  }
  Dispatcher& d = D();
  std::unique_lock<std::mutex> guard(d.lock);
  double deadline = 0;
  bool hasDeadline = Deadline(d, Timeout, &deadline);
  for (;;) {
    if (WaitType == WaitAny) {
      for (ULONG i = 0; i < Count; ++i) {
        PKEVENT e = AsEvent(Object[i]);
        if (Signalled(e)) {
          Satisfy(e);
          return STATUS_WAIT_0 + NTSTATUS(i);
        }
      }
    } else {
      bool all = true;
      for (ULONG i = 0; i < Count; ++i) all = all && Signalled(AsEvent(Object[i]));
      if (all) {
        for (ULONG i = 0; i < Count; ++i) Satisfy(AsEvent(Object[i]));
        return STATUS_SUCCESS;
      }
    }
    if (hasDeadline && NowLocked(d) >= deadline) return STATUS_TIMEOUT;
    SleepLocked(d, guard, hasDeadline, deadline);
  }
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (KeGetCurrentIrql() >= DISPATCH_LEVEL) {
    std::fprintf(stderr, "host kernel: delay at DISPATCH_LEVEL\n");
    std::abort();
  }
  Dispatcher& d = D();
  std::unique_lock<std::mutex> guard(d.lock);
  double deadline = 0;
  Deadline(d, Interval, &deadline);
  while (NowLocked(d) < deadline) SleepLocked(d, guard, true, deadline);
  return STATUS_SUCCESS;
}

ULONGLONG KeQueryInterruptTime() { return host::ClockNow100ns(); }

ULONG KeQueryTimeIncrement() { return 156250; }  // 15.625 ms, the usual clock tick

VOID KeQueryTickCount(PLARGE_INTEGER CurrentCount) {
  CurrentCount->QuadPart = LONGLONG(host::ClockNow100ns() / KeQueryTimeIncrement());
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  CurrentTime->QuadPart = kSystemTimeBase + LONGLONG(host::ClockNow100ns());
}

namespace host {

void SetClockRate(double rate) {
  if (!(rate > 0)) {
    std::fprintf(stderr, "host kernel: clock rate must be positive\n");
    std::abort();
  }
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  d.hostAnchor100ns = NowLocked(d);
  d.realAnchor = RealClock::now();
  d.rate = rate;
  d.changed.notify_all();
}

double ClockRate() {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  return d.rate;
}

uint64_t ClockNow100ns() {
  Dispatcher& d = D();
  std::lock_guard<std::mutex> guard(d.lock);
  return uint64_t(NowLocked(d));
}

}  // namespace host
