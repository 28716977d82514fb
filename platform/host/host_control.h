// Test-facing controls of the host platform: pool accounting and
// allocation-failure injection, the captured debug log. Only tests, the
// simulated camera, the client and the tool include this; the driver never.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace host {

struct PoolTagStats {
  uint64_t allocations = 0;   // successful allocations with this tag
  uint64_t frees = 0;
  uint64_t outstanding = 0;   // live blocks
  uint64_t outstandingBytes = 0;
  uint64_t failures = 0;      // injected failures
};

// Per-tag statistics since the last PoolReset().
PoolTagStats PoolStats(uint32_t tag);
// Live blocks over every tag.
uint64_t PoolOutstanding();
// Human-readable list of live blocks (tag as four characters, size); empty
// when nothing is outstanding.
std::string PoolLeakReport();
// Forget all statistics and clear every fault injection (live blocks stay
// valid and can still be freed).
void PoolReset();

// Fail the Nth allocation from now (1 = the next one); 0 disables.
void PoolFailNth(uint64_t n);
// Fail every allocation with this tag until cleared (tag 0 clears).
void PoolFailTag(uint32_t tag);
// Count of allocations made since PoolReset (successful or failed).
uint64_t PoolAllocationCount();

// Debug output captured from DbgPrint: the latest lines, between half the
// limit and the limit in bytes.
constexpr size_t kDebugLogLimit = 1 << 20;
std::string DebugLog();
void ClearDebugLog();
// Also echo DbgPrint to stderr (off by default).
void SetDebugEcho(bool on);

// Makes a tag from its four characters as the pool shows them.
constexpr uint32_t Tag(const char (&s)[5]) {
  return uint32_t(uint8_t(s[0])) | uint32_t(uint8_t(s[1])) << 8 | uint32_t(uint8_t(s[2])) << 16 |
         uint32_t(uint8_t(s[3])) << 24;
}

}  // namespace host

namespace host {

// The host clock behind every kernel time read, delay and wait timeout. It
// starts at rate 1 (real time); tests may run it faster, e.g. SetClockRate(1000)
// makes a 500 ms delay take half a millisecond. The clock stays continuous
// across rate changes, and sleeping threads pick up a new rate.
void SetClockRate(double rate);
double ClockRate();
// Interrupt time in 100 ns units since the host clock started.
uint64_t ClockNow100ns();

}  // namespace host

namespace host {

// Driver faults the host platform caught and refused instead of crashing
// (a work item queued while still queued, a queued work item freed,
// KeFlushQueuedDpcs from a DPC): one line each, oldest first.
uint64_t PlatformFaultCount();
std::string PlatformFaults();
void ClearPlatformFaults();
// Records a fault (also written to the debug log).
void ReportPlatformFault(const std::string& what);

// Holds queued work items in their queue (true) until released (false), so
// that a test can see an item while it is still queued.
void HoldWorkItems(bool hold);

// Waits (real time, up to timeoutMs) until no work item is queued or running
// and no DPC is queued or running; false on timeout.
bool WaitPlatformIdle(unsigned timeoutMs);

}  // namespace host
