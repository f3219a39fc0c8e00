// SPDX-License-Identifier: MIT
// The known meeting applications and the listing of those that are running.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/apps/RunningApplications.h"

namespace harkwell {

struct RunningTarget {
  std::int32_t pid;
  std::string bundleID;  // always one of ProcessTargeting::knownMeetingApps
  std::string name;      // the display name, or the bundle identifier when there is none
};

namespace ProcessTargeting {

inline constexpr std::array<std::string_view, 11> knownMeetingApps = {
    "us.zoom.xos",         "com.google.Chrome",     "com.microsoft.teams2",
    "com.microsoft.teams", "com.apple.FaceTime",    "com.tinyspeck.slackmacgap",
    "com.hnc.Discord",     "com.microsoft.edgemac", "com.brave.Browser",
    "com.apple.Safari",    "com.apple.Music",
};

// The running applications whose bundle identifier is exactly one of knownMeetingApps, in the
// order given; neither sorted nor de-duplicated.
std::vector<RunningTarget> candidates(const std::vector<platform::RunningApplication>& running);
// The same for the applications running now.
std::vector<RunningTarget> candidates();

// The listing text: "(no known meeting apps currently running)\n" for an empty list, otherwise
// the header "PID\tBUNDLE\tNAME" and one line per target, fields written verbatim.
std::string formatList(const std::vector<RunningTarget>& targets);

// Writes formatList(candidates()) on standard output.
void printList();

}  // namespace ProcessTargeting

}  // namespace harkwell
