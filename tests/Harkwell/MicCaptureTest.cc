// SPDX-License-Identifier: MIT
// The microphone path: start, its failures, per-buffer conversion and stop.
#include <cmath>

#include "CaptureFixture.h"
#include "Harkwell/MicCapture.h"

namespace harkwell {
namespace {

using namespace platform;
using platform::scripted::ConverterScript;
using platform::scripted::EngineStart;
using test::CaptureTest;
using test::FdCapture;
using test::micBuffer;
using test::splitFrames;
using test::splitLines;

const AVAudioFormat kMic48k(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, false);
const std::string kFormat48k = "float32 48000.0 Hz 1 ch deinterleaved";

const std::vector<std::string> kBuildCalls = {
    "AVAudioEngine.inputNode()",
    "AVAudioEngine.isRunning()",
    "AVAudioInputNode.removeTapOnBus(0)",
    "AVAudioInputNode.outputFormatForBus(0)",
    "AVAudioConverter.make(" + kFormat48k + " -> int16 16000.0 Hz 1 ch interleaved)",
    "AVAudioInputNode.installTapOnBus(0, 4800, " + kFormat48k + ")",
    "AVAudioEngine.startAndReturnError()",
};

class MicCaptureTest : public CaptureTest {};

ConverterScript scripted(ConverterScript::Kind kind, std::optional<NSError> error = std::nullopt) {
  ConverterScript script;
  script.kind = kind;
  script.frames = 5;
  script.value = 7;
  script.error = std::move(error);
  return script;
}

TEST_F(MicCaptureTest, StartsTheEngineWithATapOf100Milliseconds) {
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  const auto calls = backend.callTexts();
  const bool running = backend.runningEngines() == 1 && backend.installedInputTaps() == 1;
  backend.clearCalls();
  mic->stop();
  const auto stopCalls = backend.callTexts();
  const auto lines = splitLines(log.finish());

  std::vector<std::string> expected = {"AVAudioEngine.make()",
                                       "AVCaptureDevice.authorizationStatusForAudio()"};
  expected.insert(expected.end(), kBuildCalls.begin(), kBuildCalls.end());
  EXPECT_EQ(calls, expected);
  EXPECT_TRUE(running);
  EXPECT_EQ(stopCalls, (std::vector<std::string>{
                           "AVAudioEngine.inputNode()", "AVAudioInputNode.removeTapOnBus(0)",
                           "AVAudioEngine.isRunning()", "AVAudioEngine.stop()"}));
  EXPECT_EQ(lines, (std::vector<std::string>{"[velto] MicCapture started (input sr=48000.0 ch=1)",
                                             "[velto] MicCapture stopped"}));
  EXPECT_EQ(backend.runningEngines() + backend.installedInputTaps(), 0u);
}

TEST_F(MicCaptureTest, WarnsWhenNotAuthorizedAndStartsAnyway) {
  backend.setAuthorizationStatus(AVAuthorizationStatus::denied);
  backend.setInputFormat(AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 44100.0, 2, false));
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  const auto installs = backend.callTexts("AVAudioInputNode.installTapOnBus");
  const bool running = backend.runningEngines() == 1;
  mic->stop();
  const auto lines = splitLines(log.finish());

  EXPECT_TRUE(running);
  EXPECT_EQ(installs, std::vector<std::string>{
                          "AVAudioInputNode.installTapOnBus(0, 4410, float32 44100.0 Hz 2 ch "
                          "deinterleaved)"});
  EXPECT_EQ(lines, (std::vector<std::string>{
                       "[velto][ERROR] microphone not authorized (status=2) \u2014 capture may be "
                       "silent; grant Microphone access in System Settings \u2192 Privacy & "
                       "Security",
                       "[velto] MicCapture started (input sr=44100.0 ch=2)",
                       "[velto] MicCapture stopped"}));
}

TEST_F(MicCaptureTest, TapSizeIsATenthOfTheRateOrLeftToTheEngineWhenItDoesNotFit) {
  // A tenth of a second of input, as a 32-bit frame count; a rate so large that its tenth
  // does not fit asks the engine for its own size instead of converting out of range.
  struct Case {
    double rate;
    std::string size;
  };
  for (const Case& c : {Case{8000.0, "800"}, Case{192000.0, "19200"}, Case{44100.5, "4410"},
                        Case{42949672960.0, "0"}, Case{1e300, "0"}}) {
    SCOPED_TRACE(c.rate);
    backend.clearCalls();
    backend.setInputFormat(AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, c.rate, 1, false));
    FdCapture log(STDERR_FILENO);
    auto mic = MicCapture::make();
    mic->start();
    const auto installs = backend.callTexts("AVAudioInputNode.installTapOnBus");
    mic->stop();
    log.finish();
    ASSERT_EQ(installs.size(), 1u);
    EXPECT_EQ(installs[0].rfind("AVAudioInputNode.installTapOnBus(0, " + c.size + ", ", 0), 0u)
        << installs[0];
  }
}

// One failure of start(): how it is provoked, the error, and the calls after the last build
// step that ran.
struct MicFailure {
  const char* name;
  std::function<void(scripted::ScriptedBackend&)> script;
  std::string domain;
  std::int64_t code;
  std::string text;
  std::vector<std::string> lastCalls;  // the tail of the recorded calls
};

std::vector<MicFailure> micFailures() {
  const auto engineError =
      test::describedError("com.apple.coreaudio.avfaudio", -10868, "format not supported");
  return {
      {"no input device",
       [](auto& b) {
         b.answerNextInputFormat(
             AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 0.0, 1, false));
       },
       "MicCapture",
       1,
       "No microphone input available (sr=0)",
       {"AVAudioInputNode.outputFormatForBus(0)"}},
      {"no converter",
       [](auto& b) {
         b.answerNextConverter({ConverterScript::Kind::none, 0, 0, {}});
       },
       "MicCapture",
       1,
       "Could not build mic AVAudioConverter",
       {"AVAudioConverter.make(" + kFormat48k + " -> int16 16000.0 Hz 1 ch interleaved)"}},
      {"tap installation raises",
       [](auto& b) {
         b.raiseOnNextInstallTap(NSException("com.apple.coreaudio.avfaudio", "tap refused"));
       },
       "ObjCException",
       0,
       "tap refused",
       {"AVAudioInputNode.installTapOnBus(0, 4800, " + kFormat48k + ")"}},
      {"engine start fails",
       [=](auto& b) {
         b.answerNextEngineStart({engineError, {}, false});
       },
       "com.apple.coreaudio.avfaudio",
       -10868,
       "format not supported",
       {"AVAudioEngine.startAndReturnError()", "AVAudioInputNode.removeTapOnBus(0)"}},
      // A start that fails without saying why still fails, with an error of its own.
      {"engine start fails without an error",
       [](auto& b) {
         b.answerNextEngineStart({{}, {}, true});
       },
       "AVAudioEngine",
       0,
       "The audio engine could not be started",
       {"AVAudioEngine.startAndReturnError()", "AVAudioInputNode.removeTapOnBus(0)"}},
      {"engine start raises",
       [](auto& b) {
         b.answerNextEngineStart(
             {{}, NSException("NSInternalInconsistencyException", std::nullopt), false});
       },
       "ObjCException",
       0,
       "NSInternalInconsistencyException",
       {"AVAudioEngine.startAndReturnError()", "AVAudioInputNode.removeTapOnBus(0)"}},
  };
}

TEST_F(MicCaptureTest, EachStartFailureLeavesTheEngineStoppedWithoutATap) {
  for (const MicFailure& row : micFailures()) {
    SCOPED_TRACE(row.name);
    row.script(backend);
    FdCapture log(STDERR_FILENO);
    auto mic = MicCapture::make();
    std::optional<NSError> error;
    try {
      mic->start();
    } catch (const NSError& e) {
      error = e;
    }
    const auto calls = backend.callTexts();
    const std::size_t running = backend.runningEngines();
    const std::size_t taps = backend.installedInputTaps();
    // The observer is there all the same, so that a later change can bring capture up.
    backend.postEngineConfigurationChange();
    const std::size_t observed = drainMainQueue();
    mic->stop();
    const auto lines = splitLines(log.finish());
    backend.clearCalls();

    ASSERT_TRUE(error);
    EXPECT_EQ(error->domain(), row.domain);
    EXPECT_EQ(error->code(), row.code);
    EXPECT_EQ(error->localizedDescription(), row.text);
    ASSERT_GE(calls.size(), row.lastCalls.size());
    EXPECT_EQ(std::vector<std::string>(
                  calls.end() - static_cast<std::ptrdiff_t>(row.lastCalls.size()), calls.end()),
              row.lastCalls);
    EXPECT_EQ(running, 0u);
    EXPECT_EQ(taps, 0u);
    EXPECT_GE(observed, 1u);
    EXPECT_EQ(lines, std::vector<std::string>{"[velto] MicCapture stopped"});
  }
}

TEST_F(MicCaptureTest, WritesOneFrameForEachConvertedBuffer) {
  const AVAudioFormat mic44k(AVAudioCommonFormat::pcmFormatFloat32, 44100.0, 1, false);
  backend.setInputFormat(mic44k);
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  backend.clearCalls();
  auto buffer = micBuffer(mic44k, 4410);
  FdCapture out(STDOUT_FILENO);
  const std::size_t first = backend.deliverInputBuffer(*buffer);
  const std::size_t second = backend.deliverInputBuffer(*buffer);
  const auto frames = splitFrames(out.finish());
  const auto converts = backend.callTexts("AVAudioConverter");
  mic->stop();
  log.finish();

  EXPECT_EQ(first + second, 2u);
  const std::string convert =
      "AVAudioConverter.convertToBuffer(capacity=2624, input=haveData 4410 frames, "
      "again=noDataNow)";
  EXPECT_EQ(converts, (std::vector<std::string>{convert, convert}));
  ASSERT_EQ(frames.size(), 2u);
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.tag, FrameTag::micPCM);
    EXPECT_EQ(frame.payload, (std::vector<std::uint8_t>{7, 0, 7, 0, 7, 0, 7, 0, 7, 0}));
  }
}

TEST_F(MicCaptureTest, DropsBuffersThatGiveNothingToWrite) {
  struct Case {
    const char* name;
    ConverterScript converter;
    AVAudioFormat bufferFormat;
    bool converts;
    std::vector<std::string> log;
  };
  const std::vector<Case> cases = {
      {"conversion error with an error",
       scripted(ConverterScript::Kind::errorWithNSError, test::describedError("X", 1, "bad input")),
       kMic48k,
       true,
       {"[velto][ERROR] mic convert: bad input"}},
      {"conversion error without an error",
       scripted(ConverterScript::Kind::errorWithoutNSError),
       kMic48k,
       true,
       {}},
      {"no frames produced", scripted(ConverterScript::Kind::zeroFrames), kMic48k, true, {}},
      // A buffer that claims a rate of 0 cannot be sized: dropped quietly.
      {"buffer rate 0",
       scripted(ConverterScript::Kind::produce),
       AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 0.0, 1, false),
       false,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    backend.answerNextConverter(c.converter);
    FdCapture quiet(STDERR_FILENO);
    auto mic = MicCapture::make();
    mic->start();
    quiet.finish();
    backend.clearCalls();
    auto buffer = micBuffer(c.bufferFormat, 480);
    FdCapture out(STDOUT_FILENO);
    FdCapture log(STDERR_FILENO);
    const std::size_t delivered = backend.deliverInputBuffer(*buffer);
    const auto lines = splitLines(log.finish());
    const auto bytes = out.finish();
    const auto converts = backend.callTexts("AVAudioConverter.convertToBuffer").size();
    FdCapture quietStop(STDERR_FILENO);
    mic->stop();
    quietStop.finish();

    EXPECT_EQ(delivered, 1u);
    EXPECT_EQ(bytes, "");
    EXPECT_EQ(converts, c.converts ? 1u : 0u);
    EXPECT_EQ(lines, c.log);
  }
}

TEST_F(MicCaptureTest, StopIsRepeatableAndLogsEachTime) {
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  mic->stop();
  backend.clearCalls();
  mic->stop();
  const auto secondStop = backend.callTexts();
  const auto lines = splitLines(log.finish());
  EXPECT_EQ(secondStop, (std::vector<std::string>{"AVAudioEngine.inputNode()",
                                                  "AVAudioInputNode.removeTapOnBus(0)",
                                                  "AVAudioEngine.isRunning()"}));
  EXPECT_EQ(lines,
            (std::vector<std::string>{"[velto] MicCapture started (input sr=48000.0 ch=1)",
                                      "[velto] MicCapture stopped", "[velto] MicCapture stopped"}));
}

TEST_F(MicCaptureTest, TheRealConverterTurnsASineIntoSamples) {
  backend.setDefaultConverter({ConverterScript::Kind::resampling, 0, 0, {}});
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  auto buffer = micBuffer(kMic48k, 4800);
  float* samples = buffer->floatChannelData()[0];
  for (std::uint32_t i = 0; i < 4800; ++i)
    samples[i] =
        0.5f * static_cast<float>(std::sin(2.0 * 3.141592653589793 * 1000.0 * i / 48000.0));
  FdCapture out(STDOUT_FILENO);
  backend.deliverInputBuffer(*buffer);
  backend.deliverInputBuffer(*buffer);
  const auto frames = splitFrames(out.finish());
  mic->stop();
  log.finish();

  ASSERT_FALSE(frames.empty());
  std::size_t total = 0;
  int peak = 0;
  for (const auto& frame : frames) {
    EXPECT_EQ(frame.tag, FrameTag::micPCM);
    total += frame.payload.size() / 2;
    for (std::size_t i = 0; i + 1 < frame.payload.size(); i += 2)
      peak = std::max(peak, std::abs(static_cast<int>(static_cast<std::int16_t>(
                                frame.payload[i] | (frame.payload[i + 1] << 8)))));
  }
  // 200 ms of input: about 3200 samples, less what the resampler still holds back.
  EXPECT_GT(total, 2800u);
  EXPECT_LE(total, 3200u);
  EXPECT_NEAR(peak, 16384, 600);
}

}  // namespace
}  // namespace harkwell
