// SPDX-License-Identifier: MIT
// Encoding and decoding frames: exact bytes on the wire and every way a decode can stop short.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "HarkwellCore/Protocol.h"

namespace harkwell {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes bytesOf(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

TEST(FrameTag, RawValuesRoundTripAndOtherBytesNameNoTag) {
  EXPECT_EQ(frameTagFromRawValue(1), FrameTag::control);
  EXPECT_EQ(frameTagFromRawValue(2), FrameTag::micPCM);
  EXPECT_EQ(frameTagFromRawValue(3), FrameTag::tapPCM);
  for (int b : {0, 4, 5, 0x7F, 0x80, 0xFF})
    EXPECT_EQ(frameTagFromRawValue(static_cast<std::uint8_t>(b)), std::nullopt) << b;
}

TEST(FrameEncode, KnownFrames) {
  struct Case {
    const char* name;
    FrameTag tag;
    Bytes payload;
    Bytes expected;
  };
  const std::vector<Case> cases = {
      {"ready",
       FrameTag::control,
       bytesOf(R"({"type":"ready"})"),
       {0x01, 0x00, 0x00, 0x00, 0x10, 0x7B, 0x22, 0x74, 0x79, 0x70, 0x65,
        0x22, 0x3A, 0x22, 0x72, 0x65, 0x61, 0x64, 0x79, 0x22, 0x7D}},
      {"micPCM samples 1 and -2",
       FrameTag::micPCM,
       {0x01, 0x00, 0xFE, 0xFF},
       {0x02, 0x00, 0x00, 0x00, 0x04, 0x01, 0x00, 0xFE, 0xFF}},
      {"empty tapPCM", FrameTag::tapPCM, {}, {0x03, 0x00, 0x00, 0x00, 0x00}},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(FrameWriter::encode(c.tag, c.payload), c.expected) << c.name;
  }
}

TEST(FrameEncode, ErrorMessageHeaderAndLengthBytes) {
  const Bytes error = FrameWriter::encode(
      FrameTag::control,
      bytesOf(R"({"type":"error","msg":"unsupported_os: macOS 14.4+ required"})"));
  ASSERT_EQ(error.size(), 66u);
  EXPECT_EQ(Bytes(error.begin(), error.begin() + 5), (Bytes{0x01, 0x00, 0x00, 0x00, 0x3D}));

  struct Case {
    std::size_t size;
    Bytes lengthBytes;
  };
  for (const Case& c : {Case{256, {0x00, 0x00, 0x01, 0x00}}, Case{65536, {0x00, 0x01, 0x00, 0x00}},
                        Case{0x01020304, {0x01, 0x02, 0x03, 0x04}}}) {
    const Bytes payload(c.size, 0xAB);
    const Bytes frame = FrameWriter::encode(FrameTag::tapPCM, payload);
    ASSERT_EQ(frame.size(), c.size + 5);
    EXPECT_EQ(Bytes(frame.begin() + 1, frame.begin() + 5), c.lengthBytes) << c.size;
    EXPECT_EQ(frame.capacity(), frame.size()) << "one allocation, sized exactly for the frame";
    EXPECT_TRUE(std::equal(payload.begin(), payload.end(), frame.begin() + 5));
  }
}

TEST(FrameDecode, Table) {
  const Bytes a = FrameWriter::encode(FrameTag::micPCM, Bytes{1, 2, 3});
  const Bytes b = FrameWriter::encode(FrameTag::control, bytesOf("{}"));
  Bytes backToBack = a;
  backToBack.insert(backToBack.end(), b.begin(), b.end());

  struct Expect {
    FrameTag tag;
    Bytes payload;
    std::int64_t consumed;
  };
  struct Case {
    const char* name;
    Bytes input;
    std::size_t offset;
    std::optional<Expect> expected;
  };
  const std::vector<Case> cases = {
      {"no bytes", {}, 0, std::nullopt},
      {"one byte", {0x01}, 0, std::nullopt},
      {"four bytes", {0x01, 0x00, 0x00, 0x00}, 0, std::nullopt},
      {"empty payload", {0x03, 0, 0, 0, 0}, 0, Expect{FrameTag::tapPCM, {}, 5}},
      {"tag 0", {0x00, 0, 0, 0, 1, 9}, 0, std::nullopt},
      {"tag 4", {0x04, 0, 0, 0, 1, 9}, 0, std::nullopt},
      {"tag 255", {0xFF, 0, 0, 0, 0}, 0, std::nullopt},
      {"payload one byte short", {0x02, 0, 0, 0, 3, 1, 2}, 0, std::nullopt},
      {"payload complete", {0x02, 0, 0, 0, 3, 1, 2, 3}, 0, Expect{FrameTag::micPCM, {1, 2, 3}, 8}},
      {"length near 2^32 does not overflow", {0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0}, 0, std::nullopt},
      {"first of two", backToBack, 0, Expect{FrameTag::micPCM, {1, 2, 3}, 8}},
      {"second of two", backToBack, 8, Expect{FrameTag::control, bytesOf("{}"), 7}},
      {"view starts mid-buffer",
       {0x01, 0x02, 0, 0, 0, 1, 7, 0xEE},
       1,
       Expect{FrameTag::micPCM, {7}, 6}},
      {"view starts on a byte that is no tag", {0x02, 0, 0, 0, 0}, 1, std::nullopt},
  };
  for (const Case& c : cases) {
    const auto view = std::span<const std::uint8_t>(c.input).subspan(c.offset);
    const auto got = FrameWriter::decode(view);
    ASSERT_EQ(got.has_value(), c.expected.has_value()) << c.name;
    if (!got) continue;
    EXPECT_EQ(got->tag, c.expected->tag) << c.name;
    EXPECT_EQ(got->payload, c.expected->payload) << c.name;
    EXPECT_EQ(got->consumed, c.expected->consumed) << c.name;
  }
}

TEST(FrameDecode, IncompleteFrameDecodesOnceTheRestArrives) {
  const Bytes payload(300, 0x5A);
  const Bytes frame = FrameWriter::encode(FrameTag::tapPCM, payload);
  Bytes buffer;
  for (std::size_t i = 0; i < frame.size(); ++i) {
    EXPECT_FALSE(FrameWriter::decode(buffer)) << "with " << i << " bytes";
    buffer.push_back(frame[i]);
  }
  const auto got = FrameWriter::decode(buffer);
  ASSERT_TRUE(got);
  EXPECT_EQ(got->payload, payload);
  EXPECT_EQ(got->consumed, static_cast<std::int64_t>(frame.size()));
}

TEST(FrameDecode, PayloadIsACopyIndependentOfTheInput) {
  Bytes frame = FrameWriter::encode(FrameTag::micPCM, Bytes{1, 2});
  const auto got = FrameWriter::decode(frame);
  ASSERT_TRUE(got);
  frame[5] = 99;
  EXPECT_EQ(got->payload, (Bytes{1, 2}));
}

}  // namespace
}  // namespace harkwell
