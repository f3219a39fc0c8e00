// SPDX-License-Identifier: MIT
// The hardware-layer calls, each forwarded to the installed backend.
#include "Platform/coreaudio/CoreAudio.h"

#include "Platform/AudioBackend.h"

namespace platform {

std::shared_ptr<CATapDescription> CATapDescription::monoGlobalTapButExcludeProcesses(
    std::vector<AudioObjectID> processes) {
  return std::shared_ptr<CATapDescription>(new CATapDescription(std::move(processes)));
}

OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    std::uint32_t inQualifierDataSize, const void* inQualifierData,
                                    std::uint32_t* ioDataSize, void* outData) {
  if (!inAddress || !ioDataSize || !outData) return kAudioHardwareIllegalOperationError;
  return audioBackend().getPropertyData(inObjectID, *inAddress, inQualifierDataSize,
                                        inQualifierData, ioDataSize, outData);
}

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* inDescription,
                                       AudioObjectID* outTapID) {
  if (!inDescription || !outTapID) return kAudioHardwareIllegalOperationError;
  return audioBackend().createProcessTap(*inDescription, outTapID);
}

OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID) {
  return audioBackend().destroyProcessTap(inTapID);
}

OSStatus AudioHardwareCreateAggregateDevice(const harkwell::Value::Object& inDescription,
                                            AudioObjectID* outDeviceID) {
  if (!outDeviceID) return kAudioHardwareIllegalOperationError;
  return audioBackend().createAggregateDevice(inDescription, outDeviceID);
}

OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID) {
  return audioBackend().destroyAggregateDevice(inDeviceID);
}

OSStatus AudioObjectAddPropertyListenerBlock(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
    const std::shared_ptr<DispatchQueue>& inDispatchQueue,
    const AudioObjectPropertyListenerBlockRef& inListener) {
  if (!inAddress || !inListener) return kAudioHardwareIllegalOperationError;
  return audioBackend().addPropertyListener(inObjectID, *inAddress, inDispatchQueue, inListener);
}

OSStatus AudioObjectRemovePropertyListenerBlock(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
    const std::shared_ptr<DispatchQueue>& inDispatchQueue,
    const AudioObjectPropertyListenerBlockRef& inListener) {
  if (!inAddress || !inListener) return kAudioHardwareIllegalOperationError;
  return audioBackend().removePropertyListener(inObjectID, *inAddress, inDispatchQueue, inListener);
}

OSStatus AudioDeviceCreateIOProcIDWithBlock(std::optional<AudioDeviceIOProcID>* outIOProcID,
                                            AudioObjectID inDevice,
                                            const std::shared_ptr<DispatchQueue>& inDispatchQueue,
                                            AudioDeviceIOBlock inIOBlock) {
  if (!outIOProcID || !inIOBlock) return kAudioHardwareIllegalOperationError;
  return audioBackend().createIOProcID(outIOProcID, inDevice, inDispatchQueue,
                                       std::move(inIOBlock));
}

OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
  return audioBackend().deviceStart(inDevice, inProcID);
}

OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
  return audioBackend().deviceStop(inDevice, inProcID);
}

OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inProcID) {
  return audioBackend().destroyIOProcID(inDevice, inProcID);
}

bool systemSupportsProcessTaps() {
  return audioBackend().supportsProcessTaps();
}

}  // namespace platform
