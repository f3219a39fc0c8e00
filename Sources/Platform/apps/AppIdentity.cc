// SPDX-License-Identifier: MIT
// Application identities of Linux processes: the systemd units desktops start applications
// in, the executable names of native installs, and the desktop entries that name them. The
// listing of running applications and the tap's idea of the host both read them here.
//
// A unit name carries the application id: "app-flatpak-<appid>-<n>.scope" (Flatpak),
// "snap.<snap>.<app>-<uuid>.scope" (snap), "app[-<launcher>]-<desktop-id>-<n>.scope" or
// "app[-<launcher>]-<desktop-id>@<n>.service" (the desktop-entry id of the launched
// application, "-" escaped as "\x2d"). Known ids map through kApplicationIds below; known
// executable names of native installs through kExecutables.
#include "Platform/apps/AppIdentity.h"

#include <algorithm>
#include <array>
#include <cstdlib>

#include "Platform/apps/ProcFiles.h"

namespace platform::appidentity {

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

// Terminal emulators: the processes of their units are whatever the user started in them, so
// such a unit is no one application's.
constexpr std::array<std::string_view, 30> kTerminals = {"org.gnome.Terminal",
                                                         "gnome-terminal",
                                                         "org.gnome.Console",
                                                         "kgx",
                                                         "org.kde.konsole",
                                                         "konsole",
                                                         "org.kde.yakuake",
                                                         "xterm",
                                                         "uxterm",
                                                         "Alacritty",
                                                         "kitty",
                                                         "foot",
                                                         "footclient",
                                                         "org.codeberg.dnkl.foot",
                                                         "xfce4-terminal",
                                                         "tilix",
                                                         "com.gexperts.Tilix",
                                                         "terminator",
                                                         "org.wezfurlong.wezterm",
                                                         "wezterm",
                                                         "com.raggesilver.BlackBox",
                                                         "lxterminal",
                                                         "mate-terminal",
                                                         "qterminal",
                                                         "terminology",
                                                         "io.elementary.terminal",
                                                         "com.mitchellh.ghostty",
                                                         "ghostty",
                                                         "urxvt",
                                                         "st"};

bool isTerminal(std::string_view id) {
  return std::find(kTerminals.begin(), kTerminals.end(), id) != kTerminals.end();
}

// Calls f(hierarchy, path) for each "id:controllers:path" line of a /proc/PID/cgroup text, the
// hierarchy with its trailing colon, until f returns true; whether one did.
template <typename F>
bool anyCgroupLine(std::string_view file, F f) {
  while (!file.empty()) {
    const auto eol = file.find('\n');
    const std::string_view line = file.substr(0, eol);
    file = eol == std::string_view::npos ? std::string_view{} : file.substr(eol + 1);
    const auto first = line.find(':');
    const auto second = first == std::string_view::npos ? first : line.find(':', first + 1);
    if (second == std::string_view::npos) continue;
    if (f(line.substr(0, second + 1), line.substr(second + 1))) return true;
  }
  return false;
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
  std::optional<UnitIdentity> found;
  anyCgroupLine(cgroupFile, [&](std::string_view, std::string_view path) {
    while (!path.empty()) {
      const auto slash = path.rfind('/');
      const std::string_view component =
          slash == std::string_view::npos ? path : path.substr(slash + 1);
      if ((found = identityFromUnit(component))) return true;
      if (slash == std::string_view::npos) break;
      path = path.substr(0, slash);
    }
    return false;
  });
  return found;
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
    const auto text = procfs::readSmallFile(dir + "/" + std::string(desktopId) + ".desktop");
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

std::optional<AppMatch> identityOf(std::string_view cgroupFile, std::string_view comm) {
  if (auto unit = identityFromCgroup(cgroupFile)) {
    for (const std::string& id : unit->ids) {
      if (auto bundle = bundleForApplicationId(id))
        return AppMatch{*bundle, unit->snapDesktopId.empty() ? id : unit->snapDesktopId};
    }
  }
  if (endsWith(comm, "\n")) comm.remove_suffix(1);
  if (auto app = appForExecutable(comm)) return AppMatch{app->bundleIdentifier, app->desktopId};
  return std::nullopt;
}

std::optional<ApplicationUnit> applicationUnit(std::string_view cgroupFile) {
  std::optional<ApplicationUnit> found;
  anyCgroupLine(cgroupFile, [&](std::string_view hierarchy, std::string_view path) {
    // The innermost unit of the path decides: a process in "vte-spawn-<uuid>.scope" below a
    // terminal's unit belongs to no application unit.
    while (!path.empty() && path != "/") {
      const auto slash = path.rfind('/');
      const std::string_view component =
          slash == std::string_view::npos ? path : path.substr(slash + 1);
      if (endsWith(component, ".scope") || endsWith(component, ".service")) {
        const auto identity = identityFromUnit(component);
        // A unit of no one application (session-2.scope, dbus.service), or a terminal's.
        if (!identity || std::any_of(identity->ids.begin(), identity->ids.end(), isTerminal))
          return false;
        found = ApplicationUnit{std::string(hierarchy) + std::string(path), std::string(component),
                                identity->ids.front()};
        return true;
      }
      if (slash == std::string_view::npos) break;
      path = path.substr(0, slash);
    }
    return false;
  });
  return found;
}

bool inUnit(std::string_view cgroupFile, const ApplicationUnit& unit) {
  return anyCgroupLine(cgroupFile, [&](std::string_view hierarchy, std::string_view path) {
    const std::string line = std::string(hierarchy) + std::string(path);
    return line == unit.path || (line.starts_with(unit.path) && line.size() > unit.path.size() &&
                                 line[unit.path.size()] == '/');
  });
}

}  // namespace platform::appidentity
