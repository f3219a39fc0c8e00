// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/ProcessTree.h"

#include <signal.h>

#include <cerrno>

namespace platform::pw {

bool processExists(pid_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace platform::pw
