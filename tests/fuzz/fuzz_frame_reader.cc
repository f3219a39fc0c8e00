// SPDX-License-Identifier: MIT
// The frame decoder and the incremental reader: whatever the bytes, decoding never reads past
// them, a decoded frame encodes back to the bytes it came from, and the reader gives the same
// frames and the same verdict however the bytes are split.
#include <cstdint>
#include <cstdlib>
#include <span>
#include <vector>

#include "HarkwellCore/FrameReader.h"
#include "HarkwellCore/Protocol.h"

using harkwell::FrameReader;
using harkwell::FrameWriter::decode;
using harkwell::FrameWriter::encode;

namespace {

struct Result {
  std::vector<std::vector<std::uint8_t>> payloads;
  std::vector<std::uint64_t> offsets;
  bool broken = false;
};

Result readAll(std::span<const std::uint8_t> bytes, std::size_t chunk) {
  FrameReader reader(1u << 20);
  Result r;
  while (!bytes.empty()) {
    const std::size_t n = std::min(chunk, bytes.size());
    reader.feed(bytes.first(n));
    bytes = bytes.subspan(n);
    while (auto f = reader.next()) {
      r.payloads.emplace_back(f->frame.payload.begin(), f->frame.payload.end());
      r.offsets.push_back(f->offset);
    }
  }
  reader.finish();
  r.broken = reader.error().has_value();
  return r;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::span<const std::uint8_t> all(data + 1, size - 1);
  std::span<const std::uint8_t> rest = all;
  while (const auto frame = decode(rest)) {
    if (frame->consumed <= 0 || static_cast<std::size_t>(frame->consumed) > rest.size())
      std::abort();
    const auto again = encode(frame->tag, frame->payload);
    if (!std::equal(again.begin(), again.end(), rest.begin(), rest.begin() + frame->consumed))
      std::abort();
    rest = rest.subspan(static_cast<std::size_t>(frame->consumed));
  }
  // The first byte picks how the stream arrives: whole, or in pieces of 1 to 255 bytes.
  const Result whole = readAll(all, all.size() + 1);
  const Result pieces = readAll(all, data[0] == 0 ? 1 : data[0]);
  if (whole.payloads != pieces.payloads || whole.offsets != pieces.offsets ||
      whole.broken != pieces.broken)
    std::abort();
  return 0;
}
