// SPDX-License-Identifier: MIT
// The state that a scripted backend shares with the engines and converters it makes.
#pragma once

#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "ScriptedBackend.h"

namespace platform::scripted {

class ScriptedEngine;

struct ScriptedBackend::State {
  mutable std::mutex mutex;  // guards everything below but the delivery locks

  std::vector<Call> calls;

  // Standing answers.
  bool supportsProcessTaps = true;
  AVAuthorizationStatus authorization = AVAuthorizationStatus::authorized;
  std::map<std::int32_t, AudioObjectID> processObjects;
  AudioObjectID defaultOutputDevice = 40;
  AudioObjectID defaultInputDevice = 41;
  std::map<AudioObjectID, std::string> deviceUIDs{{40, "Scripted-Speakers-UID"},
                                                  {41, "Scripted-Microphone-UID"}};
  AudioStreamBasicDescription tapFormat{};
  AVAudioFormat inputFormat{AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, false};
  ConverterScript defaultConverter;
  std::uint32_t bufferOnEngineStart = 0;

  // One-shot answers.
  std::map<std::string, std::deque<Answer>> answers;
  std::map<AudioObjectPropertySelector, std::deque<PropertyAnswer>> propertyAnswers;
  std::deque<AVAudioFormat> inputFormats;
  std::deque<NSException> installTapExceptions;
  std::deque<EngineStart> engineStarts;
  std::deque<ConverterScript> converters;

  // Objects that exist.
  struct Listener {
    AudioObjectID object;
    AudioObjectPropertyAddress address;
    std::shared_ptr<DispatchQueue> queue;
    AudioObjectPropertyListenerBlockRef block;
  };
  struct IOProc {
    AudioObjectID device;
    std::shared_ptr<DispatchQueue> queue;
    std::shared_ptr<AudioDeviceIOBlock> block;
    bool started = false;
  };
  std::set<AudioObjectID> taps;
  std::set<AudioObjectID> aggregateDevices;
  std::vector<Listener> listeners;
  std::map<AudioDeviceIOProcID, IOProc> ioProcs;
  std::map<const void*, int> listenerNumbers;  // by identity, in order of first registration
  std::deque<std::string> strings;             // what 'uid ' handed out, kept for good
  std::vector<std::weak_ptr<ScriptedEngine>> engines;
  std::optional<harkwell::Value> lastTapDescription;
  std::optional<harkwell::Value::Object> lastAggregateDescription;

  AudioObjectID nextTap = 101;
  AudioObjectID nextDevice = 201;
  AudioDeviceIOProcID nextProc = 301;

  // Held while a callback of that kind runs, so that stopping or removing waits for it.
  std::mutex ioDelivery;
  std::mutex listenerDelivery;
  std::mutex tapDelivery;
  std::shared_ptr<DispatchQueue> tapThread;  // where input buffers are delivered

  void record(std::string name, std::string args, harkwell::Value detail = {}) {
    std::lock_guard lock(mutex);
    recordLocked(std::move(name), std::move(args), std::move(detail));
  }
  void recordLocked(std::string name, std::string args, harkwell::Value detail = {}) {
    calls.push_back(Call{std::move(name), std::move(args), std::move(detail)});
  }
  // The next one-shot answer for `call`, or none. Caller holds the mutex.
  std::optional<Answer> takeAnswer(const std::string& call) {
    auto found = answers.find(call);
    if (found == answers.end() || found->second.empty()) return std::nullopt;
    Answer answer = found->second.front();
    found->second.pop_front();
    return answer;
  }
};

// Runs `work` on `queue` (inline when null or already on it) and waits until it has returned.
void runAndWait(const std::shared_ptr<DispatchQueue>& queue, const std::function<void()>& work);

std::shared_ptr<AVAudioEngine> makeScriptedEngine(std::shared_ptr<ScriptedBackend::State> state);
std::shared_ptr<AVAudioConverter> makeScriptedConverter(
    std::shared_ptr<ScriptedBackend::State> state, const AVAudioFormat& from,
    const AVAudioFormat& to, ConverterScript script);
// Every engine made so far that still exists.
std::vector<std::shared_ptr<ScriptedEngine>> liveEngines(ScriptedBackend::State& state);
std::size_t deliverToEngine(ScriptedEngine& engine, const AVAudioPCMBuffer& buffer);
bool engineIsRunning(const ScriptedEngine& engine);
bool engineHasTap(const ScriptedEngine& engine);
// Posts the engine's configuration-change notification, with the engine as sender.
void postConfigurationChange(ScriptedEngine& engine);

}  // namespace platform::scripted
