// SPDX-License-Identifier: MIT
// Reading what /proc says about a process, and other small text files that anyone may have
// written (desktop entries): only regular files, never blocking on a special one, with a bound
// on their size.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace platform::procfs {

// Enough for any /proc/PID file this layer reads and for any real desktop entry.
inline constexpr std::size_t kSmallFileLimit = 256 * 1024;

// The contents of the regular file at `path`; none when it is missing, unreadable, not a
// regular file (a FIFO, a device, a directory) or larger than `limit` bytes.
std::optional<std::string> readSmallFile(const std::string& path,
                                         std::size_t limit = kSmallFileLimit);

// What one process looks like in a /proc tree.
struct ProcessInfo {
  pid_t pid = 0;
  pid_t parent = 0;
  std::string comm;               // /proc/PID/comm without its line feed (at most 15 bytes)
  std::string executable;         // the file name of /proc/PID/exe's target; empty if unreadable
  std::vector<std::string> argv;  // /proc/PID/cmdline
  std::string cgroup;             // /proc/PID/cgroup
  // NSpid from /proc/PID/status: the process's id in each PID namespace it is in, from the
  // one of this /proc tree inwards; just {pid} outside any nested namespace.
  std::vector<pid_t> namespacePids;
};

// The process `pid` of the tree at `procRoot`, or none when it has gone or cannot be read.
std::optional<ProcessInfo> readProcess(const std::string& procRoot, pid_t pid);

// The parent from the text of /proc/PID/stat ("pid (comm) state ppid ..."; comm may itself
// hold spaces and parentheses).
std::optional<pid_t> parentFromStat(const std::string& stat);

// Every process id listed in `procRoot`, in the order the directory lists them.
std::vector<pid_t> listProcesses(const std::string& procRoot);

}  // namespace platform::procfs
