// SPDX-License-Identifier: MIT
// A wake-up signal that a real-time thread can give without allocating, locking or blocking:
// a counter that waiting threads sleep on (a futex). The signal makes a system call only when
// somebody waits.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace platform::pw {

class Wakeup {
 public:
  void signal();
  std::uint32_t current() const { return counter_.load(std::memory_order_seq_cst); }
  // Sleeps until signal() was called after `seen` was read (or at most `timeout`).
  void wait(std::uint32_t seen);
  void waitFor(std::uint32_t seen, std::chrono::nanoseconds timeout);

 private:
  std::atomic<std::uint32_t> counter_{0};
  std::atomic<std::uint32_t> waiters_{0};
};

}  // namespace platform::pw
