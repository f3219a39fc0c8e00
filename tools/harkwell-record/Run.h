// SPDX-License-Identifier: MIT
// The two ways harkwell-record runs. Each returns the process exit status.
#pragma once

#include "Options.h"

namespace harkwell::record {

inline constexpr int kExitOk = 0;
inline constexpr int kExitBadStream = 1;  // also: a file that could not be written
inline constexpr int kExitUsage = 2;
inline constexpr int kExitChild = 3;    // Harkwell could not be started or did not exit 0
inline constexpr int kExitNoSound = 4;  // --require-sound, and a source carried no sound

// Decodes the saved stream options.inspectFile.
int runInspect(const Options& options);

// Launches Harkwell, records until asked to stop, stops it by closing its standard input.
int runLive(const Options& options);

}  // namespace harkwell::record
