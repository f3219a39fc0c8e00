// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/Wakeup.h"

#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>

namespace platform::pw {

namespace {

static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));

std::uint32_t* word(std::atomic<std::uint32_t>& a) {
  return reinterpret_cast<std::uint32_t*>(&a);
}

}  // namespace

void Wakeup::signal() {
  counter_.fetch_add(1, std::memory_order_seq_cst);
  // Either a waiter is counted here, or its futex wait sees the new value and returns.
  if (waiters_.load(std::memory_order_seq_cst) != 0)
    ::syscall(SYS_futex, word(counter_), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

void Wakeup::wait(std::uint32_t seen) {
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  while (counter_.load(std::memory_order_seq_cst) == seen)
    ::syscall(SYS_futex, word(counter_), FUTEX_WAIT_PRIVATE, seen, nullptr, nullptr, 0);
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

void Wakeup::waitFor(std::uint32_t seen, std::chrono::nanoseconds timeout) {
  waiters_.fetch_add(1, std::memory_order_seq_cst);
  if (counter_.load(std::memory_order_seq_cst) == seen) {
    timespec relative{};
    relative.tv_sec = static_cast<time_t>(timeout.count() / 1'000'000'000);
    relative.tv_nsec = static_cast<long>(timeout.count() % 1'000'000'000);
    ::syscall(SYS_futex, word(counter_), FUTEX_WAIT_PRIVATE, seen, &relative, nullptr, 0);
  }
  waiters_.fetch_sub(1, std::memory_order_seq_cst);
}

}  // namespace platform::pw
