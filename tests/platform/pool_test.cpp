#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/host/bounded_log.h"
#include "platform/host/host_control.h"
#include "platform/wdk.h"

namespace {

TEST(PoolTest, CountsPerTagReportsLeaksAndInjectsFailures) {
  host::PoolReset();
  EXPECT_EQ(kTagBuffer, host::Tag("KLRX"));
  EXPECT_EQ(kTagBuffer & 0xFF, uint32_t('K')) << "tags read as the pool shows them";
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagBuffer);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagContext);
  ASSERT_TRUE(a && b);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 1u);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstandingBytes, 100u);
  ExFreePoolWithTag(a, kTagBuffer);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 0u);
  std::string report = host::PoolLeakReport();
  EXPECT_NE(report.find("KCNw"), std::string::npos) << report;
  EXPECT_EQ(report.find("KLRX"), std::string::npos) << report;
  ExFreePoolWithTag(b, kTagContext);
  EXPECT_TRUE(host::PoolLeakReport().empty());

  host::PoolFailNth(2);
  void* p[3];
  for (void*& x : p) x = ExAllocatePoolWithTag(NonPagedPool, 4, kTagBuffer);
  EXPECT_TRUE(p[0] && !p[1] && p[2]) << "only the second fails";
  EXPECT_EQ(host::PoolStats(kTagBuffer).failures, 1u);
  host::PoolFailTag(kTagRequest);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagRequest), nullptr);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 4, kTagFormat);
  EXPECT_NE(d, nullptr);
  ExFreePoolWithTag(p[0], kTagBuffer);
  ExFreePoolWithTag(p[2], kTagBuffer);
  ExFreePoolWithTag(d, kTagFormat);
  host::PoolReset();
}

TEST(SpinLockTest, ExcludesAndRestoresIrqlAndDbgPrintIsCaptured) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
  host::ClearDebugLog();
  DbgPrint("decoder error=%d\n", 7);
  EXPECT_EQ(host::DebugLog(), "decoder error=7\n");
}

TEST(LogTest, LogsKeepOnlyTheirLatestEntries) {
  host::ClearDebugLog();
  const int lines = int(3 * host::kDebugLogLimit / 16);
  for (int i = 0; i < lines; ++i) DbgPrint("line %09d\n", i);  // 15 bytes a line
  const std::string log = host::DebugLog();
  EXPECT_LE(log.size(), host::kDebugLogLimit);
  EXPECT_GE(log.size(), host::kDebugLogLimit / 2);
  EXPECT_EQ(log.compare(0, 5, "line "), 0);  // whole lines only
  char last[32];
  std::snprintf(last, sizeof last, "line %09d\n", lines - 1);
  EXPECT_EQ(log.substr(log.size() - 15), last);
  host::ClearDebugLog();

  host::BoundedLog<int, 3> small;
  for (int i = 1; i <= 5; ++i) small.Add(i);
  EXPECT_EQ(small.Entries(), (std::vector<int>{3, 4, 5}));
  small.Clear();
  EXPECT_TRUE(small.Entries().empty());
}

}  // namespace
