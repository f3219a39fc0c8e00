// SPDX-License-Identifier: MIT
#include "ScriptedBackend.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <future>

#include "ScriptedState.h"

namespace platform::scripted {

namespace {

std::string addressText(const AudioObjectPropertyAddress& address) {
  return fourCCText(address.mSelector) + " " + fourCCText(address.mScope) + " " +
         std::to_string(address.mElement);
}

std::string queueText(const std::shared_ptr<DispatchQueue>& queue) {
  return "queue=" + (queue ? queue->label() : std::string("none"));
}

std::string rateText(double rate) {
  char digits[64];
  auto [end, ec] = std::to_chars(digits, digits + sizeof digits, rate, std::chars_format::fixed);
  std::string text(digits, ec == std::errc() ? end : digits);
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

AudioStreamBasicDescription defaultTapFormat() {
  // What a mono global tap gives: 32-bit float, 48000 Hz, one channel.
  return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, true).streamDescription();
}

}  // namespace

std::string fourCCText(std::uint32_t code) {
  std::string text = "'";
  for (int shift = 24; shift >= 0; shift -= 8) text += static_cast<char>((code >> shift) & 0xFF);
  return text + "'";
}

std::string formatText(const AVAudioFormat& format) {
  std::string type;
  switch (format.commonFormat()) {
    case AVAudioCommonFormat::pcmFormatFloat32:
      type = "float32";
      break;
    case AVAudioCommonFormat::pcmFormatFloat64:
      type = "float64";
      break;
    case AVAudioCommonFormat::pcmFormatInt16:
      type = "int16";
      break;
    case AVAudioCommonFormat::pcmFormatInt32:
      type = "int32";
      break;
    case AVAudioCommonFormat::otherFormat:
      type = "other";
      break;
  }
  return type + " " + rateText(format.sampleRate()) + " Hz " +
         std::to_string(format.channelCount()) + " ch " +
         (format.isInterleaved() ? "interleaved" : "deinterleaved");
}

void runAndWait(const std::shared_ptr<DispatchQueue>& queue, const std::function<void()>& work) {
  if (!queue || queue->isCurrent()) {
    work();
    return;
  }
  std::promise<void> done;
  queue->async([&] {
    work();
    done.set_value();
  });
  done.get_future().wait();
}

ScriptedBackend::ScriptedBackend() : state_(std::make_shared<State>()) {
  state_->tapFormat = defaultTapFormat();
  state_->tapThread = DispatchQueue::makeSerial("scripted.input-tap");
}

ScriptedBackend::~ScriptedBackend() = default;

// ---- recorded calls

std::vector<Call> ScriptedBackend::calls() const {
  std::lock_guard lock(state_->mutex);
  return state_->calls;
}

std::vector<std::string> ScriptedBackend::callTexts() const {
  return callTexts("");
}

std::vector<std::string> ScriptedBackend::callTexts(std::string_view prefix) const {
  std::vector<std::string> texts;
  for (const Call& call : calls())
    if (call.name.starts_with(prefix)) texts.push_back(call.text());
  return texts;
}

void ScriptedBackend::clearCalls() {
  std::lock_guard lock(state_->mutex);
  state_->calls.clear();
}

// ---- standing and one-shot answers

void ScriptedBackend::setSupportsProcessTaps(bool supported) {
  std::lock_guard lock(state_->mutex);
  state_->supportsProcessTaps = supported;
}
void ScriptedBackend::setAuthorizationStatus(AVAuthorizationStatus status) {
  std::lock_guard lock(state_->mutex);
  state_->authorization = status;
}
void ScriptedBackend::setProcessObject(std::int32_t pid, AudioObjectID object) {
  std::lock_guard lock(state_->mutex);
  state_->processObjects[pid] = object;
}
void ScriptedBackend::setDefaultOutputDevice(AudioObjectID device) {
  std::lock_guard lock(state_->mutex);
  state_->defaultOutputDevice = device;
}
void ScriptedBackend::setDeviceUID(AudioObjectID device, std::string uid) {
  std::lock_guard lock(state_->mutex);
  state_->deviceUIDs[device] = std::move(uid);
}
void ScriptedBackend::setTapFormat(const AudioStreamBasicDescription& format) {
  std::lock_guard lock(state_->mutex);
  state_->tapFormat = format;
}
void ScriptedBackend::setInputFormat(const AVAudioFormat& format) {
  std::lock_guard lock(state_->mutex);
  state_->inputFormat = format;
}
void ScriptedBackend::setDefaultConverter(ConverterScript script) {
  std::lock_guard lock(state_->mutex);
  state_->defaultConverter = std::move(script);
}
void ScriptedBackend::answerNext(const std::string& call, Answer answer) {
  std::lock_guard lock(state_->mutex);
  state_->answers[call].push_back(answer);
}
void ScriptedBackend::answerNextProperty(AudioObjectPropertySelector selector,
                                         PropertyAnswer answer) {
  std::lock_guard lock(state_->mutex);
  state_->propertyAnswers[selector].push_back(std::move(answer));
}
void ScriptedBackend::answerNextInputFormat(const AVAudioFormat& format) {
  std::lock_guard lock(state_->mutex);
  state_->inputFormats.push_back(format);
}
void ScriptedBackend::raiseOnNextInstallTap(NSException exception) {
  std::lock_guard lock(state_->mutex);
  state_->installTapExceptions.push_back(std::move(exception));
}
void ScriptedBackend::answerNextEngineStart(EngineStart start) {
  std::lock_guard lock(state_->mutex);
  state_->engineStarts.push_back(std::move(start));
}
void ScriptedBackend::answerNextConverter(ConverterScript script) {
  std::lock_guard lock(state_->mutex);
  state_->converters.push_back(std::move(script));
}
void ScriptedBackend::setBufferOnEngineStart(std::uint32_t frames) {
  std::lock_guard lock(state_->mutex);
  state_->bufferOnEngineStart = frames;
}

// ---- what exists

std::size_t ScriptedBackend::liveTaps() const {
  std::lock_guard lock(state_->mutex);
  return state_->taps.size();
}
std::size_t ScriptedBackend::liveAggregateDevices() const {
  std::lock_guard lock(state_->mutex);
  return state_->aggregateDevices.size();
}
std::size_t ScriptedBackend::liveListeners() const {
  std::lock_guard lock(state_->mutex);
  return state_->listeners.size();
}
std::size_t ScriptedBackend::liveIOProcs() const {
  std::lock_guard lock(state_->mutex);
  return state_->ioProcs.size();
}
std::size_t ScriptedBackend::installedInputTaps() const {
  std::size_t count = 0;
  for (const auto& engine : liveEngines(*state_)) count += engineHasTap(*engine) ? 1 : 0;
  return count;
}
std::size_t ScriptedBackend::runningEngines() const {
  std::size_t count = 0;
  for (const auto& engine : liveEngines(*state_)) count += engineIsRunning(*engine) ? 1 : 0;
  return count;
}
std::optional<harkwell::Value> ScriptedBackend::lastTapDescription() const {
  std::lock_guard lock(state_->mutex);
  return state_->lastTapDescription;
}
std::optional<harkwell::Value::Object> ScriptedBackend::lastAggregateDescription() const {
  std::lock_guard lock(state_->mutex);
  return state_->lastAggregateDescription;
}

// ---- driving

std::size_t ScriptedBackend::runIOCycle(const AudioBufferList& input) {
  std::vector<std::pair<AudioDeviceIOProcID, std::shared_ptr<DispatchQueue>>> targets;
  {
    std::lock_guard lock(state_->mutex);
    for (const auto& [id, proc] : state_->ioProcs)
      if (proc.started) targets.emplace_back(id, proc.queue);
  }
  std::size_t ran = 0;
  for (const auto& [id, queue] : targets) {
    runAndWait(queue, [&, procID = id] {
      std::lock_guard delivering(state_->ioDelivery);
      std::shared_ptr<AudioDeviceIOBlock> block;
      {
        std::lock_guard lock(state_->mutex);
        auto found = state_->ioProcs.find(procID);
        if (found == state_->ioProcs.end() || !found->second.started) return;
        block = found->second.block;
      }
      const AudioTimeStamp now{0.0, static_cast<std::uint64_t>(DispatchTime::now().nanoseconds)};
      AudioBufferList output{};
      (*block)(&now, &input, &now, &output, &now);
      ++ran;
    });
  }
  return ran;
}

std::size_t ScriptedBackend::changeTapFormat(const AudioStreamBasicDescription& format) {
  std::vector<State::Listener> targets;
  {
    std::lock_guard lock(state_->mutex);
    state_->tapFormat = format;
    for (const auto& listener : state_->listeners)
      if (listener.address.mSelector == kAudioTapPropertyFormat) targets.push_back(listener);
  }
  std::size_t ran = 0;
  for (const auto& target : targets) {
    runAndWait(target.queue, [&] {
      std::lock_guard delivering(state_->listenerDelivery);
      {
        std::lock_guard lock(state_->mutex);
        const bool registered =
            std::any_of(state_->listeners.begin(), state_->listeners.end(),
                        [&](const State::Listener& l) { return l.block == target.block; });
        if (!registered) return;
      }
      const AudioObjectPropertyAddress changed = target.address;
      (*target.block)(1, &changed);
      ++ran;
    });
  }
  return ran;
}

std::size_t ScriptedBackend::deliverInputBuffer(const AVAudioPCMBuffer& buffer) {
  std::size_t delivered = 0;
  for (const auto& engine : liveEngines(*state_)) delivered += deliverToEngine(*engine, buffer);
  return delivered;
}

void ScriptedBackend::postEngineConfigurationChange() {
  for (const auto& engine : liveEngines(*state_)) postConfigurationChange(*engine);
}

// ---- AudioBackend: queries

bool ScriptedBackend::supportsProcessTaps() {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("systemSupportsProcessTaps", "");
  return state_->supportsProcessTaps;
}

AVAuthorizationStatus ScriptedBackend::microphoneAuthorizationStatus() {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("AVCaptureDevice.authorizationStatusForAudio", "");
  return state_->authorization;
}

OSStatus ScriptedBackend::getPropertyData(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          std::uint32_t qualifierSize, const void* qualifier,
                                          std::uint32_t* ioDataSize, void* outData) {
  std::lock_guard lock(state_->mutex);
  std::string args = std::to_string(object) + ", " + addressText(address) + ", ";
  if (qualifierSize == sizeof(std::int32_t) && qualifier) {
    std::int32_t value;
    std::memcpy(&value, qualifier, sizeof value);
    args += "qualifier=" + std::to_string(value);
  } else {
    args += "qualifier=" + std::to_string(qualifierSize) + " bytes";
  }
  args += ", size=" + std::to_string(*ioDataSize);
  state_->recordLocked("AudioObjectGetPropertyData", std::move(args));

  PropertyAnswer answer;
  auto queued = state_->propertyAnswers.find(address.mSelector);
  if (queued != state_->propertyAnswers.end() && !queued->second.empty()) {
    answer = queued->second.front();
    queued->second.pop_front();
  }
  if (answer.status != noErr) return answer.status;
  if (address.mScope != kAudioObjectPropertyScopeGlobal ||
      address.mElement != kAudioObjectPropertyElementMain)
    return kAudioHardwareUnknownPropertyError;

  auto writeObject = [&](AudioObjectID value) {
    if (*ioDataSize < sizeof value) return kAudioHardwareBadPropertySizeError;
    std::memcpy(outData, &value, sizeof value);
    *ioDataSize = sizeof value;
    return noErr;
  };

  switch (address.mSelector) {
    case kAudioHardwarePropertyTranslatePIDToProcessObject: {
      if (object != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
      if (qualifierSize != sizeof(std::int32_t) || !qualifier)
        return kAudioHardwareBadPropertySizeError;
      std::int32_t pid;
      std::memcpy(&pid, qualifier, sizeof pid);
      const auto known = state_->processObjects.find(pid);
      return writeObject(answer.object.value_or(
          known == state_->processObjects.end() ? kAudioObjectUnknown : known->second));
    }
    case kAudioHardwarePropertyDefaultOutputDevice:
      if (object != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
      return writeObject(answer.object.value_or(state_->defaultOutputDevice));
    case kAudioHardwarePropertyDefaultInputDevice:
      if (object != kAudioObjectSystemObject) return kAudioHardwareBadObjectError;
      return writeObject(answer.object.value_or(state_->defaultInputDevice));
    case kAudioDevicePropertyDeviceUID: {
      CFStringRef uid = nullptr;
      if (answer.uid) {
        if (*answer.uid) uid = &state_->strings.emplace_back(**answer.uid);
      } else {
        const auto known = state_->deviceUIDs.find(object);
        if (known == state_->deviceUIDs.end()) return kAudioHardwareBadObjectError;
        uid = &state_->strings.emplace_back(known->second);
      }
      if (*ioDataSize < sizeof uid) return kAudioHardwareBadPropertySizeError;
      std::memcpy(outData, &uid, sizeof uid);
      *ioDataSize = sizeof uid;
      return noErr;
    }
    case kAudioTapPropertyFormat: {
      if (!state_->taps.contains(object)) return kAudioHardwareBadObjectError;
      const AudioStreamBasicDescription format = answer.format.value_or(state_->tapFormat);
      if (*ioDataSize < sizeof format) return kAudioHardwareBadPropertySizeError;
      std::memcpy(outData, &format, sizeof format);
      *ioDataSize = sizeof format;
      return noErr;
    }
    default:
      return kAudioHardwareUnknownPropertyError;
  }
}

// ---- AudioBackend: taps and aggregate devices

OSStatus ScriptedBackend::createProcessTap(const CATapDescription& description,
                                           AudioObjectID* outTapID) {
  std::lock_guard lock(state_->mutex);
  harkwell::Value::Array processes;
  std::string processText;
  for (AudioObjectID process : description.processes()) {
    processes.emplace_back(process);
    processText += (processText.empty() ? "" : ",") + std::to_string(process);
  }
  harkwell::Value detail(
      harkwell::Value::Object{{"name", harkwell::Value(description.name())},
                              {"uuid", harkwell::Value(description.UUID().UUIDString())},
                              {"private", harkwell::Value(description.isPrivate())},
                              {"mono", harkwell::Value(description.isMono())},
                              {"exclusive", harkwell::Value(description.isExclusive())},
                              {"processes", harkwell::Value(processes)}});
  state_->lastTapDescription = detail;
  state_->recordLocked(
      "AudioHardwareCreateProcessTap",
      "name=" + description.name() + ", private=" + (description.isPrivate() ? "true" : "false") +
          ", mono=" + (description.isMono() ? "true" : "false") + ", exclusive=" +
          (description.isExclusive() ? "true" : "false") + ", processes=[" + processText + "]",
      std::move(detail));
  const Answer answer = state_->takeAnswer("AudioHardwareCreateProcessTap").value_or(Answer{});
  if (answer.status != noErr) {
    if (answer.object) *outTapID = static_cast<AudioObjectID>(*answer.object);
    return answer.status;
  }
  const auto tap = answer.object ? static_cast<AudioObjectID>(*answer.object) : state_->nextTap++;
  if (tap != 0) state_->taps.insert(tap);
  *outTapID = tap;
  return noErr;
}

OSStatus ScriptedBackend::destroyProcessTap(AudioObjectID tapID) {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("AudioHardwareDestroyProcessTap", std::to_string(tapID));
  const Answer answer = state_->takeAnswer("AudioHardwareDestroyProcessTap").value_or(Answer{});
  if (answer.status != noErr) return answer.status;
  return state_->taps.erase(tapID) ? noErr : kAudioHardwareBadObjectError;
}

OSStatus ScriptedBackend::createAggregateDevice(const harkwell::Value::Object& description,
                                                AudioObjectID* outDeviceID) {
  std::lock_guard lock(state_->mutex);
  std::string keys;
  for (const auto& [key, value] : description) keys += (keys.empty() ? "" : ",") + key;
  state_->lastAggregateDescription = description;
  state_->recordLocked("AudioHardwareCreateAggregateDevice", "keys=" + keys,
                       harkwell::Value(description));
  const Answer answer = state_->takeAnswer("AudioHardwareCreateAggregateDevice").value_or(Answer{});
  if (answer.status != noErr) {
    if (answer.object) *outDeviceID = static_cast<AudioObjectID>(*answer.object);
    return answer.status;
  }
  const auto device =
      answer.object ? static_cast<AudioObjectID>(*answer.object) : state_->nextDevice++;
  if (device != 0) state_->aggregateDevices.insert(device);
  *outDeviceID = device;
  return noErr;
}

OSStatus ScriptedBackend::destroyAggregateDevice(AudioObjectID deviceID) {
  {
    std::lock_guard lock(state_->mutex);
    state_->recordLocked("AudioHardwareDestroyAggregateDevice", std::to_string(deviceID));
    const Answer answer =
        state_->takeAnswer("AudioHardwareDestroyAggregateDevice").value_or(Answer{});
    if (answer.status != noErr) return answer.status;
    if (!state_->aggregateDevices.erase(deviceID)) return kAudioHardwareBadDeviceError;
    std::erase_if(state_->ioProcs,
                  [&](const auto& entry) { return entry.second.device == deviceID; });
  }
  // A cycle of one of its procedures may be running: wait for it.
  std::lock_guard waitForCycle(state_->ioDelivery);
  return noErr;
}

// ---- AudioBackend: listeners

OSStatus ScriptedBackend::addPropertyListener(AudioObjectID object,
                                              const AudioObjectPropertyAddress& address,
                                              const std::shared_ptr<DispatchQueue>& queue,
                                              const AudioObjectPropertyListenerBlockRef& listener) {
  std::lock_guard lock(state_->mutex);
  auto [entry, added] = state_->listenerNumbers.try_emplace(
      listener.get(), static_cast<int>(state_->listenerNumbers.size()) + 1);
  state_->recordLocked("AudioObjectAddPropertyListenerBlock",
                       std::to_string(object) + ", " + addressText(address) + ", " +
                           queueText(queue) + ", listener=#" + std::to_string(entry->second));
  const Answer answer =
      state_->takeAnswer("AudioObjectAddPropertyListenerBlock").value_or(Answer{});
  if (answer.status != noErr) return answer.status;
  if (!state_->taps.contains(object)) return kAudioHardwareBadObjectError;
  state_->listeners.push_back({object, address, queue, listener});
  return noErr;
}

OSStatus ScriptedBackend::removePropertyListener(
    AudioObjectID object, const AudioObjectPropertyAddress& address,
    const std::shared_ptr<DispatchQueue>& queue,
    const AudioObjectPropertyListenerBlockRef& listener) {
  {
    std::lock_guard lock(state_->mutex);
    const auto number = state_->listenerNumbers.find(listener.get());
    state_->recordLocked(
        "AudioObjectRemovePropertyListenerBlock",
        std::to_string(object) + ", " + addressText(address) + ", " + queueText(queue) +
            ", listener=" +
            (number == state_->listenerNumbers.end() ? "unknown"
                                                     : "#" + std::to_string(number->second)));
    const Answer answer =
        state_->takeAnswer("AudioObjectRemovePropertyListenerBlock").value_or(Answer{});
    if (answer.status != noErr) return answer.status;
    const auto found = std::find_if(state_->listeners.begin(), state_->listeners.end(),
                                    [&](const State::Listener& l) {
                                      return l.object == object && l.address == address &&
                                             l.queue == queue && l.block == listener;
                                    });
    if (found == state_->listeners.end()) return kAudioHardwareBadObjectError;
    state_->listeners.erase(found);
  }
  if (!queue || !queue->isCurrent()) std::lock_guard waitForListener(state_->listenerDelivery);
  return noErr;
}

// ---- AudioBackend: I/O procedures

OSStatus ScriptedBackend::createIOProcID(std::optional<AudioDeviceIOProcID>* outIOProcID,
                                         AudioObjectID device,
                                         const std::shared_ptr<DispatchQueue>& queue,
                                         AudioDeviceIOBlock block) {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("AudioDeviceCreateIOProcIDWithBlock",
                       std::to_string(device) + ", " + queueText(queue));
  const Answer answer = state_->takeAnswer("AudioDeviceCreateIOProcIDWithBlock").value_or(Answer{});
  if (answer.status != noErr) return answer.status;
  if (!state_->aggregateDevices.contains(device)) return kAudioHardwareBadDeviceError;
  // An answer with identifier 0 stands for a success that gives no identifier.
  if (answer.object && *answer.object == 0) return noErr;
  const AudioDeviceIOProcID id = answer.object.value_or(state_->nextProc++);
  state_->ioProcs[id] =
      State::IOProc{device, queue, std::make_shared<AudioDeviceIOBlock>(std::move(block))};
  *outIOProcID = id;
  return noErr;
}

OSStatus ScriptedBackend::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("AudioDeviceStart", std::to_string(device) + ", " + std::to_string(procID));
  const Answer answer = state_->takeAnswer("AudioDeviceStart").value_or(Answer{});
  if (answer.status != noErr) return answer.status;
  auto found = state_->ioProcs.find(procID);
  if (found == state_->ioProcs.end() || found->second.device != device)
    return kAudioHardwareBadDeviceError;
  found->second.started = true;
  return noErr;
}

OSStatus ScriptedBackend::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::shared_ptr<DispatchQueue> queue;
  {
    std::lock_guard lock(state_->mutex);
    state_->recordLocked("AudioDeviceStop", std::to_string(device) + ", " + std::to_string(procID));
    const Answer answer = state_->takeAnswer("AudioDeviceStop").value_or(Answer{});
    if (answer.status != noErr) return answer.status;
    auto found = state_->ioProcs.find(procID);
    if (found == state_->ioProcs.end() || found->second.device != device)
      return kAudioHardwareBadDeviceError;
    found->second.started = false;
    queue = found->second.queue;
  }
  // No cycle runs once the device has stopped: wait for one in progress.
  if (!queue || !queue->isCurrent()) std::lock_guard waitForCycle(state_->ioDelivery);
  return noErr;
}

OSStatus ScriptedBackend::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  std::lock_guard lock(state_->mutex);
  state_->recordLocked("AudioDeviceDestroyIOProcID",
                       std::to_string(device) + ", " + std::to_string(procID));
  const Answer answer = state_->takeAnswer("AudioDeviceDestroyIOProcID").value_or(Answer{});
  if (answer.status != noErr) return answer.status;
  auto found = state_->ioProcs.find(procID);
  if (found == state_->ioProcs.end() || found->second.device != device)
    return kAudioHardwareBadDeviceError;
  state_->ioProcs.erase(found);
  return noErr;
}

// ---- AudioBackend: engines and converters

std::shared_ptr<AVAudioEngine> ScriptedBackend::makeEngine() {
  state_->record("AVAudioEngine.make", "");
  return makeScriptedEngine(state_);
}

std::shared_ptr<AVAudioConverter> ScriptedBackend::makeConverter(const AVAudioFormat& from,
                                                                 const AVAudioFormat& to) {
  ConverterScript script;
  {
    std::lock_guard lock(state_->mutex);
    if (!state_->converters.empty()) {
      script = state_->converters.front();
      state_->converters.pop_front();
    } else {
      script = state_->defaultConverter;
    }
    state_->recordLocked("AVAudioConverter.make", formatText(from) + " -> " + formatText(to));
  }
  switch (script.kind) {
    case ConverterScript::Kind::resampling:
      return AudioBackend::makeConverter(from, to);
    case ConverterScript::Kind::none:
      return nullptr;
    default:
      return makeScriptedConverter(state_, from, to, std::move(script));
  }
}

}  // namespace platform::scripted
