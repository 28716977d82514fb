#include <gtest/gtest.h>

#include "platform/host/host_control.h"
#include "platform/wdk.h"

namespace {

class PoolTest : public ::testing::Test {
 protected:
  void SetUp() override { host::PoolReset(); }
  void TearDown() override { host::PoolReset(); }
};

TEST_F(PoolTest, CountsPerTagAndReportsLeaks) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTagBuffer);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 8, kTagContext);
  ASSERT_NE(a, nullptr);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 1u);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstandingBytes, 100u);
  ExFreePoolWithTag(a, kTagBuffer);
  EXPECT_EQ(host::PoolStats(kTagBuffer).outstanding, 0u);
  std::string report = host::PoolLeakReport();
  EXPECT_NE(report.find("KCNw"), std::string::npos) << report;
  EXPECT_EQ(report.find("KLRX"), std::string::npos) << report;
  ExFreePoolWithTag(b, kTagContext);
  EXPECT_TRUE(host::PoolLeakReport().empty());
}

TEST_F(PoolTest, InjectsFailures) {
  host::PoolFailNth(2);
  void* a = ExAllocatePoolWithTag(NonPagedPool, 4, kTagBuffer);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 4, kTagBuffer);
  void* c = ExAllocatePoolWithTag(NonPagedPool, 4, kTagBuffer);
  EXPECT_NE(a, nullptr);
  EXPECT_EQ(b, nullptr);
  EXPECT_NE(c, nullptr);
  EXPECT_EQ(host::PoolStats(kTagBuffer).failures, 1u);
  host::PoolFailTag(kTagRequest);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 4, kTagRequest), nullptr);
  void* d = ExAllocatePoolWithTag(NonPagedPool, 4, kTagFormat);
  EXPECT_NE(d, nullptr);
  ExFreePoolWithTag(a, kTagBuffer);
  ExFreePoolWithTag(c, kTagBuffer);
  ExFreePoolWithTag(d, kTagFormat);
}

TEST_F(PoolTest, TagsReadAsThePoolShowsThem) {
  EXPECT_EQ(kTagBuffer, host::Tag("KLRX"));
  EXPECT_EQ(kTagBuffer & 0xFF, uint32_t('K'));
}

TEST(SpinLockTest, ExcludesAndRestoresIrql) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  KIRQL old = KeAcquireSpinLockRaiseToDpc(&lock);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  EXPECT_NE(lock, 0u);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
  EXPECT_EQ(lock, 0u);
}

TEST(DebugLogTest, CapturesDbgPrint) {
  host::ClearDebugLog();
  DbgPrint("decoder error=%d\n", 7);
  EXPECT_EQ(host::DebugLog(), "decoder error=7\n");
}

}  // namespace
