#include "Platform/pipewire/ProcessTree.h"

#include <signal.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace platform::pw {

std::optional<pid_t> parentOf(pid_t pid, const std::string& procRoot) {
  std::ifstream in(procRoot + "/" + std::to_string(pid) + "/stat");
  if (!in) return std::nullopt;
  std::stringstream buffer;
  buffer << in.rdbuf();
  const std::string stat = buffer.str();
  // "pid (comm) state ppid ...": the command may hold spaces and parentheses.
  const auto close = stat.rfind(')');
  if (close == std::string::npos) return std::nullopt;
  std::istringstream fields(stat.substr(close + 1));
  std::string state;
  long ppid = -1;
  if (!(fields >> state >> ppid) || ppid < 0) return std::nullopt;
  return static_cast<pid_t>(ppid);
}

bool isSelfOrDescendant(pid_t pid, std::span<const pid_t> roots, const std::string& procRoot) {
  if (roots.empty() || pid <= 0) return false;
  for (int depth = 0; depth < 128 && pid > 0; ++depth) {
    if (std::find(roots.begin(), roots.end(), pid) != roots.end()) return true;
    if (pid == 1) return false;
    const auto parent = parentOf(pid, procRoot);
    if (!parent || *parent == pid) return false;
    pid = *parent;
  }
  return false;
}

bool processExists(pid_t pid) {
  if (pid <= 0) return false;
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace platform::pw
