// SPDX-License-Identifier: MIT
#include "Platform/apps/HostWatch.h"

#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "Platform/apps/HostIdentity.h"

namespace platform {

namespace {

// Static initialisation runs before main(), as close to the fork as this process gets.
const pid_t kStartParent = ::getppid();

int openPidfd(pid_t pid) {
#ifdef SYS_pidfd_open
  return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
#else
  (void)pid;
  errno = ENOSYS;
  return -1;
#endif
}

bool exists(pid_t pid) {
  return ::kill(pid, 0) == 0 || errno == EPERM;
}

}  // namespace

pid_t startParent() {
  return kStartParent;
}

pid_t watchHost(std::function<void(pid_t)> gone) {
  const host::Host h = host::identifyHost(kStartParent, ::getpid());
  if (h.root <= 1) return 0;
  const pid_t watched = h.root;
  const int fd = openPidfd(watched);
  // The pidfd names the process now holding the id; the host it is only if the host is still
  // there: the parent is ours still, or (for a root above launchers) it still exists.
  const bool alive = watched == kStartParent ? ::getppid() == kStartParent : exists(watched);
  if (!alive) {
    if (fd >= 0) ::close(fd);
    std::thread([gone, watched] { gone(watched); }).detach();
    return watched;
  }
  if (fd < 0 && watched == kStartParent) {
    ::prctl(PR_SET_PDEATHSIG, SIGTERM);
    // Gone between the look above and the call: the signal was never sent.
    if (::getppid() != kStartParent) std::thread([gone, watched] { gone(watched); }).detach();
  }
  std::thread([fd, watched, gone] {
    ::pthread_setname_np(::pthread_self(), "harkwell-host");
    if (fd >= 0) {
      pollfd p{fd, POLLIN, 0};
      while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
      }
      ::close(fd);
    } else {
      while (exists(watched) && (watched != kStartParent || ::getppid() == kStartParent))
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
    }
    gone(watched);
  }).detach();
  return watched;
}

}  // namespace platform
