// SPDX-License-Identifier: MIT
// The frames Harkwell writes to standard output.
//
// A frame is one tag byte, the payload length as an unsigned 32-bit big-endian number, then
// the payload. PCM payloads are signed 16-bit little-endian samples, 16000 Hz, one channel.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

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

// The five header bytes of a frame: the tag, then the payload's length, big-endian.
std::array<std::uint8_t, kHeaderSize> encodeHeader(FrameTag tag, std::uint32_t payloadSize);

// The whole frame in one buffer, allocated once. Precondition: payload.size() <= kMaxPayload.
std::vector<std::uint8_t> encode(FrameTag tag, std::span<const std::uint8_t> payload);

// The first frame of `bytes`, or none when the input holds no complete frame or its first byte
// names no tag. Bytes after the first frame are not examined.
std::optional<DecodedFrame> decode(std::span<const std::uint8_t> bytes);

}  // namespace FrameWriter

}  // namespace harkwell
