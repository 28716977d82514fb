#include <gtest/gtest.h>

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

}  // namespace
