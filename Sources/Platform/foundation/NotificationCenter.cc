// SPDX-License-Identifier: MIT
// The notification centre: observers registered by name and sender, each notified on its own
// queue. Removing an observer waits for a call of its block that is running on another thread,
// so a block must not wait for the thread that removes it.
#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/foundation/Foundation.h"

namespace platform {
namespace {

struct Observer {
  std::string name;
  const void* sender = nullptr;          // null: notifications of every sender
  std::shared_ptr<DispatchQueue> queue;  // null: on the posting thread
  std::function<void()> block;

  std::mutex mutex;
  std::condition_variable finished;
  bool active = true;
  std::vector<std::thread::id> running;  // threads inside `block` right now

  // A delivery checks the flag when it starts, so one that was submitted before removal but
  // has not started yet does nothing.
  void deliver() {
    {
      std::lock_guard lock(mutex);
      if (!active) return;
      running.push_back(std::this_thread::get_id());
    }
    block();
    std::lock_guard lock(mutex);
    running.erase(std::find(running.begin(), running.end(), std::this_thread::get_id()));
    finished.notify_all();
  }

  // After this returns the block is not running on any other thread and never starts again.
  // Called from inside the block itself, it does not wait for that call.
  void deactivate() {
    std::unique_lock lock(mutex);
    active = false;
    finished.wait(lock, [&] {
      return std::all_of(running.begin(), running.end(),
                         [](std::thread::id id) { return id == std::this_thread::get_id(); });
    });
  }
};

class DefaultCenter final : public NotificationCenter {
 public:
  ObserverToken addObserver(std::string_view name, const void* sender,
                            std::shared_ptr<DispatchQueue> queue,
                            std::function<void()> block) override {
    auto observer = std::make_shared<Observer>();
    observer->name = std::string(name);
    observer->sender = sender;
    observer->queue = std::move(queue);
    observer->block = std::move(block);
    std::lock_guard lock(mutex_);
    observers_.push_back(observer);
    return observer;
  }

  void removeObserver(const ObserverToken& token) override {
    std::shared_ptr<Observer> removed;
    {
      std::lock_guard lock(mutex_);
      auto found = std::find_if(observers_.begin(), observers_.end(),
                                [&](const auto& o) { return o.get() == token.get(); });
      if (found == observers_.end()) return;  // unknown or already removed
      removed = std::move(*found);
      observers_.erase(found);
    }
    removed->deactivate();
  }

  void post(std::string_view name, const void* sender) override {
    std::vector<std::shared_ptr<Observer>> targets;
    {
      std::lock_guard lock(mutex_);
      for (const auto& o : observers_) {
        if (o->name == name && (o->sender == nullptr || o->sender == sender)) {
          targets.push_back(o);
        }
      }
    }
    for (auto& o : targets) {
      if (o->queue) {
        o->queue->async([o] { o->deliver(); });
      } else {
        o->deliver();
      }
    }
  }

 private:
  std::mutex mutex_;
  std::vector<std::shared_ptr<Observer>> observers_;
};

}  // namespace

NotificationCenter& NotificationCenter::defaultCenter() {
  static harkwell::NeverDestroyed<DefaultCenter> instance;
  return *instance;
}

}  // namespace platform
