// SPDX-License-Identifier: MIT
// The global utility queue: every block runs on a detached worker thread of its own, so a
// block may block for as long as it likes without holding up any other.
#include <thread>
#include <utility>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/dispatch/Dispatch.h"
#include "Platform/dispatch/DispatchThread.h"

namespace platform {
namespace {

thread_local bool onUtilityWorker = false;

class UtilityQueue final : public DispatchQueue {
 public:
  const std::string& label() const override { return label_; }

  void async(std::function<void()> block) override {
    std::thread([block = std::move(block)]() mutable {
      dispatch_detail::blockAsynchronousSignals();
      onUtilityWorker = true;
      block();
    }).detach();
  }

  void asyncAfter(DispatchTime deadline, std::function<void()> block) override {
    clock().schedule(deadline,
                     [this, block = std::move(block)]() mutable { async(std::move(block)); });
  }

  void asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) override {
    asyncAfter(deadline, [item = std::move(item)] { item->perform(); });
  }

  bool isCurrent() const override { return onUtilityWorker; }
  bool hasWaitingBlocks() const override { return false; }  // every block has its own worker

 private:
  const std::string label_ = "global-utility";
};

}  // namespace

const std::shared_ptr<DispatchQueue>& DispatchQueue::globalUtility() {
  // Never destroyed: its workers may still run while exit() runs.
  static harkwell::NeverDestroyed<std::shared_ptr<DispatchQueue>> queue(
      std::make_shared<UtilityQueue>());
  return *queue;
}

}  // namespace platform
