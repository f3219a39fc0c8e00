// SPDX-License-Identifier: MIT
// The running meeting applications, read from /proc.
//
// A Linux process has no bundle identifier of its own, so one is derived (AppIdentity.cc): from
// the application unit it runs in, else from its executable name for the main processes of
// common native installs (so an application started from a terminal is found too). A process
// whose identity does not resolve is skipped.
//
// One entry per application: the processes of one application unit, or, outside any unit, of
// one identity, give a single line, even where helpers were re-parented away from the main
// process (browsers and Electron apps do that). Its PID is the main process's: the one whose
// executable is the application's (for Flatpak the app itself, not bubblewrap), the topmost of
// them, else the topmost process of the group. Entries come in the order in which /proc lists
// the first process of each application.
//
// The display name is the Name= of the application's desktop entry (localized for the user's
// language when the entry has a translation), or none when no entry is found.
#include "Platform/apps/RunningApplications.h"

#include <cstdlib>
#include <map>
#include <set>

#include "Platform/apps/AppIdentity.h"
#include "Platform/apps/ProcFiles.h"

namespace platform {

namespace appidentity {

namespace {

std::string userLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

struct Member {
  pid_t pid;
  pid_t parent;
  bool mainExecutable;  // its executable is the application's own
};

struct Group {
  AppMatch identity;
  std::vector<Member> members;
};

// Among the members that `pick` accepts, the topmost: one whose parent is not an accepted
// member too (the lowest PID of those, so that the answer does not depend on listing order).
template <typename Pick>
pid_t topmost(const Group& g, Pick pick) {
  std::set<pid_t> accepted;
  for (const Member& m : g.members)
    if (pick(m)) accepted.insert(m.pid);
  for (const pid_t pid : accepted) {
    for (const Member& m : g.members)
      if (m.pid == pid && accepted.count(m.parent) == 0) return pid;
  }
  return accepted.empty() ? 0 : *accepted.begin();
}

pid_t mainProcess(const Group& g) {
  if (const pid_t p = topmost(g, [](const Member& m) { return m.mainExecutable; }); p != 0)
    return p;
  return topmost(g, [](const Member&) { return true; });
}

}  // namespace

std::vector<RunningApplication> runningApplications(
    const std::string& procRoot, const std::vector<std::string>& applicationDirs) {
  std::vector<Group> groups;
  std::map<std::string, std::size_t> groupByKey;

  for (const pid_t pid : procfs::listProcesses(procRoot)) {
    const std::string base = procRoot + "/" + std::to_string(pid) + "/";
    // A process may end while it is read; whatever is missing then counts as absent.
    const std::string cgroup = procfs::readSmallFile(base + "cgroup").value_or("");
    const std::string comm = procfs::readSmallFile(base + "comm").value_or("");
    auto identity = identityOf(cgroup, comm);
    if (!identity) continue;
    pid_t parent = 0;
    if (auto stat = procfs::readSmallFile(base + "stat"))
      parent = procfs::parentFromStat(*stat).value_or(0);
    const auto unit = applicationUnit(cgroup);
    const std::string key = unit ? "unit " + unit->path : "app " + identity->bundleIdentifier;
    std::string name = comm;
    if (!name.empty() && name.back() == '\n') name.pop_back();
    const auto own = appForExecutable(name);
    const bool mainExecutable = own && own->bundleIdentifier == identity->bundleIdentifier;
    auto [it, added] = groupByKey.try_emplace(key, groups.size());
    if (added) groups.push_back(Group{std::move(*identity), {}});
    groups[it->second].members.push_back(Member{pid, parent, mainExecutable});
  }

  const std::string locale = userLocale();
  std::vector<RunningApplication> apps;
  for (Group& g : groups) {
    apps.push_back(
        RunningApplication{mainProcess(g), std::move(g.identity.bundleIdentifier),
                           desktopEntryName(g.identity.desktopId, applicationDirs, locale)});
  }
  return apps;
}

}  // namespace appidentity

std::vector<RunningApplication> runningApplications(const std::string& procRoot) {
  return appidentity::runningApplications(procRoot, appidentity::defaultApplicationDirs());
}

}  // namespace platform
