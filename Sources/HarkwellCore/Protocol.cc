// SPDX-License-Identifier: MIT
// The one locked writer of frames to standard output.
#include "Protocol.h"

#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>

#include "FdWrite.h"
#include "HarkwellCore/NeverDestroyed.h"
#include "Json.h"

namespace harkwell {

namespace FrameWriter {

namespace {

// The output lock: held around the write of one frame. A mutex and a condition rather than a
// timed mutex, so that a wait for it can end early (abandonOutput()) or after a limit (exit).
// Created once, never destroyed: a thread may still be writing (or waiting to write) while
// exit() runs the static destructors.
struct OutputLock {
  std::mutex mutex;
  std::condition_variable released;
  bool held = false;                // mutex
  bool abandoned = false;           // mutex
  std::atomic<bool> gaveUp{false};  // the same as abandoned, readable without the mutex
};

OutputLock& outputLock() {
  static NeverDestroyed<OutputLock> lock;
  return *lock;
}

// Takes the output lock, waiting at most `limit`; false when it was not taken in time or the
// output was abandoned meanwhile.
bool takeLock(std::chrono::milliseconds limit) {
  OutputLock& l = outputLock();
  std::unique_lock guard(l.mutex);
  const auto available = [&] { return !l.held || l.abandoned; };
  if (limit == std::chrono::milliseconds::max())
    l.released.wait(guard, available);
  else if (!l.released.wait_for(guard, limit, available))
    return false;
  if (l.abandoned) return false;
  l.held = true;
  return true;
}

void releaseLock() {
  OutputLock& l = outputLock();
  {
    std::lock_guard guard(l.mutex);
    l.held = false;
  }
  l.released.notify_one();
}

[[noreturn]] void failWrite(int err) {
  const std::string line =
      "velto: stdout write failed: " + std::generic_category().message(err) + "\n";
  detail::writeAll(STDERR_FILENO, line.data(), line.size());
  // The lock stays held: no frame may follow the one that failed.
  std::exit(0);
}

}  // namespace

void write(FrameTag tag, std::span<const std::uint8_t> payload) {
  // Header and payload go out together in one write request, straight from the caller's
  // buffer: the audio paths write every frame without building it first.
  assert(payload.size() <= kMaxPayload);
  auto header = encodeHeader(tag, static_cast<std::uint32_t>(payload.size()));
  iovec parts[2] = {{header.data(), header.size()},
                    {const_cast<std::uint8_t*>(payload.data()), payload.size()}};
  if (!takeLock(std::chrono::milliseconds::max())) return;
  const int err = detail::writeAll(STDOUT_FILENO, parts, 2);
  if (err != 0) failWrite(err);
  releaseLock();
}

void writeControl(const Value::Object& message) {
  const std::optional<std::string> text = json::serialize(Value(message));
  if (!text) return;
  write(FrameTag::control,
        std::span(reinterpret_cast<const std::uint8_t*>(text->data()), text->size()));
}

void exitBetweenFrames(int status) {
  // Once held, the lock is never released: no frame starts after this point, and a frame that
  // another thread is writing has been handed over whole. A writer stuck on a pipe that nobody
  // reads any more must not keep the process alive, hence the time limit.
  (void)takeLock(std::chrono::seconds(2));
  std::exit(status);
}

void abandonOutput() {
  OutputLock& l = outputLock();
  {
    std::lock_guard guard(l.mutex);
    l.abandoned = true;
  }
  l.gaveUp.store(true, std::memory_order_release);
  l.released.notify_all();
}

bool outputAbandoned() {
  return outputLock().gaveUp.load(std::memory_order_acquire);
}

}  // namespace FrameWriter

}  // namespace harkwell
