// SPDX-License-Identifier: MIT
// Capture mode: start both capture paths, report, arm the signal sources and the parent watch,
// then serve the main queue until a shutdown path ends the process.
#include "Startup.h"

#include <poll.h>
#include <unistd.h>

#include <array>
#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

#include "CoreAudioTap.h"
#include "HarkwellCore/NeverDestroyed.h"
#include "HarkwellCore/Protocol.h"
#include "MicCapture.h"
#include "Platform/apps/HostWatch.h"
#include "Platform/coreaudio/CoreAudio.h"
#include "Platform/dispatch/Dispatch.h"

namespace harkwell {

namespace {

// Process-wide state. Written only by the main thread during start-up, before the signal
// sources and the parent watch exist. Never destroyed: capture threads and queue threads may
// still reach these objects while exit() runs.
NeverDestroyed<std::shared_ptr<MicCapture>> mic;
NeverDestroyed<std::shared_ptr<CoreAudioTap>> coreAudio;
NeverDestroyed<std::shared_ptr<platform::DispatchQueue>> signalQueue;
NeverDestroyed<std::vector<std::shared_ptr<platform::DispatchSourceSignal>>> signalSources;
std::atomic<bool> shuttingDown{false};

constexpr std::array<int, 3> kHandledSignals{SIGTERM, SIGINT, SIGHUP};

void sendError(const std::string& message) {
  FrameWriter::writeControl(Value::Object{{"type", Value("error")}, {"msg", Value(message)}});
}

[[noreturn]] void shutdown() {
  Log::info("shutting down");
  (*mic)->stop();
  if (*coreAudio) (*coreAudio)->stop();
  FrameWriter::exitBetweenFrames(0);
}

void onSignal() {
  if (shuttingDown.exchange(true)) return;
  shutdown();
}

// Blocks until standard input has something to read or has ended. Returns false at end of
// input, and also when it cannot be read at all: a parent that cannot be heard is treated as
// gone rather than spun on.
bool waitForParent() {
  std::array<char, 4096> discard;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, discard.data(), discard.size());
    if (n > 0) return true;
    if (n == 0) return false;
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      pollfd input{STDIN_FILENO, POLLIN, 0};
      ::poll(&input, 1, -1);
      continue;
    }
    return false;
  }
}

// The host ended while someone else still holds Harkwell's pipes (standard input would stay
// open for good): the same shutdown as at end of input.
void onHostGone(pid_t host) {
  Log::info("host process " + std::to_string(host) + " ended; exiting");
  if (shuttingDown.exchange(true)) return;
  // What is still written would reach nobody; a writer stuck on a full pipe must not hold the
  // shutdown up.
  FrameWriter::abandonOutput();
  shutdown();
}

void parentWatch() {
  while (waitForParent()) {
  }
  Log::info("stdin closed by parent; exiting");
  if (shuttingDown.exchange(true)) return;
  shutdown();
}

}  // namespace

void runCaptureMode(BackendFactory makeBackend) {
  // A factory that gives nothing leaves the platform answering as a machine without audio.
  platform::setAudioBackend(makeBackend ? makeBackend() : nullptr);

  *mic = MicCapture::make();
  try {
    (*mic)->start();
  } catch (const platform::NSError& error) {
    const std::string description = error.localizedDescription();
    Log::error("mic start failed: " + description);
    sendError("mic_start: " + description);
  }

  if (platform::systemSupportsProcessTaps()) {
    auto tap = CoreAudioTap::make();
    try {
      tap->start();
      *coreAudio = std::move(tap);
      Log::info("using CoreAudio Tap path");
    } catch (const platform::NSError& error) {
      const std::string description = error.localizedDescription();
      Log::error("CoreAudio tap start failed: " + description);
      sendError("tap_start: " + description);
    }
  } else {
    Log::error("macOS 14.4+ required for system-audio capture");
    sendError("unsupported_os: macOS 14.4+ required");
  }

  FrameWriter::writeControl(Value::Object{{"type", Value("ready")}});

  *signalQueue = platform::DispatchQueue::makeSerial("quillet.velto.signals");
  shuttingDown = false;
  for (const int sig : kHandledSignals) {
    std::signal(sig, SIG_IGN);
    auto source = platform::DispatchSourceSignal::make(sig, *signalQueue);
    source->setEventHandler(onSignal);
    source->resume();
    signalSources->push_back(std::move(source));
  }

  platform::DispatchQueue::globalUtility()->async(parentWatch);
  platform::watchHost(onHostGone);
  platform::dispatchMain();
}

}  // namespace harkwell
