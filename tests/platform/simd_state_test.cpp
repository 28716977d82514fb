#include <gtest/gtest.h>

#include <random>
#include <thread>
#include <vector>

#include "media/color_tables.h"
#include "pipeline/conversion_kernels.h"
#include "pipeline/conversions.h"
#include "platform/simd_state.h"

namespace {

using Bytes = std::vector<UCHAR>;
constexpr ULONG kWidth = 320, kHeight = 240;

Bytes RandomFrame(unsigned seed) {
  std::mt19937 rng(seed);
  Bytes f(2 * kWidth * kHeight);
  for (auto& b : f) b = UCHAR(rng());
  return f;
}

class SimdStateTest : public ::testing::Test {
 protected:
  void SetUp() override {
    SimdStateHostReset();
    BuildColorTables(&tables_);
  }
  void TearDown() override { SimdStateHostReset(); }

  // One frame as the pipeline runs it: the state held around the dispatched
  // conversions, compared with the scalar code run outside any save.
  void RunFrame(unsigned seed, bool expectSaved) {
    const Bytes src = RandomFrame(seed);
    Bytes rgb(3 * kWidth * kHeight), i420(I420FrameSize(kWidth, kHeight));
    Bytes refRgb = rgb, refI420 = i420;
    {
      SimdStateScope scope;
      EXPECT_EQ(scope.Saved(), expectSaved);
      EXPECT_EQ(SimdStateHeld(), expectSaved);
      ConvertYuy2ToRgb24(&tables_, rgb.data(), src.data(), kWidth, kHeight);
      ConvertYuy2ToI420(i420.data(), src.data(), kWidth, kHeight);
    }
    EXPECT_FALSE(SimdStateHeld());
    ConvertYuy2ToRgb24Isa(kIsaScalar, &tables_, refRgb.data(), src.data(), kWidth, kHeight);
    ConvertYuy2ToI420Isa(kIsaScalar, refI420.data(), src.data(), kWidth, kHeight);
    EXPECT_EQ(rgb, refRgb) << "isa " << ConversionIsaSupported();
    EXPECT_EQ(i420, refI420) << "isa " << ConversionIsaSupported();
  }

  ColorTables tables_;
};

// One save and one restore per frame around the dispatched kernels; a
// refused save leaves nothing to restore and the frame still converts.
TEST_F(SimdStateTest, OneSaveAndRestorePerFrameAndARefusedSaveStillConverts) {
  SimdStateHostFailSaves(1);
  RunFrame(7, false);
  for (unsigned frame = 0; frame < 4; ++frame) RunFrame(frame, true);
  const SimdStateCounts c = SimdStateHostCounts();
  EXPECT_EQ(c.refused, 1u);
  EXPECT_EQ(c.saves, 4u);
  EXPECT_EQ(c.restores, 4u);
}

TEST_F(SimdStateTest, HeldPerThreadAndThroughNestedScopes) {
  SimdStateScope outer;
  ASSERT_TRUE(outer.Saved());
  {
    SimdStateScope inner;
    EXPECT_TRUE(inner.Saved());
  }
  EXPECT_TRUE(SimdStateHeld()) << "the inner restore must not end the outer save";
  bool otherHeldBefore = true, otherHeldInside = false;
  std::thread other([&] {
    otherHeldBefore = SimdStateHeld();
    SimdStateScope own;
    otherHeldInside = SimdStateHeld();
  });
  other.join();
  EXPECT_FALSE(otherHeldBefore) << "a save on one thread is not held by another";
  EXPECT_TRUE(otherHeldInside);
  EXPECT_EQ(SimdStateHostCounts().saves, 3u);
  EXPECT_EQ(SimdStateHostCounts().restores, 2u);
}

}  // namespace
