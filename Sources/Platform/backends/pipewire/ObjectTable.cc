// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/ObjectTable.h"

namespace platform::pw {

AudioObjectID ObjectTable::deviceNamed(const std::string& name) {
  std::lock_guard lock(mutex_);
  if (auto it = deviceByName_.find(name); it != deviceByName_.end()) return it->second;
  const AudioObjectID id = next_++;
  kinds_[id] = Kind::device;
  names_.push_back(name);
  deviceByName_[name] = id;
  uidByDevice_[id] = &names_.back();
  return id;
}

AudioObjectID ObjectTable::processFor(pid_t pid) {
  std::lock_guard lock(mutex_);
  if (auto it = processByPid_.find(pid); it != processByPid_.end()) return it->second;
  const AudioObjectID id = next_++;
  kinds_[id] = Kind::process;
  processByPid_[pid] = id;
  pidByProcess_[id] = pid;
  return id;
}

AudioObjectID ObjectTable::newObject(Kind kind) {
  std::lock_guard lock(mutex_);
  const AudioObjectID id = next_++;
  kinds_[id] = kind;
  return id;
}

std::optional<ObjectTable::Kind> ObjectTable::kindOf(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  auto it = kinds_.find(id);
  if (it == kinds_.end()) return std::nullopt;
  return it->second;
}

const std::string* ObjectTable::deviceUID(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  auto it = uidByDevice_.find(id);
  return it == uidByDevice_.end() ? nullptr : it->second;
}

std::optional<pid_t> ObjectTable::pidOf(AudioObjectID id) const {
  std::lock_guard lock(mutex_);
  auto it = pidByProcess_.find(id);
  if (it == pidByProcess_.end()) return std::nullopt;
  return it->second;
}

}  // namespace platform::pw
