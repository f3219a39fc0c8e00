// SPDX-License-Identifier: MIT
// The main queue: served by the main thread in dispatchMain(), or by drainMainQueue() in tests.
#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <utility>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/dispatch/Dispatch.h"

namespace platform {
namespace {

// How many main-queue blocks the current thread is running (nested drains count twice).
thread_local int runningMainBlocks = 0;

class MainQueue final : public DispatchQueue {
 public:
  const std::string& label() const override { return label_; }

  void async(std::function<void()> block) override {
    std::lock_guard lock(mutex_);
    blocks_.push_back(std::move(block));
    waiting_.store(blocks_.size(), std::memory_order_release);
    wake_.notify_one();
  }

  void asyncAfter(DispatchTime deadline, std::function<void()> block) override {
    clock().schedule(deadline,
                     [this, block = std::move(block)]() mutable { async(std::move(block)); });
  }

  void asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) override {
    asyncAfter(deadline, [item = std::move(item)] { item->perform(); });
  }

  bool isCurrent() const override { return runningMainBlocks > 0; }
  bool hasWaitingBlocks() const override { return waiting_.load(std::memory_order_acquire) > 0; }

  // Takes the next block; waits for one when `wait` is set, otherwise returns null when none.
  std::function<void()> next(bool wait) {
    std::unique_lock lock(mutex_);
    if (wait) wake_.wait(lock, [&] { return !blocks_.empty(); });
    if (blocks_.empty()) return nullptr;
    auto block = std::move(blocks_.front());
    blocks_.pop_front();
    waiting_.store(blocks_.size(), std::memory_order_release);
    return block;
  }

  static void run(std::function<void()>& block) {
    ++runningMainBlocks;
    block();
    block = nullptr;
    --runningMainBlocks;
  }

 private:
  const std::string label_ = "main-thread";
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> blocks_;
  std::atomic<std::size_t> waiting_{0};  // blocks_.size(), readable without the mutex
};

MainQueue& mainQueue() {
  static harkwell::NeverDestroyed<MainQueue> instance;
  return *instance;
}

}  // namespace

const std::shared_ptr<DispatchQueue>& DispatchQueue::main() {
  // The shared_ptr never releases the queue: blocks may still be submitted while exit() runs.
  static harkwell::NeverDestroyed<std::shared_ptr<DispatchQueue>> queue(&mainQueue(),
                                                                        [](DispatchQueue*) {});
  return *queue;
}

void dispatchMain() {
  MainQueue& queue = mainQueue();
  for (;;) {
    auto block = queue.next(true);
    MainQueue::run(block);
  }
}

std::size_t drainMainQueue() {
  MainQueue& queue = mainQueue();
  std::size_t ran = 0;
  while (auto block = queue.next(false)) {
    MainQueue::run(block);
    ++ran;
  }
  return ran;
}

}  // namespace platform
