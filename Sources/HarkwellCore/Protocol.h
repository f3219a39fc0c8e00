// SPDX-License-Identifier: MIT
// The producer's side of the output protocol: frames written whole to standard output, and
// diagnostic lines on standard error. Private to the program (hosts read with FrameReader.h).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string_view>
#include <vector>

#include "HarkwellCore/Frame.h"
#include "Value.h"

namespace harkwell {

namespace FrameWriter {

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
