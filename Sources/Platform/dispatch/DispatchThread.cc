// SPDX-License-Identifier: MIT
#include "Platform/dispatch/DispatchThread.h"

#include <pthread.h>

#include <csignal>
#include <initializer_list>

namespace platform::dispatch_detail {

void blockAsynchronousSignals() {
  sigset_t set;
  sigfillset(&set);
  for (int fault : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP, SIGSYS, SIGABRT}) {
    sigdelset(&set, fault);
  }
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

}  // namespace platform::dispatch_detail
