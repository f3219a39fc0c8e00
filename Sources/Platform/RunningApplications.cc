// The running applications, read from /proc.
//
// Processes are enumerated in the order readdir(3) lists the numeric entries of /proc (the
// kernel's order, roughly by pid; it is not sorted here). A Linux process has no bundle
// identifier of its own, so one is derived:
//
// 1. From its cgroup (/proc/PID/cgroup). Desktops start applications in systemd units that
//    name them: "app-flatpak-<appid>-<n>.scope" (Flatpak), "snap.<snap>.<app>-<uuid>.scope"
//    (snap), "app[-<launcher>]-<desktop-id>-<n>.scope" or "app[-<launcher>]-<desktop-id>@<n>
//    .service" (the desktop-entry id of the launched application, "-" escaped as "\x2d").
//    The application id found there is mapped through kApplicationIds below.
// 2. Otherwise from its executable name (/proc/PID/comm) for the main processes of common
//    native installs, through kExecutables below (so an application started from a terminal is
//    found too).
//
// A process whose identity does not resolve is skipped. One entry per application instance:
// a process is listed only when its parent does not resolve to the same identifier, so a
// browser or an Electron app with dozens of helper processes shows as one line (its first
// process), while two independent instances show as two.
//
// The display name is the Name= of the application's desktop entry (localized for the user's
// language when the entry has a translation), or none when no entry is found.
#include "Platform/RunningApplications.h"

#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdlib>
#include <unordered_map>

#include "Platform/AppIdentity.h"

namespace platform {

namespace appidentity {

namespace {

// Linux application ids (Flatpak ids, snap names, desktop-entry ids) of the meeting apps'
// Linux builds, and the bundle identifiers their desktop counterparts have elsewhere. Microsoft
// ships no Linux build of the new Teams ("com.microsoft.teams2"), and FaceTime, Safari and
// Music have none at all, so nothing maps to those.
struct ApplicationId {
  std::string_view id;
  std::string_view bundleIdentifier;
};
constexpr std::array kApplicationIds = {
    ApplicationId{"us.zoom.Zoom", "us.zoom.xos"},  // Flatpak
    ApplicationId{"zoom-client", "us.zoom.xos"},   // snap
    ApplicationId{"Zoom", "us.zoom.xos"},          // the .deb/.rpm desktop entry
    ApplicationId{"zoom", "us.zoom.xos"},
    ApplicationId{"com.google.Chrome", "com.google.Chrome"},
    ApplicationId{"google-chrome", "com.google.Chrome"},
    ApplicationId{"com.microsoft.Teams", "com.microsoft.teams"},
    ApplicationId{"teams", "com.microsoft.teams"},  // the classic .deb
    ApplicationId{"com.github.IsmaelMartinez.teams_for_linux", "com.microsoft.teams"},
    ApplicationId{"teams-for-linux", "com.microsoft.teams"},
    ApplicationId{"com.slack.Slack", "com.tinyspeck.slackmacgap"},
    ApplicationId{"slack", "com.tinyspeck.slackmacgap"},
    ApplicationId{"com.discordapp.Discord", "com.hnc.Discord"},
    ApplicationId{"discord", "com.hnc.Discord"},
    ApplicationId{"com.microsoft.Edge", "com.microsoft.edgemac"},
    ApplicationId{"microsoft-edge", "com.microsoft.edgemac"},
    ApplicationId{"com.brave.Browser", "com.brave.Browser"},
    ApplicationId{"brave-browser", "com.brave.Browser"},
    ApplicationId{"brave", "com.brave.Browser"},  // snap
};

// Executable names (as /proc/PID/comm gives them, at most 15 bytes) of the main processes of
// native installs, with the desktop entry that names them.
struct Executable {
  std::string_view comm;
  std::string_view bundleIdentifier;
  std::string_view desktopId;
};
constexpr std::array kExecutables = {
    Executable{"zoom", "us.zoom.xos", "Zoom"},
    Executable{"chrome", "com.google.Chrome", "google-chrome"},
    Executable{"teams", "com.microsoft.teams", "teams"},
    Executable{"teams-for-linux", "com.microsoft.teams", "teams-for-linux"},
    Executable{"slack", "com.tinyspeck.slackmacgap", "slack"},
    Executable{"Discord", "com.hnc.Discord", "discord"},
    Executable{"discord", "com.hnc.Discord", "discord"},
    Executable{"msedge", "com.microsoft.edgemac", "microsoft-edge"},
    Executable{"brave", "com.brave.Browser", "brave-browser"},
};

bool endsWith(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

bool isDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool isHex(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// Undoes systemd's "\xNN" escaping.
std::string unescapeUnit(std::string_view s) {
  std::string out;
  for (std::size_t i = 0; i < s.size(); ++i) {
    if (s[i] == '\\' && i + 3 < s.size() && s[i + 1] == 'x' && isHex(s[i + 2]) && isHex(s[i + 3])) {
      out.push_back(static_cast<char>(std::stoi(std::string(s.substr(i + 2, 2)), nullptr, 16)));
      i += 3;
    } else {
      out.push_back(s[i]);
    }
  }
  return out;
}

// True for "xxxxxxxx-xxxx-xxxx-xxxx-xxxxxxxxxxxx".
bool isUuid(std::string_view s) {
  if (s.size() != 36) return false;
  for (std::size_t i = 0; i < s.size(); ++i) {
    const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? s[i] != '-' : !isHex(s[i])) return false;
  }
  return true;
}

std::optional<std::string> readFile(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return std::nullopt;
  std::string data;
  char buffer[4096];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  ::close(fd);
  return data;
}

// The parent pid from /proc/PID/stat: "pid (comm) state ppid ...", where comm may itself hold
// spaces and parentheses.
std::optional<pid_t> parentPid(std::string_view stat) {
  const auto close = stat.rfind(')');
  if (close == std::string_view::npos) return std::nullopt;
  std::string_view rest = stat.substr(close + 1);
  // " S 1234 ..."
  const auto ppidStart = rest.find_first_of("0123456789", rest.find_first_not_of(' ') + 1);
  if (ppidStart == std::string_view::npos) return std::nullopt;
  rest = rest.substr(ppidStart);
  const auto ppidEnd = rest.find(' ');
  const std::string_view digits = rest.substr(0, ppidEnd);
  if (!isDigits(digits)) return std::nullopt;
  return static_cast<pid_t>(std::strtol(std::string(digits).c_str(), nullptr, 10));
}

struct Resolved {
  std::string bundleIdentifier;
  std::string desktopId;
};

std::optional<Resolved> resolve(const std::optional<std::string>& cgroup,
                                const std::optional<std::string>& comm) {
  if (cgroup) {
    if (auto unit = identityFromCgroup(*cgroup)) {
      for (const std::string& id : unit->ids) {
        if (auto bundle = bundleForApplicationId(id))
          return Resolved{*bundle, unit->snapDesktopId.empty() ? id : unit->snapDesktopId};
      }
    }
  }
  if (comm) {
    std::string_view name = *comm;
    if (endsWith(name, "\n")) name.remove_suffix(1);
    if (auto app = appForExecutable(name)) return Resolved{app->bundleIdentifier, app->desktopId};
  }
  return std::nullopt;
}

std::string userLocale() {
  for (const char* variable : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return {};
}

}  // namespace

std::optional<UnitIdentity> identityFromUnit(std::string_view unit) {
  if (unit.starts_with("snap.")) {
    std::string_view rest = unit.substr(5);
    if (endsWith(rest, ".scope"))
      rest.remove_suffix(6);
    else if (endsWith(rest, ".service"))
      rest.remove_suffix(8);
    else
      return std::nullopt;
    const auto dot = rest.find('.');
    if (dot == 0 || dot == std::string_view::npos) return std::nullopt;
    const std::string_view snap = rest.substr(0, dot);
    std::string_view app = rest.substr(dot + 1);
    if (app.size() > 37 && isUuid(app.substr(app.size() - 36)) &&
        (app[app.size() - 37] == '-' || app[app.size() - 37] == '.'))
      app.remove_suffix(37);
    return UnitIdentity{{std::string(snap)}, std::string(snap) + "_" + std::string(app)};
  }
  if (!unit.starts_with("app-")) return std::nullopt;
  std::string_view body = unit.substr(4);
  if (endsWith(body, ".scope")) {
    body.remove_suffix(6);
    const auto dash = body.rfind('-');  // "-<n>" is the launcher's random suffix
    if (dash == std::string_view::npos) return std::nullopt;
    body = body.substr(0, dash);
  } else if (endsWith(body, ".service")) {
    body.remove_suffix(8);
    const auto at = body.rfind('@');
    if (at != std::string_view::npos) body = body.substr(0, at);
  } else {
    return std::nullopt;
  }
  if (body.empty()) return std::nullopt;
  UnitIdentity identity;
  // "<launcher>-<id>" when launchers escape the id's own dashes; "<id>" otherwise.
  const auto dash = body.find('-');
  if (dash != std::string_view::npos && dash + 1 < body.size())
    identity.ids.push_back(unescapeUnit(body.substr(dash + 1)));
  identity.ids.push_back(unescapeUnit(body));
  return identity;
}

std::optional<UnitIdentity> identityFromCgroup(std::string_view cgroupFile) {
  while (!cgroupFile.empty()) {
    const auto eol = cgroupFile.find('\n');
    std::string_view line = cgroupFile.substr(0, eol);
    cgroupFile = eol == std::string_view::npos ? std::string_view{} : cgroupFile.substr(eol + 1);
    // "hierarchy-id:controllers:path"
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    std::string_view path = line.substr(second + 1);
    while (!path.empty()) {
      const auto slash = path.rfind('/');
      const std::string_view component =
          slash == std::string_view::npos ? path : path.substr(slash + 1);
      if (auto identity = identityFromUnit(component)) return identity;
      if (slash == std::string_view::npos) break;
      path = path.substr(0, slash);
    }
  }
  return std::nullopt;
}

std::optional<std::string> bundleForApplicationId(std::string_view id) {
  for (const ApplicationId& entry : kApplicationIds)
    if (entry.id == id) return std::string(entry.bundleIdentifier);
  return std::nullopt;
}

std::optional<KnownApp> appForExecutable(std::string_view comm) {
  for (const Executable& entry : kExecutables)
    if (entry.comm == comm)
      return KnownApp{std::string(entry.bundleIdentifier), std::string(entry.desktopId)};
  return std::nullopt;
}

std::optional<std::string> desktopEntryName(std::string_view desktopId,
                                            const std::vector<std::string>& dirs,
                                            std::string_view locale) {
  // "de_DE.UTF-8@euro" -> the keys Name[de_DE], Name[de]
  std::string language(locale.substr(0, locale.find_first_of(".@")));
  std::vector<std::string> localizedKeys;
  if (!language.empty() && language != "C" && language != "POSIX") {
    localizedKeys.push_back("Name[" + language + "]=");
    const auto underscore = language.find('_');
    if (underscore != std::string::npos)
      localizedKeys.push_back("Name[" + language.substr(0, underscore) + "]=");
  }
  for (const std::string& dir : dirs) {
    const auto text = readFile(dir + "/" + std::string(desktopId) + ".desktop");
    if (!text) continue;
    std::optional<std::string> plain;
    std::vector<std::optional<std::string>> localized(localizedKeys.size());
    bool inEntry = false;
    std::string_view rest = *text;
    while (!rest.empty()) {
      const auto eol = rest.find('\n');
      std::string_view line = rest.substr(0, eol);
      rest = eol == std::string_view::npos ? std::string_view{} : rest.substr(eol + 1);
      if (endsWith(line, "\r")) line.remove_suffix(1);
      if (line.starts_with('[')) {
        inEntry = line == "[Desktop Entry]";
        continue;
      }
      if (!inEntry) continue;
      if (!plain && line.starts_with("Name=")) plain = std::string(line.substr(5));
      for (std::size_t k = 0; k < localizedKeys.size(); ++k)
        if (!localized[k] && line.starts_with(localizedKeys[k]))
          localized[k] = std::string(line.substr(localizedKeys[k].size()));
    }
    for (const auto& name : localized)
      if (name && !name->empty()) return name;
    if (plain && !plain->empty()) return plain;
    return std::nullopt;  // the entry that applies has no name
  }
  return std::nullopt;
}

std::vector<std::string> defaultApplicationDirs() {
  std::vector<std::string> dirs;
  const char* home = std::getenv("HOME");
  const char* dataHome = std::getenv("XDG_DATA_HOME");
  if (dataHome != nullptr && *dataHome == '/')
    dirs.push_back(std::string(dataHome) + "/applications");
  else if (home != nullptr && *home != '\0')
    dirs.push_back(std::string(home) + "/.local/share/applications");
  const char* dataDirs = std::getenv("XDG_DATA_DIRS");
  std::string_view list =
      dataDirs != nullptr && *dataDirs != '\0' ? dataDirs : "/usr/local/share/:/usr/share/";
  while (!list.empty()) {
    const auto colon = list.find(':');
    std::string dir(list.substr(0, colon));
    list = colon == std::string_view::npos ? std::string_view{} : list.substr(colon + 1);
    if (dir.empty() || dir[0] != '/') continue;
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    dirs.push_back(dir + "/applications");
  }
  if (home != nullptr && *home != '\0')
    dirs.push_back(std::string(home) + "/.local/share/flatpak/exports/share/applications");
  dirs.push_back("/var/lib/flatpak/exports/share/applications");
  dirs.push_back("/var/lib/snapd/desktop/applications");
  return dirs;
}

std::vector<RunningApplication> runningApplications(
    const std::string& procRoot, const std::vector<std::string>& applicationDirs) {
  struct Process {
    pid_t pid;
    std::optional<pid_t> parent;
    Resolved identity;
  };
  std::vector<Process> processes;
  std::unordered_map<pid_t, std::string> bundleByPid;

  DIR* dir = ::opendir(procRoot.c_str());
  if (dir == nullptr) return {};
  while (const dirent* entry = ::readdir(dir)) {
    const std::string_view name = entry->d_name;
    if (!isDigits(name) || name.size() > 9) continue;
    const auto pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    const std::string base = procRoot + "/" + std::string(name) + "/";
    // A process may end while it is read; whatever is missing then counts as absent.
    auto identity = resolve(readFile(base + "cgroup"), readFile(base + "comm"));
    if (!identity) continue;
    std::optional<pid_t> parent;
    if (auto stat = readFile(base + "stat")) parent = parentPid(*stat);
    bundleByPid[pid] = identity->bundleIdentifier;
    processes.push_back(Process{pid, parent, std::move(*identity)});
  }
  ::closedir(dir);

  const std::string locale = userLocale();
  std::vector<RunningApplication> apps;
  for (Process& p : processes) {
    if (p.parent) {
      const auto parent = bundleByPid.find(*p.parent);
      if (parent != bundleByPid.end() && parent->second == p.identity.bundleIdentifier) continue;
    }
    apps.push_back(
        RunningApplication{p.pid, std::move(p.identity.bundleIdentifier),
                           desktopEntryName(p.identity.desktopId, applicationDirs, locale)});
  }
  return apps;
}

}  // namespace appidentity

std::vector<RunningApplication> runningApplications(const std::string& procRoot) {
  return appidentity::runningApplications(procRoot, appidentity::defaultApplicationDirs());
}

}  // namespace platform
