// SPDX-License-Identifier: MIT
// Noticing that the host has gone although its pipes live on (another process holds copies of
// Harkwell's standard input and output): the watched process is the host's root where a
// launcher stands between (see HostIdentity.h), else the parent, never the whole desktop.
#pragma once

#include <sys/types.h>

#include <functional>

namespace platform {

// The parent this process had when it started (read before main()).
pid_t startParent();

// Watches the host process on a thread of its own and calls `gone` there once, as soon as it
// has ended (at once when it had ended before this call); returns the watched process, or 0
// when there is none to watch (the parent was PID 1 or a session-wide launcher).
//
// The watch is a pidfd of the process, which becomes readable when the whole process has
// exited. PR_SET_PDEATHSIG is not used where a pidfd serves: it fires when the thread that
// forked this process ends, and hosts spawn helpers from worker threads (Python's subprocess
// in a thread, thread pools), which would end capture while the host runs on. On kernels
// without pidfds (before 5.3) the parent-death signal is set instead, plus a check twice a
// second of the host's existence.
pid_t watchHost(std::function<void(pid_t)> gone);

}  // namespace platform
