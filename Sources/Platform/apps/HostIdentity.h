// SPDX-License-Identifier: MIT
// Which processes are the host's: the application that launched Harkwell, not just its parent
// process. Decided once when the tap is made, then asked of every playback stream's process.
//
// 1. Launchers are climbed past: a shell running a command string (sh -c '...'), env, nice,
//    timeout, stdbuf, setsid, nohup, flatpak-spawn and the like (kLaunchers in the .cc). The
//    host's root is the first process above them.
// 2. The whole desktop is never the host: PID 1, the first process of a PID namespace, a
//    service manager, and any process that other applications' units descend from (the
//    session's systemd, a subreaper that adopted Harkwell). Then there is no root.
// 3. The host's application unit, where it has one of its own (see applicationUnit()): every
//    process in it is the host's, so sibling helpers count too. With no root, Harkwell's own
//    unit serves: a process keeps its unit when it is re-parented.
//
// A process is the host's when it is the root or descends from it, or when it runs in the
// host's unit.
#pragma once

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "Platform/apps/AppIdentity.h"

namespace platform::host {

struct Host {
  pid_t root = 0;                      // 0: the parent is no application
  std::string rootName;                // the root's command name
  std::vector<std::string> launchers;  // what was climbed past, nearest to Harkwell first
  pid_t notHost = 0;                   // the process found to be the whole desktop, if any
  std::string notHostName;
  std::string notHostReason;  // why it is not a host
  std::optional<appidentity::ApplicationUnit> unit;
};

// The host of a process whose parent is `parent` and which is itself `self`.
Host identifyHost(pid_t parent, pid_t self, const std::string& procRoot = "/proc");

// Whether `pid` (an id of the tree at procRoot) is one of the host's processes.
bool isHostProcess(const Host& host, pid_t pid, const std::string& procRoot = "/proc");

// One line for the log: whom the tap leaves out.
std::string describe(const Host& host);

// What a PipeWire client says about its process.
struct ClientClaims {
  pid_t securePid = 0;   // pipewire.sec.pid: the peer of the socket, as the kernel told it
  pid_t claimedPid = 0;  // application.process.id: what the client says of itself
  std::string binary;    // application.process.binary
  std::string api;       // client.api ("pipewire-pulse" for the clients of the pulse server)
  std::string appId;     // the Flatpak app id where PipeWire carries one
};

// The client's process in the tree at procRoot, or 0 when none can be trusted.
// `securePidsAreLocal`: whether the server's PIDs are this tree's (false when Harkwell runs in
// another PID namespace than the server, inside a sandbox).
pid_t trustedPid(const ClientClaims& claims, bool securePidsAreLocal,
                 const std::string& procRoot = "/proc");

}  // namespace platform::host
