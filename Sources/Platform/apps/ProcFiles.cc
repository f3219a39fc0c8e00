// SPDX-License-Identifier: MIT
#include "Platform/apps/ProcFiles.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

namespace platform::procfs {

namespace {

bool isDigits(const char* s) {
  if (*s == '\0') return false;
  for (; *s != '\0'; ++s)
    if (*s < '0' || *s > '9') return false;
  return true;
}

std::optional<pid_t> parsePid(const std::string& text) {
  if (text.empty() || text.size() > 9 || !isDigits(text.c_str())) return std::nullopt;
  return static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
}

}  // namespace

std::optional<std::string> readSmallFile(const std::string& path, std::size_t limit) {
  // Non-blocking, so that opening a FIFO returns at once; it is refused just below.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  struct stat st {};
  if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) ||
      static_cast<unsigned long long>(st.st_size) > limit) {
    ::close(fd);
    return std::nullopt;
  }
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 || data.size() + static_cast<std::size_t>(n) > limit) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

std::optional<pid_t> parentFromStat(const std::string& stat) {
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  // ") S 1234 ..."
  std::size_t i = close + 1;
  while (i < stat.size() && stat[i] == ' ') ++i;
  while (i < stat.size() && stat[i] != ' ') ++i;  // the state
  while (i < stat.size() && stat[i] == ' ') ++i;
  std::size_t end = i;
  while (end < stat.size() && stat[end] >= '0' && stat[end] <= '9') ++end;
  if (end == i || (end < stat.size() && stat[end] != ' ' && stat[end] != '\n')) return std::nullopt;
  return parsePid(stat.substr(i, end - i));
}

std::optional<ProcessInfo> readProcess(const std::string& procRoot, pid_t pid) {
  if (pid <= 0) return std::nullopt;
  const std::string base = procRoot + "/" + std::to_string(pid) + "/";
  const auto stat = readSmallFile(base + "stat");
  if (!stat) return std::nullopt;
  const auto parent = parentFromStat(*stat);
  if (!parent) return std::nullopt;
  ProcessInfo p;
  p.pid = pid;
  p.parent = *parent;
  if (auto comm = readSmallFile(base + "comm")) {
    p.comm = std::move(*comm);
    if (!p.comm.empty() && p.comm.back() == '\n') p.comm.pop_back();
  }
  char target[PATH_MAX];
  const ssize_t n = ::readlink((base + "exe").c_str(), target, sizeof target - 1);
  if (n > 0) {
    std::string exe(target, static_cast<std::size_t>(n));
    // A replaced executable reads "/usr/bin/foo (deleted)".
    if (exe.ends_with(" (deleted)")) exe.resize(exe.size() - 10);
    p.executable = exe.substr(exe.rfind('/') + 1);
  }
  if (auto cmdline = readSmallFile(base + "cmdline")) {
    std::size_t start = 0;
    while (start < cmdline->size()) {
      std::size_t end = cmdline->find('\0', start);
      if (end == std::string::npos) end = cmdline->size();
      p.argv.push_back(cmdline->substr(start, end - start));
      start = end + 1;
    }
  }
  if (auto cgroup = readSmallFile(base + "cgroup")) p.cgroup = std::move(*cgroup);
  if (auto status = readSmallFile(base + "status")) {
    const auto at = status->find("\nNSpid:");
    if (at != std::string::npos) {
      std::size_t i = at + 7;
      const std::size_t eol = std::min(status->find('\n', i), status->size());
      while (i < eol) {
        while (i < eol && ((*status)[i] == ' ' || (*status)[i] == '\t')) ++i;
        std::size_t end = i;
        while (end < eol && (*status)[end] >= '0' && (*status)[end] <= '9') ++end;
        if (end == i) break;
        if (auto v = parsePid(status->substr(i, end - i))) p.namespacePids.push_back(*v);
        i = end;
      }
    }
  }
  if (p.namespacePids.empty()) p.namespacePids.push_back(pid);
  return p;
}

std::vector<pid_t> listProcesses(const std::string& procRoot) {
  std::vector<pid_t> pids;
  DIR* dir = ::opendir(procRoot.c_str());
  if (dir == nullptr) return pids;
  while (const dirent* entry = ::readdir(dir)) {
    if (auto pid = parsePid(entry->d_name)) pids.push_back(*pid);
  }
  ::closedir(dir);
  return pids;
}

}  // namespace platform::procfs
