// SPDX-License-Identifier: MIT
// Start-up without PipeWire, a server restart during capture, and every way the program ends.
#include <signal.h>

#include <algorithm>
#include <iostream>
#include <ostream>

#include "E2EFixture.h"

namespace harkwell::test {
namespace {

using harkwell::FrameTag;

std::vector<std::string> controlTexts(const HarkwellProcess& h) {
  std::vector<std::string> out;
  for (const Frame& f : h.frames())
    if (f.tag == FrameTag::control) out.push_back(f.text);
  return out;
}

bool hasLine(const std::vector<std::string>& lines, const std::string& line) {
  return std::find(lines.begin(), lines.end(), line) != lines.end();
}

TEST(NoPipeWireTest, ReportsBothPathsThenReadyAndEndsOnEndOfInput) {
  char pattern[] = "/tmp/hkw-nopw-XXXXXX";
  ASSERT_NE(::mkdtemp(pattern), nullptr);
  const std::string empty = pattern;
  HarkwellProcess h(
      {"XDG_RUNTIME_DIR=" + empty, "PIPEWIRE_RUNTIME_DIR=" + empty, "PIPEWIRE_REMOTE=pipewire-0"});
  ASSERT_TRUE(h.waitForReady(10));
  EXPECT_EQ(
      controlTexts(h),
      (std::vector<std::string>{
          R"j({"type":"error","msg":"mic_start: No microphone input available (sr=0)"})j",
          R"j({"type":"error","msg":"tap_start: AudioHardwareCreateProcessTap failed (status=1937010544)"})j",
          R"({"type":"ready"})"}));
  h.closeStdin();
  EXPECT_EQ(h.waitExit(5), 0);
  EXPECT_TRUE(hasLine(h.stderrLines(), "[velto] shutting down"));
  ::rmdir(pattern);
}

TEST_F(E2ETest, ServerRestartBringsBothStreamsBack) {
  auto h = startHarkwell();
  sleepFor(1.0);
  ASSERT_TRUE(PrivatePipeWire::run("kill-server"));
  sleepFor(1.0);
  std::string output;
  ASSERT_TRUE(PrivatePipeWire::run("start", &output)) << output;
  ASSERT_TRUE(h->waitForStderr("[velto] MicCapture reconfigured (input sr=48000.0 ch=1)", 10));
  // Both streams carry sound again.
  auto mic = Player::orphan({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 6)});
  auto speaker = Player::orphan({"pw-play", tone(440, 2, 6)});
  const auto since = Clock::now() + std::chrono::milliseconds(1500);
  sleepFor(2.8);
  const auto tap = h->samplesSince(FrameTag::tapPCM, since);
  const auto micSamples = h->samplesSince(FrameTag::micPCM, since);
  ASSERT_GE(tap.size(), 16000u);
  ASSERT_GE(micSamples.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(std::span(tap).first(16000), 440)), dbfs(kToneAmplitude), 1.0);
  EXPECT_NEAR(dbfs(toneAmplitude(std::span(micSamples).first(16000), 1000)), dbfs(kToneAmplitude),
              1.0);
  EXPECT_FALSE(h->corrupt());
}

// When the first frame of `tag` that carries a loud sound arrived after `since`, if one did.
std::optional<Clock::time_point> firstSound(const HarkwellProcess& h, FrameTag tag,
                                            Clock::time_point since) {
  for (const Frame& f : h.frames())
    if (f.tag == tag && f.arrival >= since && peak(f.samples) > 8000) return f.arrival;
  return std::nullopt;
}

TEST_F(E2ETest, EveryRestartBringsSoundBackWithinASecondAndTheMicrophoneOnItsSource) {
  auto h = startHarkwell();
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    ASSERT_TRUE(PrivatePipeWire::run("kill-server"));
    std::string output;
    ASSERT_TRUE(PrivatePipeWire::run("start", &output)) << output;
    const auto back = Clock::now();
    // Players start with the session, as a meeting's would; the speaker's tone must not reach
    // the microphone (a monitor is no microphone).
    auto mic = Player::orphan({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 4)});
    auto speaker = Player::orphan({"pw-play", tone(440, 2, 4)});
    for (int i = 0; i < 300 && !(firstSound(*h, FrameTag::tapPCM, back) &&
                                 firstSound(*h, FrameTag::micPCM, back));
         ++i)
      sleepFor(0.01);
    ASSERT_TRUE(firstSound(*h, FrameTag::tapPCM, back))
        << "no system audio after the restart; Harkwell said:" << h->said();
    ASSERT_TRUE(firstSound(*h, FrameTag::micPCM, back))
        << "no microphone after the restart; Harkwell said:" << h->said()
        << "\nthe defaults and ports:"
        << shellOutput(
               "pw-metadata -n default; pw-cli ls Metadata; pw-cli ls Client | grep -E "
               "'application.name|^\\tid'");
    const auto tapBack = *firstSound(*h, FrameTag::tapPCM, back);
    const auto micBack = *firstSound(*h, FrameTag::micPCM, back);
    const double tapSeconds = std::chrono::duration<double>(tapBack - back).count();
    const double micSeconds = std::chrono::duration<double>(micBack - back).count();
    std::cout << "restart " << round << ": system audio back after " << tapSeconds
              << " s, microphone after " << micSeconds << " s\n";
    EXPECT_LT(tapSeconds, 1.0);
    EXPECT_LT(micSeconds, 1.0);
    sleepFor(1.2);
    const auto micSamples = h->samplesSince(FrameTag::micPCM, micBack);
    ASSERT_GE(micSamples.size(), 8000u);
    const std::span last = std::span(micSamples).last(8000);
    EXPECT_NEAR(dbfs(toneAmplitude(last, 1000)), dbfs(kToneAmplitude), 1.0);
    EXPECT_LT(dbfs(toneAmplitude(last, 440)), dbfs(kToneAmplitude) - 60.0)
        << "the microphone is on the speaker's monitor";
  }
  EXPECT_FALSE(h->corrupt());
}

struct Ending {
  const char* name;
  int signal;  // 0: end of input
};

void PrintTo(const Ending& e, std::ostream* os) {
  *os << e.name;
}

class EndingTest : public E2ETest, public ::testing::WithParamInterface<Ending> {};

TEST_P(EndingTest, StopsBothPathsExitsZeroAndLeavesNothingInTheGraph) {
  auto h = startHarkwell();
  const pid_t pid = h->pid();
  sleepFor(0.5);
  if (GetParam().signal == 0)
    h->closeStdin();
  else
    h->sendSignal(GetParam().signal);
  EXPECT_EQ(h->waitExit(5), 0);
  const auto lines = h->stderrLines();
  if (GetParam().signal == 0) {
    EXPECT_TRUE(hasLine(lines, "[velto] stdin closed by parent; exiting"));
  }
  const auto shutdown = std::find(lines.begin(), lines.end(), "[velto] shutting down");
  ASSERT_NE(shutdown, lines.end());
  EXPECT_EQ(std::vector<std::string>(shutdown, lines.end()),
            (std::vector<std::string>{"[velto] shutting down", "[velto] MicCapture stopped",
                                      "[velto] CoreAudio tap stopped"}));
  EXPECT_FALSE(h->corrupt());

  // No node and no client of the program stays in the registry.
  const std::string p = std::to_string(pid);
  const std::string check = "for i in $(seq 30); do pw-cli ls Node | grep -q -- '-" + p +
                            "\"' || pw-cli ls Client | grep -q 'pipewire.sec.pid = \"" + p +
                            "\"' || exit 0; sleep 0.1; done; exit 1";
  EXPECT_EQ(shell(check), 0) << shellOutput("pw-cli ls Node; pw-cli ls Client");
}

INSTANTIATE_TEST_SUITE_P(AllEndings, EndingTest,
                         ::testing::Values(Ending{"EndOfInput", 0}, Ending{"SIGTERM", SIGTERM},
                                           Ending{"SIGINT", SIGINT}, Ending{"SIGHUP", SIGHUP}),
                         [](const ::testing::TestParamInfo<Ending>& p) {
                           return std::string(p.param.name);
                         });

}  // namespace
}  // namespace harkwell::test
