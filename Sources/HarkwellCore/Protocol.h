// The output protocol: frames on standard output and diagnostic lines on standard error.
//
// A frame is one tag byte, the payload length as an unsigned 32-bit big-endian number, then
// the payload. PCM payloads are signed 16-bit little-endian samples, 16000 Hz, one channel.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "Value.h"

namespace harkwell {

enum class FrameTag : std::uint8_t {
  control = 1,  // one compact UTF-8 JSON object
  micPCM = 2,   // microphone audio
  tapPCM = 3,   // system audio
};

// The tag named by a wire byte, or none for 0 and 4...255.
std::optional<FrameTag> frameTagFromRawValue(std::uint8_t rawValue);

struct DecodedFrame {
  FrameTag tag;
  std::vector<std::uint8_t> payload;  // a copy, independent of the input
  std::int64_t consumed;              // 5 + payload length
};

namespace FrameWriter {

inline constexpr std::size_t kHeaderSize = 5;
inline constexpr std::uint64_t kMaxPayload = 0xFFFF'FFFFu;

// The whole frame in one buffer, allocated once. Precondition: payload.size() <= kMaxPayload.
std::vector<std::uint8_t> encode(FrameTag tag, std::span<const std::uint8_t> payload);

// The first frame of `bytes`, or none when the input holds no complete frame or its first byte
// names no tag. Bytes after the first frame are not examined.
std::optional<DecodedFrame> decode(std::span<const std::uint8_t> bytes);

// Encodes and writes one frame whole to standard output under the process-wide output lock.
// On a write error: one "velto: stdout write failed: <reason>" line on standard error and
// exit(0) with the lock still held.
void write(FrameTag tag, std::span<const std::uint8_t> payload);

// Serialises `message` as compact JSON and writes it as one control frame. A message that cannot
// be serialised is dropped without a trace.
void writeControl(const Value::Object& message);

// Ends the process with `status` between two frames: waits (up to two seconds) for a frame that
// another thread is writing, then exits holding the output lock, so that standard output never
// ends inside a frame.
[[noreturn]] void exitBetweenFrames(int status);

// Nobody will read standard output any more (the host has gone): writers waiting for the lock
// give up within 50 ms without writing, and exitBetweenFrames() no longer waits for a writer
// stuck on a full pipe.
void abandonOutput();
bool outputAbandoned();

}  // namespace FrameWriter

namespace Log {

// "[velto] <message>\n" on standard error, one write request, no lock.
void info(std::string_view message);
// "[velto][ERROR] <message>\n" on standard error, one write request, no lock.
void error(std::string_view message);

}  // namespace Log

}  // namespace harkwell
