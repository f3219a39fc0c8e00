// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>

#include "Platform/dispatch/Dispatch.h"
#include "Waiter.h"

namespace platform {
namespace {

using harkwell::test::Waiter;

TEST(UtilityQueueTest, BlockingBlockDoesNotHoldUpOthers) {
  const auto& utility = DispatchQueue::globalUtility();
  EXPECT_EQ(&utility, &DispatchQueue::globalUtility());
  Waiter release, blockerStarted, blockerDone, othersDone;
  std::atomic<bool> allCurrent{true};
  utility->async([&] {
    blockerStarted.bump();
    release.waitFor(1);  // blocks its worker until the others have run
    blockerDone.bump();
  });
  ASSERT_TRUE(blockerStarted.waitFor(1));
  constexpr int kOthers = 8;
  for (int i = 0; i < kOthers; ++i) {
    utility->async([&] {
      if (!utility->isCurrent()) allCurrent = false;
      othersDone.bump();
    });
  }
  EXPECT_TRUE(othersDone.waitFor(kOthers));
  EXPECT_TRUE(allCurrent);
  EXPECT_FALSE(utility->isCurrent());
  release.bump();
  EXPECT_TRUE(blockerDone.waitFor(1));
}

}  // namespace
}  // namespace platform
