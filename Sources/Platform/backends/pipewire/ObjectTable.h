// SPDX-License-Identifier: MIT
// The hardware layer's object identifiers for what the backend hands out: devices (named by
// their PipeWire node.name, which is also their UID), processes (by PID), taps and aggregate
// devices. Identifiers are never reused; UID strings live for the life of the process.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "Platform/coreaudio/CoreAudioTypes.h"

namespace platform::pw {

class ObjectTable {
 public:
  enum class Kind { device, process, tap, aggregate };

  AudioObjectID deviceNamed(const std::string& name);
  AudioObjectID processFor(pid_t pid);
  AudioObjectID newObject(Kind kind);

  std::optional<Kind> kindOf(AudioObjectID id) const;
  // The device's UID (its node name), kept for the life of the process.
  const std::string* deviceUID(AudioObjectID id) const;
  std::optional<pid_t> pidOf(AudioObjectID id) const;

 private:
  mutable std::mutex mutex_;
  AudioObjectID next_ = 0x100;
  std::map<AudioObjectID, Kind> kinds_;
  std::deque<std::string> names_;  // stable addresses
  std::map<std::string, AudioObjectID> deviceByName_;
  std::map<AudioObjectID, const std::string*> uidByDevice_;
  std::map<pid_t, AudioObjectID> processByPid_;
  std::map<AudioObjectID, pid_t> pidByProcess_;
};

}  // namespace platform::pw
