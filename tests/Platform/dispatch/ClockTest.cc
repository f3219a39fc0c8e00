// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <vector>

#include "Platform/dispatch/Dispatch.h"
#include "Waiter.h"

namespace platform {
namespace {

TEST(DispatchTimeTest, AddsSecondsRoundedToNanoseconds) {
  struct Case {
    std::int64_t start;
    double seconds;
    std::int64_t expected;
  } cases[] = {
      {0, 0.3, 300'000'000}, {5, 0.25, 250'000'005},   {0, 1e-9 * 0.6, 1},
      {1'000, -0.000001, 0}, {0, 1.25, 1'250'000'000}, {7, 0.0, 7},
  };
  for (const auto& c : cases) {
    EXPECT_EQ((DispatchTime{c.start} + c.seconds).nanoseconds, c.expected)
        << c.start << " + " << c.seconds;
  }
}

TEST(ManualClockTest, FiresDueTimersInDeadlineOrderOnAdvance) {
  ManualClock clock;
  std::vector<int> fired;
  const DispatchTime start = clock.now();
  clock.schedule(start + 0.5, [&] { fired.push_back(3); });
  clock.schedule(start + 0.1, [&] { fired.push_back(1); });
  clock.schedule(start + 0.3, [&] { fired.push_back(2); });
  clock.schedule(start + 0.3, [&] { fired.push_back(22); });  // same deadline: scheduling order
  clock.schedule(start + 2.0, [&] { fired.push_back(9); });

  clock.advance(0.09);
  EXPECT_TRUE(fired.empty());
  clock.advance(0.5);
  EXPECT_EQ(fired, (std::vector<int>{1, 2, 22, 3}));
  EXPECT_EQ(clock.pendingTimers(), 1u);
  EXPECT_EQ(clock.now(), start + 0.59);
}

TEST(ManualClockTest, TimerSeesItsDeadlineAndChainsWithinOneAdvance) {
  ManualClock clock;
  const DispatchTime start = clock.now();
  std::vector<DispatchTime> seen;
  std::function<void()> tick = [&] {
    seen.push_back(clock.now());
    if (seen.size() < 10) clock.schedule(clock.now() + 0.25, tick);
  };
  clock.schedule(start + 0.25, tick);

  clock.advance(1.0);  // 0.25, 0.5, 0.75, 1.0 fire; 1.25 is left
  ASSERT_EQ(seen.size(), 4u);
  for (std::size_t i = 0; i < seen.size(); ++i) {
    EXPECT_EQ(seen[i], start + 0.25 * static_cast<double>(i + 1));
  }
  EXPECT_EQ(clock.pendingTimers(), 1u);
  EXPECT_EQ(clock.now(), start + 1.0);
}

TEST(ManualClockTest, PastDeadlineFiresOnNextAdvance) {
  ManualClock clock;
  clock.advance(1.0);
  bool fired = false;
  clock.schedule(DispatchTime{0}, [&] { fired = true; });
  EXPECT_FALSE(fired);
  clock.advance(0);
  EXPECT_TRUE(fired);
}

TEST(ClockTest, InstalledClockDrivesDispatchTimeNow) {
  ManualClock manual;
  manual.advance(42.0);
  setClock(&manual);
  EXPECT_EQ(DispatchTime::now(), manual.now());
  setClock(nullptr);
  EXPECT_NE(&clock(), static_cast<Clock*>(&manual));
}

TEST(ClockTest, SystemClockFiresTimersAtOrAfterTheirDeadline) {
  harkwell::test::Waiter waiter;
  const DispatchTime now = DispatchTime::now();
  for (double delay : {0.02, 0.0, -1.0}) {
    clock().schedule(now + delay, [&, delay] {
      EXPECT_GE(DispatchTime::now(), now + delay);
      waiter.bump();
    });
  }
  EXPECT_TRUE(waiter.waitFor(3));
}

TEST(DispatchWorkItemTest, CancelBeforePerformKeepsTheBlockFromRunning) {
  int runs = 0;
  DispatchWorkItem item([&] { ++runs; });
  EXPECT_FALSE(item.isCancelled());
  item.perform();
  EXPECT_EQ(runs, 1);
  item.cancel();
  EXPECT_TRUE(item.isCancelled());
  item.perform();
  EXPECT_EQ(runs, 1);
}

}  // namespace
}  // namespace platform
