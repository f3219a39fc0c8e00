// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "Platform/foundation/Foundation.h"
#include "Waiter.h"

namespace platform {
namespace {

using harkwell::test::Waiter;

constexpr std::string_view kChange = "TestConfigurationChange";

class NotificationCenterTest : public ::testing::Test {
 protected:
  void SetUp() override { drainMainQueue(); }
  void TearDown() override {
    for (auto& token : tokens_) center_.removeObserver(token);
    drainMainQueue();
  }
  NotificationCenter::ObserverToken observe(std::string_view name, const void* sender,
                                            std::shared_ptr<DispatchQueue> queue,
                                            std::function<void()> block) {
    tokens_.push_back(center_.addObserver(name, sender, std::move(queue), std::move(block)));
    return tokens_.back();
  }

  NotificationCenter& center_ = NotificationCenter::defaultCenter();
  std::vector<NotificationCenter::ObserverToken> tokens_;
  int engine_ = 0, otherEngine_ = 0;  // stand-ins for senders
};

TEST_F(NotificationCenterTest, DeliversOnTheObserversQueueForMatchingNameAndSender) {
  EXPECT_EQ(&center_, &NotificationCenter::defaultCenter());
  int calls = 0;
  bool onMain = false;
  observe(kChange, &engine_, DispatchQueue::main(), [&] {
    ++calls;
    onMain = DispatchQueue::main()->isCurrent();
  });
  center_.post(kChange, &otherEngine_);     // another sender
  center_.post("SomethingElse", &engine_);  // another name
  EXPECT_EQ(drainMainQueue(), 0u);

  // Posted from another thread; runs only when the main queue is served.
  std::thread([&] { center_.post(kChange, &engine_); }).join();
  EXPECT_EQ(calls, 0);
  EXPECT_EQ(drainMainQueue(), 1u);
  EXPECT_EQ(calls, 1);
  EXPECT_TRUE(onMain);
}

TEST_F(NotificationCenterTest, NullSenderObservesEverySender) {
  int calls = 0;
  observe(kChange, nullptr, DispatchQueue::main(), [&] { ++calls; });
  center_.post(kChange, &engine_);
  center_.post(kChange, &otherEngine_);
  drainMainQueue();
  EXPECT_EQ(calls, 2);
}

TEST_F(NotificationCenterTest, SerialQueueObserverRunsOnThatQueue) {
  auto queue = DispatchQueue::makeSerial("test.observer");
  Waiter delivered;
  std::atomic<bool> onQueue{false};
  observe(kChange, &engine_, queue, [&] {
    onQueue = queue->isCurrent();
    delivered.bump();
  });
  center_.post(kChange, &engine_);
  ASSERT_TRUE(delivered.waitFor(1));
  EXPECT_TRUE(onQueue);
}

TEST_F(NotificationCenterTest, NoDeliveryStartsAfterRemoval) {
  int removedCalls = 0, keptCalls = 0;
  auto removed = observe(kChange, &engine_, DispatchQueue::main(), [&] { ++removedCalls; });
  observe(kChange, &engine_, DispatchQueue::main(), [&] { ++keptCalls; });

  center_.post(kChange, &engine_);  // submitted to the main queue, not yet run
  center_.removeObserver(removed);
  center_.post(kChange, &engine_);
  drainMainQueue();
  EXPECT_EQ(removedCalls, 0);
  EXPECT_EQ(keptCalls, 2);

  center_.removeObserver(removed);  // a second removal does nothing
  center_.removeObserver(nullptr);
}

// Removal from one thread while another posts and a serial queue delivers: once removal has
// returned, the block never runs again.
TEST_F(NotificationCenterTest, RemovalRacingWithPostsIsFinal) {
  auto queue = DispatchQueue::makeSerial("test.observer.race");
  std::atomic<bool> removedFlag{false};
  std::atomic<int> lateCalls{0};
  auto token = observe(kChange, &engine_, queue, [&] {
    if (removedFlag.load()) ++lateCalls;
  });
  std::atomic<bool> stop{false};
  std::thread poster([&] {
    for (int i = 0; i < 5000 && !stop.load(); ++i) center_.post(kChange, &engine_);
  });
  for (int i = 0; i < 1000; ++i) std::this_thread::yield();
  center_.removeObserver(token);
  removedFlag = true;
  stop = true;
  poster.join();
  Waiter flushed;
  queue->async([&] { flushed.bump(); });
  ASSERT_TRUE(flushed.waitFor(1));
  EXPECT_EQ(lateCalls, 0);
}

// Removal waits for a call already running on another thread, so whatever the remover does
// next (stopping the engine, say) never overlaps the block.
TEST_F(NotificationCenterTest, RemovalWaitsForACallRunningOnAnotherThread) {
  auto queue = DispatchQueue::makeSerial("test.observer.running");
  Waiter entered;
  std::atomic<bool> removing{false}, finished{false};
  auto token = observe(kChange, &engine_, queue, [&] {
    entered.bump();
    while (!removing.load()) std::this_thread::yield();
    for (int i = 0; i < 10'000; ++i) std::this_thread::yield();
    finished = true;
  });
  center_.post(kChange, &engine_);
  ASSERT_TRUE(entered.waitFor(1));
  removing = true;
  center_.removeObserver(token);
  EXPECT_TRUE(finished);
}

// An observer may remove itself from inside its block; that call does not wait for itself.
TEST_F(NotificationCenterTest, ObserverMayRemoveItselfFromItsBlock) {
  auto self = std::make_shared<NotificationCenter::ObserverToken>();
  int calls = 0;
  *self = observe(kChange, &engine_, DispatchQueue::main(), [&, self] {
    ++calls;
    center_.removeObserver(*self);
    self->reset();  // the block holds its own token: break the cycle
  });
  center_.post(kChange, &engine_);
  center_.post(kChange, &engine_);  // already submitted when the first call removes it
  drainMainQueue();
  center_.post(kChange, &engine_);
  drainMainQueue();
  EXPECT_EQ(calls, 1);
}

}  // namespace
}  // namespace platform
