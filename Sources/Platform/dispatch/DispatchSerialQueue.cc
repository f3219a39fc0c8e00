// SPDX-License-Identifier: MIT
// Serial queues: one thread per queue runs its blocks one at a time, in submission order.
//
// Destroying a queue lets the blocks already submitted run to the end, then stops its thread;
// blocks submitted after destruction began (by a delayed submission, say) are dropped. When
// the last reference goes away inside one of the queue's own blocks, the thread is detached
// and finishes the same way on its own. The program keeps its queues for good; only tests
// destroy them.
#include <pthread.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "Platform/dispatch/Dispatch.h"
#include "Platform/dispatch/DispatchThread.h"

namespace platform {
namespace {

struct SerialState {
  std::mutex mutex;
  std::condition_variable wake;
  std::deque<std::function<void()>> blocks;
  std::atomic<std::size_t> waiting{0};  // blocks.size(), readable without the mutex
  bool stopping = false;

  void submit(std::function<void()> block) {
    {
      std::lock_guard lock(mutex);
      if (!stopping) {
        blocks.push_back(std::move(block));
        waiting.store(blocks.size(), std::memory_order_release);
        wake.notify_one();
        return;
      }
    }
    // Dropped: the block's captures are released outside the lock.
  }
};

// The queue whose thread is the current one, if any.
thread_local const SerialState* currentSerial = nullptr;

// The thread is named after the queue (its first 15 bytes, as Linux keeps them), so that ps,
// top and debuggers show which queue it serves.
void nameThread(const std::string& label) {
  char name[16] = {};
  label.copy(name, sizeof name - 1);
  ::pthread_setname_np(::pthread_self(), name);
}

void serve(const std::shared_ptr<SerialState>& state, const std::string& label) {
  dispatch_detail::blockAsynchronousSignals();
  nameThread(label);
  currentSerial = state.get();
  std::unique_lock lock(state->mutex);
  for (;;) {
    state->wake.wait(lock, [&] { return !state->blocks.empty() || state->stopping; });
    if (state->blocks.empty()) return;
    auto block = std::move(state->blocks.front());
    state->blocks.pop_front();
    state->waiting.store(state->blocks.size(), std::memory_order_release);
    lock.unlock();
    block();
    block = nullptr;  // may drop the last reference to the queue itself
    lock.lock();
  }
}

class SerialQueue final : public DispatchQueue {
 public:
  explicit SerialQueue(std::string label)
      : label_(std::move(label)), state_(std::make_shared<SerialState>()) {
    thread_ = std::thread([state = state_, label = label_] { serve(state, label); });
  }

  ~SerialQueue() override {
    {
      std::lock_guard lock(state_->mutex);
      state_->stopping = true;
      state_->wake.notify_one();
    }
    if (thread_.get_id() == std::this_thread::get_id()) {
      thread_.detach();
    } else {
      thread_.join();
    }
  }

  const std::string& label() const override { return label_; }

  void async(std::function<void()> block) override { state_->submit(std::move(block)); }

  void asyncAfter(DispatchTime deadline, std::function<void()> block) override {
    clock().schedule(deadline, [weak = std::weak_ptr(state_), block = std::move(block)]() mutable {
      if (auto state = weak.lock()) state->submit(std::move(block));
    });
  }

  void asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) override {
    asyncAfter(deadline, [item = std::move(item)] { item->perform(); });
  }

  bool isCurrent() const override { return currentSerial == state_.get(); }
  bool hasWaitingBlocks() const override {
    return state_->waiting.load(std::memory_order_acquire) > 0;
  }

 private:
  const std::string label_;
  const std::shared_ptr<SerialState> state_;
  std::thread thread_;
};

}  // namespace

std::shared_ptr<DispatchQueue> DispatchQueue::makeSerial(std::string label) {
  return std::make_shared<SerialQueue>(std::move(label));
}

}  // namespace platform
