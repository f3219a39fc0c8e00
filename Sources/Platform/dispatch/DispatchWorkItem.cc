// SPDX-License-Identifier: MIT
// A block that can be cancelled until it starts.
#include <atomic>
#include <utility>

#include "Platform/dispatch/Dispatch.h"

namespace platform {

struct DispatchWorkItem::State {
  explicit State(std::function<void()> b) : block(std::move(b)) {}
  const std::function<void()> block;
  std::atomic<bool> cancelled{false};
};

DispatchWorkItem::DispatchWorkItem(std::function<void()> block)
    : state_(std::make_shared<State>(std::move(block))) {}

void DispatchWorkItem::cancel() {
  state_->cancelled.store(true, std::memory_order_release);
}

bool DispatchWorkItem::isCancelled() const {
  return state_->cancelled.load(std::memory_order_acquire);
}

// The check is the moment the item starts: a cancel() that returned before it keeps the block
// from running; one that comes later does not stop a run in progress.
void DispatchWorkItem::perform() {
  if (isCancelled() || !state_->block) return;
  state_->block();
}

}  // namespace platform
