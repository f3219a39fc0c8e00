// SPDX-License-Identifier: MIT
// harkwell-record --inspect on hand-made streams: what reaches the WAV files and events.jsonl,
// what is reported, and the exit status.
#include <gtest/gtest.h>

#include <ostream>

#include "RecordSupport.h"

namespace harkwell::test {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes goodStream() {
  return frame(2, pcm({1, -2, 3})) + frame(1, text(R"({"type":"error","msg":"tap_start: a\/b"})")) +
         frame(1, text(R"({"type":"ready"})")) + frame(3, pcm({0, 0, 0, 0, 7})) +
         frame(2, pcm({4}));
}

struct InspectCase {
  const char* name;
  Bytes stream;
  int exitStatus;
  const char* message;  // expected in standard error; "" for none at all
  std::vector<std::int16_t> mic;
  std::vector<std::int16_t> system;
  std::vector<const char*> events;  // expected in the lines of events.jsonl, in order
};

void PrintTo(const InspectCase& c, std::ostream* os) {
  *os << c.name;
}

std::vector<InspectCase> inspectCases() {
  const Bytes good = goodStream();
  const std::vector<std::int16_t> goodMic{1, -2, 3, 4};
  const std::vector<std::int16_t> goodSystem{0, 0, 0, 0, 7};
  const std::vector<const char*> goodEvents{
      R"({"offset":11,"message":{"type":"error","msg":"tap_start: a\/b"}})",
      R"({"offset":56,"message":{"type":"ready"}})"};
  Bytes truncatedPayload = frame(3, pcm({9, 9, 9}));
  truncatedPayload.pop_back();
  return {
      {"Good", good, 0, "", goodMic, goodSystem, goodEvents},
      {"Empty", {}, 0, "", {}, {}, {}},
      {"TruncatedHeader", good + Bytes{2, 0, 0}, 1,
       "the stream ends inside the frame at offset 99: 3 bytes left over (a frame header needs 5)",
       goodMic, goodSystem, goodEvents},
      {"TruncatedPayload", good + truncatedPayload, 1,
       "the stream ends inside the frame at offset 99: 10 bytes left over (its header announces 6 "
       "payload bytes, of which 5 arrived)",
       goodMic, goodSystem, goodEvents},
      // Nothing after a byte that names no tag is decoded, not even a well-formed frame.
      {"BadTag", good + Bytes{7, 0, 0, 0, 0} + frame(2, pcm({5})), 1,
       "byte 0x07 at offset 99 names no frame tag", goodMic, goodSystem, goodEvents},
      {"BadTagFirstByte",
       Bytes{0} + good,
       1,
       "byte 0x00 at offset 0 names no frame tag",
       {},
       {},
       {}},
      // A control payload that is not JSON breaks no frame boundary: decoding goes on.
      {"BadJson",
       frame(1, text(R"({"type":"ready")")) + frame(2, pcm({5})),
       1,
       "the frame at offset 0: the control payload is not valid JSON (unexpected end of text "
       "inside "
       "an object at byte 15 of 15)",
       {5},
       {},
       {R"({"offset":0,"invalid":"{\"type\":\"ready\""})"}},
      {"BadUtf8InJson",
       frame(1, text("{\"type\":\"\xC0\xAF\"}")),
       1,
       "invalid UTF-8 inside a string at byte 9",
       {},
       {},
       {R"("invalid":)"}},
      {"JsonNotAnObject",
       frame(1, text("[1]")),
       1,
       "the control message is JSON but not an object",
       {},
       {},
       {R"({"offset":0,"message":[1]})"}},
      {"OddPcmLength",
       frame(2, Bytes{1, 2, 3}) + frame(2, pcm({6})),
       1,
       "the frame at offset 0 (mic) carries 3 bytes, not a whole number of 16-bit samples",
       {0x0201, 6},
       {},
       {}},
      {"CorruptLength",
       Bytes{3, 0xFF, 0xFF, 0xFF, 0xFF, 0},
       1,
       "the frame at offset 0 announces a payload of 4294967295 bytes",
       {},
       {},
       {}},
  };
}

class InspectTest : public ::testing::TestWithParam<InspectCase> {};

TEST_P(InspectTest, RecordsWhatTheStreamHoldsAndReportsWhatIsWrong) {
  const InspectCase& c = GetParam();
  TempDir dir;
  writeFile(dir / "capture.bin", c.stream);
  Process record({RECORD_BINARY, "--inspect", dir / "capture.bin", "--out", dir / "out"}, dir);
  const std::optional<int> status = record.wait();
  ASSERT_TRUE(status) << "harkwell-record did not end";
  EXPECT_EQ(*status, c.exitStatus) << record.err();
  if (std::string(c.message).empty()) {
    EXPECT_EQ(record.err(), "");
  } else {
    EXPECT_NE(record.err().find(c.message), std::string::npos) << record.err();
  }
  // The summary is printed whether the stream was good or not.
  EXPECT_NE(record.out().find("control messages:"), std::string::npos) << record.out();

  const Wav mic = readWav(dir / "out/mic.wav");
  const Wav system = readWav(dir / "out/system.wav");
  EXPECT_EQ(mic.problem, "");
  EXPECT_EQ(system.problem, "");
  EXPECT_EQ(mic.samples, c.mic);
  EXPECT_EQ(system.samples, c.system);

  const std::vector<std::string> events = readLines(dir / "out/events.jsonl");
  ASSERT_EQ(events.size(), c.events.size());
  for (std::size_t i = 0; i < events.size(); ++i)
    EXPECT_NE(events[i].find(c.events[i]), std::string::npos) << events[i];
}

INSTANTIATE_TEST_SUITE_P(Streams, InspectTest, ::testing::ValuesIn(inspectCases()),
                         [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(InspectSummaryTest, ShowsLevelsSilenceAndControlMessages) {
  TempDir dir;
  // Mic: full-scale square wave (0 dBFS); system: 800 zeros then quiet samples.
  std::vector<std::int16_t> square;
  for (int i = 0; i < 1600; ++i) square.push_back(i % 2 ? 32767 : -32768);
  std::vector<std::int16_t> quiet(800, 0);
  quiet.insert(quiet.end(), 800, 3);
  writeFile(dir / "capture.bin",
            frame(2, pcm(square)) + frame(3, pcm(quiet)) +
                frame(1, text(R"({"type":"error","msg":"mic_start: denied"})")));
  Process record({RECORD_BINARY, "--inspect", dir / "capture.bin", "--out", dir / "out"}, dir);
  ASSERT_EQ(record.wait(), 0) << record.err();
  const std::string out = record.out();
  SCOPED_TRACE(out);
  EXPECT_NE(
      out.find(
          "mic     mic.wav         0.10 s      1600       1     0.0     0.0     0.00 s  sound"),
      std::string::npos);
  EXPECT_NE(
      out.find(
          "system  system.wav      0.10 s      1600       1   -83.8   -80.8     0.05 s  silent"),
      std::string::npos);
  EXPECT_NE(out.find("error: mic_start: denied"), std::string::npos);
  EXPECT_NE(out.find("no \"ready\" message arrived"), std::string::npos);
  EXPECT_NE(out.find("hint: the microphone did not start"), std::string::npos);
  EXPECT_NE(out.find("hint: system audio is silent"), std::string::npos);

  // The system source is below -60 dBFS: silent.
  Process strict(
      {RECORD_BINARY, "--inspect", dir / "capture.bin", "--out", dir / "out2", "--require-sound"},
      dir);
  EXPECT_EQ(strict.wait(), 4) << strict.err();
}

TEST(InspectFileTest, MissingFileIsReported) {
  TempDir dir;
  Process record({RECORD_BINARY, "--inspect", dir / "nothing.bin", "--out", dir / "out"}, dir);
  EXPECT_EQ(record.wait(), 1);
  EXPECT_NE(
      record.err().find("cannot open " + (dir / "nothing.bin") + ": No such file or directory"),
      std::string::npos)
      << record.err();
}

}  // namespace
}  // namespace harkwell::test
