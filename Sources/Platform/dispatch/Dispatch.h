// SPDX-License-Identifier: MIT
// A small dispatch layer: serial queues, the main queue and its loop, the global utility queue,
// cancellable work items, delayed work and signal sources.
//
// Time comes from a replaceable Clock, so delayed work can run on a manual clock in tests.
// Queues, work items and sources are held by shared_ptr; objects the program keeps for the
// life of the process are never destroyed (their threads may still run while exit() runs).
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace platform {

// A point on the dispatch clock, in nanoseconds since the clock's own epoch.
struct DispatchTime {
  std::int64_t nanoseconds = 0;

  static DispatchTime now();
  // `seconds` after this point (rounded to the nearest nanosecond).
  DispatchTime operator+(double seconds) const;
  friend auto operator<=>(const DispatchTime&, const DispatchTime&) = default;
};

class Clock {
 public:
  virtual ~Clock() = default;
  virtual DispatchTime now() const = 0;
  // Calls `fire` once, at or after `deadline`: on the clock's timer thread (the real clock) or
  // inside ManualClock::advance (the manual clock). `fire` must not block.
  virtual void schedule(DispatchTime deadline, std::function<void()> fire) = 0;
};

// The process-wide clock: the monotonic system clock unless a test installed another.
Clock& clock();
// Installs `replacement` (not owned; it must outlive every use), or the system clock for null.
void setClock(Clock* replacement);

// A clock that moves only when told; due timers fire in deadline order inside advance().
class ManualClock final : public Clock {
 public:
  ManualClock();
  ~ManualClock() override;
  DispatchTime now() const override;
  void schedule(DispatchTime deadline, std::function<void()> fire) override;
  void advance(double seconds);
  std::size_t pendingTimers() const;

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// A block that can be cancelled before it runs.
class DispatchWorkItem {
 public:
  explicit DispatchWorkItem(std::function<void()> block);
  // A work item that has not started never runs; cancelling one that has run does nothing.
  void cancel();
  bool isCancelled() const;
  // Runs the block unless cancelled.
  void perform();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

class DispatchQueue {
 public:
  virtual ~DispatchQueue() = default;

  // A serial queue with its own thread: one block at a time, in submission order.
  static std::shared_ptr<DispatchQueue> makeSerial(std::string label);
  // The main queue, served by the main thread once it calls dispatchMain() (or, in tests, by
  // whoever calls drainMainQueue()).
  static const std::shared_ptr<DispatchQueue>& main();
  // A concurrent queue whose every block gets a worker thread of its own, so a block may block.
  static const std::shared_ptr<DispatchQueue>& globalUtility();

  virtual const std::string& label() const = 0;
  virtual void async(std::function<void()> block) = 0;
  virtual void asyncAfter(DispatchTime deadline, std::function<void()> block) = 0;
  virtual void asyncAfter(DispatchTime deadline, std::shared_ptr<DispatchWorkItem> item) = 0;
  // True on the thread that is running a block of this queue.
  virtual bool isCurrent() const = 0;
  // True when blocks submitted to this queue wait for the one running now (always false for a
  // concurrent queue). Lets a long-running block step aside without polling the queue's lock.
  virtual bool hasWaitingBlocks() const = 0;
};

// Serves the main queue on the calling thread for good.
[[noreturn]] void dispatchMain();

// For tests: runs the main-queue blocks that are ready, on the calling thread, until none is
// left; returns how many ran.
std::size_t drainMainQueue();

// Fires on every delivery of one signal and runs its handler on a given queue. Once resumed,
// the signal no longer takes its default action (even if its disposition was set to ignore).
class DispatchSourceSignal {
 public:
  virtual ~DispatchSourceSignal() = default;
  static std::shared_ptr<DispatchSourceSignal> make(int signal,
                                                    std::shared_ptr<DispatchQueue> queue);
  virtual void setEventHandler(std::function<void()> handler) = 0;
  virtual void resume() = 0;
};

}  // namespace platform
