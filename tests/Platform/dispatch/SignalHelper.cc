// SPDX-License-Identifier: MIT
// Child process of the signal-source tests. Ignores SIGTERM, SIGINT and SIGHUP, arms a source
// for each on one serial queue, then raises each signal and waits for its handler. After
// "armed" it also takes the signals its parent sends. Every line goes to stdout:
//   armed                  all three sources are armed
//   handled <sig> <onQueue>  a handler ran (onQueue 1 when it ran on the signal queue)
//   timeout <sig>          a handler did not run in time
// The process ends with status 0 when stdin closes, or 1 when a handler timed out.
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/dispatch/Dispatch.h"

namespace {

// Never destroyed: exit() runs while the signal queue's thread may still touch it.
struct Shared {
  std::mutex mutex;
  std::condition_variable changed;
  std::map<int, int> handled;
};
harkwell::NeverDestroyed<Shared> sharedHolder;
Shared& shared = *sharedHolder;
std::mutex& mutex = shared.mutex;
std::condition_variable& changed = shared.changed;
std::map<int, int>& handled = shared.handled;

void say(const std::string& line) {
  std::lock_guard lock(mutex);
  std::fputs((line + "\n").c_str(), stdout);
  std::fflush(stdout);
}

}  // namespace

int main() {
  using platform::DispatchQueue;
  using platform::DispatchSourceSignal;
  auto queue = DispatchQueue::makeSerial("test.signals");
  std::vector<std::shared_ptr<DispatchSourceSignal>> sources;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    std::signal(sig, SIG_IGN);
    auto source = DispatchSourceSignal::make(sig, queue);
    source->setEventHandler([sig, &queue] {
      say("handled " + std::to_string(sig) + (queue->isCurrent() ? " 1" : " 0"));
      std::lock_guard lock(mutex);
      ++handled[sig];
      changed.notify_all();
    });
    source->resume();
    sources.push_back(source);
  }
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) {
    std::raise(sig);
    std::unique_lock lock(mutex);
    if (!changed.wait_for(lock, std::chrono::seconds(20), [&] { return handled[sig] > 0; })) {
      lock.unlock();
      say("timeout " + std::to_string(sig));
      return 1;
    }
  }
  // Like the program: watch stdin on a utility worker and park the main thread in the main
  // loop, where it takes the signals (the dispatch layer's own threads block them).
  DispatchQueue::globalUtility()->async([] {
    say("armed");
    char byte;
    while (read(STDIN_FILENO, &byte, 1) > 0) {
    }
    std::exit(0);
  });
  platform::dispatchMain();
}
