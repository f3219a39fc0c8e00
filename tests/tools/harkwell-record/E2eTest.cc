// SPDX-License-Identifier: MIT
// harkwell-record with the real Harkwell on a private PipeWire: a tone played into the virtual
// microphone and another through the virtual speaker end up in mic.wav and system.wav, and
// Ctrl-C (SIGINT to harkwell-record) ends the recording with valid files and status 0.
#include <gtest/gtest.h>
#include <signal.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <numbers>
#include <sstream>

#include "RecordSupport.h"

namespace harkwell::test {
namespace {

// Power of `x` at `freq` Hz (16 kHz samples), normalised by the length.
double tonePower(const std::vector<std::int16_t>& x, double freq) {
  const double w = 2.0 * std::numbers::pi * freq / 16000.0;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0, s2 = 0;
  for (std::int16_t v : x) {
    const double s = v + coeff * s1 - s2;
    s2 = s1;
    s1 = s;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return power / (static_cast<double>(x.size()) * static_cast<double>(x.size()) + 1.0);
}

std::size_t loudSamples(const std::vector<std::int16_t>& x) {
  std::size_t n = 0;
  for (std::int16_t v : x) n += std::abs(v) > 1000 ? 1 : 0;
  return n;
}

class RecordE2eTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!std::filesystem::exists(PRIVATE_PIPEWIRE_SCRIPT))
      GTEST_SKIP() << "no " << PRIVATE_PIPEWIRE_SCRIPT;
    Process start({"/bin/bash", PRIVATE_PIPEWIRE_SCRIPT, "start", dir_ / "pw"}, dir_);
    const std::optional<int> status = start.wait(30.0);
    started_ = true;
    if (status != 0) {
      if (std::getenv("HARKWELL_REQUIRE_E2E") != nullptr)
        FAIL() << "the private PipeWire did not start: " << start.err();
      GTEST_SKIP() << "the private PipeWire did not start: " << start.err();
    }
    std::istringstream lines(start.out());
    for (std::string line; std::getline(lines, line);) {
      // export NAME='value'
      const auto eq = line.find('=');
      if (line.rfind("export ", 0) != 0 || eq == std::string::npos) continue;
      std::string value = line.substr(eq + 1);
      if (value.size() >= 2 && value.front() == '\'') value = value.substr(1, value.size() - 2);
      ::setenv(line.substr(7, eq - 7).c_str(), value.c_str(), 1);
    }
    ASSERT_NE(std::getenv("HARKWELL_TEST_MIC_INPUT"), nullptr) << start.out();
  }

  void TearDown() override {
    if (!started_) return;
    Process stop({"/bin/bash", PRIVATE_PIPEWIRE_SCRIPT, "stop", dir_ / "pw"}, dir_);
    stop.wait(30.0);
  }

  // A tone of `freq` Hz for `seconds`, at half scale, as a 48 kHz WAV file.
  std::string tone(const char* name, int freq, int channels) {
    const std::string path = dir_ / name;
    Process sox({"/usr/bin/sox", "-n", "-r", "48000", "-c", std::to_string(channels), path, "synth",
                 "3", "sine", std::to_string(freq), "vol", "0.5"},
                dir_);
    EXPECT_EQ(sox.wait(), 0) << sox.err();
    return path;
  }

  TempDir dir_;
  bool started_ = false;
};

TEST_F(RecordE2eTest, RecordsBothSourcesAndStopsOnCtrlC) {
  const std::string micTone = tone("mic-tone.wav", 1000, 1);
  const std::string systemTone = tone("system-tone.wav", 440, 2);
  const std::string out = dir_ / "out";
  // System audio leaves out the host and its descendants. The player feeding the virtual
  // microphone is a descendant of harkwell-record, so only the mic hears the 1 kHz tone; the
  // 440 Hz player is the test's child, an ordinary program for Harkwell. harkwell-record replaces
  // the shell (exec), so SIGINT to this process reaches it.
  const std::string script = R"(
    out=$1 tone=$2 done=$3; shift 3
    (
      for _ in $(seq 150); do grep -q '"ready"' "$out/events.jsonl" 2>/dev/null && break; sleep 0.1; done
      pw-play --target "$HARKWELL_TEST_MIC_INPUT" "$tone"; echo "$?" >"$done"
    ) &
    exec "$@")";
  Process record(
      {"/bin/bash", "-c", script, "record-e2e", out, micTone, dir_ / "mic-played", RECORD_BINARY,
       "--out", out, "--log", dir_ / "harkwell.log", "--harkwell", HARKWELL_BINARY},
      dir_);
  ASSERT_TRUE(waitForText(out + "/events.jsonl", "\"ready\"", 15.0))
      << record.err() << readFile(dir_ / "harkwell.log");
  const std::string events = readFile(out + "/events.jsonl");
  EXPECT_EQ(events.find("\"error\""), std::string::npos) << events;
  Process systemPlay(
      {"/usr/bin/pw-play", "--target", std::getenv("HARKWELL_TEST_SPEAKER"), systemTone}, dir_);
  EXPECT_EQ(systemPlay.wait(20.0), 0) << systemPlay.err();
  ASSERT_TRUE(waitForText(dir_ / "mic-played", "0", 20.0)) << readFile(dir_ / "mic-played");

  ASSERT_EQ(::kill(record.pid(), SIGINT), 0);
  EXPECT_EQ(record.wait(20.0), 0) << record.err() << record.out();
  EXPECT_NE(record.out().find("Harkwell exited with status 0"), std::string::npos) << record.out();
  EXPECT_EQ(events.find("\"error\""), std::string::npos) << events;

  const Wav mic = readWav(out + "/mic.wav");
  const Wav system = readWav(out + "/system.wav");
  ASSERT_EQ(mic.problem, "");
  ASSERT_EQ(system.problem, "");
  // At least two of the three seconds of each tone, each in its own file.
  EXPECT_GT(loudSamples(mic.samples), 32000u);
  EXPECT_GT(loudSamples(system.samples), 32000u);
  EXPECT_GT(tonePower(mic.samples, 1000), 1000 * tonePower(mic.samples, 440));
  EXPECT_GT(tonePower(system.samples, 440), 1000 * tonePower(system.samples, 1000));
}

}  // namespace
}  // namespace harkwell::test
