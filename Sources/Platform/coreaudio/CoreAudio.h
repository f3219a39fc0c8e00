// SPDX-License-Identifier: MIT
// The audio hardware layer: property reads, process taps, aggregate devices, I/O procedures and
// property listeners. Each call forwards to the installed AudioBackend (AudioBackend.h).
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "CoreAudioTypes.h"
#include "HarkwellCore/Value.h"
#include "Platform/dispatch/Dispatch.h"
#include "Platform/foundation/Foundation.h"

namespace platform {

// Runs once per I/O cycle on the queue given at registration.
using AudioDeviceIOBlock =
    std::function<void(const AudioTimeStamp* inNow, const AudioBufferList* inInputData,
                       const AudioTimeStamp* inInputTime, AudioBufferList* outOutputData,
                       const AudioTimeStamp* inOutputTime)>;

// Runs on the queue given at registration after a listened-to property changed.
using AudioObjectPropertyListenerBlock = std::function<void(
    std::uint32_t inNumberAddresses, const AudioObjectPropertyAddress* inAddresses)>;
// Listeners are registered and removed by identity, so they are held by shared_ptr.
using AudioObjectPropertyListenerBlockRef = std::shared_ptr<const AudioObjectPropertyListenerBlock>;

// What a process tap captures: here always the mix of every process but the listed ones, in
// one channel.
class CATapDescription {
 public:
  static std::shared_ptr<CATapDescription> monoGlobalTapButExcludeProcesses(
      std::vector<AudioObjectID> processes);

  void setName(std::string name) { name_ = std::move(name); }
  void setUUID(NSUUID uuid) { uuid_ = uuid; }
  void setPrivate(bool isPrivate) { private_ = isPrivate; }

  const std::string& name() const { return name_; }
  const NSUUID& UUID() const { return uuid_; }
  bool isPrivate() const { return private_; }
  bool isMono() const { return true; }
  bool isExclusive() const { return true; }  // the list names processes to leave out
  const std::vector<AudioObjectID>& processes() const { return processes_; }

 private:
  explicit CATapDescription(std::vector<AudioObjectID> processes)
      : processes_(std::move(processes)) {}
  std::vector<AudioObjectID> processes_;
  std::string name_;
  NSUUID uuid_;
  bool private_ = false;
};

// Keys of an aggregate-device description.
inline constexpr const char* kAudioAggregateDeviceNameKey = "name";
inline constexpr const char* kAudioAggregateDeviceUIDKey = "uid";
inline constexpr const char* kAudioAggregateDeviceMainSubDeviceKey = "master";
inline constexpr const char* kAudioAggregateDeviceIsPrivateKey = "private";
inline constexpr const char* kAudioAggregateDeviceIsStackedKey = "stacked";
inline constexpr const char* kAudioAggregateDeviceTapAutoStartKey = "tapautostart";
inline constexpr const char* kAudioAggregateDeviceSubDeviceListKey = "subdevices";
inline constexpr const char* kAudioAggregateDeviceTapListKey = "taps";
inline constexpr const char* kAudioSubDeviceUIDKey = "uid";
inline constexpr const char* kAudioSubTapUIDKey = "uid";
inline constexpr const char* kAudioSubTapDriftCompensationKey = "drift";

// For 'uid ' the data is a CFStringRef; for 'tfmt' an AudioStreamBasicDescription; for 'id2p',
// 'dOut' and 'dIn ' an AudioObjectID.
OSStatus AudioObjectGetPropertyData(AudioObjectID inObjectID,
                                    const AudioObjectPropertyAddress* inAddress,
                                    std::uint32_t inQualifierDataSize, const void* inQualifierData,
                                    std::uint32_t* ioDataSize, void* outData);

OSStatus AudioHardwareCreateProcessTap(const CATapDescription* inDescription,
                                       AudioObjectID* outTapID);
OSStatus AudioHardwareDestroyProcessTap(AudioObjectID inTapID);

OSStatus AudioHardwareCreateAggregateDevice(const harkwell::Value::Object& inDescription,
                                            AudioObjectID* outDeviceID);
OSStatus AudioHardwareDestroyAggregateDevice(AudioObjectID inDeviceID);

OSStatus AudioObjectAddPropertyListenerBlock(AudioObjectID inObjectID,
                                             const AudioObjectPropertyAddress* inAddress,
                                             const std::shared_ptr<DispatchQueue>& inDispatchQueue,
                                             const AudioObjectPropertyListenerBlockRef& inListener);
OSStatus AudioObjectRemovePropertyListenerBlock(
    AudioObjectID inObjectID, const AudioObjectPropertyAddress* inAddress,
    const std::shared_ptr<DispatchQueue>& inDispatchQueue,
    const AudioObjectPropertyListenerBlockRef& inListener);

OSStatus AudioDeviceCreateIOProcIDWithBlock(std::optional<AudioDeviceIOProcID>* outIOProcID,
                                            AudioObjectID inDevice,
                                            const std::shared_ptr<DispatchQueue>& inDispatchQueue,
                                            AudioDeviceIOBlock inIOBlock);
OSStatus AudioDeviceStart(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceStop(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);
OSStatus AudioDeviceDestroyIOProcID(AudioObjectID inDevice, AudioDeviceIOProcID inProcID);

// Whether this system can make process taps at all (the library supports what a tap needs;
// the audio server itself may come later).
bool systemSupportsProcessTaps();

}  // namespace platform
