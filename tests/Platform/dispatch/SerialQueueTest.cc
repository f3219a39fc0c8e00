// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "Platform/dispatch/Dispatch.h"
#include "Waiter.h"

namespace platform {
namespace {

using harkwell::test::Waiter;

TEST(SerialQueueTest, RunsBlocksOneAtATimeInSubmissionOrder) {
  auto queue = DispatchQueue::makeSerial("test.serial.order");
  EXPECT_EQ(queue->label(), "test.serial.order");
  constexpr int kBlocks = 2000;
  std::vector<int> order;  // touched only by the queue's blocks
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
  std::atomic<bool> notCurrent{false};
  Waiter done;
  // Submitted from two threads: each thread's blocks must keep their own order.
  auto submit = [&](int base) {
    for (int i = 0; i < kBlocks / 2; ++i) {
      queue->async([&, value = base + i] {
        if (inside.fetch_add(1) != 0) overlapped = true;
        if (!queue->isCurrent()) notCurrent = true;
        order.push_back(value);
        std::this_thread::yield();
        inside.fetch_sub(1);
        done.bump();
      });
    }
  };
  std::thread other(submit, 100'000);
  submit(0);
  other.join();
  ASSERT_TRUE(done.waitFor(kBlocks));
  EXPECT_FALSE(overlapped);
  EXPECT_FALSE(notCurrent);
  EXPECT_FALSE(queue->isCurrent());

  std::vector<int> mine, theirs;
  Waiter read;
  queue->async([&] {
    for (int v : order) (v < 100'000 ? mine : theirs).push_back(v);
    read.bump();
  });
  ASSERT_TRUE(read.waitFor(1));
  ASSERT_EQ(mine.size(), static_cast<std::size_t>(kBlocks / 2));
  ASSERT_EQ(theirs.size(), static_cast<std::size_t>(kBlocks / 2));
  for (int i = 0; i < kBlocks / 2; ++i) {
    EXPECT_EQ(mine[static_cast<std::size_t>(i)], i);
    EXPECT_EQ(theirs[static_cast<std::size_t>(i)], 100'000 + i);
  }
}

TEST(SerialQueueTest, IsCurrentOnlyOnItsOwnThread) {
  auto a = DispatchQueue::makeSerial("test.a");
  auto b = DispatchQueue::makeSerial("test.b");
  Waiter done;
  bool aOnA = false, bOnA = true, mainOnA = true;
  a->async([&] {
    aOnA = a->isCurrent();
    bOnA = b->isCurrent();
    mainOnA = DispatchQueue::main()->isCurrent();
    done.bump();
  });
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_TRUE(aOnA);
  EXPECT_FALSE(bOnA);
  EXPECT_FALSE(mainOnA);
}

// A block that runs for long (the system-audio hand-off) looks at this to step aside.
TEST(SerialQueueTest, HasWaitingBlocksWhileABlockWaitsBehindTheRunningOne) {
  auto queue = DispatchQueue::makeSerial("test.waiting");
  Waiter started, release, done;
  std::atomic<bool> before{true}, during{false}, after{true};
  queue->async([&] {
    before = queue->hasWaitingBlocks();
    started.bump();
    release.waitFor(1);
    during = queue->hasWaitingBlocks();
  });
  ASSERT_TRUE(started.waitFor(1));
  queue->async([&] {
    after = queue->hasWaitingBlocks();
    done.bump();
  });
  release.bump();
  ASSERT_TRUE(done.waitFor(1));
  EXPECT_FALSE(before);
  EXPECT_TRUE(during);
  EXPECT_FALSE(after);
  EXPECT_FALSE(DispatchQueue::globalUtility()->hasWaitingBlocks());
}

TEST(SerialQueueTest, DestroyingTheQueueRunsBlocksAlreadySubmitted) {
  std::atomic<int> ran{0};
  Waiter release;
  {
    auto queue = DispatchQueue::makeSerial("test.drain");
    queue->async([&] { release.waitFor(1); });  // holds the queue while more are submitted
    for (int i = 0; i < 50; ++i) queue->async([&] { ++ran; });
    release.bump();
  }  // joins the queue's thread
  EXPECT_EQ(ran, 50);
}

TEST(SerialQueueTest, LastReferenceDroppedInsideItsOwnBlockIsSafe) {
  Waiter go, released, later;
  {
    auto queue = DispatchQueue::makeSerial("test.self-release");
    // The first block holds the only reference left once the test lets go of its own.
    queue->async([held = queue, &go, &released]() mutable {
      go.waitFor(1);
      held.reset();  // destroys the queue on its own thread: the thread detaches
      released.bump();
    });
    queue->async([&] { later.bump(); });
    queue.reset();
    go.bump();
  }
  ASSERT_TRUE(released.waitFor(1));
  // Blocks submitted before the queue died still run, on the detached thread.
  EXPECT_TRUE(later.waitFor(1));
}

class SerialQueueClockTest : public ::testing::Test {
 protected:
  void SetUp() override { setClock(&clock_); }
  void TearDown() override { setClock(nullptr); }
  ManualClock clock_;
};

TEST_F(SerialQueueClockTest, AsyncAfterRunsOnTheQueueOnceTheDeadlineComes) {
  auto queue = DispatchQueue::makeSerial("test.after");
  Waiter ran;
  std::atomic<bool> onQueue{false};
  queue->asyncAfter(DispatchTime::now() + 0.5, [&] {
    onQueue = queue->isCurrent();
    ran.bump();
  });
  auto cancelled = std::make_shared<DispatchWorkItem>([&] { ran.bump(); });
  queue->asyncAfter(DispatchTime::now() + 0.4, cancelled);
  cancelled->cancel();

  clock_.advance(0.49);
  EXPECT_EQ(clock_.pendingTimers(), 1u);
  clock_.advance(0.01);
  EXPECT_EQ(clock_.pendingTimers(), 0u);
  ASSERT_TRUE(ran.waitFor(1));
  EXPECT_TRUE(onQueue);
  // The cancelled item reached the queue and did nothing: a block submitted after it runs
  // after it, and the count stays at one.
  Waiter flushed;
  queue->async([&] { flushed.bump(); });
  ASSERT_TRUE(flushed.waitFor(1));
  EXPECT_EQ(ran.count(), 1);
}

TEST_F(SerialQueueClockTest, DelayedBlockForADestroyedQueueIsDropped) {
  bool ran = false;
  {
    auto queue = DispatchQueue::makeSerial("test.gone");
    queue->asyncAfter(DispatchTime::now() + 0.1, [&] { ran = true; });
  }
  clock_.advance(1.0);
  EXPECT_FALSE(ran);
}

}  // namespace
}  // namespace platform
