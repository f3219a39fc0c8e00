// SPDX-License-Identifier: MIT
// The C API over FrameReader: no exception crosses it.
#include "HarkwellCore/harkwell.h"

#include <new>
#include <optional>

#include "HarkwellCore/FrameReader.h"

struct harkwell_reader {
  harkwell::FrameReader reader;
  std::optional<harkwell::StreamFrame> current;  // what the last frame's payload points into
};

namespace {

int statusOf(const harkwell::FrameReader& r, harkwell_frame* frame) {
  using harkwell::ReadStatus;
  frame->tag = 0;
  frame->payload = nullptr;
  frame->size = 0;
  frame->offset = r.errorOffset();
  switch (r.status()) {
    case ReadStatus::needMoreBytes:
      return HARKWELL_NEED_MORE;
    case ReadStatus::unknownTag:
      return HARKWELL_UNKNOWN_TAG;
    case ReadStatus::payloadTooLarge:
      return HARKWELL_PAYLOAD_TOO_LARGE;
    case ReadStatus::endedMidFrame:
      frame->size = static_cast<std::uint32_t>(r.leftoverBytes());
      return HARKWELL_ENDED_MID_FRAME;
  }
  return HARKWELL_NEED_MORE;
}

}  // namespace

extern "C" {

harkwell_reader* harkwell_reader_new(void) {
  return new (std::nothrow) harkwell_reader();
}

int harkwell_reader_feed(harkwell_reader* reader, const uint8_t* bytes, size_t size) {
  if (reader == nullptr || (bytes == nullptr && size > 0)) return HARKWELL_NEED_MORE;
  try {
    reader->reader.feed(std::span(bytes, size));
  } catch (const std::bad_alloc&) {
    return HARKWELL_NO_MEMORY;
  }
  return HARKWELL_NEED_MORE;
}

void harkwell_reader_finish(harkwell_reader* reader) {
  if (reader == nullptr) return;
  try {
    reader->reader.finish();
  } catch (const std::bad_alloc&) {
  }
}

int harkwell_reader_next(harkwell_reader* reader, harkwell_frame* frame) {
  if (reader == nullptr || frame == nullptr) return HARKWELL_NEED_MORE;
  try {
    reader->current = reader->reader.next();
  } catch (const std::bad_alloc&) {
    reader->current.reset();
    return HARKWELL_NO_MEMORY;
  }
  if (!reader->current) return statusOf(reader->reader, frame);
  const harkwell::DecodedFrame& f = reader->current->frame;
  frame->tag = static_cast<std::uint8_t>(f.tag);
  frame->payload = f.payload.data();
  frame->size = static_cast<std::uint32_t>(f.payload.size());
  frame->offset = reader->current->offset;
  return HARKWELL_FRAME;
}

const char* harkwell_reader_error(const harkwell_reader* reader) {
  if (reader == nullptr || !reader->reader.error()) return "";
  return reader->reader.error()->c_str();
}

void harkwell_reader_free(harkwell_reader* reader) {
  delete reader;
}

}  // extern "C"
