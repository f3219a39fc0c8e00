// SPDX-License-Identifier: MIT
#include "Platform/apps/HostIdentity.h"

#include <algorithm>
#include <array>
#include <map>
#include <string_view>

#include "Platform/apps/ProcFiles.h"

namespace platform::host {

namespace {

using procfs::ProcessInfo;

// Shells count as launchers only when they run a command string (-c): an interactive shell is
// the user's, and what it starts is its own.
constexpr std::array<std::string_view, 14> kShells = {"sh",   "dash", "bash", "zsh",     "ksh",
                                                      "mksh", "ash",  "fish", "busybox", "tcsh",
                                                      "csh",  "yash", "oksh", "posh"};
// Programs that start one command and stay its parent (or exec it).
constexpr std::array<std::string_view, 14> kLaunchers = {
    "env",           "nice",    "ionice", "timeout", "stdbuf",   "setsid",  "nohup",
    "flatpak-spawn", "taskset", "chrt",   "time",    "unbuffer", "setpriv", "prlimit"};
// Servers whose clients' sockets all come from the server's process.
constexpr std::array<std::string_view, 4> kServers = {"pipewire", "pipewire-pulse",
                                                      "pipewire-media", "wireplumber"};

template <std::size_t N>
bool named(const ProcessInfo& p, const std::array<std::string_view, N>& names) {
  auto is = [&](std::string_view name) {
    return !name.empty() && std::find(names.begin(), names.end(), name) != names.end();
  };
  return is(p.executable) || is(p.comm);
}

bool runsCommandString(const ProcessInfo& p) {
  for (std::size_t i = 1; i < p.argv.size(); ++i) {
    const std::string& a = p.argv[i];
    if (a.size() < 2 || a[0] != '-' || a[1] == '-') return false;  // options come first
    if (a.find('c') != std::string::npos) return true;
  }
  return false;
}

bool isLauncher(const ProcessInfo& p) {
  if (named(p, kLaunchers)) return true;
  return named(p, kShells) && runsCommandString(p);
}

// Parent and cgroup of every process of the tree, for the questions that need them all.
struct Table {
  std::map<pid_t, pid_t> parent;
  std::map<pid_t, std::string> cgroup;
};

Table readTable(const std::string& procRoot) {
  Table t;
  for (const pid_t pid : procfs::listProcesses(procRoot)) {
    const std::string base = procRoot + "/" + std::to_string(pid) + "/";
    const auto stat = procfs::readSmallFile(base + "stat");
    if (!stat) continue;
    if (auto ppid = procfs::parentFromStat(*stat)) t.parent[pid] = *ppid;
    if (auto cgroup = procfs::readSmallFile(base + "cgroup")) t.cgroup[pid] = std::move(*cgroup);
  }
  return t;
}

bool descendsFrom(pid_t pid, pid_t ancestor, const std::map<pid_t, pid_t>& parent) {
  for (int depth = 0; depth < 256 && pid > 0; ++depth) {
    if (pid == ancestor) return true;
    const auto it = parent.find(pid);
    if (it == parent.end() || it->second == pid) return false;
    pid = it->second;
  }
  return false;
}

// Why `p` stands for the whole desktop rather than an application; empty when it does not.
std::string desktopWide(const ProcessInfo& p, const std::string& procRoot) {
  if (p.pid <= 1) return "PID 1";
  if (p.namespacePids.size() > 1 && p.namespacePids.back() == 1)
    return "the first process of a PID namespace";
  if (p.comm == "systemd" || p.executable == "systemd") return "a service manager";
  // A subreaper or session manager: other applications' units descend from it.
  const auto own = appidentity::applicationUnit(p.cgroup);
  const Table t = readTable(procRoot);
  for (const auto& [pid, cgroup] : t.cgroup) {
    if (pid == p.pid) continue;
    const auto unit = appidentity::applicationUnit(cgroup);
    if (!unit || (own && unit->path == own->path)) continue;
    if (descendsFrom(pid, p.pid, t.parent))
      return "other applications descend from it (" + unit->name + ")";
  }
  return {};
}

std::string baseName(const std::string& path) {
  return path.substr(path.rfind('/') + 1);
}

bool sameProgram(const ProcessInfo& p, const ClientClaims& claims) {
  if (!claims.binary.empty()) {
    const std::string& b = claims.binary;
    if (b == p.executable || b.substr(0, 15) == p.comm) return true;
    if (!p.argv.empty() && baseName(p.argv[0]) == b) return true;
  }
  if (!claims.appId.empty()) {
    const auto unit = appidentity::applicationUnit(p.cgroup);
    if (unit && unit->id == claims.appId) return true;
  }
  return false;
}

}  // namespace

Host identifyHost(pid_t parent, pid_t self, const std::string& procRoot) {
  Host host;
  pid_t candidate = parent;
  std::optional<ProcessInfo> info;
  for (int depth = 0; depth < 32; ++depth) {
    info = procfs::readProcess(procRoot, candidate);
    if (!info || !isLauncher(*info)) break;
    host.launchers.push_back(info->comm);
    candidate = info->parent;
  }
  if (info) {
    const std::string reason = desktopWide(*info, procRoot);
    if (reason.empty()) {
      host.root = info->pid;
      host.rootName = info->comm;
      host.unit = appidentity::applicationUnit(info->cgroup);
    } else {
      host.notHost = info->pid;
      host.notHostName = info->comm;
      host.notHostReason = reason;
    }
  } else if (candidate <= 1) {
    host.notHost = candidate;
    host.notHostReason = "PID 1";
  }
  if (!host.unit) {
    if (auto me = procfs::readProcess(procRoot, self))
      host.unit = appidentity::applicationUnit(me->cgroup);
  }
  return host;
}

bool isHostProcess(const Host& host, pid_t pid, const std::string& procRoot) {
  if (pid <= 0) return false;
  if (host.root > 0) {
    pid_t p = pid;
    for (int depth = 0; depth < 256 && p > 1; ++depth) {
      if (p == host.root) return true;
      const auto stat = procfs::readSmallFile(procRoot + "/" + std::to_string(p) + "/stat");
      const auto parent = stat ? procfs::parentFromStat(*stat) : std::nullopt;
      if (!parent || *parent == p) break;
      p = *parent;
    }
  }
  if (host.unit) {
    const auto cgroup = procfs::readSmallFile(procRoot + "/" + std::to_string(pid) + "/cgroup");
    if (cgroup && appidentity::inUnit(*cgroup, *host.unit)) return true;
  }
  return false;
}

std::string describe(const Host& host) {
  std::string line = "system audio leaves out ";
  if (host.root > 0) {
    line += "the host, PID " + std::to_string(host.root) + " (" + host.rootName + ")";
    if (!host.launchers.empty()) {
      line += " past its launcher";
      for (std::size_t i = 0; i < host.launchers.size(); ++i)
        line += (i == 0 ? " " : ", ") + host.launchers[i];
    }
    line += ", with its descendants";
  } else {
    line += "no process tree (";
    if (host.notHost > 0 || !host.notHostReason.empty()) {
      line += "PID " + std::to_string(host.notHost);
      if (!host.notHostName.empty()) line += " (" + host.notHostName + ")";
      line += " is no application: " + host.notHostReason;
    } else {
      line += "the parent could not be read";
    }
    line += ")";
  }
  if (host.unit)
    line += (host.root > 0 ? " and " : "; it leaves out ") + std::string("every process of ") +
            host.unit->name;
  return line;
}

pid_t trustedPid(const ClientClaims& claims, bool securePidsAreLocal, const std::string& procRoot) {
  if (claims.securePid > 0 && securePidsAreLocal && claims.api != "pipewire-pulse") {
    const auto p = procfs::readProcess(procRoot, claims.securePid);
    if (p && !named(*p, kServers)) return claims.securePid;
  }
  if (claims.claimedPid <= 0 || (claims.binary.empty() && claims.appId.empty())) return 0;
  if (const auto p = procfs::readProcess(procRoot, claims.claimedPid); p && sameProgram(*p, claims))
    return claims.claimedPid;
  // A client in a PID namespace of its own (a sandbox) gives its id there: find the one
  // process whose innermost id it is and whose program is the client's.
  pid_t found = 0;
  for (const pid_t pid : procfs::listProcesses(procRoot)) {
    const auto p = procfs::readProcess(procRoot, pid);
    if (!p || p->namespacePids.size() < 2 || p->namespacePids.back() != claims.claimedPid ||
        !sameProgram(*p, claims))
      continue;
    if (found != 0) return 0;  // two sandboxes with such a process: neither can be told apart
    found = pid;
  }
  return found;
}

}  // namespace platform::host
