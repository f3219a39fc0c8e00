// SPDX-License-Identifier: MIT
// The running applications of the desktop, in the order the system lists their processes.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

namespace platform {

struct RunningApplication {
  pid_t processIdentifier;
  std::optional<std::string> bundleIdentifier;
  std::optional<std::string> localizedName;
};

// Reads /proc (or `procRoot`, for tests) and gives one entry per process with an application
// identity; see RunningApplications.cc for how identities are derived.
std::vector<RunningApplication> runningApplications(const std::string& procRoot = "/proc");

}  // namespace platform
