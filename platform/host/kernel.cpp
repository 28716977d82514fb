// Spin locks, IRQL and DbgPrint on the host.
#include <sched.h>

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/host/host_control.h"
#include "platform/host/kernel.h"

namespace {
thread_local KIRQL tCurrentIrql = PASSIVE_LEVEL;

struct LogState {
  std::mutex lock;
  std::string text;
  bool echo = false;
};
LogState& Log() {
  static LogState* log = new LogState;
  return *log;
}
}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

KIRQL KeAcquireSpinLockRaiseToDpc(PKSPIN_LOCK SpinLock) {
  unsigned spins = 0;
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(SpinLock, &expected, 1, false, __ATOMIC_ACQUIRE,
                                    __ATOMIC_RELAXED)) {
      break;
    }
    // A user-mode thread holding the lock can be preempted; yield rather
    // than burn the other core.
    if (++spins > 64) sched_yield();
  }
  KIRQL old = tCurrentIrql;
  tCurrentIrql = DISPATCH_LEVEL;
  return old;
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  tCurrentIrql = NewIrql;
  __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE);
}

KIRQL KeGetCurrentIrql() { return tCurrentIrql; }

VOID KeRaiseIrql(KIRQL NewIrql, KIRQL* OldIrql) {
  *OldIrql = tCurrentIrql;
  tCurrentIrql = NewIrql;
}

VOID KeLowerIrql(KIRQL NewIrql) { tCurrentIrql = NewIrql; }

ULONG DbgPrint(PCSTR Format, ...) {
  char buf[1024];
  va_list ap;
  va_start(ap, Format);
  int n = std::vsnprintf(buf, sizeof buf, Format, ap);
  va_end(ap);
  if (n < 0) return 0;
  LogState& log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  log.text += buf;
  // Only the latest lines are kept: past the limit, the oldest half goes
  // (cut at a line end), so appending stays cheap.
  if (log.text.size() > host::kDebugLogLimit) {
    size_t cut = log.text.find('\n', log.text.size() - host::kDebugLogLimit / 2);
    log.text.erase(0, cut == std::string::npos ? log.text.size() - host::kDebugLogLimit / 2 : cut + 1);
  }
  if (log.echo) std::fputs(buf, stderr);
  return 0;
}

namespace host {
std::string DebugLog() {
  LogState& log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  return log.text;
}
void ClearDebugLog() {
  LogState& log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  log.text.clear();
}
void SetDebugEcho(bool on) {
  LogState& log = Log();
  std::lock_guard<std::mutex> guard(log.lock);
  log.echo = on;
}
}  // namespace host
