// Splits a frame stream into frames as bytes arrive, with FrameWriter::decode. Reports a byte
// that names no tag (the stream cannot be resynchronised after it), a stream that ends inside a
// frame, and a length field too large to be real.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HarkwellCore/Frame.h"

namespace harkwell {

struct StreamFrame {
  DecodedFrame frame;
  std::uint64_t offset;  // offset of the frame's tag byte in the stream
};

class FrameReader {
 public:
  // A payload longer than this is taken for a corrupt length field rather than buffered.
  static constexpr std::uint64_t kDefaultPayloadLimit = 64u * 1024u * 1024u;

  explicit FrameReader(std::uint64_t payloadLimit = kDefaultPayloadLimit)
      : payloadLimit_(payloadLimit) {}

  void feed(std::span<const std::uint8_t> bytes);

  // The next complete frame, or none when more bytes are needed or the stream is broken
  // (error() then says why; nothing more is decoded).
  std::optional<StreamFrame> next();

  // The input has ended: bytes left over make a truncation error.
  void finish();

  const std::optional<std::string>& error() const { return error_; }
  std::uint64_t decodedBytes() const { return consumed_; }
  std::uint64_t pendingBytes() const { return buffer_.size() - start_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;       // first byte of buffer_ not yet decoded
  std::uint64_t consumed_ = 0;  // stream offset of buffer_[start_]
  std::uint64_t payloadLimit_;
  std::optional<std::string> error_;
};

}  // namespace harkwell
