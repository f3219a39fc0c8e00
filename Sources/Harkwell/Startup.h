// SPDX-License-Identifier: MIT
// Capture mode: start-up, the signal sources, the parent watch and the shutdown.
#pragma once

#include "Entry.h"

namespace harkwell {

// Installs the backend, starts both capture paths, sends "ready", arms the signal sources and
// the parent watch, and serves the main queue for good.
[[noreturn]] void runCaptureMode(BackendFactory makeBackend);

}  // namespace harkwell
