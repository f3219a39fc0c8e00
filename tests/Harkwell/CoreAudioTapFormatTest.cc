// SPDX-License-Identifier: MIT
// The system-audio path's I/O cycles (capacity, one frame per cycle, drops) and its recovery
// from tap-format changes.
#include "CaptureFixture.h"
#include "Harkwell/CoreAudioTap.h"

namespace harkwell {
namespace {

using namespace platform;
using platform::scripted::ConverterScript;
using platform::scripted::PropertyAnswer;
using test::CaptureTest;
using test::FdCapture;
using test::InterleavedAudio;
using test::splitFrames;
using test::splitLines;

AudioStreamBasicDescription floatFormat(double rate, std::uint32_t channels) {
  return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, rate, channels, true)
      .streamDescription();
}

class TapCycleTest : public CaptureTest {
 protected:
  // Starts a tap whose format is `format`; its start line is not captured.
  std::shared_ptr<CoreAudioTap> startTap(const AudioStreamBasicDescription& format) {
    backend.setTapFormat(format);
    FdCapture quiet(STDERR_FILENO);
    auto tap = CoreAudioTap::make();
    tap->start();
    quiet.finish();
    backend.clearCalls();
    return tap;
  }
  void stopTap(CoreAudioTap& tap) {
    FdCapture quiet(STDERR_FILENO);
    tap.stop();
  }
};

TEST_F(TapCycleTest, ConvertsEachCycleIntoOneFrameWithTheSlackCapacity) {
  const struct {
    double rate;
    std::size_t frames;
    std::string convertCall;
  } cases[] = {
      {48000.0, 512,
       "AVAudioConverter.convertToBuffer(capacity=1194, input=haveData 512 frames, "
       "again=noDataNow)"},
      {16000.0, 160,
       "AVAudioConverter.convertToBuffer(capacity=1184, input=haveData 160 frames, "
       "again=noDataNow)"},
      {44100.0, 441,
       "AVAudioConverter.convertToBuffer(capacity=1184, input=haveData 441 frames, "
       "again=noDataNow)"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.rate);
    auto tap = startTap(floatFormat(c.rate, 1));
    InterleavedAudio audio(c.frames, 1);
    FdCapture out(STDOUT_FILENO);
    const std::size_t ran = backend.runIOCycle(audio.list);
    const auto frames = splitFrames(out.finish());
    const auto calls = backend.callTexts("AVAudioConverter");
    stopTap(*tap);

    EXPECT_EQ(ran, 1u);
    EXPECT_EQ(calls, std::vector<std::string>{c.convertCall});
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].tag, FrameTag::tapPCM);
    // The scripted converter writes 5 samples of 7: little-endian 16-bit.
    EXPECT_EQ(frames[0].payload, (std::vector<std::uint8_t>{7, 0, 7, 0, 7, 0, 7, 0, 7, 0}));
  }
}

TEST_F(TapCycleTest, DropsCyclesThatGiveNothingToWrite) {
  const struct {
    const char* name;
    std::optional<ConverterScript> converter;
    std::size_t frames;
    bool converts;
    std::vector<std::string> log;
  } cases[] = {
      {"empty buffer list", std::nullopt, 0, false, {}},
      {"conversion error with an error",
       ConverterScript{ConverterScript::Kind::errorWithNSError, 0, 0,
                       test::describedError("Resampler", 7, "resampler refused — input")},
       480,
       true,
       {"[velto][ERROR] tap convert: resampler refused — input"}},
      {"conversion error without an error",
       ConverterScript{ConverterScript::Kind::errorWithoutNSError, 0, 0, {}},
       480,
       true,
       {}},
      {"no frames produced",
       ConverterScript{ConverterScript::Kind::zeroFrames, 0, 0, {}},
       480,
       true,
       {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    if (c.converter) backend.answerNextConverter(*c.converter);
    auto tap = startTap(floatFormat(48000.0, 1));
    InterleavedAudio audio(c.frames, 1);
    FdCapture out(STDOUT_FILENO);
    FdCapture log(STDERR_FILENO);
    backend.runIOCycle(audio.list);
    backend.runIOCycle(audio.list);  // every failing cycle is reported
    const auto lines = splitLines(log.finish());
    const auto bytes = out.finish();
    const auto converts = backend.callTexts("AVAudioConverter.convertToBuffer").size();
    stopTap(*tap);

    EXPECT_EQ(bytes, "");
    EXPECT_EQ(converts, c.converts ? 2u : 0u);
    std::vector<std::string> expected = c.log;
    if (!expected.empty()) expected.push_back(expected.front());
    EXPECT_EQ(lines, expected);
  }
}

TEST_F(TapCycleTest, DropsCyclesWhoseCapacityIsNoFrameCount) {
  // A tap that reports a rate of 0: the cycle cannot be sized, so it is dropped quietly.
  auto tap = startTap(floatFormat(0.0, 1));
  InterleavedAudio audio(480, 1);
  FdCapture out(STDOUT_FILENO);
  FdCapture log(STDERR_FILENO);
  backend.runIOCycle(audio.list);
  const auto lines = log.finish();
  const auto bytes = out.finish();
  const auto converts = backend.callTexts("AVAudioConverter.convertToBuffer").size();
  stopTap(*tap);
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(lines, "");
  EXPECT_EQ(converts, 0u);
}

// A format notification: the tap's new format (or a failure to read it), the converter made
// for it, the log, and the next cycle, laid out in the format that should then be in use.
struct FormatChange {
  const char* name;
  AudioStreamBasicDescription format;
  std::function<void(scripted::ScriptedBackend&)> script;
  std::vector<std::string> converterMade;
  std::vector<std::string> log;
  AVAudioFormat inUse;
  std::uint32_t frames;
  std::string nextConvert;
};

TEST_F(TapCycleTest, RebuildsTheConverterOnlyWhenTheFormatChanged) {
  const auto none = [](scripted::ScriptedBackend&) {};
  const std::string toTarget = " -> int16 16000.0 Hz 1 ch interleaved)";
  const AVAudioFormat original(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, true);
  const AVAudioFormat int16At48k(AVAudioCommonFormat::pcmFormatInt16, 48000.0, 1, true);
  const std::string originalCycle =
      "AVAudioConverter.convertToBuffer(capacity=1194, input=haveData 512 frames, "
      "again=noDataNow)";
  const FormatChange changes[] = {
      {"new rate",
       floatFormat(44100.0, 1),
       none,
       {"AVAudioConverter.make(float32 44100.0 Hz 1 ch interleaved" + toTarget},
       {"[velto] CoreAudio tap reconfigured (input sr=44100.0 ch=1)"},
       AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 44100.0, 1, true),
       441,
       "AVAudioConverter.convertToBuffer(capacity=1184, input=haveData 441 frames, "
       "again=noDataNow)"},
      {"new channel count",
       floatFormat(48000.0, 2),
       none,
       {"AVAudioConverter.make(float32 48000.0 Hz 2 ch interleaved" + toTarget},
       {"[velto] CoreAudio tap reconfigured (input sr=48000.0 ch=2)"},
       AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 2, true),
       512,
       originalCycle},
      {"same format", floatFormat(48000.0, 1), none, {}, {}, original, 512, originalCycle},
      // Same rate and channels but another sample type: the old converter would misread every
      // buffer, so this counts as a change too.
      {"new sample type",
       int16At48k.streamDescription(),
       none,
       {"AVAudioConverter.make(int16 48000.0 Hz 1 ch interleaved" + toTarget},
       {"[velto] CoreAudio tap reconfigured (input sr=48000.0 ch=1)"},
       int16At48k,
       1024,
       "AVAudioConverter.convertToBuffer(capacity=1365, input=haveData 1024 frames, "
       "again=noDataNow)"},
      {"format unreadable",
       floatFormat(44100.0, 1),
       [](auto& b) {
         b.answerNextProperty(kAudioTapPropertyFormat, {kAudioHardwareNotRunningError, {}, {}, {}});
       },
       {},
       {"[velto][ERROR] kAudioTapPropertyFormat read failed (status=1937010544)"},
       original,
       512,
       originalCycle},
      {"format unusable",
       AudioStreamBasicDescription{},
       none,
       {},
       {},
       original,
       512,
       originalCycle},
      {"no converter for it",
       floatFormat(44100.0, 1),
       [](auto& b) {
         b.answerNextConverter({ConverterScript::Kind::none, 0, 0, {}});
       },
       {"AVAudioConverter.make(float32 44100.0 Hz 1 ch interleaved" + toTarget},
       {"[velto][ERROR] tap reconfigure: could not rebuild converter for sr=44100.0"},
       original,
       512,
       originalCycle},
  };
  for (const auto& change : changes) {
    SCOPED_TRACE(change.name);
    auto tap = startTap(original.streamDescription());
    change.script(backend);
    FdCapture log(STDERR_FILENO);
    const std::size_t listeners = backend.changeTapFormat(change.format);
    const auto lines = splitLines(log.finish());
    const auto made = backend.callTexts("AVAudioConverter.make");
    const auto reads = backend.callTexts("AudioObjectGetPropertyData");
    backend.clearCalls();

    std::vector<std::uint8_t> bytes(std::size_t{change.frames} * change.inUse.bytesPerFrame());
    AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {change.inUse.channelCount(), static_cast<std::uint32_t>(bytes.size()),
                        bytes.data()};
    FdCapture out(STDOUT_FILENO);
    backend.runIOCycle(list);
    const auto frames = splitFrames(out.finish());
    const auto converts = backend.callTexts("AVAudioConverter.convertToBuffer");
    stopTap(*tap);
    backend.clearCalls();

    EXPECT_EQ(listeners, 1u);
    EXPECT_EQ(reads.size(), 1u);
    EXPECT_EQ(made, change.converterMade);
    EXPECT_EQ(lines, change.log);
    EXPECT_EQ(converts, std::vector<std::string>{change.nextConvert});
    EXPECT_EQ(frames.size(), 1u);
  }
}

TEST_F(TapCycleTest, AFormatNotificationAfterStopDoesNothing) {
  // The listener's removal fails, so the notification still reaches the stopped tap.
  backend.answerNext("AudioObjectRemovePropertyListenerBlock", {kAudioHardwareBadObjectError, {}});
  auto tap = startTap(floatFormat(48000.0, 1));
  stopTap(*tap);
  backend.clearCalls();
  FdCapture log(STDERR_FILENO);
  const std::size_t ran = backend.changeTapFormat(floatFormat(44100.0, 1));
  const auto lines = log.finish();
  EXPECT_EQ(ran, 1u);
  EXPECT_EQ(backend.callTexts(), std::vector<std::string>{});
  EXPECT_EQ(lines, "");
}

TEST_F(TapCycleTest, CallbacksOfAReleasedTapDoNothing) {
  // The removals fail, so the backend keeps calling blocks whose tap no longer exists.
  backend.answerNext("AudioObjectRemovePropertyListenerBlock", {kAudioHardwareBadObjectError, {}});
  backend.answerNext("AudioDeviceStop", {kAudioHardwareBadObjectError, {}});
  backend.answerNext("AudioDeviceDestroyIOProcID", {kAudioHardwareBadObjectError, {}});
  backend.answerNext("AudioHardwareDestroyAggregateDevice", {kAudioHardwareBadObjectError, {}});
  auto tap = startTap(floatFormat(48000.0, 1));
  stopTap(*tap);
  tap.reset();
  backend.clearCalls();
  InterleavedAudio audio(480, 1);
  FdCapture out(STDOUT_FILENO);
  FdCapture log(STDERR_FILENO);
  const std::size_t cycles = backend.runIOCycle(audio.list);
  const std::size_t listeners = backend.changeTapFormat(floatFormat(44100.0, 1));
  const auto lines = log.finish();
  const auto bytes = out.finish();
  EXPECT_EQ(cycles, 1u);
  EXPECT_EQ(listeners, 1u);
  EXPECT_EQ(backend.callTexts(), std::vector<std::string>{});
  EXPECT_EQ(bytes, "");
  EXPECT_EQ(lines, "");
}

}  // namespace
}  // namespace harkwell
