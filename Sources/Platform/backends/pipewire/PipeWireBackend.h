// SPDX-License-Identifier: MIT
// The platform's audio calls answered by PipeWire.
//
// One connection for the process (Connection), the graph it sees (Graph), the identifiers it
// hands out (ObjectTable), the process taps with their aggregate devices and I/O procedures
// (TapSession), and the audio engines (InputEngine). Created once and never destroyed:
// PipeWire's threads and the capture threads may reach it until the process exits.
#pragma once

#include <map>
#include <memory>
#include <thread>
#include <vector>

#include "Platform/AudioBackend.h"
#include "Platform/backends/pipewire/Connection.h"
#include "Platform/backends/pipewire/Graph.h"
#include "Platform/backends/pipewire/InputEngine.h"
#include "Platform/backends/pipewire/ObjectTable.h"
#include "Platform/backends/pipewire/TapSession.h"

namespace platform::pw {

class PipeWireBackend final : public AudioBackend, private Connection::Owner {
 public:
  // Connects (waiting up to `timeoutMs` for the graph) and keeps reconnecting for good.
  explicit PipeWireBackend(int timeoutMs = 3000);
  ~PipeWireBackend() override = default;  // never called: the program keeps its backend

  bool supportsProcessTaps() override;
  AVAuthorizationStatus microphoneAuthorizationStatus() override;

  OSStatus getPropertyData(AudioObjectID object, const AudioObjectPropertyAddress& address,
                           std::uint32_t qualifierSize, const void* qualifier,
                           std::uint32_t* ioDataSize, void* outData) override;
  OSStatus createProcessTap(const CATapDescription& description, AudioObjectID* outTapID) override;
  OSStatus destroyProcessTap(AudioObjectID tapID) override;
  OSStatus createAggregateDevice(const harkwell::Value::Object& description,
                                 AudioObjectID* outDeviceID) override;
  OSStatus destroyAggregateDevice(AudioObjectID deviceID) override;
  OSStatus addPropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                               const std::shared_ptr<DispatchQueue>& queue,
                               const AudioObjectPropertyListenerBlockRef& listener) override;
  OSStatus removePropertyListener(AudioObjectID object, const AudioObjectPropertyAddress& address,
                                  const std::shared_ptr<DispatchQueue>& queue,
                                  const AudioObjectPropertyListenerBlockRef& listener) override;
  OSStatus createIOProcID(std::optional<AudioDeviceIOProcID>* outIOProcID, AudioObjectID device,
                          const std::shared_ptr<DispatchQueue>& queue,
                          AudioDeviceIOBlock block) override;
  OSStatus deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) override;
  OSStatus destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) override;

  std::shared_ptr<AVAudioEngine> makeEngine() override;

 private:
  struct Aggregate {
    std::shared_ptr<TapSession> tap;
    std::map<AudioDeviceIOProcID, std::shared_ptr<IOProc>> procs;
  };

  // Connection::Owner, on the loop thread.
  void onCoreCreated(pw_core* core) override;
  void onReady() override;
  void onDisconnecting() override;

  void onGraphChanged();  // loop thread
  void onTapRate(TapSession& tap);
  void notify(AudioObjectID object, AudioObjectPropertySelector selector);  // loop lock
  OSStatus readTapFormat(AudioObjectID tapID, std::uint32_t* ioDataSize, void* outData);
  OSStatus validateAggregate(const harkwell::Value::Object& d, std::shared_ptr<TapSession>* tap);
  // Loop lock: the aggregate `device` and its procedure `procID`, or the status that says which
  // of them is unknown.
  OSStatus findProc(AudioObjectID device, AudioDeviceIOProcID procID, Aggregate** aggregate,
                    std::shared_ptr<IOProc>* proc);
  // Loop lock: stops the tap's delivery to `proc` if it is the started one.
  static void stopDelivery(Aggregate& aggregate, IOProc& proc);

  Graph graph_;
  ObjectTable objects_;
  Connection* connection_ = nullptr;

  // Loop lock.
  std::map<AudioObjectID, std::shared_ptr<TapSession>> taps_;
  std::map<AudioObjectID, Aggregate> aggregates_;
  std::vector<PropertyListener> listeners_;
  std::vector<InputEngine*> engines_;
  std::string lastDefaultSink_;
  std::string lastDefaultSource_;
  AudioDeviceIOProcID nextProcID_ = 1;
  std::shared_ptr<DispatchQueue> fallbackIOQueue_;
};

}  // namespace platform::pw
