// SPDX-License-Identifier: MIT
// The system-audio path's start, its failures with their teardown, and stop.
#include <unistd.h>

#include "CaptureFixture.h"
#include "Harkwell/CoreAudioTap.h"

namespace harkwell {
namespace {

using namespace platform;
using platform::scripted::Answer;
using platform::scripted::ConverterScript;
using platform::scripted::PropertyAnswer;
using test::CaptureTest;
using test::FdCapture;
using test::splitLines;

const std::string kPPID = std::to_string(getppid());
const std::string kQueue = "queue=quillet.velto.coreaudio.tap";

const std::vector<std::string> kStartCalls = {
    "AudioObjectGetPropertyData(1, 'id2p' 'glob' 0, qualifier=" + kPPID + ", size=4)",
    "AudioHardwareCreateProcessTap(name=Quillet System Audio Tap, private=true, mono=true, "
    "exclusive=true, processes=[77])",
    "AudioObjectGetPropertyData(1, 'dOut' 'glob' 0, qualifier=0 bytes, size=4)",
    "AudioObjectGetPropertyData(40, 'uid ' 'glob' 0, qualifier=0 bytes, size=8)",
    "AudioHardwareCreateAggregateDevice(keys=name,uid,master,private,stacked,tapautostart,"
    "subdevices,taps)",
    "AudioObjectGetPropertyData(101, 'tfmt' 'glob' 0, qualifier=0 bytes, size=40)",
    "AVAudioConverter.make(float32 48000.0 Hz 1 ch interleaved -> int16 16000.0 Hz 1 ch "
    "interleaved)",
    "AudioObjectAddPropertyListenerBlock(101, 'tfmt' 'glob' 0, " + kQueue + ", listener=#1)",
    "AudioDeviceCreateIOProcIDWithBlock(201, " + kQueue + ")",
    "AudioDeviceStart(201, 301)",
};

const std::vector<std::string> kStopCalls = {
    "systemSupportsProcessTaps()",
    "AudioDeviceStop(201, 301)",
    "AudioDeviceDestroyIOProcID(201, 301)",
    "AudioHardwareDestroyAggregateDevice(201)",
    "AudioObjectRemovePropertyListenerBlock(101, 'tfmt' 'glob' 0, " + kQueue + ", listener=#1)",
    "AudioHardwareDestroyProcessTap(101)",
};

class CoreAudioTapTest : public CaptureTest {};

// 36 characters: upper-case hexadecimal in groups 8-4-4-4-12 joined by hyphens.
bool isUUIDString(const std::string& text) {
  if (text.size() != 36) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
    const char c = text[i];
    if (hyphen ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'))) return false;
  }
  return true;
}

// The text under `key` of an object value, or "" when there is none.
std::string stringAt(const Value& object, std::string_view key) {
  const Value* value = object.find(key);
  return value && value->isString() ? value->asString() : std::string();
}

TEST_F(CoreAudioTapTest, StartsInOrderAndStopsInReverse) {
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  const auto startCalls = backend.callTexts();
  backend.clearCalls();
  tap->stop();
  const auto stopCalls = backend.callTexts();
  backend.clearCalls();
  tap->stop();  // the second does nothing
  const auto secondStopCalls = backend.callTexts();
  const auto lines = splitLines(log.finish());

  EXPECT_EQ(startCalls, kStartCalls);
  EXPECT_EQ(stopCalls, kStopCalls);
  EXPECT_TRUE(secondStopCalls.empty());
  EXPECT_EQ(lines,
            (std::vector<std::string>{"[velto] CoreAudio tap started (input sr=48000.0 ch=1)",
                                      "[velto] CoreAudio tap stopped"}));
  EXPECT_EQ(backend.liveTaps() + backend.liveAggregateDevices() + backend.liveListeners() +
                backend.liveIOProcs(),
            0u);
}

TEST_F(CoreAudioTapTest, DescribesAPrivateMonoTapAndItsAggregateDevice) {
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  tap->stop();
  log.finish();

  const auto tapDescription = backend.lastTapDescription();
  ASSERT_TRUE(tapDescription);
  const std::string tapUUID = stringAt(*tapDescription, "uuid");
  EXPECT_TRUE(isUUIDString(tapUUID)) << tapUUID;
  EXPECT_EQ(*tapDescription, Value(Value::Object{{"name", Value("Quillet System Audio Tap")},
                                                 {"uuid", Value(tapUUID)},
                                                 {"private", Value(true)},
                                                 {"mono", Value(true)},
                                                 {"exclusive", Value(true)},
                                                 {"processes", Value(Value::Array{Value(77)})}}));

  const auto aggregate = backend.lastAggregateDescription();
  ASSERT_TRUE(aggregate);
  ASSERT_EQ(aggregate->size(), 8u);
  const std::string deviceUID = stringAt(Value(*aggregate), "uid");
  EXPECT_TRUE(isUUIDString(deviceUID)) << deviceUID;
  EXPECT_NE(deviceUID, tapUUID);
  const Value::Object expected{
      {"name", Value("Quillet-Tap-" + std::to_string(getpid()))},
      {"uid", Value(deviceUID)},
      {"master", Value("Scripted-Speakers-UID")},
      {"private", Value(true)},
      {"stacked", Value(false)},
      {"tapautostart", Value(true)},
      {"subdevices",
       Value(Value::Array{Value(Value::Object{{"uid", Value("Scripted-Speakers-UID")}})})},
      {"taps",
       Value(Value::Array{Value(Value::Object{{"drift", Value(true)}, {"uid", Value(tapUUID)}})})},
  };
  EXPECT_EQ(*aggregate, expected);
}

TEST_F(CoreAudioTapTest, EachTapGetsFreshUUIDs) {
  FdCapture log(STDERR_FILENO);
  auto first = CoreAudioTap::make();
  first->start();
  const auto firstTap = stringAt(backend.lastTapDescription().value_or(Value()), "uuid");
  const auto firstDevice =
      stringAt(Value(backend.lastAggregateDescription().value_or(Value::Object{})), "uid");
  first->stop();
  auto second = CoreAudioTap::make();
  second->start();
  const auto secondTap = stringAt(backend.lastTapDescription().value_or(Value()), "uuid");
  const auto secondDevice =
      stringAt(Value(backend.lastAggregateDescription().value_or(Value::Object{})), "uid");
  second->stop();
  log.finish();
  EXPECT_NE(firstTap, secondTap);
  EXPECT_NE(firstDevice, secondDevice);
}

TEST_F(CoreAudioTapTest, ExcludesNothingWhenTheParentHasNoProcessObject) {
  backend.setProcessObject(static_cast<std::int32_t>(getppid()), 0);
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  tap->stop();
  log.finish();
  const Value description = backend.lastTapDescription().value_or(Value());
  ASSERT_NE(description.find("processes"), nullptr);
  EXPECT_EQ(*description.find("processes"), Value(Value::Array{}));
}

TEST_F(CoreAudioTapTest, StopWithoutStartOnlyLogs) {
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->stop();
  tap->stop();
  const auto lines = splitLines(log.finish());
  EXPECT_EQ(backend.callTexts("Audio"), std::vector<std::string>{});
  EXPECT_EQ(lines, std::vector<std::string>{"[velto] CoreAudio tap stopped"});
}

// One failure of start(): what the backend is told to do, the error, and the calls that tear
// down what was made, in order, after the call that failed.
struct StartFailure {
  const char* name;
  std::function<void(scripted::ScriptedBackend&)> script;
  std::string failingCall;  // the text of the last call before the teardown
  std::int64_t code;
  std::string text;
  std::vector<std::string> teardown;
  std::vector<std::string> log;
};

const std::string kDestroyTap = "AudioHardwareDestroyProcessTap(101)";
const std::string kDestroyDevice = "AudioHardwareDestroyAggregateDevice(201)";
const std::string kRemoveListener =
    "AudioObjectRemovePropertyListenerBlock(101, 'tfmt' 'glob' 0, " + kQueue + ", listener=#1)";

std::vector<StartFailure> startFailures() {
  const OSStatus unspecified = kAudioHardwareUnspecifiedError;  // 'what'
  return {
      {"tap refused",
       [=](auto& b) {
         b.answerNext("AudioHardwareCreateProcessTap", {unspecified, {}});
       },
       kStartCalls[1],
       unspecified,
       "AudioHardwareCreateProcessTap failed (status=2003329396)",
       {},
       {}},
      {"tap 0 without error",
       [](auto& b) {
         b.answerNext("AudioHardwareCreateProcessTap", {noErr, 0});
       },
       kStartCalls[1],
       0,
       "AudioHardwareCreateProcessTap failed (status=0)",
       {},
       {}},
      {"negative tap status",
       [](auto& b) {
         b.answerNext("AudioHardwareCreateProcessTap", {-50, {}});
       },
       kStartCalls[1],
       -50,
       "AudioHardwareCreateProcessTap failed (status=-50)",
       {},
       {}},
      {"no default output device",
       [](auto& b) { b.setDefaultOutputDevice(0); },
       kStartCalls[2],
       -2,
       "No default output device for aggregate clock",
       {kDestroyTap},
       {}},
      {"default output unreadable",
       [](auto& b) {
         b.answerNextProperty(kAudioHardwarePropertyDefaultOutputDevice,
                              {kAudioHardwareNotRunningError, {}, {}, {}});
       },
       kStartCalls[2],
       -2,
       "No default output device for aggregate clock",
       {kDestroyTap},
       {}},
      {"device UID unreadable",
       [](auto& b) {
         b.answerNextProperty(kAudioDevicePropertyDeviceUID,
                              {kAudioHardwareBadObjectError, {}, {}, {}});
       },
       kStartCalls[3],
       -2,
       "No default output device for aggregate clock",
       {kDestroyTap},
       {}},
      {"device UID null",
       [](auto& b) {
         PropertyAnswer nullUID;
         nullUID.uid = std::optional<std::string>();
         b.answerNextProperty(kAudioDevicePropertyDeviceUID, nullUID);
       },
       kStartCalls[3],
       -2,
       "No default output device for aggregate clock",
       {kDestroyTap},
       {}},
      {"aggregate refused",
       [](auto& b) {
         b.answerNext("AudioHardwareCreateAggregateDevice", {-50, {}});
       },
       kStartCalls[4],
       -50,
       "AudioHardwareCreateAggregateDevice failed (status=-50)",
       {kDestroyTap},
       {}},
      {"aggregate 0 without error",
       [](auto& b) {
         b.answerNext("AudioHardwareCreateAggregateDevice", {noErr, 0});
       },
       kStartCalls[4],
       0,
       "AudioHardwareCreateAggregateDevice failed (status=0)",
       {kDestroyTap},
       {}},
      {"tap format unreadable",
       [](auto& b) {
         b.answerNextProperty(kAudioTapPropertyFormat,
                              {kAudioHardwareBadPropertySizeError, {}, {}, {}});
       },
       kStartCalls[5],
       -3,
       "Could not read tap stream format",
       {kDestroyDevice, kDestroyTap},
       {"[velto][ERROR] kAudioTapPropertyFormat read failed (status=561211770)"}},
      {"tap format unusable",
       [](auto& b) {
         PropertyAnswer compressed;
         compressed.format =
             AudioStreamBasicDescription{48000.0, fourCC("aac "), 0, 0, 1024, 0, 2, 0, 0};
         b.answerNextProperty(kAudioTapPropertyFormat, compressed);
       },
       kStartCalls[5],
       -3,
       "Could not read tap stream format",
       {kDestroyDevice, kDestroyTap},
       {}},
      {"no converter",
       [](auto& b) {
         b.answerNextConverter({ConverterScript::Kind::none, 0, 0, {}});
       },
       kStartCalls[6],
       -4,
       "Could not build tap AVAudioConverter",
       {kDestroyDevice, kDestroyTap},
       {}},
      {"I/O procedure refused",
       [](auto& b) {
         b.answerNext("AudioDeviceCreateIOProcIDWithBlock", {kAudioHardwareBadDeviceError, {}});
       },
       kStartCalls[8],
       kAudioHardwareBadDeviceError,
       "AudioDeviceCreateIOProcIDWithBlock failed (status=560227702)",
       {kDestroyDevice, kRemoveListener, kDestroyTap},
       {}},
      {"I/O procedure without identifier",
       [](auto& b) {
         b.answerNext("AudioDeviceCreateIOProcIDWithBlock", {noErr, 0});
       },
       kStartCalls[8],
       0,
       "AudioDeviceCreateIOProcIDWithBlock failed (status=0)",
       {kDestroyDevice, kRemoveListener, kDestroyTap},
       {}},
      {"device start refused",
       [](auto& b) {
         b.answerNext("AudioDeviceStart", {kAudioHardwareIllegalOperationError, {}});
       },
       kStartCalls[9],
       kAudioHardwareIllegalOperationError,
       "AudioDeviceStart failed (status=1852797029)",
       {"AudioDeviceStop(201, 301)", "AudioDeviceDestroyIOProcID(201, 301)", kDestroyDevice,
        kRemoveListener, kDestroyTap},
       {}},
      {"device start refused, teardown refused too",
       [](auto& b) {
         b.answerNext("AudioDeviceStart", {-1, {}});
         b.answerNext("AudioDeviceStop", {-1, {}});
       },
       kStartCalls[9],
       -1,
       "AudioDeviceStart failed (status=-1)",
       {"AudioDeviceStop(201, 301)", "AudioDeviceDestroyIOProcID(201, 301)", kDestroyDevice,
        kRemoveListener, kDestroyTap},
       {}},
  };
}

TEST_F(CoreAudioTapTest, EachStartFailureTearsDownWhatItMadeAndReportsItsError) {
  for (const StartFailure& row : startFailures()) {
    SCOPED_TRACE(row.name);
    scripted::ScriptedBackend rowBackend;
    rowBackend.setProcessObject(static_cast<std::int32_t>(getppid()), 77);
    rowBackend.setDefaultConverter({ConverterScript::Kind::produce, 5, 7, {}});
    setAudioBackend(&rowBackend);
    row.script(rowBackend);

    FdCapture log(STDERR_FILENO);
    auto tap = CoreAudioTap::make();
    std::optional<NSError> error;
    try {
      tap->start();
    } catch (const NSError& e) {
      error = e;
    }
    const auto calls = rowBackend.callTexts();
    rowBackend.clearCalls();
    tap->stop();  // safe after a failed start: no platform call
    const auto stopCalls = rowBackend.callTexts("Audio");
    const auto lines = splitLines(log.finish());
    setAudioBackend(&backend);

    ASSERT_TRUE(error) << "start() succeeded";
    EXPECT_EQ(error->domain(), "CoreAudioTap");
    EXPECT_EQ(error->code(), row.code);
    EXPECT_EQ(error->localizedDescription(), row.text);

    const auto failing = std::find(calls.rbegin(), calls.rend(), row.failingCall);
    ASSERT_NE(failing, calls.rend()) << "no call " << row.failingCall;
    EXPECT_EQ(std::vector<std::string>(failing.base(), calls.end()), row.teardown);
    EXPECT_TRUE(stopCalls.empty());

    auto expectedLines = row.log;
    expectedLines.push_back("[velto] CoreAudio tap stopped");
    EXPECT_EQ(lines, expectedLines);
    EXPECT_EQ(rowBackend.liveTaps(), 0u);
    EXPECT_EQ(rowBackend.liveAggregateDevices(), 0u);
    EXPECT_EQ(rowBackend.liveListeners(), 0u);
    EXPECT_EQ(rowBackend.liveIOProcs(), 0u);
  }
}

TEST_F(CoreAudioTapTest, StopOnASystemWithoutProcessTapsMakesNoHardwareCall) {
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  backend.setSupportsProcessTaps(false);
  backend.clearCalls();
  tap->stop();
  const auto calls = backend.callTexts();
  log.finish();
  EXPECT_EQ(calls, std::vector<std::string>{"systemSupportsProcessTaps()"});
}

}  // namespace
}  // namespace harkwell
