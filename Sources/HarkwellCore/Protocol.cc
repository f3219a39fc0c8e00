// Frames: encoding, decoding and the one locked writer to standard output.
#include "Protocol.h"

#include <unistd.h>

#include <atomic>
#include <cassert>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <system_error>

#include "FdWrite.h"
#include "Json.h"

namespace harkwell {

std::optional<FrameTag> frameTagFromRawValue(std::uint8_t rawValue) {
  switch (rawValue) {
    case 1:
      return FrameTag::control;
    case 2:
      return FrameTag::micPCM;
    case 3:
      return FrameTag::tapPCM;
    default:
      return std::nullopt;
  }
}

namespace FrameWriter {

std::vector<std::uint8_t> encode(FrameTag tag, std::span<const std::uint8_t> payload) {
  assert(payload.size() <= kMaxPayload);
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::vector<std::uint8_t> frame;
  frame.reserve(kHeaderSize + payload.size());
  frame.push_back(static_cast<std::uint8_t>(tag));
  frame.push_back(static_cast<std::uint8_t>(n >> 24));
  frame.push_back(static_cast<std::uint8_t>(n >> 16));
  frame.push_back(static_cast<std::uint8_t>(n >> 8));
  frame.push_back(static_cast<std::uint8_t>(n));
  frame.insert(frame.end(), payload.begin(), payload.end());
  return frame;
}

std::optional<DecodedFrame> decode(std::span<const std::uint8_t> bytes) {
  if (bytes.size() < kHeaderSize) return std::nullopt;
  const auto tag = frameTagFromRawValue(bytes[0]);
  if (!tag) return std::nullopt;
  const std::uint64_t length = (std::uint64_t{bytes[1]} << 24) | (std::uint64_t{bytes[2]} << 16) |
                               (std::uint64_t{bytes[3]} << 8) | std::uint64_t{bytes[4]};
  const std::uint64_t total = kHeaderSize + length;
  if (bytes.size() < total) return std::nullopt;
  const auto payload = bytes.subspan(kHeaderSize, static_cast<std::size_t>(length));
  return DecodedFrame{*tag, std::vector<std::uint8_t>(payload.begin(), payload.end()),
                      static_cast<std::int64_t>(total)};
}

namespace {

// The output lock. Created once, never destroyed: a thread may still be writing (or waiting to
// write) while exit() runs the static destructors.
std::timed_mutex& outputLock() {
  static std::timed_mutex* lock = new std::timed_mutex();
  return *lock;
}

std::atomic<bool> abandoned{false};
constexpr auto kLockSlice = std::chrono::milliseconds(50);

// Takes the output lock, waiting at most `limit`, in slices so that abandonOutput() ends the
// wait; whether it is held.
bool takeLock(std::chrono::milliseconds limit) {
  for (auto waited = std::chrono::milliseconds(0);; waited += kLockSlice) {
    if (abandoned.load(std::memory_order_acquire)) return false;
    if (outputLock().try_lock_for(kLockSlice)) return true;
    if (waited >= limit) return false;
  }
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
  const std::vector<std::uint8_t> frame = encode(tag, payload);
  if (!takeLock(std::chrono::milliseconds::max())) return;
  if (abandoned.load(std::memory_order_acquire)) {
    outputLock().unlock();
    return;
  }
  const int err = detail::writeAll(STDOUT_FILENO, frame.data(), frame.size());
  if (err != 0) failWrite(err);
  outputLock().unlock();
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
  abandoned.store(true, std::memory_order_release);
}

bool outputAbandoned() {
  return abandoned.load(std::memory_order_acquire);
}

}  // namespace FrameWriter

}  // namespace harkwell
