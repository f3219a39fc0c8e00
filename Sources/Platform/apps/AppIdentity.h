// SPDX-License-Identifier: MIT
// How a Linux process is given an application identity (AppIdentity.cc), shared by the
// listing of running applications and by the tap's idea of the host; exposed so tests can
// drive the pieces with fixture trees.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Platform/apps/RunningApplications.h"

namespace platform::appidentity {

// What a process's cgroup says about the application it belongs to.
struct UnitIdentity {
  // Application ids the unit name may carry, most likely first (a systemd scope name does not
  // always say whether its first component is a launcher or part of the id).
  std::vector<std::string> ids;
  // For a snap: the desktop file id "<snap>_<app>"; otherwise empty (the id itself is used).
  std::string snapDesktopId;
};

// The identity in one systemd unit name, e.g. "app-flatpak-us.zoom.Zoom-12345.scope",
// "snap.zoom-client.zoom-client-<uuid>.scope", "app-gnome-google\x2dchrome-4242.scope",
// "app-org.kde.dolphin@1a2b.service"; none for any other name.
std::optional<UnitIdentity> identityFromUnit(std::string_view unit);

// The identity in the contents of /proc/PID/cgroup: the innermost unit of any line's path that
// carries one.
std::optional<UnitIdentity> identityFromCgroup(std::string_view cgroupFile);

// The application unit a process runs in, from the contents of /proc/PID/cgroup: the innermost
// unit of its path when that unit is one application's own (app-*.scope / app-*.service,
// Flatpak's and snap's scopes). Units that hold many applications (session-N.scope, the user
// manager's own services) and the units of terminal emulators are not.
struct ApplicationUnit {
  std::string path;  // "<hierarchy>:<controllers>:<path of the unit>", one line's beginning
  std::string name;  // the unit's name, "app-flatpak-us.zoom.Zoom-12345.scope"
  std::string id;    // the application id it names, "us.zoom.Zoom"
};
std::optional<ApplicationUnit> applicationUnit(std::string_view cgroupFile);
// Whether a process with this cgroup file runs in `unit` (or in a cgroup below it).
bool inUnit(std::string_view cgroupFile, const ApplicationUnit& unit);

struct KnownApp {
  std::string bundleIdentifier;
  std::string desktopId;  // the desktop file id (without ".desktop") to take the name from
};

// The bundle identifier for a Linux application id (Flatpak id, snap name or desktop-entry id).
std::optional<std::string> bundleForApplicationId(std::string_view id);
// The bundle identifier and desktop file id for the executable name of a native install's main
// process (/proc/PID/comm).
std::optional<KnownApp> appForExecutable(std::string_view comm);

// The Name= of the desktop entry "<desktopId>.desktop", the first found in `dirs`: the entry
// for `locale` (a POSIX locale name such as "de_DE.UTF-8") when it has one, else the plain one.
std::optional<std::string> desktopEntryName(std::string_view desktopId,
                                            const std::vector<std::string>& dirs,
                                            std::string_view locale = {});

// The known meeting application a process is: from its unit, else from its executable name.
struct AppMatch {
  std::string bundleIdentifier;
  std::string desktopId;
};
std::optional<AppMatch> identityOf(std::string_view cgroupFile, std::string_view comm);

// $XDG_DATA_HOME/applications, $XDG_DATA_DIRS/*/applications and the Flatpak and snap export
// folders, in that order.
std::vector<std::string> defaultApplicationDirs();

std::vector<RunningApplication> runningApplications(
    const std::string& procRoot, const std::vector<std::string>& applicationDirs);

}  // namespace platform::appidentity
