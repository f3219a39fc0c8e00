// SPDX-License-Identifier: MIT
// The installed backend and the calls of the audio frameworks that forward to it.
#include "Platform/AudioBackend.h"

#include <atomic>

namespace platform {

namespace {

std::atomic<AudioBackend*> installedBackend{nullptr};

}  // namespace

AudioBackend& audioBackend() {
  AudioBackend* backend = installedBackend.load(std::memory_order_acquire);
  return backend ? *backend : noAudioSystem();
}

void setAudioBackend(AudioBackend* backend) {
  installedBackend.store(backend, std::memory_order_release);
}

std::shared_ptr<AVAudioEngine> AVAudioEngine::make() {
  return audioBackend().makeEngine();
}

std::shared_ptr<AVAudioConverter> AVAudioConverter::make(const AVAudioFormat& from,
                                                         const AVAudioFormat& to) {
  return audioBackend().makeConverter(from, to);
}

AVAuthorizationStatus AVCaptureDevice::authorizationStatusForAudio() {
  return audioBackend().microphoneAuthorizationStatus();
}

}  // namespace platform
