// SPDX-License-Identifier: MIT
// The test backend: records every call of the platform layer in order, answers each with what
// the test programmed (or a standing default), and lets the test drive what the real system
// would do on its own: I/O cycles, tap-format changes, microphone buffers and engine
// configuration changes.
//
// Deliveries run on the queue or thread that the real system would use, and the driving call
// waits until the callback has returned. Stopping a device, removing a listener or removing the
// input tap waits for a delivery in progress (as the real system does), so once a capture path's
// stop() returns none of its callbacks is running.
//
// Identifiers are handed out in order from fixed bases (taps 101, devices 201, I/O procedures
// 301), so recorded calls are the same on every run.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "Platform/AudioBackend.h"

namespace platform::scripted {

// One recorded call: the operation, its arguments as text, and for descriptions the whole
// description as a value.
struct Call {
  std::string name;
  std::string args;
  harkwell::Value detail;
  std::string text() const { return name + "(" + args + ")"; }
};

// The answer to one hardware call that creates or starts something: a status and, for calls
// that create an object, the identifier to hand out (none: the next fresh one; 0 is allowed).
struct Answer {
  OSStatus status = noErr;
  std::optional<std::uint64_t> object;
};

// The answer to one property read. Data left unset is read from the standing state.
struct PropertyAnswer {
  OSStatus status = noErr;
  std::optional<AudioObjectID> object;                // 'id2p', 'dOut', 'dIn '
  std::optional<std::optional<std::string>> uid;      // 'uid ': a string, or a null reference
  std::optional<AudioStreamBasicDescription> format;  // 'tfmt'
};

// What one converter made by makeConverter does.
struct ConverterScript {
  enum class Kind {
    resampling,        // the real resampling converter
    none,              // creation fails
    produce,           // takes the input once, asks again, writes `frames` samples of `value`
    errorWithNSError,  // status error with `error` in the slot
    errorWithoutNSError,
    zeroFrames,  // takes the input, produces nothing (status haveData)
  };
  Kind kind = Kind::resampling;
  std::uint32_t frames = 0;
  std::int16_t value = 0;
  std::optional<NSError> error;
};

// What one start of the audio engine does.
struct EngineStart {
  std::optional<NSError> error;          // fails with this error
  std::optional<NSException> exception;  // raises this exception
  bool failWithoutError = false;         // returns false and leaves the slot empty
};

class ScriptedBackend final : public AudioBackend {
 public:
  ScriptedBackend();
  ~ScriptedBackend() override;

  // ---- recorded calls
  std::vector<Call> calls() const;
  std::vector<std::string> callTexts() const;  // Call::text() of each
  // Texts of the calls whose name starts with `prefix`.
  std::vector<std::string> callTexts(std::string_view prefix) const;
  void clearCalls();

  // ---- standing answers
  void setSupportsProcessTaps(bool supported);
  void setAuthorizationStatus(AVAuthorizationStatus status);
  void setProcessObject(std::int32_t pid, AudioObjectID object);  // 'id2p'; others give 0
  void setDefaultOutputDevice(AudioObjectID device);              // 0: none
  void setDeviceUID(AudioObjectID device, std::string uid);
  void setTapFormat(const AudioStreamBasicDescription& format);
  void setInputFormat(const AVAudioFormat& format);  // the input node's, for every engine
  void setDefaultConverter(ConverterScript script);

  // ---- one-shot answers, used in order before the standing ones
  // `call` is the hardware call's name, e.g. "AudioHardwareCreateProcessTap".
  void answerNext(const std::string& call, Answer answer);
  void answerNextProperty(AudioObjectPropertySelector selector, PropertyAnswer answer);
  void answerNextInputFormat(const AVAudioFormat& format);
  void raiseOnNextInstallTap(NSException exception);
  void answerNextEngineStart(EngineStart start);
  void answerNextConverter(ConverterScript script);
  // When set, every successful engine start delivers this many frames of silence to the tap
  // right away, from the tap thread, before the start returns.
  void setBufferOnEngineStart(std::uint32_t frames);

  // ---- driving the system
  // Runs one I/O cycle of every started I/O procedure with `input`, each on its queue; returns
  // how many ran.
  std::size_t runIOCycle(const AudioBufferList& input);
  // Makes `format` the tap format and runs every 'tfmt' listener on its queue; returns how many
  // ran.
  std::size_t changeTapFormat(const AudioStreamBasicDescription& format);
  // Delivers `buffer` to the input tap of every running engine, on the tap thread; returns how
  // many taps received it.
  std::size_t deliverInputBuffer(const AVAudioPCMBuffer& buffer);
  // Posts the configuration-change notification of every engine made so far.
  void postEngineConfigurationChange();

  // ---- what exists now
  std::size_t liveTaps() const;
  std::size_t liveAggregateDevices() const;
  std::size_t liveListeners() const;
  std::size_t liveIOProcs() const;
  std::size_t installedInputTaps() const;
  std::size_t runningEngines() const;
  // The descriptions passed to the last successful or failed creation calls.
  std::optional<harkwell::Value> lastTapDescription() const;
  std::optional<harkwell::Value::Object> lastAggregateDescription() const;

  // ---- AudioBackend
  bool supportsProcessTaps() override;
  AVAuthorizationStatus microphoneAuthorizationStatus() override;
  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier,
                           std::uint32_t* ioDataSize, void* outData) override;
  OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const harkwell::Value::Object& description,
                                 AudioObjectID* outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               const std::shared_ptr<DispatchQueue>& queue,
                               const AudioObjectPropertyListenerBlockRef& listener) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  const std::shared_ptr<DispatchQueue>& queue,
                                  const AudioObjectPropertyListenerBlockRef& listener) override;
  OSStatus createIOProcID(std::optional<AudioDeviceIOProcID>* outIOProcID, AudioObjectID device,
                          const std::shared_ptr<DispatchQueue>& queue,
                          AudioDeviceIOBlock block) override;
  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;
  std::shared_ptr<AVAudioEngine> makeEngine() override;
  std::shared_ptr<AVAudioConverter> makeConverter(const AVAudioFormat& from,
                                                  const AVAudioFormat& to) override;

  struct State;  // shared with the engines and converters this backend makes

 private:
  std::shared_ptr<State> state_;
};

// Text forms used in recorded calls.
std::string fourCCText(std::uint32_t code);           // 'tfmt'
std::string formatText(const AVAudioFormat& format);  // int16 16000.0 Hz 1 ch interleaved

}  // namespace platform::scripted
