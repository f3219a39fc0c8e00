// SPDX-License-Identifier: MIT
// The incremental frame reader hosts use, through its C++ and its C interface, and the
// control-message reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HarkwellCore/ControlMessage.h"
#include "HarkwellCore/FrameReader.h"
#include "HarkwellCore/harkwell.h"

namespace harkwell {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes frame(std::uint8_t tag, const std::string& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  Bytes out = {tag, static_cast<std::uint8_t>(n >> 24), static_cast<std::uint8_t>(n >> 16),
               static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

Bytes operator+(Bytes a, const Bytes& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

struct Outcome {
  std::vector<std::pair<int, std::string>> frames;  // tag, payload
  int status = HARKWELL_NEED_MORE;
  std::uint64_t offset = 0;
  std::uint64_t leftover = 0;
  bool operator==(const Outcome&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Outcome& o) {
  os << o.frames.size() << " frames, status " << o.status << " at " << o.offset << ", "
     << o.leftover << " left over";
  return os;
}

// Feeds `stream` in pieces of `chunk` bytes through the C++ reader.
Outcome readWithCxx(const Bytes& stream, std::size_t chunk, bool finish) {
  FrameReader reader;
  Outcome o;
  for (std::size_t at = 0; at < stream.size() && reader.status() == ReadStatus::needMoreBytes;
       at += chunk) {
    reader.feed(std::span(stream).subspan(at, std::min(chunk, stream.size() - at)));
    while (auto f = reader.next())
      o.frames.emplace_back(static_cast<int>(f->frame.tag),
                            std::string(f->frame.payload.begin(), f->frame.payload.end()));
  }
  if (finish) reader.finish();
  const int codes[] = {HARKWELL_NEED_MORE, HARKWELL_UNKNOWN_TAG, HARKWELL_PAYLOAD_TOO_LARGE,
                       HARKWELL_ENDED_MID_FRAME};
  o.status = codes[static_cast<int>(reader.status())];
  o.offset = reader.errorOffset();
  o.leftover = reader.leftoverBytes();
  EXPECT_EQ(reader.error().has_value(), o.status != HARKWELL_NEED_MORE);
  return o;
}

// The same through the C interface.
Outcome readWithC(const Bytes& stream, std::size_t chunk, bool finish) {
  harkwell_reader* reader = harkwell_reader_new();
  Outcome o;
  harkwell_frame f{};
  int status = HARKWELL_NEED_MORE;
  for (std::size_t at = 0; at < stream.size() && status == HARKWELL_NEED_MORE; at += chunk) {
    harkwell_reader_feed(reader, stream.data() + at, std::min(chunk, stream.size() - at));
    while ((status = harkwell_reader_next(reader, &f)) == HARKWELL_FRAME)
      o.frames.emplace_back(f.tag, std::string(reinterpret_cast<const char*>(f.payload), f.size));
  }
  if (finish) {
    harkwell_reader_finish(reader);
    status = harkwell_reader_next(reader, &f);
  }
  o.status = status;
  o.offset = status == HARKWELL_NEED_MORE ? 0 : f.offset;
  o.leftover = status == HARKWELL_ENDED_MID_FRAME ? f.size : 0;
  EXPECT_EQ(std::string(harkwell_reader_error(reader)).empty(), status == HARKWELL_NEED_MORE);
  harkwell_reader_free(reader);
  return o;
}

struct StreamCase {
  std::string name;
  Bytes stream;
  bool finish;
  Outcome expected;
};

const std::string kReady = R"({"type":"ready"})";

class FrameReaderTest : public testing::TestWithParam<StreamCase> {};

TEST_P(FrameReaderTest, SameFramesAndVerdictHoweverTheBytesArrive) {
  const StreamCase& c = GetParam();
  for (std::size_t chunk : {std::size_t{1}, std::size_t{3}, std::size_t{7}, c.stream.size() + 1}) {
    SCOPED_TRACE("chunks of " + std::to_string(chunk));
    EXPECT_EQ(readWithCxx(c.stream, chunk, c.finish), c.expected);
    EXPECT_EQ(readWithC(c.stream, chunk, c.finish), c.expected);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Streams, FrameReaderTest,
    testing::Values(
        StreamCase{"Empty", {}, true, {}},
        StreamCase{"WholeFrames",
                   frame(2, std::string("\x01\x00\xfe\xff", 4)) + frame(1, kReady) + frame(3, ""),
                   true,
                   {{{2, std::string("\x01\x00\xfe\xff", 4)}, {1, kReady}, {3, ""}}}},
        StreamCase{"HalfAFrameIsNeedMoreUntilTheEnd", frame(2, "abcd"), false, {{{2, "abcd"}}}},
        StreamCase{"UnknownTagAfterAFrame",
                   frame(2, "ab") + Bytes{7, 0, 0, 0, 0},
                   true,
                   {{{2, "ab"}}, HARKWELL_UNKNOWN_TAG, 7, 0}},
        StreamCase{"LengthBeyondTheLimit",
                   Bytes{3, 0x7f, 0xff, 0xff, 0xff, 0},
                   true,
                   {{}, HARKWELL_PAYLOAD_TOO_LARGE, 0, 0}},
        StreamCase{"EndedInsideAPayload",
                   frame(1, kReady) + Bytes{2, 0, 0, 0, 4, 1, 2},
                   true,
                   {{{1, kReady}}, HARKWELL_ENDED_MID_FRAME, 21, 7}},
        StreamCase{"EndedInsideAHeader",
                   frame(3, "xy") + Bytes{3, 0},
                   true,
                   {{{3, "xy"}}, HARKWELL_ENDED_MID_FRAME, 7, 2}}),
    [](const testing::TestParamInfo<StreamCase>& p) { return p.param.name; });

struct ControlCase {
  std::string name;
  std::string payload;
  std::string type;  // empty: not a control message
  std::optional<std::string> msg;
};

class ControlMessageTest : public testing::TestWithParam<ControlCase> {};

TEST_P(ControlMessageTest, GivesTypeAndMessageOrSaysWhy) {
  const ControlCase& c = GetParam();
  const auto parsed = parseControlMessage(
      std::span(reinterpret_cast<const std::uint8_t*>(c.payload.data()), c.payload.size()));
  if (c.type.empty()) {
    ASSERT_TRUE(std::holds_alternative<json::ParseError>(parsed));
    EXPECT_FALSE(std::get<json::ParseError>(parsed).reason.empty());
    return;
  }
  ASSERT_TRUE(std::holds_alternative<ControlMessage>(parsed));
  EXPECT_EQ(std::get<ControlMessage>(parsed).type, c.type);
  EXPECT_EQ(std::get<ControlMessage>(parsed).msg, c.msg);
}

INSTANTIATE_TEST_SUITE_P(
    Payloads, ControlMessageTest,
    testing::Values(
        ControlCase{"Ready", R"({"type":"ready"})", "ready", std::nullopt},
        ControlCase{
            "ErrorWithItsMessage",
            R"json({"type":"error","msg":"mic_start: No microphone input available (sr=0)"})json",
            "error", "mic_start: No microphone input available (sr=0)"},
        ControlCase{"EscapesAreDecoded", R"({"msg":"a\/b \u00e9","type":"error"})", "error",
                    "a/b \u00e9"},
        ControlCase{"LaterFieldsAreKept", R"({"type":"ready","version":2})", "ready", std::nullopt},
        ControlCase{"NotJson", R"({"type":"ready")", "", std::nullopt},
        ControlCase{"NotAnObject", R"(["ready"])", "", std::nullopt},
        ControlCase{"NoType", R"({"msg":"x"})", "", std::nullopt},
        ControlCase{"TypeNotAString", R"({"type":1})", "", std::nullopt}),
    [](const testing::TestParamInfo<ControlCase>& p) { return p.param.name; });

}  // namespace
}  // namespace harkwell
