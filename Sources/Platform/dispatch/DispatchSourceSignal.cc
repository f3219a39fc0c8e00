// SPDX-License-Identifier: MIT
// Signal sources. Arming a source installs a handler of our own for its signal (a signal whose
// disposition is "ignore" would be discarded by the kernel before anyone saw it). The handler
// only marks the signal as raised and writes a byte to a pipe; one watcher thread wakes on the
// pipe and submits the event handler of every armed source for each raised signal to the
// source's queue.
//
// A source made without a queue runs its handler on the global utility queue. Like libdispatch,
// deliveries that arrive while a source's handler is still waiting to run coalesce into that one
// run. Once armed, a signal keeps this handler for the life of the process, also after its sources
// are gone.
#include <fcntl.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/dispatch/Dispatch.h"
#include "Platform/dispatch/DispatchThread.h"

namespace platform {
namespace {

// Signal numbers run from 1 to SIGRTMAX (64 on Linux).
constexpr int kSignalLimit = 65;
static_assert(std::atomic<bool>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

// Set by the handler for each delivery, cleared by the watcher when it passes the delivery on.
std::array<std::atomic<bool>, kSignalLimit> raised{};
std::atomic<int> pipeWriteEnd{-1};

// Runs in signal context: only lock-free atomics and write(2).
extern "C" void onSignal(int signal) {
  const int savedErrno = errno;
  if (signal > 0 && signal < kSignalLimit) raised[static_cast<std::size_t>(signal)].store(true);
  // Wakes the watcher. The pipe does not block: when it is full, the watcher is awake anyway,
  // and the flag above keeps the delivery.
  const unsigned char byte = 1;
  [[maybe_unused]] ssize_t written = write(pipeWriteEnd.load(std::memory_order_relaxed), &byte, 1);
  errno = savedErrno;
}

class SignalSource;

// The pipe, its watcher thread and the armed sources. Created on first use, never destroyed.
class SignalRegistry {
 public:
  static SignalRegistry& shared() {
    static harkwell::NeverDestroyed<SignalRegistry> instance;
    return *instance;
  }

  void arm(int signal, const std::shared_ptr<SignalSource>& source);

 private:
  friend class harkwell::NeverDestroyed<SignalRegistry>;
  SignalRegistry() {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
      std::perror("signal source pipe");
      std::abort();
    }
    // The watcher's end blocks in read.
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) & ~O_NONBLOCK);
    readEnd_ = fds[0];
    pipeWriteEnd.store(fds[1], std::memory_order_relaxed);
    std::thread([this] { watch(); }).detach();
  }

  [[noreturn]] void watch();
  void deliver(int signal);

  int readEnd_ = -1;
  std::mutex mutex_;
  std::vector<std::pair<int, std::weak_ptr<SignalSource>>> sources_;
  std::vector<int> installed_;
};

class SignalSource final : public DispatchSourceSignal,
                           public std::enable_shared_from_this<SignalSource> {
 public:
  SignalSource(int signal, std::shared_ptr<DispatchQueue> queue)
      : signal_(signal),
        queue_(queue ? std::move(queue)
                     : std::shared_ptr<DispatchQueue>(DispatchQueue::globalUtility())) {}

  void setEventHandler(std::function<void()> handler) override {
    std::lock_guard lock(mutex_);
    handler_ = std::move(handler);
  }

  void resume() override {
    if (armed_.exchange(true)) return;
    SignalRegistry::shared().arm(signal_, shared_from_this());
  }

  // Called by the watcher for each delivery.
  void fire() {
    if (pending_.exchange(true)) return;  // a run is already waiting: coalesce
    queue_->async([weak = weak_from_this()] {
      auto self = weak.lock();
      if (!self) return;
      self->pending_.store(false);
      std::function<void()> handler;
      {
        std::lock_guard lock(self->mutex_);
        handler = self->handler_;
      }
      if (handler) handler();
    });
  }

 private:
  const int signal_;
  const std::shared_ptr<DispatchQueue> queue_;
  std::mutex mutex_;
  std::function<void()> handler_;
  std::atomic<bool> armed_{false};
  std::atomic<bool> pending_{false};
};

void SignalRegistry::arm(int signal, const std::shared_ptr<SignalSource>& source) {
  if (signal <= 0 || signal >= kSignalLimit) {
    std::fprintf(stderr, "signal source: no such signal %d\n", signal);
    return;
  }
  std::lock_guard lock(mutex_);
  sources_.emplace_back(signal, source);
  for (int s : installed_) {
    if (s == signal) return;
  }
  struct sigaction action {};
  action.sa_handler = onSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  if (sigaction(signal, &action, nullptr) != 0) {
    std::fprintf(stderr, "signal source: sigaction(%d) failed: %s\n", signal, std::strerror(errno));
    return;
  }
  installed_.push_back(signal);
}

void SignalRegistry::watch() {
  dispatch_detail::blockAsynchronousSignals();
  for (;;) {
    unsigned char bytes[64];
    ssize_t n = read(readEnd_, bytes, sizeof bytes);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      std::perror("signal source watcher");
      std::abort();
    }
    for (int signal = 1; signal < kSignalLimit; ++signal) {
      if (raised[static_cast<std::size_t>(signal)].exchange(false)) deliver(signal);
    }
  }
}

void SignalRegistry::deliver(int signal) {
  std::vector<std::shared_ptr<SignalSource>> targets;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(sources_, [](const auto& entry) { return entry.second.expired(); });
    for (const auto& [s, weak] : sources_) {
      if (s != signal) continue;
      if (auto source = weak.lock()) targets.push_back(std::move(source));
    }
  }
  for (const auto& source : targets) source->fire();
}

}  // namespace

std::shared_ptr<DispatchSourceSignal> DispatchSourceSignal::make(
    int signal, std::shared_ptr<DispatchQueue> queue) {
  return std::make_shared<SignalSource>(signal, std::move(queue));
}

}  // namespace platform
