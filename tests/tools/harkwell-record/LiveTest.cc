// SPDX-License-Identifier: MIT
// harkwell-record launching a fake Harkwell: how the recording ends, what it reports, and that
// the WAV files hold exactly the samples the child wrote.
#include <gtest/gtest.h>
#include <signal.h>

#include <ostream>

#include "FakeSamples.h"
#include "RecordSupport.h"

namespace harkwell::test {
namespace {

// Every sample of `wav` is the fake child's sequence from its start, in whole 10 ms frames.
void expectFakeSequence(const Wav& wav, std::int16_t (*sample)(std::int64_t), const char* name) {
  SCOPED_TRACE(name);
  EXPECT_EQ(wav.problem, "");
  EXPECT_GT(wav.samples.size(), 0u);
  EXPECT_EQ(wav.samples.size() % 160, 0u);
  for (std::size_t i = 0; i < wav.samples.size(); ++i) {
    if (wav.samples[i] != sample(static_cast<std::int64_t>(i))) {
      ADD_FAILURE() << "sample " << i << " is " << wav.samples[i] << ", expected "
                    << sample(static_cast<std::int64_t>(i));
      return;
    }
  }
}

struct EndCase {
  const char* name;
  std::vector<std::string> extraArgs;  // after harkwell-record's own options
  int exitStatus;
  const char* inOut;  // expected in standard output
  const char* inErr;  // expected in standard error
  bool recorded;      // the WAV files hold the fake child's samples
};

void PrintTo(const EndCase& c, std::ostream* os) {
  *os << c.name;
}

class LiveEndTest : public ::testing::TestWithParam<EndCase> {};

TEST_P(LiveEndTest, StopsTheChildAndReportsHowItEnded) {
  const EndCase& c = GetParam();
  TempDir dir;
  std::vector<std::string> argv{
      RECORD_BINARY, "--seconds",          "0.4",        "--out",      dir / "out",
      "--log",       dir / "harkwell.log", "--harkwell", FAKE_HARKWELL};
  argv.insert(argv.end(), c.extraArgs.begin(), c.extraArgs.end());
  Process record(argv, dir);
  const std::optional<int> status = record.wait();
  ASSERT_TRUE(status) << "harkwell-record did not end";
  EXPECT_EQ(*status, c.exitStatus) << record.err();
  EXPECT_NE(record.out().find(c.inOut), std::string::npos) << record.out();
  EXPECT_NE(record.err().find(c.inErr), std::string::npos) << record.err();
  // Off a terminal: no escape codes anywhere.
  EXPECT_EQ(record.err().find('\x1b'), std::string::npos);
  EXPECT_EQ(record.out().find('\x1b'), std::string::npos);
  if (!c.recorded) return;
  expectFakeSequence(readWav(dir / "out/mic.wav"), micSample, "mic.wav");
  expectFakeSequence(readWav(dir / "out/system.wav"), systemSample, "system.wav");
  const std::vector<std::string> events = readLines(dir / "out/events.jsonl");
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].rfind(R"({"time":0.)", 0), 0u) << events[0];
  EXPECT_NE(events[0].find(R"(,"offset":650,"message":{"type":"ready"}})"), std::string::npos)
      << events[0];
  // The child saw its standard input end: that is how it was stopped.
  EXPECT_NE(readFile(dir / "harkwell.log").find("[fake] stdin closed by parent; exiting"),
            std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Endings, LiveEndTest,
    ::testing::Values(
        EndCase{"Clean", {}, 0, "Harkwell exited with status 0", "time is up", true},
        EndCase{"ChildFails", {"--", "--exit", "5"}, 3, "Harkwell exited with status 5", "", true},
        EndCase{"ChildWritesGarbage",
                {"--", "--garbage"},
                1,
                "Harkwell ",
                "byte 0x09 at offset 996 names no frame tag",
                false},
        // A child that does not end when its standard input does gets SIGTERM.
        EndCase{"ChildIgnoresEof",
                {"--", "--ignore-eof"},
                3,
                "Harkwell was killed by signal 15 (Terminated)",
                "Harkwell has not ended; sending SIGTERM",
                false}),
    [](const auto& testCase) { return std::string(testCase.param.name); });

TEST(LiveGapTest, AudioMissingAgainstWallTimeIsReported) {
  TempDir dir;
  Process record({RECORD_BINARY, "--seconds", "1.2", "--out", dir / "out", "--harkwell",
                  FAKE_HARKWELL, "--", "--pause-after", "20"},
                 dir);
  EXPECT_EQ(record.wait(), 0) << record.err();
  // Half a second went by without audio from either source.
  const std::string out = record.out();
  for (const char* row : {"\nmic ", "\nsystem "}) {
    const std::string line =
        out.substr(out.find(row) + 1, out.find('\n', out.find(row) + 1) - out.find(row) - 1);
    const auto at = line.find(" s missing");
    ASSERT_NE(at, std::string::npos) << out;
    const double missing = std::stod(line.substr(line.rfind(' ', at - 1) + 1));
    EXPECT_GE(missing, 0.4) << line;
    EXPECT_LE(missing, 1.5) << line;
  }
  expectFakeSequence(readWav(dir / "out/mic.wav"), micSample, "mic.wav");
}

TEST(LiveStartTest, ChildThatCannotStartIsReported) {
  TempDir dir;
  Process record({RECORD_BINARY, "--seconds", "1", "--out", dir / "out", "--harkwell",
                  dir / "no-such-Harkwell"},
                 dir);
  EXPECT_EQ(record.wait(), 3);
  EXPECT_NE(record.err().find("cannot start " + (dir / "no-such-Harkwell") +
                              ": No such file or directory"),
            std::string::npos)
      << record.err();
}

TEST(LiveStartTest, NoCapturePathIsAFailure) {
  TempDir dir;
  Process record({RECORD_BINARY, "--seconds", "0.5", "--out", dir / "out", "--harkwell",
                  FAKE_HARKWELL, "--", "--no-paths"},
                 dir);
  EXPECT_EQ(record.wait(), 3) << record.err();
  EXPECT_NE(record.err().find("no capture path started (mic_start: No microphone input "
                              "available (sr=0); tap_start: PipeWire is not running)"),
            std::string::npos)
      << record.err();
}

TEST(OutputFolderTest, AnEarlierRecordingIsNeverWrittenOver) {
  TempDir dir;
  Process first(
      {RECORD_BINARY, "--seconds", "0.3", "--out", dir / "out", "--harkwell", FAKE_HARKWELL}, dir);
  ASSERT_EQ(first.wait(), 0) << first.err();
  const std::string before = readFile(dir / "out/mic.wav");
  for (const char* mode : {"live", "inspect"}) {
    SCOPED_TRACE(mode);
    std::vector<std::string> args = {RECORD_BINARY, "--out", dir / "out"};
    if (std::string(mode) == "live") {
      args.insert(args.end(), {"--seconds", "0.3", "--harkwell", FAKE_HARKWELL});
    } else {
      writeFile(dir / "empty.bin", {});
      args.insert(args.end(), {"--inspect", dir / "empty.bin"});
    }
    Process again(args, dir);
    EXPECT_EQ(again.wait(), 2);
    EXPECT_NE(again.err().find(dir / "out" + " already holds a recording"), std::string::npos)
        << again.err();
    EXPECT_EQ(readFile(dir / "out/mic.wav"), before);
  }
}

TEST(OutputFolderTest, WithoutOutEachRunGetsANewFolder) {
  TempDir dir;
  for (int run = 0; run < 2; ++run) {
    Process record({"/bin/sh", "-c",
                    "cd '" + dir.path().string() + "' && exec " + RECORD_BINARY +
                        " --seconds 0.2 --harkwell " + FAKE_HARKWELL},
                   dir);
    ASSERT_EQ(record.wait(), 0) << record.err();
  }
  std::vector<std::string> folders;
  for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
    if (entry.path().filename().string().rfind("harkwell-recording-", 0) == 0)
      folders.push_back(entry.path().filename().string());
  EXPECT_EQ(folders.size(), 2u);
}

TEST(LiveStopTest, SigintClosesTheChildsStdinAndLeavesValidFiles) {
  TempDir dir;
  Process record({RECORD_BINARY, "--out", dir / "out", "--log", dir / "harkwell.log", "--harkwell",
                  FAKE_HARKWELL},
                 dir);
  ASSERT_TRUE(waitForText(dir / "out/events.jsonl", "ready", 10.0));
  // Past the first header update, so that the files are written while recording too.
  ASSERT_TRUE(waitForText(dir / "harkwell.log", "[fake] starting", 10.0));
  const Wav during = [&] {
    for (int i = 0; i < 300; ++i) {
      Wav w = readWav(dir / "out/mic.wav");
      if (w.samples.size() > 0) return w;
      usleep(10'000);
    }
    return Wav{};
  }();
  EXPECT_GT(during.samples.size(), 0u) << "the header was not brought up to date while recording";
  ASSERT_EQ(::kill(record.pid(), SIGINT), 0);
  EXPECT_EQ(record.wait(), 0) << record.err();
  EXPECT_NE(record.err().find("got SIGINT; closing Harkwell's standard input"), std::string::npos)
      << record.err();
  EXPECT_NE(record.out().find("Harkwell exited with status 0"), std::string::npos);
  EXPECT_NE(readFile(dir / "harkwell.log").find("[fake] stdin closed by parent; exiting"),
            std::string::npos);
  expectFakeSequence(readWav(dir / "out/mic.wav"), micSample, "mic.wav");
  expectFakeSequence(readWav(dir / "out/system.wav"), systemSample, "system.wav");
}

TEST(LiveStopTest, EndOfOwnStdinStopsWithUntilEof) {
  TempDir dir;
  Process record({RECORD_BINARY, "--until-eof", "--out", dir / "out", "--harkwell", FAKE_HARKWELL},
                 dir, /*stdinPipe=*/true);
  ASSERT_TRUE(waitForText(dir / "out/events.jsonl", "ready", 10.0));
  record.closeStdin();
  EXPECT_EQ(record.wait(), 0) << record.err();
  EXPECT_NE(record.err().find("standard input ended"), std::string::npos) << record.err();
  // Without --log, the child's diagnostic lines come through on standard error.
  EXPECT_NE(record.err().find("[fake] stdin closed by parent; exiting"), std::string::npos);
  expectFakeSequence(readWav(dir / "out/mic.wav"), micSample, "mic.wav");
}

TEST(OptionsTest, UsageErrorsExitWithStatus2) {
  TempDir dir;
  for (const std::vector<std::string>& args : {std::vector<std::string>{"--bogus"},
                                               {"--seconds"},
                                               {"--seconds", "-1"},
                                               {"--seconds", "abc"},
                                               {"stray"},
                                               {"--inspect", "x.bin", "--seconds", "1"}}) {
    std::vector<std::string> argv{RECORD_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    Process record(argv, dir);
    EXPECT_EQ(record.wait(), 2) << args[0];
    EXPECT_NE(record.err().find("Try 'harkwell-record --help'"), std::string::npos);
  }
  Process help({RECORD_BINARY, "--help"}, dir);
  EXPECT_EQ(help.wait(), 0);
  EXPECT_NE(help.out().find("Usage: harkwell-record"), std::string::npos);
  Process version({RECORD_BINARY, "--version"}, dir);
  EXPECT_EQ(version.wait(), 0);
  EXPECT_EQ(version.out().rfind("harkwell-record ", 0), 0u);
}

}  // namespace
}  // namespace harkwell::test
