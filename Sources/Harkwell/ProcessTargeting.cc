// SPDX-License-Identifier: MIT
#include "ProcessTargeting.h"

#include <unistd.h>

#include <algorithm>

#include "HarkwellCore/FdWrite.h"

namespace harkwell::ProcessTargeting {

std::vector<RunningTarget> candidates(const std::vector<platform::RunningApplication>& running) {
  std::vector<RunningTarget> targets;
  for (const platform::RunningApplication& app : running) {
    if (!app.bundleIdentifier) continue;
    const std::string& bundleID = *app.bundleIdentifier;
    if (std::find(knownMeetingApps.begin(), knownMeetingApps.end(), bundleID) ==
        knownMeetingApps.end())
      continue;
    targets.push_back(RunningTarget{static_cast<std::int32_t>(app.processIdentifier), bundleID,
                                    app.localizedName.value_or(bundleID)});
  }
  return targets;
}

std::vector<RunningTarget> candidates() {
  return candidates(platform::runningApplications());
}

std::string formatList(const std::vector<RunningTarget>& targets) {
  if (targets.empty()) return "(no known meeting apps currently running)\n";
  std::string text = "PID\tBUNDLE\tNAME\n";
  for (const RunningTarget& t : targets) {
    text += std::to_string(t.pid);
    text += '\t';
    text += t.bundleID;
    text += '\t';
    text += t.name;
    text += '\n';
  }
  return text;
}

void printList() {
  const std::string text = formatList(candidates());
  (void)detail::writeAll(STDOUT_FILENO, text.data(), text.size());
}

}  // namespace harkwell::ProcessTargeting
