// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Platform/dispatch/Dispatch.h"

namespace platform {
namespace {

class MainQueueTest : public ::testing::Test {
 protected:
  void SetUp() override {
    drainMainQueue();
    setClock(&clock_);
  }
  void TearDown() override {
    setClock(nullptr);
    drainMainQueue();
  }
  ManualClock clock_;
  const std::shared_ptr<DispatchQueue>& main_ = DispatchQueue::main();
};

TEST_F(MainQueueTest, DrainRunsReadyBlocksInOrderIncludingOnesTheyAdd) {
  std::vector<int> order;
  std::vector<bool> current;
  main_->async([&] {
    order.push_back(1);
    current.push_back(main_->isCurrent());
    main_->async([&] { order.push_back(3); });  // added while draining: runs in this drain
  });
  // From another thread, before the drain.
  std::thread([&] { main_->async([&] { order.push_back(2); }); }).join();

  EXPECT_FALSE(main_->isCurrent());
  EXPECT_EQ(drainMainQueue(), 3u);
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(current, (std::vector<bool>{true}));
  EXPECT_FALSE(main_->isCurrent());
  EXPECT_EQ(drainMainQueue(), 0u);
}

// A burst of changes 0.1 s apart, each cancelling the previous pending item and scheduling a
// new one 0.3 s out: exactly one item runs, 0.3 s after the last change.
TEST_F(MainQueueTest, DebounceWithCancelledWorkItemsRunsOnlyTheLast) {
  std::vector<int> ran;
  std::vector<DispatchTime> ranAt;
  const DispatchTime start = clock_.now();
  std::shared_ptr<DispatchWorkItem> pending;
  for (int generation = 1; generation <= 3; ++generation) {
    if (pending) pending->cancel();
    pending = std::make_shared<DispatchWorkItem>([&, generation] {
      ran.push_back(generation);
      ranAt.push_back(DispatchTime::now());
    });
    main_->asyncAfter(DispatchTime::now() + 0.3, pending);
    clock_.advance(0.1);
    drainMainQueue();
  }
  EXPECT_TRUE(ran.empty());
  clock_.advance(0.19);
  drainMainQueue();
  EXPECT_TRUE(ran.empty());
  clock_.advance(0.01);
  drainMainQueue();
  EXPECT_EQ(ran, (std::vector<int>{3}));
  ASSERT_EQ(ranAt.size(), 1u);
  EXPECT_EQ(ranAt[0], start + 0.5);
  clock_.advance(10);
  drainMainQueue();
  EXPECT_EQ(ran.size(), 1u);
}

// Retries that reschedule themselves with growing delays, as a failing rebuild does.
TEST_F(MainQueueTest, AsyncAfterChainsRunAtTheirDeadlines) {
  const DispatchTime start = clock_.now();
  std::vector<DispatchTime> attempts;
  std::function<void(int)> attempt = [&](int n) {
    attempts.push_back(DispatchTime::now());
    if (n < 5) {
      main_->asyncAfter(DispatchTime::now() + 0.25 * (n + 1), [&, n] { attempt(n + 1); });
    }
  };
  main_->asyncAfter(start + 0.3, [&] { attempt(0); });
  // Each step advances the clock to the next deadline and serves the main queue.
  for (double step : {0.3, 0.25, 0.5, 0.75, 1.0, 1.25}) {
    clock_.advance(step);
    EXPECT_EQ(drainMainQueue(), 1u);
  }
  ASSERT_EQ(attempts.size(), 6u);
  EXPECT_EQ(attempts.back(), start + 4.05);
  EXPECT_EQ(clock_.pendingTimers(), 0u);
}

}  // namespace
}  // namespace platform
