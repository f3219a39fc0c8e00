// SPDX-License-Identifier: MIT
// The process-wide clock: the monotonic system clock with one timer thread, replaceable by a
// test clock through setClock().
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/dispatch/Dispatch.h"
#include "Platform/dispatch/DispatchThread.h"

namespace platform {
namespace {

std::chrono::steady_clock::time_point toTimePoint(DispatchTime t) {
  return std::chrono::steady_clock::time_point(std::chrono::nanoseconds(t.nanoseconds));
}

// Fires due timers on one thread of its own. Created on first use and never destroyed, so the
// thread may keep running while the process exits.
class SystemClock final : public Clock {
 public:
  DispatchTime now() const override {
    auto since = std::chrono::steady_clock::now().time_since_epoch();
    return DispatchTime{std::chrono::duration_cast<std::chrono::nanoseconds>(since).count()};
  }

  void schedule(DispatchTime deadline, std::function<void()> fire) override {
    std::lock_guard lock(mutex_);
    if (!started_) {
      std::thread([this] { run(); }).detach();
      started_ = true;
    }
    timers_.emplace(deadline, std::move(fire));
    wake_.notify_one();
  }

 private:
  [[noreturn]] void run() {
    dispatch_detail::blockAsynchronousSignals();
    std::unique_lock lock(mutex_);
    for (;;) {
      if (timers_.empty()) {
        wake_.wait(lock);
        continue;
      }
      auto first = timers_.begin();
      if (now() < first->first) {
        wake_.wait_until(lock, toTimePoint(first->first));
        continue;
      }
      auto fire = std::move(first->second);
      timers_.erase(first);
      lock.unlock();
      fire();
      fire = nullptr;  // captured state is released outside the lock
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  // Ordered by deadline; timers with equal deadlines keep their scheduling order.
  std::multimap<DispatchTime, std::function<void()>> timers_;
  bool started_ = false;
};

SystemClock& systemClock() {
  static harkwell::NeverDestroyed<SystemClock> instance;
  return *instance;
}

std::atomic<Clock*> installed{nullptr};

}  // namespace

Clock& clock() {
  Clock* c = installed.load(std::memory_order_acquire);
  return c != nullptr ? *c : systemClock();
}

void setClock(Clock* replacement) {
  installed.store(replacement, std::memory_order_release);
}

}  // namespace platform
