// SPDX-License-Identifier: MIT
#include "MicCapture.h"

#include <cmath>
#include <utility>

#include "HarkwellCore/Protocol.h"
#include "NumberFormat.h"
#include "ObjCException/ObjCException.h"

namespace harkwell {

using namespace platform;

namespace {

constexpr AVAudioNodeBus kBus = 0;
constexpr int kAttempts = 6;
constexpr double kDebounceSeconds = 0.3;
constexpr double kRetryStepSeconds = 0.25;
// A flush takes a few calls at most (the converter holds well under a buffer); bounded all
// the same.
constexpr int kFlushRounds = 8;

// Output frames for one buffer: frames * (target rate / input rate) + 1024 (slack), cut toward
// zero. None when that is no frame count at all.
std::optional<std::uint32_t> bufferCapacity(std::uint32_t frames, double targetRate,
                                            double inputRate) {
  const double capacity = frames * (targetRate / inputRate) + 1024.0;
  if (!std::isfinite(capacity) || capacity < 0.0 || capacity >= 4294967296.0) return std::nullopt;
  return static_cast<std::uint32_t>(capacity);
}

}  // namespace

std::shared_ptr<MicCapture> MicCapture::make() {
  return std::shared_ptr<MicCapture>(new MicCapture());
}

MicCapture::MicCapture()
    : engine(AVAudioEngine::make()),
      targetFormat(AVAudioCommonFormat::pcmFormatInt16, 16000.0, 1, true),
      output(FrameTag::micPCM, targetFormat, "mic convert") {}

NSError MicCapture::err(const std::string& message) {
  return NSError("MicCapture", 1,
                 Value::Object{{std::string(NSLocalizedDescriptionKey), Value(message)}});
}

void MicCapture::start() {
  const auto authorization = AVCaptureDevice::authorizationStatusForAudio();
  if (authorization != AVAuthorizationStatus::authorized) {
    Log::error(
        "microphone not authorized (status=" + std::to_string(static_cast<int>(authorization)) +
        ") \u2014 capture may be silent; grant Microphone access in System Settings "
        "\u2192 Privacy & Security");
  }

  // The observer is registered whether or not the first build succeeds: a microphone that is
  // missing at start (none plugged in yet) comes up through the rebuild once one appears.
  // The failure is still reported to the caller.
  auto observe = [this] {
    const std::weak_ptr<MicCapture> weakSelf = weak_from_this();
    auto token = NotificationCenter::defaultCenter().addObserver(
        AVAudioEngineConfigurationChangeNotification, engine.get(), DispatchQueue::main(),
        [weakSelf] {
          if (auto self = weakSelf.lock()) self->handleConfigChange();
        });
    std::lock_guard lock(lifecycle);
    configObserver = std::move(token);
  };
  try {
    buildAndStart("started");
  } catch (const NSError&) {
    observe();
    throw;
  }
  observe();
}

void MicCapture::buildAndStart(const std::string& label) {
  AVAudioInputNode& input = engine->inputNode();
  if (engine->isRunning()) engine->stop();
  input.removeTapOnBus(kBus);
  flushConverter();

  const AVAudioFormat inputFormat = input.outputFormatForBus(kBus);
  if (!(inputFormat.sampleRate() > 0)) throw err("No microphone input available (sr=0)");

  auto newConverter = AVAudioConverter::make(inputFormat, targetFormat);
  if (!newConverter) throw err("Could not build mic AVAudioConverter");

  // 100 ms of input; a rate too large for a 32-bit count leaves the size to the engine.
  const double tenth = inputFormat.sampleRate() / 10.0;
  const auto bufferSize = tenth < 4294967296.0 ? static_cast<std::uint32_t>(tenth) : 0u;

  const std::weak_ptr<MicCapture> weakSelf = weak_from_this();
  runCatchingObjCException([&] {
    input.installTapOnBus(kBus, bufferSize, inputFormat,
                          [weakSelf](const AVAudioPCMBuffer& buffer, const AVAudioTime&) {
                            if (auto self = weakSelf.lock()) self->handle(buffer);
                          });
  });

  converter = std::move(newConverter);

  try {
    runCatchingObjCException([&] {
      std::optional<NSError> startError;
      if (!engine->startAndReturnError(&startError)) {
        if (startError) throw *startError;
        throw NSError("AVAudioEngine", 0,
                      Value::Object{{std::string(NSLocalizedDescriptionKey),
                                     Value("The audio engine could not be started")}});
      }
    });
  } catch (const NSError&) {
    input.removeTapOnBus(kBus);
    throw;
  }

  Log::info("MicCapture " + label + " (input sr=" + formatDouble(inputFormat.sampleRate()) +
            " ch=" + std::to_string(inputFormat.channelCount()) + ")");
}

void MicCapture::handle(const AVAudioPCMBuffer& buffer) {
  const std::shared_ptr<AVAudioConverter> bufferConverter = converter;
  if (!bufferConverter) return;

  const auto capacity =
      bufferCapacity(buffer.frameLength(), targetFormat.sampleRate(), buffer.format().sampleRate());
  if (!capacity) return;
  (void)output.convertAndWrite(*bufferConverter, *capacity, buffer);
}

void MicCapture::flushConverter() {
  // What the converter still holds of the input it was given (its filter's delay) goes out
  // before it is replaced, so a rebuild keeps every word spoken before it.
  const std::shared_ptr<AVAudioConverter> old = std::exchange(converter, nullptr);
  if (!old) return;
  auto ended = [](std::uint32_t,
                  AVAudioConverterInputStatus* inputStatus) -> const AVAudioPCMBuffer* {
    *inputStatus = AVAudioConverterInputStatus::endOfStream;
    return nullptr;
  };
  for (int i = 0; i < kFlushRounds; ++i)
    if (output.convertAndWrite(*old, 1024, ended) != AVAudioConverterOutputStatus::haveData) break;
}

void MicCapture::stop() {
  NotificationCenter::ObserverToken observer;
  {
    // Waits for a configuration change or rebuild in progress; none starts after this block.
    std::lock_guard lock(lifecycle);
    stopped = true;
    if (pendingReconfig) {
      pendingReconfig->cancel();
      pendingReconfig.reset();
    }
    observer = std::exchange(configObserver, nullptr);
  }
  // Outside the lock: an observer block in progress may be waiting for it.
  if (observer) NotificationCenter::defaultCenter().removeObserver(observer);
  engine->inputNode().removeTapOnBus(kBus);
  if (engine->isRunning()) engine->stop();
  Log::info("MicCapture stopped");
}

void MicCapture::handleConfigChange() {
  std::lock_guard lock(lifecycle);
  if (stopped) return;
  const std::int64_t gen = ++reconfigGen;
  if (pendingReconfig) pendingReconfig->cancel();

  const std::weak_ptr<MicCapture> weakSelf = weak_from_this();
  pendingReconfig = std::make_shared<DispatchWorkItem>([weakSelf, gen] {
    if (auto self = weakSelf.lock()) self->reconfigure(0, gen);
  });
  DispatchQueue::main()->asyncAfter(DispatchTime::now() + kDebounceSeconds, pendingReconfig);
}

void MicCapture::reconfigure(std::int64_t attempt, std::int64_t gen) {
  std::lock_guard lock(lifecycle);
  if (stopped || gen != reconfigGen) return;

  std::string description;
  try {
    buildAndStart("reconfigured");
    return;
  } catch (const NSError& e) {
    description = e.localizedDescription();
  }

  const std::int64_t n = attempt + 1;
  if (n >= kAttempts) {
    Log::error("MicCapture reconfigure gave up after 6 attempts: " + description +
               " \u2014 mic capture inactive until the next input-device change");
    return;
  }
  const double delay = kRetryStepSeconds * static_cast<double>(n);
  Log::error("MicCapture reconfigure failed (attempt " + std::to_string(n) + "/6): " + description +
             " \u2014 retrying in " + formatDouble(delay) + "s");

  const std::weak_ptr<MicCapture> weakSelf = weak_from_this();
  DispatchQueue::main()->asyncAfter(DispatchTime::now() + delay, [weakSelf, attempt, gen] {
    if (auto self = weakSelf.lock()) self->reconfigure(attempt + 1, gen);
  });
}

}  // namespace harkwell
