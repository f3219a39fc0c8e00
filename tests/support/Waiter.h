// SPDX-License-Identifier: MIT
// A counter that threads bump and a test waits on. The timeout only guards against a hang; no
// test depends on how long anything takes.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>

namespace harkwell::test {

inline constexpr std::chrono::seconds kHangGuard{20};

class Waiter {
 public:
  void bump() {
    std::lock_guard lock(mutex_);
    ++count_;
    changed_.notify_all();
  }
  // True once the count has reached `n`; false if the guard ran out first.
  bool waitFor(int n) {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, kHangGuard, [&] { return count_ >= n; });
  }
  int count() {
    std::lock_guard lock(mutex_);
    return count_;
  }

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  int count_ = 0;
};

}  // namespace harkwell::test
