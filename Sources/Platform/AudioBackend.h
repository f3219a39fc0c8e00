// SPDX-License-Identifier: MIT
// The seam between the platform layer's audio calls and the system that answers them.
//
// A backend answers every hardware-layer call, makes audio engines and reports the
// microphone authorization. The program installs one backend before capture starts; it must
// outlive every capture thread (the program never destroys it).
#pragma once

#include <memory>
#include <optional>
#include <string_view>

#include "Platform/avfaudio/AVFAudio.h"
#include "Platform/coreaudio/CoreAudio.h"

namespace platform {

class AudioBackend {
 public:
  virtual ~AudioBackend() = default;

  virtual bool supportsProcessTaps() = 0;
  virtual AVAuthorizationStatus microphoneAuthorizationStatus() = 0;

  virtual OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                   std::uint32_t qualifierSize, const void* qualifier,
                                   std::uint32_t* ioDataSize, void* outData) = 0;
  virtual OSStatus createProcessTap(const CATapDescription& description,
                                    AudioObjectID* outTapID) = 0;
  virtual OSStatus destroyProcessTap(AudioObjectID tapID) = 0;
  virtual OSStatus createAggregateDevice(const harkwell::Value::Object& description,
                                         AudioObjectID* outDeviceID) = 0;
  virtual OSStatus destroyAggregateDevice(AudioObjectID deviceID) = 0;
  virtual OSStatus addPropertyListener(AudioObjectID object,
                                       const AudioObjectPropertyAddress& address,
                                       const std::shared_ptr<DispatchQueue>& queue,
                                       const AudioObjectPropertyListenerBlockRef& listener) = 0;
  virtual OSStatus removePropertyListener(AudioObjectID object,
                                          const AudioObjectPropertyAddress& address,
                                          const std::shared_ptr<DispatchQueue>& queue,
                                          const AudioObjectPropertyListenerBlockRef& listener) = 0;
  virtual OSStatus createIOProcID(std::optional<AudioDeviceIOProcID>* outIOProcID,
                                  AudioObjectID device, const std::shared_ptr<DispatchQueue>& queue,
                                  AudioDeviceIOBlock block) = 0;
  virtual OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) = 0;
  virtual OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) = 0;

  virtual std::shared_ptr<AVAudioEngine> makeEngine() = 0;
  // The resampling converter unless the backend scripts another.
  virtual std::shared_ptr<AVAudioConverter> makeConverter(const AVAudioFormat& from,
                                                          const AVAudioFormat& to) {
    return makeResamplingConverter(from, to);
  }
};

// The installed backend. Installing one is done once, before capture starts.
AudioBackend& audioBackend();
void setAudioBackend(AudioBackend* backend);  // not owned; never destroyed by the layer

// The answers of a machine without an audio system, used until a backend is installed and
// when none could be made (backends/unavailable). Never destroyed.
AudioBackend& noAudioSystem();

}  // namespace platform
