// A wake-up signal that a real-time thread can give without allocating, locking or blocking:
// an atomic counter that one waiting thread sleeps on.
#pragma once

#include <atomic>
#include <cstdint>

namespace platform::pw {

class Wakeup {
 public:
  void signal() {
    counter_.fetch_add(1, std::memory_order_release);
    counter_.notify_one();
  }
  // Sleeps until signal() was called after `seen` was read; gives the new value.
  std::uint32_t wait(std::uint32_t seen) {
    counter_.wait(seen, std::memory_order_acquire);
    return counter_.load(std::memory_order_acquire);
  }
  std::uint32_t current() const { return counter_.load(std::memory_order_acquire); }

 private:
  std::atomic<std::uint32_t> counter_{0};
};

}  // namespace platform::pw
