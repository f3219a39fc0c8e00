// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/Unreachable.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace platform::pw {

std::string unreachableReason(int error,
                              const std::function<std::optional<std::string>(const char*)>& env) {
  // Where libpipewire looks: PIPEWIRE_REMOTE (a name, or an absolute path) in the first of
  // PIPEWIRE_RUNTIME_DIR, XDG_RUNTIME_DIR and USERPROFILE that is set; "pipewire-0" by default.
  std::string name = env("PIPEWIRE_REMOTE").value_or("");
  if (name.empty()) name = "pipewire-0";
  std::string path = name;
  if (name.front() != '/') {
    std::optional<std::string> dir;
    const char* variable = nullptr;
    for (const char* v : {"PIPEWIRE_RUNTIME_DIR", "XDG_RUNTIME_DIR", "USERPROFILE"}) {
      dir = env(v);
      if (dir && !dir->empty()) {
        variable = v;
        break;
      }
    }
    if (variable == nullptr)
      return "PipeWire cannot be reached: XDG_RUNTIME_DIR is not set (nor "
             "PIPEWIRE_RUNTIME_DIR), so there is no folder to find its socket in";
    path = *dir + "/" + name;
  }
  // The client library reports every failure alike (EHOSTDOWN), so the socket is looked at
  // here.
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) {
    if (errno == EACCES)
      return "PipeWire cannot be reached: permission denied on the way to " + path;
    return "PipeWire cannot be reached: no socket at " + path +
           " (is PipeWire running for this user?)";
  }
  if (!S_ISSOCK(st.st_mode)) return "PipeWire cannot be reached: " + path + " is not a socket";
  if (::access(path.c_str(), R_OK | W_OK) != 0 || error == EACCES || error == EPERM)
    return "PipeWire cannot be reached: permission denied on " + path;
  return "PipeWire cannot be reached: nobody answers at " + path +
         " (a server that ended left its socket behind)";
}

}  // namespace platform::pw
