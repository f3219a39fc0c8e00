// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/PipeWireBackend.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "HarkwellCore/Protocol.h"
#include "Platform/apps/HostIdentity.h"
#include "Platform/backends/pipewire/ProcessTree.h"

namespace platform::pw {

namespace {

constexpr AudioObjectPropertyAddress address(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

const std::string* stringAt(const harkwell::Value::Object& d, std::string_view key) {
  for (const auto& [k, v] : d)
    if (k == key) return v.isString() ? &v.asString() : nullptr;
  return nullptr;
}

const harkwell::Value* valueAt(const harkwell::Value::Object& d, std::string_view key) {
  for (const auto& [k, v] : d)
    if (k == key) return &v;
  return nullptr;
}

}  // namespace

PipeWireBackend::PipeWireBackend(int timeoutMs) : graph_([this] { onGraphChanged(); }) {
  connection_ = new Connection(*this);
  connection_->start(timeoutMs);
}

bool PipeWireBackend::supportsProcessTaps() {
  // Links made by a client, streams that join a node group and capture a sink's monitor:
  // all there since 0.3.
  const char* version = pw_get_library_version();
  return version != nullptr && (std::strncmp(version, "0.3.", 4) == 0 || version[0] >= '1');
}

AVAuthorizationStatus PipeWireBackend::microphoneAuthorizationStatus() {
  Connection::Lock lock(*connection_);
  return connection_->accessDenied() ? AVAuthorizationStatus::denied
                                     : AVAuthorizationStatus::authorized;
}

// Loop thread -------------------------------------------------------------------------------

void PipeWireBackend::onCoreCreated(pw_core* core) {
  graph_.attach(core);
}

void PipeWireBackend::onReady() {
  pw_core* core = connection_->core();
  for (auto& [id, tap] : taps_) {
    tap->stream().build(core);
    tap->stream().setAnchored(tap->aggregate != 0, core);
    tap->stream().relink(graph_, core);
  }
  lastDefaultSink_ = graph_.defaultSink();
  lastDefaultSource_ = graph_.defaultSource();
  for (InputEngine* e : engines_) e->onReconnected();
}

void PipeWireBackend::onDisconnecting() {
  for (auto& [id, tap] : taps_) tap->stream().teardown();
  for (InputEngine* e : engines_) e->onDisconnecting();
  graph_.detach();
}

void PipeWireBackend::onGraphChanged() {
  pw_core* core = connection_ != nullptr ? connection_->core() : nullptr;
  if (core == nullptr) return;
  for (auto& [id, tap] : taps_) tap->stream().relink(graph_, core);
  if (!connection_->ready()) return;
  if (graph_.defaultSink() != lastDefaultSink_) {
    lastDefaultSink_ = graph_.defaultSink();
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultOutputDevice);
  }
  if (graph_.defaultSource() != lastDefaultSource_) {
    lastDefaultSource_ = graph_.defaultSource();
    notify(kAudioObjectSystemObject, kAudioHardwarePropertyDefaultInputDevice);
  }
  for (InputEngine* e : engines_) e->onGraphChanged();
}

void PipeWireBackend::onTapRate(TapSession& tap) {
  if (tap.reportedRate == 0 || tap.reportedRate == tap.stream().rate()) return;
  notify(tap.tapID(), kAudioTapPropertyFormat);
}

void PipeWireBackend::notify(AudioObjectID object, AudioObjectPropertySelector selector) {
  for (const PropertyListener& l : listeners_) {
    if (l.object != object || l.selector != selector) continue;
    l.queue->async([block = l.block, selector] {
      const AudioObjectPropertyAddress a = address(selector);
      (*block)(1, &a);
    });
  }
}

// Properties ---------------------------------------------------------------------------------

OSStatus PipeWireBackend::getPropertyData(AudioObjectID object,
                                          const AudioObjectPropertyAddress& addr,
                                          std::uint32_t qualifierSize, const void* qualifier,
                                          std::uint32_t* ioDataSize, void* outData) {
  if (ioDataSize == nullptr || outData == nullptr) return kAudioHardwareIllegalOperationError;
  const AudioObjectPropertySelector selector = addr.mSelector;

  if (object == kAudioObjectSystemObject) {
    if (selector == kAudioHardwarePropertyTranslatePIDToProcessObject) {
      if (qualifierSize != sizeof(std::int32_t) || qualifier == nullptr ||
          *ioDataSize < sizeof(AudioObjectID))
        return kAudioHardwareBadPropertySizeError;
      std::int32_t pid = 0;
      std::memcpy(&pid, qualifier, sizeof pid);
      const AudioObjectID id = processExists(pid) ? objects_.processFor(pid) : kAudioObjectUnknown;
      std::memcpy(outData, &id, sizeof id);
      *ioDataSize = sizeof id;
      return noErr;
    }
    if (selector == kAudioHardwarePropertyDefaultOutputDevice ||
        selector == kAudioHardwarePropertyDefaultInputDevice) {
      if (*ioDataSize < sizeof(AudioObjectID)) return kAudioHardwareBadPropertySizeError;
      Connection::Lock lock(*connection_);
      if (!connection_->ready()) return kAudioHardwareNotRunningError;
      const std::string& name = selector == kAudioHardwarePropertyDefaultOutputDevice
                                    ? graph_.defaultSink()
                                    : graph_.defaultSource();
      const GraphNode* node = graph_.nodeNamed(name);
      const AudioObjectID id = node != nullptr ? objects_.deviceNamed(name) : kAudioObjectUnknown;
      std::memcpy(outData, &id, sizeof id);
      *ioDataSize = sizeof id;
      return noErr;
    }
    return kAudioHardwareUnknownPropertyError;
  }

  const auto kind = objects_.kindOf(object);
  if (!kind) return kAudioHardwareBadObjectError;
  switch (*kind) {
    case ObjectTable::Kind::device:
      if (selector != kAudioDevicePropertyDeviceUID) return kAudioHardwareUnknownPropertyError;
      if (*ioDataSize < sizeof(CFStringRef)) return kAudioHardwareBadPropertySizeError;
      {
        const CFStringRef uid = objects_.deviceUID(object);
        std::memcpy(outData, &uid, sizeof uid);
        *ioDataSize = sizeof uid;
      }
      return noErr;
    case ObjectTable::Kind::tap:
      if (selector != kAudioTapPropertyFormat) return kAudioHardwareUnknownPropertyError;
      return readTapFormat(object, ioDataSize, outData);
    case ObjectTable::Kind::process:
    case ObjectTable::Kind::aggregate:
      return kAudioHardwareUnknownPropertyError;
  }
  return kAudioHardwareUnknownPropertyError;
}

OSStatus PipeWireBackend::readTapFormat(AudioObjectID tapID, std::uint32_t* ioDataSize,
                                        void* outData) {
  if (*ioDataSize < sizeof(AudioStreamBasicDescription)) return kAudioHardwareBadPropertySizeError;
  Connection::Lock lock(*connection_);
  auto it = taps_.find(tapID);
  if (it == taps_.end()) return kAudioHardwareBadObjectError;
  TapSession& tap = *it->second;
  std::uint32_t rate = tap.stream().rate();
  if (rate == 0) rate = graph_.graphRate();
  tap.reportedRate = rate;
  AudioStreamBasicDescription d{};
  d.mSampleRate = rate;
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags = kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked;
  d.mBytesPerPacket = sizeof(float);
  d.mFramesPerPacket = 1;
  d.mBytesPerFrame = sizeof(float);
  d.mChannelsPerFrame = 1;
  d.mBitsPerChannel = 32;
  std::memcpy(outData, &d, sizeof d);
  *ioDataSize = sizeof d;
  return noErr;
}

// Taps and aggregate devices ----------------------------------------------------------------

OSStatus PipeWireBackend::createProcessTap(const CATapDescription& description,
                                           AudioObjectID* outTapID) {
  if (outTapID == nullptr) return kAudioHardwareIllegalOperationError;
  if (!description.isMono() || !description.isExclusive())
    return kAudioHardwareUnsupportedOperationError;
  // An excluded process stands for its application: decided here, once, and said once.
  std::vector<host::Host> excluded;
  for (AudioObjectID process : description.processes()) {
    const auto pid = objects_.pidOf(process);
    if (!pid) return kAudioHardwareBadObjectError;
    excluded.push_back(host::identifyHost(*pid, ::getpid()));
  }
  for (const host::Host& h : excluded) harkwell::Log::info(host::describe(h));
  Connection::Lock lock(*connection_);
  if (!connection_->ready()) return kAudioHardwareNotRunningError;
  const AudioObjectID id = objects_.newObject(ObjectTable::Kind::tap);
  auto tap = std::make_shared<TapSession>(id, description.UUID().UUIDString(), std::move(excluded));
  TapSession* raw = tap.get();
  tap->stream().setRateListener([this, raw] { onTapRate(*raw); });
  tap->stream().ring().setSampleLimit(2 * graph_.graphRate());
  tap->stream().build(connection_->core());
  if (!tap->stream().built()) return kAudioHardwareUnspecifiedError;
  tap->stream().relink(graph_, connection_->core());
  taps_[id] = tap;
  *outTapID = id;
  return noErr;
}

OSStatus PipeWireBackend::destroyProcessTap(AudioObjectID tapID) {
  Connection::Lock lock(*connection_);
  auto it = taps_.find(tapID);
  if (it == taps_.end()) return kAudioHardwareBadObjectError;
  std::shared_ptr<TapSession> tap = it->second;
  taps_.erase(it);
  tap->stream().setDelivering(false);
  tap->setActive(nullptr);
  tap->stream().teardown();
  tap->stream().setRateListener(nullptr);
  return noErr;
}

OSStatus PipeWireBackend::validateAggregate(const harkwell::Value::Object& d,
                                            std::shared_ptr<TapSession>* tapOut) {
  auto deviceExists = [&](const std::string& uid) {
    const GraphNode* node = graph_.nodeNamed(uid);
    return node != nullptr && isDeviceClass(node->mediaClass);
  };
  for (const char* key : {kAudioAggregateDeviceNameKey, kAudioAggregateDeviceUIDKey}) {
    const harkwell::Value* v = valueAt(d, key);
    if (v != nullptr && !v->isString()) return kAudioHardwareIllegalOperationError;
  }
  // The main sub-device is the clock: it must be there.
  const std::string* main = stringAt(d, kAudioAggregateDeviceMainSubDeviceKey);
  if (main == nullptr) return kAudioHardwareIllegalOperationError;
  if (!deviceExists(*main)) return kAudioHardwareBadDeviceError;
  if (const harkwell::Value* subs = valueAt(d, kAudioAggregateDeviceSubDeviceListKey)) {
    if (!subs->isArray()) return kAudioHardwareIllegalOperationError;
    for (const harkwell::Value& sub : subs->asArray()) {
      if (!sub.isObject()) return kAudioHardwareIllegalOperationError;
      const std::string* uid = stringAt(sub.asObject(), kAudioSubDeviceUIDKey);
      if (uid == nullptr || !deviceExists(*uid)) return kAudioHardwareBadDeviceError;
    }
  }
  const harkwell::Value* taps = valueAt(d, kAudioAggregateDeviceTapListKey);
  if (taps == nullptr || !taps->isArray() || taps->asArray().size() != 1 ||
      !taps->asArray()[0].isObject())
    return kAudioHardwareIllegalOperationError;
  const std::string* tapUID = stringAt(taps->asArray()[0].asObject(), kAudioSubTapUIDKey);
  if (tapUID == nullptr) return kAudioHardwareIllegalOperationError;
  for (auto& [id, tap] : taps_) {
    if (tap->uuid() != *tapUID) continue;
    if (tap->aggregate != 0) return kAudioHardwareIllegalOperationError;
    *tapOut = tap;
    return noErr;
  }
  return kAudioHardwareBadObjectError;
}

OSStatus PipeWireBackend::createAggregateDevice(const harkwell::Value::Object& description,
                                                AudioObjectID* outDeviceID) {
  if (outDeviceID == nullptr) return kAudioHardwareIllegalOperationError;
  Connection::Lock lock(*connection_);
  if (!connection_->ready()) return kAudioHardwareNotRunningError;
  std::shared_ptr<TapSession> tap;
  if (const OSStatus status = validateAggregate(description, &tap); status != noErr) return status;
  const AudioObjectID id = objects_.newObject(ObjectTable::Kind::aggregate);
  tap->aggregate = id;
  tap->stream().setAnchored(true, connection_->core());
  aggregates_[id].tap = tap;
  *outDeviceID = id;
  return noErr;
}

OSStatus PipeWireBackend::destroyAggregateDevice(AudioObjectID deviceID) {
  Connection::Lock lock(*connection_);
  auto it = aggregates_.find(deviceID);
  if (it == aggregates_.end()) return kAudioHardwareBadObjectError;
  std::shared_ptr<TapSession> tap = it->second.tap;
  aggregates_.erase(it);
  tap->stream().setDelivering(false);
  tap->setActive(nullptr);
  tap->aggregate = 0;
  tap->stream().setAnchored(false, connection_->core());
  return noErr;
}

// Listeners ----------------------------------------------------------------------------------

OSStatus PipeWireBackend::addPropertyListener(AudioObjectID object,
                                              const AudioObjectPropertyAddress& addr,
                                              const std::shared_ptr<DispatchQueue>& queue,
                                              const AudioObjectPropertyListenerBlockRef& listener) {
  if (listener == nullptr || queue == nullptr) return kAudioHardwareIllegalOperationError;
  if (object != kAudioObjectSystemObject && !objects_.kindOf(object))
    return kAudioHardwareBadObjectError;
  Connection::Lock lock(*connection_);
  listeners_.push_back({object, addr.mSelector, queue, listener});
  return noErr;
}

OSStatus PipeWireBackend::removePropertyListener(
    AudioObjectID object, const AudioObjectPropertyAddress& addr,
    const std::shared_ptr<DispatchQueue>& queue,
    const AudioObjectPropertyListenerBlockRef& listener) {
  Connection::Lock lock(*connection_);
  auto it = std::find_if(listeners_.begin(), listeners_.end(), [&](const PropertyListener& l) {
    return l.object == object && l.selector == addr.mSelector && l.queue == queue &&
           l.block == listener;
  });
  if (it == listeners_.end()) return kAudioHardwareUnknownPropertyError;
  listeners_.erase(it);
  return noErr;
}

// I/O procedures -----------------------------------------------------------------------------

OSStatus PipeWireBackend::createIOProcID(std::optional<AudioDeviceIOProcID>* outIOProcID,
                                         AudioObjectID device,
                                         const std::shared_ptr<DispatchQueue>& queue,
                                         AudioDeviceIOBlock block) {
  if (outIOProcID == nullptr || !block) return kAudioHardwareIllegalOperationError;
  Connection::Lock lock(*connection_);
  auto it = aggregates_.find(device);
  if (it == aggregates_.end()) return kAudioHardwareBadDeviceError;
  auto proc = std::make_shared<IOProc>();
  proc->id = nextProcID_++;
  proc->device = device;
  if (queue != nullptr) {
    proc->queue = queue;
  } else {
    if (fallbackIOQueue_ == nullptr)
      fallbackIOQueue_ = DispatchQueue::makeSerial("harkwell.pipewire.io");
    proc->queue = fallbackIOQueue_;
  }
  proc->block = std::move(block);
  it->second.procs[proc->id] = proc;
  *outIOProcID = proc->id;
  return noErr;
}

OSStatus PipeWireBackend::findProc(AudioObjectID device, AudioDeviceIOProcID procID,
                                   Aggregate** aggregate, std::shared_ptr<IOProc>* proc) {
  auto it = aggregates_.find(device);
  if (it == aggregates_.end()) return kAudioHardwareBadDeviceError;
  auto p = it->second.procs.find(procID);
  if (p == it->second.procs.end()) return kAudioHardwareIllegalOperationError;
  *aggregate = &it->second;
  *proc = p->second;
  return noErr;
}

void PipeWireBackend::stopDelivery(Aggregate& aggregate, IOProc& proc) {
  if (!proc.started) return;
  proc.started = false;
  aggregate.tap->stream().setDelivering(false);
  aggregate.tap->setActive(nullptr);
}

OSStatus PipeWireBackend::deviceStart(AudioObjectID device, AudioDeviceIOProcID procID) {
  Connection::Lock lock(*connection_);
  Aggregate* aggregate = nullptr;
  std::shared_ptr<IOProc> proc;
  if (const OSStatus status = findProc(device, procID, &aggregate, &proc); status != noErr)
    return status;
  TapSession& tap = *aggregate->tap;
  if (!tap.stream().built()) return kAudioHardwareNotRunningError;
  for (auto& [id, other] : aggregate->procs)
    if (other->started && id != procID) return kAudioHardwareIllegalOperationError;
  proc->started = true;
  tap.setActive(proc);
  tap.stream().setDelivering(true);
  return noErr;
}

OSStatus PipeWireBackend::deviceStop(AudioObjectID device, AudioDeviceIOProcID procID) {
  Connection::Lock lock(*connection_);
  Aggregate* aggregate = nullptr;
  std::shared_ptr<IOProc> proc;
  if (const OSStatus status = findProc(device, procID, &aggregate, &proc); status != noErr)
    return status;
  stopDelivery(*aggregate, *proc);
  return noErr;
}

OSStatus PipeWireBackend::destroyIOProcID(AudioObjectID device, AudioDeviceIOProcID procID) {
  Connection::Lock lock(*connection_);
  Aggregate* aggregate = nullptr;
  std::shared_ptr<IOProc> proc;
  if (const OSStatus status = findProc(device, procID, &aggregate, &proc); status != noErr)
    return status;
  stopDelivery(*aggregate, *proc);
  aggregate->procs.erase(procID);
  return noErr;
}

// Engines ------------------------------------------------------------------------------------

std::shared_ptr<AVAudioEngine> PipeWireBackend::makeEngine() {
  auto* engine = new InputEngine(*connection_, graph_);
  {
    Connection::Lock lock(*connection_);
    engines_.push_back(engine);
  }
  return std::shared_ptr<InputEngine>(engine, [this](InputEngine* e) {
    {
      Connection::Lock lock(*connection_);
      std::erase(engines_, e);
    }
    delete e;
  });
}

}  // namespace platform::pw
