// SPDX-License-Identifier: MIT
// The installed backend and the calls of the audio frameworks that forward to it.
#include "Platform/AudioBackend.h"

#include <atomic>

#include "Platform/backends/unavailable/UnavailableBackend.h"

namespace platform {

namespace {

// Until a backend is installed, and when none could be made, the platform answers as a machine
// without an audio system. Never destroyed: capture threads may reach it until exit.
AudioBackend& unavailableBackend() {
  static AudioBackend* const backend = new UnavailableBackend();
  return *backend;
}

std::atomic<AudioBackend*> installedBackend{nullptr};

}  // namespace

AudioBackend& audioBackend() {
  AudioBackend* backend = installedBackend.load(std::memory_order_acquire);
  return backend ? *backend : unavailableBackend();
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
