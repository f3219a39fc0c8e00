// SPDX-License-Identifier: MIT
#include "CoreAudioTap.h"

#include <unistd.h>

#include <cmath>
#include <utility>

#include "HarkwellCore/Protocol.h"
#include "NumberFormat.h"

namespace harkwell {

using namespace platform;

namespace {

constexpr AudioObjectPropertyAddress address(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

constexpr AudioObjectPropertyAddress kTapFormatAddress = address(kAudioTapPropertyFormat);

NSError tapError(std::int64_t code, std::string text) {
  return NSError("CoreAudioTap", code,
                 Value::Object{{std::string(NSLocalizedDescriptionKey), Value(std::move(text))}});
}

std::string statusText(std::string_view call, OSStatus status) {
  return std::string(call) + " failed (status=" + std::to_string(status) + ")";
}

// Output frames for one cycle: target rate / input rate * frames + 1024 (slack), cut toward
// zero. None when that is no frame count at all, as with an input rate of 0.
std::optional<std::uint32_t> cycleCapacity(double targetRate, double inputRate,
                                           std::uint32_t frames) {
  const double capacity = targetRate / inputRate * frames + 1024.0;
  if (!std::isfinite(capacity) || capacity < 0.0 || capacity >= 4294967296.0) return std::nullopt;
  return static_cast<std::uint32_t>(capacity);
}

// Formats that describe the same buffers. The rate and the channel count are not enough: a
// change of sample type or layout alone would make every later cycle misread.
bool sameLayout(const AVAudioFormat& a, const AVAudioFormat& b) {
  return a.sampleRate() == b.sampleRate() && a.channelCount() == b.channelCount() &&
         a.commonFormat() == b.commonFormat() && a.isInterleaved() == b.isInterleaved();
}

}  // namespace

std::shared_ptr<CoreAudioTap> CoreAudioTap::make() {
  return std::shared_ptr<CoreAudioTap>(new CoreAudioTap());
}

CoreAudioTap::CoreAudioTap()
    : targetFormat(AVAudioCommonFormat::pcmFormatInt16, 16000.0, 1, true),
      ioQueue(DispatchQueue::makeSerial("quillet.velto.coreaudio.tap")),
      output(FrameTag::tapPCM, targetFormat, "tap convert") {}

std::optional<AudioObjectID> CoreAudioTap::processObject(std::int32_t pid) {
  const auto where = address(kAudioHardwarePropertyTranslatePIDToProcessObject);
  AudioObjectID object = 0;
  std::uint32_t size = sizeof(object);
  const OSStatus status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &where, sizeof(pid),
                                                     &pid, &size, &object);
  if (status != noErr || object == 0) return std::nullopt;
  return object;
}

std::optional<std::string> CoreAudioTap::defaultOutputDeviceUID() {
  const auto outputWhere = address(kAudioHardwarePropertyDefaultOutputDevice);
  AudioObjectID device = 0;
  std::uint32_t size = sizeof(device);
  OSStatus status = AudioObjectGetPropertyData(kAudioObjectSystemObject, &outputWhere, 0, nullptr,
                                               &size, &device);
  if (status != noErr || device == 0) return std::nullopt;

  const auto uidWhere = address(kAudioDevicePropertyDeviceUID);
  CFStringRef uid = nullptr;
  size = sizeof(uid);
  status = AudioObjectGetPropertyData(device, &uidWhere, 0, nullptr, &size, &uid);
  // A success without a string is no UID either.
  if (status != noErr || uid == nullptr) return std::nullopt;
  return *uid;
}

std::optional<AVAudioFormat> CoreAudioTap::tapStreamFormat(AudioObjectID tap) {
  AudioStreamBasicDescription description{};
  std::uint32_t size = sizeof(description);
  const OSStatus status =
      AudioObjectGetPropertyData(tap, &kTapFormatAddress, 0, nullptr, &size, &description);
  if (status != noErr) {
    Log::error("kAudioTapPropertyFormat read failed (status=" + std::to_string(status) + ")");
    return std::nullopt;
  }
  return AVAudioFormat::fromStreamDescription(description);
}

void CoreAudioTap::start() {
  std::vector<AudioObjectID> excluded;
  if (auto parent = processObject(static_cast<std::int32_t>(getppid())))
    excluded.push_back(*parent);

  auto description = CATapDescription::monoGlobalTapButExcludeProcesses(std::move(excluded));
  description->setName("Quillet System Audio Tap");
  description->setUUID(NSUUID());
  description->setPrivate(true);

  AudioObjectID newTap = 0;
  OSStatus status = AudioHardwareCreateProcessTap(description.get(), &newTap);
  if (status != noErr || newTap == 0)
    throw tapError(status, statusText("AudioHardwareCreateProcessTap", status));
  tapID = newTap;

  const auto outputUID = defaultOutputDeviceUID();
  if (!outputUID) {
    cleanupTap();
    throw tapError(-2, "No default output device for aggregate clock");
  }

  const Value::Object aggregateDescription{
      {kAudioAggregateDeviceNameKey, Value("Quillet-Tap-" + std::to_string(getpid()))},
      {kAudioAggregateDeviceUIDKey, Value(NSUUID().UUIDString())},
      {kAudioAggregateDeviceMainSubDeviceKey, Value(*outputUID)},
      {kAudioAggregateDeviceIsPrivateKey, Value(true)},
      {kAudioAggregateDeviceIsStackedKey, Value(false)},
      {kAudioAggregateDeviceTapAutoStartKey, Value(true)},
      {kAudioAggregateDeviceSubDeviceListKey,
       Value(Value::Array{Value(Value::Object{{kAudioSubDeviceUIDKey, Value(*outputUID)}})})},
      {kAudioAggregateDeviceTapListKey,
       Value(Value::Array{
           Value(Value::Object{{kAudioSubTapDriftCompensationKey, Value(true)},
                               {kAudioSubTapUIDKey, Value(description->UUID().UUIDString())}})})},
  };

  AudioObjectID newDevice = 0;
  status = AudioHardwareCreateAggregateDevice(aggregateDescription, &newDevice);
  if (status != noErr || newDevice == 0) {
    cleanupTap();
    throw tapError(status, statusText("AudioHardwareCreateAggregateDevice", status));
  }
  aggregateID = newDevice;

  auto format = tapStreamFormat(tapID);
  if (!format) {
    AudioHardwareDestroyAggregateDevice(aggregateID);
    aggregateID = 0;
    cleanupTap();
    throw tapError(-3, "Could not read tap stream format");
  }
  inputFormat = format;

  converter = AVAudioConverter::make(*inputFormat, targetFormat);
  if (!converter) {
    AudioHardwareDestroyAggregateDevice(aggregateID);
    aggregateID = 0;
    cleanupTap();
    throw tapError(-4, "Could not build tap AVAudioConverter");
  }
  // From the listener's registration on, ioQueue owns inputFormat and converter; the start line
  // reports the format that start() read.
  const double startRate = inputFormat->sampleRate();
  const std::uint32_t startChannels = inputFormat->channelCount();

  const std::weak_ptr<CoreAudioTap> weakSelf = weak_from_this();
  formatListener = std::make_shared<const AudioObjectPropertyListenerBlock>(
      [weakSelf](std::uint32_t, const AudioObjectPropertyAddress*) {
        if (auto self = weakSelf.lock()) self->rebuildConverterForCurrentTapFormat();
      });
  AudioObjectAddPropertyListenerBlock(tapID, &kTapFormatAddress, ioQueue, formatListener);

  std::optional<AudioDeviceIOProcID> newProc;
  status = AudioDeviceCreateIOProcIDWithBlock(
      &newProc, aggregateID, ioQueue,
      [weakSelf](const AudioTimeStamp*, const AudioBufferList* inInputData, const AudioTimeStamp*,
                 AudioBufferList*, const AudioTimeStamp*) {
        if (auto self = weakSelf.lock()) self->process(inInputData);
      });
  if (status != noErr || !newProc) {
    AudioHardwareDestroyAggregateDevice(aggregateID);
    aggregateID = 0;
    cleanupTap();
    throw tapError(status, statusText("AudioDeviceCreateIOProcIDWithBlock", status));
  }
  ioProcID = newProc;

  status = AudioDeviceStart(aggregateID, *ioProcID);
  if (status != noErr) {
    aggregateTeardown();
    cleanupTap();
    throw tapError(status, statusText("AudioDeviceStart", status));
  }

  Log::info("CoreAudio tap started (input sr=" + formatDouble(startRate) +
            " ch=" + std::to_string(startChannels) + ")");
}

void CoreAudioTap::aggregateTeardown() {
  if (aggregateID == 0) return;
  if (ioProcID) {
    AudioDeviceStop(aggregateID, *ioProcID);
    AudioDeviceDestroyIOProcID(aggregateID, *ioProcID);
    ioProcID.reset();
  }
  AudioHardwareDestroyAggregateDevice(aggregateID);
  aggregateID = 0;
}

void CoreAudioTap::cleanupTap() {
  const AudioObjectID tap = tapID;
  if (tap == 0) return;
  if (formatListener) {
    AudioObjectRemovePropertyListenerBlock(tap, &kTapFormatAddress, ioQueue, formatListener);
    formatListener.reset();
  }
  AudioHardwareDestroyProcessTap(tap);
  tapID = 0;
}

void CoreAudioTap::stop() {
  if (stopped.exchange(true)) return;
  if (systemSupportsProcessTaps()) {
    aggregateTeardown();
    cleanupTap();
  }
  Log::info("CoreAudio tap stopped");
}

void CoreAudioTap::process(const AudioBufferList* inputData) {
  const std::optional<AVAudioFormat> format = inputFormat;
  const std::shared_ptr<AVAudioConverter> cycleConverter = converter;
  if (!format || !cycleConverter) return;

  // The view over the cycle's input is made once per format and pointed at each new cycle.
  if (!(cycleInput && cycleInput->format() == *format && cycleInput->rebindNoCopy(inputData))) {
    cycleInput = AVAudioPCMBuffer::makeNoCopy(*format, inputData);
    if (!cycleInput) return;
  }
  const std::uint32_t frames = cycleInput->frameLength();
  if (frames == 0) return;

  const auto capacity = cycleCapacity(targetFormat.sampleRate(), format->sampleRate(), frames);
  if (!capacity) return;
  (void)output.convertAndWrite(*cycleConverter, *capacity, *cycleInput);
}

void CoreAudioTap::rebuildConverterForCurrentTapFormat() {
  if (stopped) return;
  const auto format = tapStreamFormat(tapID);
  if (!format) return;
  if (inputFormat && sameLayout(*inputFormat, *format)) return;

  auto rebuilt = AVAudioConverter::make(*format, targetFormat);
  if (!rebuilt) {
    Log::error("tap reconfigure: could not rebuild converter for sr=" +
               formatDouble(format->sampleRate()));
    return;
  }
  inputFormat = format;
  converter = std::move(rebuilt);
  Log::info("CoreAudio tap reconfigured (input sr=" + formatDouble(format->sampleRate()) +
            " ch=" + std::to_string(format->channelCount()) + ")");
}

}  // namespace harkwell
