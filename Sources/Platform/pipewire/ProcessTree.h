// Ancestry of processes, read from /proc.
#pragma once

#include <sys/types.h>

#include <optional>
#include <span>
#include <string>

namespace platform::pw {

// The parent of `pid` from <procRoot>/<pid>/stat, or none when it cannot be read.
std::optional<pid_t> parentOf(pid_t pid, const std::string& procRoot = "/proc");

// Whether `pid` is one of `roots` or a descendant of one of them.
bool isSelfOrDescendant(pid_t pid, std::span<const pid_t> roots,
                        const std::string& procRoot = "/proc");

// Whether a process with this id exists.
bool processExists(pid_t pid);

}  // namespace platform::pw
