// SPDX-License-Identifier: MIT
// A clock for tests: time moves only in advance(), which fires the timers that fall due.
#include <map>
#include <mutex>
#include <utility>

#include "Platform/dispatch/Dispatch.h"

namespace platform {

struct ManualClock::State {
  mutable std::mutex mutex;
  DispatchTime now;
  // Ordered by deadline; timers with equal deadlines keep their scheduling order.
  std::multimap<DispatchTime, std::function<void()>> timers;
};

ManualClock::ManualClock() : state_(std::make_unique<State>()) {}

// Pending timers are dropped unfired.
ManualClock::~ManualClock() = default;

DispatchTime ManualClock::now() const {
  std::lock_guard lock(state_->mutex);
  return state_->now;
}

void ManualClock::schedule(DispatchTime deadline, std::function<void()> fire) {
  std::lock_guard lock(state_->mutex);
  state_->timers.emplace(deadline, std::move(fire));
}

// Fires each due timer on the calling thread, with now() at the timer's deadline (or the
// present, for a deadline already past). Timers that a fired timer schedules within the
// advanced span fire in this same call.
void ManualClock::advance(double seconds) {
  std::unique_lock lock(state_->mutex);
  const DispatchTime target = state_->now + seconds;
  for (;;) {
    auto first = state_->timers.begin();
    if (first == state_->timers.end() || first->first > target) break;
    if (state_->now < first->first) state_->now = first->first;
    auto fire = std::move(first->second);
    state_->timers.erase(first);
    lock.unlock();
    fire();
    fire = nullptr;
    lock.lock();
  }
  if (state_->now < target) state_->now = target;
}

std::size_t ManualClock::pendingTimers() const {
  std::lock_guard lock(state_->mutex);
  return state_->timers.size();
}

}  // namespace platform
