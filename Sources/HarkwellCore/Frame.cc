// SPDX-License-Identifier: MIT
// Frames: the tag byte, encoding and decoding.
#include "HarkwellCore/Frame.h"

#include <cassert>

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

std::array<std::uint8_t, kHeaderSize> encodeHeader(FrameTag tag, std::uint32_t n) {
  return {static_cast<std::uint8_t>(tag), static_cast<std::uint8_t>(n >> 24),
          static_cast<std::uint8_t>(n >> 16), static_cast<std::uint8_t>(n >> 8),
          static_cast<std::uint8_t>(n)};
}

std::vector<std::uint8_t> encode(FrameTag tag, std::span<const std::uint8_t> payload) {
  assert(payload.size() <= kMaxPayload);
  const auto header = encodeHeader(tag, static_cast<std::uint32_t>(payload.size()));
  std::vector<std::uint8_t> frame;
  frame.reserve(kHeaderSize + payload.size());
  frame.insert(frame.end(), header.begin(), header.end());
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

}  // namespace FrameWriter

}  // namespace harkwell
