// SPDX-License-Identifier: MIT
#include "HarkwellCore/FrameReader.h"

#include <cstdio>

namespace harkwell {
namespace {

std::uint64_t lengthField(std::span<const std::uint8_t> header) {
  return (std::uint64_t{header[1]} << 24) | (std::uint64_t{header[2]} << 16) |
         (std::uint64_t{header[3]} << 8) | std::uint64_t{header[4]};
}

std::string hexByte(std::uint8_t b) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(b));
  return text;
}

}  // namespace

void FrameReader::feed(std::span<const std::uint8_t> bytes) {
  if (error_) return;
  if (start_ > 0 && start_ >= buffer_.size() / 2) {
    buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(start_));
    start_ = 0;
  }
  buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
}

std::optional<StreamFrame> FrameReader::next() {
  if (error_) return std::nullopt;
  const std::span<const std::uint8_t> rest(buffer_.data() + start_, buffer_.size() - start_);
  if (rest.empty()) return std::nullopt;
  // The tag is checked before the header is complete so that garbage is reported at once.
  if (!frameTagFromRawValue(rest[0])) {
    status_ = ReadStatus::unknownTag;
    error_ = "byte " + hexByte(rest[0]) + " at offset " + std::to_string(consumed_) +
             " names no frame tag (1 control, 2 mic, 3 system); the stream cannot be "
             "resynchronised, so decoding stops there";
    return std::nullopt;
  }
  if (rest.size() >= FrameWriter::kHeaderSize && lengthField(rest) > payloadLimit_) {
    status_ = ReadStatus::payloadTooLarge;
    error_ = "the frame at offset " + std::to_string(consumed_) + " announces a payload of " +
             std::to_string(lengthField(rest)) + " bytes, more than the " +
             std::to_string(payloadLimit_) + " this reader accepts; the length field is corrupt";
    return std::nullopt;
  }
  std::optional<DecodedFrame> frame = FrameWriter::decode(rest);
  if (!frame) return std::nullopt;  // incomplete: wait for more bytes
  StreamFrame out{std::move(*frame), consumed_};
  start_ += static_cast<std::size_t>(out.frame.consumed);
  consumed_ += static_cast<std::uint64_t>(out.frame.consumed);
  return out;
}

void FrameReader::finish() {
  if (error_) return;
  const std::size_t left = buffer_.size() - start_;
  if (left == 0) return;
  const std::span<const std::uint8_t> rest(buffer_.data() + start_, left);
  std::string what;
  if (left < FrameWriter::kHeaderSize) {
    what = "a frame header needs 5";
  } else {
    what = "its header announces " + std::to_string(lengthField(rest)) +
           " payload bytes, of which " + std::to_string(left - FrameWriter::kHeaderSize) +
           " arrived";
  }
  status_ = ReadStatus::endedMidFrame;
  error_ = "the stream ends inside the frame at offset " + std::to_string(consumed_) + ": " +
           std::to_string(left) + " byte" + (left == 1 ? "" : "s") + " left over (" + what + ")";
}

}  // namespace harkwell
