// SPDX-License-Identifier: MIT
// Whether a process exists, for the process objects of the hardware layer.
#pragma once

#include <sys/types.h>

namespace platform::pw {

bool processExists(pid_t pid);

}  // namespace platform::pw
