// SPDX-License-Identifier: MIT
// Splits Harkwell's standard output into frames as bytes arrive: feed() what a read gave,
// then take frames with next() until it gives none; status() then says whether more bytes
// are needed or the stream is broken: a byte that names no tag (the stream cannot be
// resynchronised after it), a length field too large to be real, or, after finish(), a stream
// that ended inside a frame.
//
//   harkwell::FrameReader reader;
//   reader.feed(bytes);
//   while (auto f = reader.next()) use(f->frame.tag, f->frame.payload);
//   if (reader.status() != harkwell::ReadStatus::needMoreBytes) fail(*reader.error());
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "HarkwellCore/Frame.h"

namespace harkwell {

enum class ReadStatus {
  needMoreBytes,    // no complete frame yet (or, after finish(), the stream ended cleanly)
  unknownTag,       // errorOffset(): the byte that names no tag
  payloadTooLarge,  // errorOffset(): the frame whose length field is beyond the limit
  endedMidFrame,    // after finish(): errorOffset() is the frame, leftoverBytes() what came
};

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

  ReadStatus status() const { return status_; }
  // Where the stream broke (see ReadStatus); 0 while it is not broken.
  std::uint64_t errorOffset() const { return status_ == ReadStatus::needMoreBytes ? 0 : consumed_; }
  // The bytes of the frame the stream ended in (endedMidFrame), else 0.
  std::uint64_t leftoverBytes() const {
    return status_ == ReadStatus::endedMidFrame ? pendingBytes() : 0;
  }
  // The same, in words, for a person.
  const std::optional<std::string>& error() const { return error_; }
  std::uint64_t decodedBytes() const { return consumed_; }
  std::uint64_t pendingBytes() const { return buffer_.size() - start_; }

 private:
  std::vector<std::uint8_t> buffer_;
  std::size_t start_ = 0;       // first byte of buffer_ not yet decoded
  std::uint64_t consumed_ = 0;  // stream offset of buffer_[start_]
  std::uint64_t payloadLimit_;
  std::optional<std::string> error_;
  ReadStatus status_ = ReadStatus::needMoreBytes;
};

}  // namespace harkwell
