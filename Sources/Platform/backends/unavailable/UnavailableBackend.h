// SPDX-License-Identifier: MIT
// The answers of a machine without an audio system: no input device, no output device, and
// every hardware object refused with kAudioHardwareNotRunningError. Start-up reports these as
// ordinary failures of both capture paths; nothing here ever produces audio.
// The platform layer falls back on it (noAudioSystem()) when no backend was installed.
#pragma once

#include <memory>
#include <string_view>

#include "Platform/AudioBackend.h"

namespace platform {

class UnavailableBackend final : public AudioBackend {
 public:
  // The library can make process taps; it is the audio server that is missing.
  bool supportsProcessTaps() override { return true; }
  // Nothing asks for permission here; a missing device is reported by the capture paths.
  AVAuthorizationStatus microphoneAuthorizationStatus() override {
    return AVAuthorizationStatus::authorized;
  }

  OSStatus getPropertyData(AudioObjectID, const AudioObjectPropertyAddress&, std::uint32_t,
                           const void*, std::uint32_t*, void*) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus createProcessTap(const CATapDescription&, AudioObjectID*) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus destroyProcessTap(AudioObjectID) override { return kAudioHardwareBadObjectError; }
  OSStatus createAggregateDevice(const harkwell::Value::Object&, AudioObjectID*) override {
    return kAudioHardwareNotRunningError;
  }
  OSStatus destroyAggregateDevice(AudioObjectID) override { return kAudioHardwareBadDeviceError; }
  OSStatus addPropertyListener(AudioObjectID, const AudioObjectPropertyAddress&,
                               const std::shared_ptr<DispatchQueue>&,
                               const AudioObjectPropertyListenerBlockRef&) override {
    return kAudioHardwareBadObjectError;
  }
  OSStatus removePropertyListener(AudioObjectID, const AudioObjectPropertyAddress&,
                                  const std::shared_ptr<DispatchQueue>&,
                                  const AudioObjectPropertyListenerBlockRef&) override {
    return kAudioHardwareBadObjectError;
  }
  OSStatus createIOProcID(std::optional<AudioDeviceIOProcID>*, AudioObjectID,
                          const std::shared_ptr<DispatchQueue>&, AudioDeviceIOBlock) override {
    return kAudioHardwareBadDeviceError;
  }
  OSStatus deviceStart(AudioObjectID, AudioDeviceIOProcID) override {
    return kAudioHardwareBadDeviceError;
  }
  OSStatus deviceStop(AudioObjectID, AudioDeviceIOProcID) override {
    return kAudioHardwareBadDeviceError;
  }
  OSStatus destroyIOProcID(AudioObjectID, AudioDeviceIOProcID) override {
    return kAudioHardwareBadDeviceError;
  }

  std::shared_ptr<AVAudioEngine> makeEngine() override { return std::make_shared<Engine>(); }

 private:
  // An input node without a device: its format has sample rate 0, and a tap is refused.
  class InputNode final : public AVAudioInputNode {
   public:
    void removeTapOnBus(AVAudioNodeBus) override {}
    AVAudioFormat outputFormatForBus(AVAudioNodeBus) override {
      return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 0.0, 1, false);
    }
    void installTapOnBus(AVAudioNodeBus, std::uint32_t, const AVAudioFormat&,
                         AVAudioNodeTapBlock) override {
      throw NSException("com.apple.coreaudio.avfaudio", "no input device");
    }
  };

  class Engine final : public AVAudioEngine {
   public:
    AVAudioInputNode& inputNode() override { return input_; }
    bool isRunning() override { return false; }
    void stop() override {}
    bool startAndReturnError(std::optional<NSError>* outError) override {
      if (outError)
        outError->emplace("com.apple.coreaudio.avfaudio", kAudioHardwareNotRunningError,
                          harkwell::Value::Object{{std::string(NSLocalizedDescriptionKey),
                                                   "No audio system is running"}});
      return false;
    }

   private:
    InputNode input_;
  };
};

}  // namespace platform
