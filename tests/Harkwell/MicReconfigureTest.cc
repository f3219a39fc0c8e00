// SPDX-License-Identifier: MIT
// The microphone's rebuild after engine configuration changes, on the manual clock: debounce,
// bounded retries with growing delays, stale chains and stop().
#include "CaptureFixture.h"
#include "Harkwell/MicCapture.h"

namespace harkwell {
namespace {

using namespace platform;
using test::CaptureTest;
using test::FdCapture;
using test::splitLines;

const AVAudioFormat kNoInput(AVAudioCommonFormat::pcmFormatFloat32, 0.0, 1, false);
const AVAudioFormat kMic48k(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, false);

std::string failedLine(int n, const char* delay) {
  return "[velto][ERROR] MicCapture reconfigure failed (attempt " + std::to_string(n) +
         "/6): No microphone input available (sr=0) \u2014 retrying in " + delay + "s";
}
const std::string kGaveUp =
    "[velto][ERROR] MicCapture reconfigure gave up after 6 attempts: No microphone input "
    "available (sr=0) \u2014 mic capture inactive until the next input-device change";
const std::string kReconfigured = "[velto] MicCapture reconfigured (input sr=48000.0 ch=1)";

class MicReconfigureTest : public CaptureTest {
 protected:
  void SetUp() override {
    CaptureTest::SetUp();
    setClock(&clock);
    log.emplace(STDERR_FILENO);
    mic = MicCapture::make();
    mic->start();
    builds0 = builds();
  }
  void TearDown() override {
    log.reset();
    FdCapture quiet(STDERR_FILENO);
    if (mic) mic->stop();
    quiet.finish();
    mic.reset();
    setClock(nullptr);
    CaptureTest::TearDown();
  }

  // Rebuilds so far: each reads the input node's format once.
  std::size_t builds() const {
    return backend.callTexts("AVAudioInputNode.outputFormatForBus").size() - builds0;
  }
  void notify() {
    backend.postEngineConfigurationChange();
    drainMainQueue();
  }
  void advance(double seconds) {
    clock.advance(seconds);
    drainMainQueue();
  }
  // The log so far, without the start line; ends the capture of standard error.
  std::vector<std::string> lines() {
    auto all = splitLines(log->finish());
    if (!all.empty()) all.erase(all.begin());
    return all;
  }

  ManualClock clock;
  std::optional<FdCapture> log;
  std::shared_ptr<MicCapture> mic;
  std::size_t builds0 = 0;
};

TEST_F(MicReconfigureTest, ABurstOfNotificationsLeadsToOneRebuildAfterTheLast) {
  notify();
  advance(0.1);
  notify();
  advance(0.1);
  notify();
  advance(0.299);
  const std::size_t beforeDeadline = builds();
  advance(0.001);
  const std::size_t atDeadline = builds();
  advance(10.0);
  const std::size_t later = builds();
  const bool running = backend.runningEngines() == 1 && backend.installedInputTaps() == 1;
  const auto logged = lines();

  EXPECT_EQ(beforeDeadline, 0u);
  EXPECT_EQ(atDeadline, 1u);
  EXPECT_EQ(later, 1u);
  EXPECT_TRUE(running);
  EXPECT_EQ(logged, std::vector<std::string>{kReconfigured});
}

TEST_F(MicReconfigureTest, ARebuildWritesWhatTheConverterStillHeld) {
  // The resampler keeps the last few milliseconds of its input inside (its filter's delay);
  // a rebuild must not throw them away with the converter.
  backend.setDefaultConverter({scripted::ConverterScript::Kind::resampling, 0, 0, {}});
  notify();
  advance(0.3);
  ASSERT_EQ(builds(), 1u);
  auto buffer = test::micBuffer(kMic48k, 4800);
  std::fill_n(buffer->floatChannelData()[0], 4800, 0.25f);
  FdCapture out(STDOUT_FILENO);
  backend.deliverInputBuffer(*buffer);
  backend.deliverInputBuffer(*buffer);
  notify();
  advance(0.3);
  const auto frames = test::splitFrames(out.finish());

  EXPECT_EQ(builds(), 2u);
  std::size_t total = 0;
  for (const auto& frame : frames) total += frame.payload.size() / 2;
  // 200 ms of input at 48 kHz is 3200 samples at 16 kHz, all of them out by the rebuild.
  EXPECT_EQ(total, 3200u);
}

TEST_F(MicReconfigureTest, GivesUpAfterSixAttemptsWithGrowingDelays) {
  backend.setInputFormat(kNoInput);
  notify();
  // Attempts start at 0.3, 0.55, 1.05, 1.8, 2.8 and 4.05 s.
  const double starts[] = {0.3, 0.55, 1.05, 1.8, 2.8, 4.05};
  double now = 0.0;
  std::vector<std::size_t> justBefore, at;
  for (double start : starts) {
    advance(start - now - 0.001);
    justBefore.push_back(builds());
    advance(0.001);
    at.push_back(builds());
    now = start;
  }
  advance(30.0);
  const std::size_t total = builds();
  const bool idle = backend.runningEngines() == 0 && backend.installedInputTaps() == 0;
  const auto logged = lines();

  EXPECT_EQ(justBefore, (std::vector<std::size_t>{0, 1, 2, 3, 4, 5}));
  EXPECT_EQ(at, (std::vector<std::size_t>{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(total, 6u);
  EXPECT_TRUE(idle);
  EXPECT_EQ(logged, (std::vector<std::string>{failedLine(1, "0.25"), failedLine(2, "0.5"),
                                              failedLine(3, "0.75"), failedLine(4, "1.0"),
                                              failedLine(5, "1.25"), kGaveUp}));
}

TEST_F(MicReconfigureTest, RecoversAtTheSecondAttempt) {
  backend.answerNextInputFormat(kNoInput);
  notify();
  advance(0.3);
  advance(0.25);
  advance(10.0);
  const std::size_t total = builds();
  const bool running = backend.runningEngines() == 1 && backend.installedInputTaps() == 1;
  const auto logged = lines();

  EXPECT_EQ(total, 2u);
  EXPECT_TRUE(running);
  EXPECT_EQ(logged, (std::vector<std::string>{failedLine(1, "0.25"), kReconfigured}));
}

TEST_F(MicReconfigureTest, ANotificationMakesAPendingRetryStale) {
  backend.setInputFormat(kNoInput);
  notify();
  advance(0.3);  // attempt 0 fails; its retry is due at 0.55
  advance(0.1);
  notify();       // at 0.4: a new chain, due at 0.7
  advance(0.15);  // 0.55: the old retry runs and finds itself stale
  const std::size_t atStaleRetry = builds();
  backend.setInputFormat(kMic48k);
  advance(0.149);
  const std::size_t beforeNewChain = builds();
  advance(0.001);  // 0.7: the new chain's first attempt
  advance(10.0);
  const std::size_t total = builds();
  const auto logged = lines();

  EXPECT_EQ(atStaleRetry, 1u);
  EXPECT_EQ(beforeNewChain, 1u);
  EXPECT_EQ(total, 2u);
  EXPECT_EQ(logged, (std::vector<std::string>{failedLine(1, "0.25"), kReconfigured}));
}

TEST_F(MicReconfigureTest, StopDuringTheDebounceCancelsTheRebuild) {
  notify();
  advance(0.1);
  mic->stop();
  const std::size_t pendingAfterStop = clock.pendingTimers();
  advance(10.0);
  notify();  // ignored after stop
  const std::size_t pendingAfterLateNotification = clock.pendingTimers();
  advance(10.0);
  const std::size_t total = builds();
  const auto logged = lines();

  EXPECT_EQ(total, 0u);
  EXPECT_EQ(pendingAfterLateNotification, 0u);
  (void)pendingAfterStop;  // a cancelled item may stay on the clock; it never runs
  EXPECT_EQ(logged, std::vector<std::string>{"[velto] MicCapture stopped"});
}

TEST_F(MicReconfigureTest, StopWhileARetryIsPendingEndsTheChain) {
  backend.setInputFormat(kNoInput);
  notify();
  advance(0.3);
  mic->stop();
  advance(10.0);
  const std::size_t total = builds();
  const auto logged = lines();

  EXPECT_EQ(total, 1u);
  EXPECT_EQ(logged,
            (std::vector<std::string>{failedLine(1, "0.25"), "[velto] MicCapture stopped"}));
}

TEST_F(MicReconfigureTest, ANotificationAfterGivingUpStartsAFreshChain) {
  backend.setInputFormat(kNoInput);
  notify();
  advance(30.0);
  for (int i = 0; i < 6; ++i) advance(2.0);
  backend.setInputFormat(kMic48k);
  notify();
  advance(0.3);
  const std::size_t total = builds();
  const bool running = backend.runningEngines() == 1;
  const auto logged = lines();

  EXPECT_EQ(total, 7u);
  EXPECT_TRUE(running);
  ASSERT_EQ(logged.size(), 7u);
  EXPECT_EQ(logged[5], kGaveUp);
  EXPECT_EQ(logged[6], kReconfigured);
}

class MicAbsentAtStartTest : public CaptureTest {};

TEST_F(MicAbsentAtStartTest, FirstInputDeviceToAppearIsCapturedThroughTheRebuild) {
  // No microphone at start (none plugged in, or only a sink's monitor on offer): start fails
  // as specified, and the configuration change that a new device brings starts capture.
  ManualClock clock;
  setClock(&clock);
  FdCapture log(STDERR_FILENO);
  backend.setInputFormat(kNoInput);
  auto mic = MicCapture::make();
  std::optional<NSError> error;
  try {
    mic->start();
  } catch (const NSError& e) {
    error = e;
  }
  backend.setInputFormat(kMic48k);
  backend.postEngineConfigurationChange();
  drainMainQueue();
  clock.advance(0.3);
  drainMainQueue();
  const std::size_t running = backend.runningEngines();
  mic->stop();
  const auto lines = splitLines(log.finish());
  setClock(nullptr);

  ASSERT_TRUE(error);
  EXPECT_EQ(error->localizedDescription(), "No microphone input available (sr=0)");
  EXPECT_EQ(running, 1u);
  EXPECT_EQ(lines, (std::vector<std::string>{kReconfigured, "[velto] MicCapture stopped"}));
}

}  // namespace
}  // namespace harkwell
