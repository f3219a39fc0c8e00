// SPDX-License-Identifier: MIT
// The program's entry: parse the command line, pick the mode, run it.
#pragma once

#include "Platform/AudioBackend.h"

namespace harkwell {

using BackendFactory = platform::AudioBackend* (*)();

// Help and listing modes return 0; capture mode installs the backend that `makeBackend` gives
// and never returns.
int runMain(int argc, char** argv, BackendFactory makeBackend);

}  // namespace harkwell
