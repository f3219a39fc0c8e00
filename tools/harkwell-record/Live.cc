// SPDX-License-Identifier: MIT
// Live recording: Harkwell as a child, stopped by closing its standard input.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <iostream>
#include <optional>
#include <vector>

#include "ChildProcess.h"
#include "HarkwellCore/FrameReader.h"
#include "LiveMeter.h"
#include "Recording.h"
#include "Run.h"
#include "Summary.h"

namespace harkwell::record {
namespace {

using Clock = std::chrono::steady_clock;

constexpr double kRefreshSeconds = 0.25;
constexpr double kSyncSeconds = 1.0;
constexpr double kTermAfterSeconds = 5.0;  // after the stop request
constexpr double kKillAfterSeconds = 7.0;

// The signal handler only writes the signal number into this pipe; the loop does the rest.
int signalPipeWrite = -1;

extern "C" void onSignal(int sig) {
  const int saved = errno;
  const auto byte = static_cast<unsigned char>(sig);
  [[maybe_unused]] const ssize_t n = ::write(signalPipeWrite, &byte, 1);
  errno = saved;
}

class SignalPipe {
 public:
  SignalPipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) return;
    read_ = fds[0];
    signalPipeWrite = fds[1];
    struct sigaction sa {};
    sa.sa_handler = onSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
  }
  ~SignalPipe() {
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGINT, SIGTERM, SIGHUP}) sigaction(sig, &sa, nullptr);
    if (read_ >= 0) ::close(read_);
    if (signalPipeWrite >= 0) ::close(signalPipeWrite);
    signalPipeWrite = -1;
  }
  SignalPipe(const SignalPipe&) = delete;
  SignalPipe& operator=(const SignalPipe&) = delete;
  int fd() const { return read_; }

 private:
  int read_ = -1;
};

const char* signalName(int sig) {
  switch (sig) {
    case SIGINT:
      return "SIGINT";
    case SIGTERM:
      return "SIGTERM";
    case SIGHUP:
      return "SIGHUP";
    default:
      return "a signal";
  }
}

class LiveSession {
 public:
  LiveSession(const Options& options, Recording& recording, ChildProcess& child, int logFd)
      : options_(options),
        recording_(recording),
        child_(child),
        logFd_(logFd),
        meter_(!options.quiet && ::isatty(STDERR_FILENO) == 1),
        start_(Clock::now()) {}

  void run(int signalFd);
  bool broken() const { return broken_; }
  bool endedEarly() const { return endedEarly_; }
  double elapsed() const { return std::chrono::duration<double>(Clock::now() - start_).count(); }
  LiveMeter& meter() { return meter_; }
  FrameReader& reader() { return reader_; }
  void problem(const std::string& text) {
    meter_.print("harkwell-record: " + text + "\n");
    broken_ = true;
  }

 private:
  void requestStop(const std::string& why);
  void onStdout();
  void onStderr(bool drain);
  void forwardStderr(std::string_view text);

  const Options& options_;
  Recording& recording_;
  ChildProcess& child_;
  int logFd_;
  LiveMeter meter_;
  Clock::time_point start_;
  FrameReader reader_;
  std::optional<double> stopRequestedAt_;
  bool termSent_ = false;
  bool killSent_ = false;
  bool broken_ = false;
  bool endedEarly_ = false;
  bool ownStdinOpen_ = true;
  std::string stderrLine_;
  std::vector<std::uint8_t> chunk_ = std::vector<std::uint8_t>(64 * 1024);
};

void LiveSession::requestStop(const std::string& why) {
  if (stopRequestedAt_) return;
  stopRequestedAt_ = elapsed();
  if (!why.empty())
    meter_.print("harkwell-record: " + why + "; closing Harkwell's standard input\n");
  child_.closeStdin();
}

void LiveSession::onStdout() {
  const ssize_t n = ::read(child_.stdoutFd(), chunk_.data(), chunk_.size());
  if (n < 0) {
    if (errno == EINTR || errno == EAGAIN) return;
    problem(std::string("reading Harkwell's output failed: ") + std::strerror(errno));
    child_.closeStdout();
    requestStop("");
    return;
  }
  if (n == 0) {
    child_.closeStdout();
    if (!stopRequestedAt_) {
      endedEarly_ = true;
      requestStop("Harkwell closed its output before it was asked to stop");
    }
    return;
  }
  const double now = elapsed();
  reader_.feed(std::span(chunk_.data(), static_cast<std::size_t>(n)));
  while (auto frame = reader_.next()) {
    if (auto issue = recording_.handle(*frame, now)) problem(*issue);
  }
  if (reader_.error()) {
    problem(*reader_.error());
    // The rest of the stream cannot be decoded: stop Harkwell and stop reading it.
    child_.closeStdout();
    requestStop("");
  }
}

void LiveSession::forwardStderr(std::string_view text) {
  if (logFd_ >= 0) {
    writeText(logFd_, text);
  } else {
    meter_.print(text);
  }
}

void LiveSession::onStderr(bool drain) {
  char buffer[4096];
  const ssize_t n = ::read(child_.stderrFd(), buffer, sizeof buffer);
  if (n < 0 && (errno == EINTR || errno == EAGAIN)) return;
  if (n <= 0) {
    if (!stderrLine_.empty()) forwardStderr(stderrLine_ + "\n");
    stderrLine_.clear();
    child_.closeStderr();
    return;
  }
  stderrLine_.append(buffer, static_cast<std::size_t>(n));
  // Whole lines only, so that the meter never splits one.
  const std::size_t end = stderrLine_.rfind('\n');
  if (end != std::string::npos) {
    forwardStderr(std::string_view(stderrLine_).substr(0, end + 1));
    stderrLine_.erase(0, end + 1);
  } else if (drain || stderrLine_.size() > 8192) {
    forwardStderr(stderrLine_ + "\n");
    stderrLine_.clear();
  }
}

void LiveSession::run(int signalFd) {
  double nextRefresh = 0;
  double nextSync = kSyncSeconds;
  for (;;) {
    if (child_.stdoutFd() < 0 && child_.reap(false)) break;
    const double now = elapsed();

    if (options_.seconds && now >= *options_.seconds && !stopRequestedAt_)
      requestStop("time is up");
    if (stopRequestedAt_) {
      const double since = now - *stopRequestedAt_;
      if (since >= kTermAfterSeconds && !termSent_) {
        meter_.print("harkwell-record: Harkwell has not ended; sending SIGTERM\n");
        child_.signal(SIGTERM);
        termSent_ = true;
      }
      if (since >= kKillAfterSeconds && !killSent_) {
        meter_.print("harkwell-record: Harkwell has still not ended; sending SIGKILL\n");
        child_.signal(SIGKILL);
        killSent_ = true;
      }
    }
    if (now >= nextRefresh) {
      meter_.refresh(now, recording_.mic(), recording_.system());
      nextRefresh = now + kRefreshSeconds;
    }
    if (now >= nextSync) {
      recording_.sync();
      nextSync = now + kSyncSeconds;
    }

    std::vector<pollfd> fds;
    auto watch = [&](int fd) {
      if (fd >= 0) fds.push_back(pollfd{fd, POLLIN, 0});
    };
    watch(child_.stdoutFd());
    watch(child_.stderrFd());
    watch(signalFd);
    if (options_.untilEof && ownStdinOpen_ && !stopRequestedAt_) watch(STDIN_FILENO);

    double wait = std::min(nextRefresh, nextSync) - now;
    if (options_.seconds && !stopRequestedAt_) wait = std::min(wait, *options_.seconds - now);
    if (child_.stdoutFd() < 0) wait = std::min(wait, 0.05);  // waiting for the child to be reaped
    const int timeoutMs = std::max(0, static_cast<int>(wait * 1000.0) + 1);
    const int ready = ::poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0) {
      if (errno == EINTR) continue;
      problem(std::string("poll failed: ") + std::strerror(errno));
      break;
    }
    for (const pollfd& p : fds) {
      if (p.revents == 0) continue;
      if (p.fd == child_.stdoutFd()) {
        onStdout();
      } else if (p.fd == child_.stderrFd()) {
        onStderr(false);
      } else if (p.fd == signalFd) {
        unsigned char sig = 0;
        while (::read(signalFd, &sig, 1) == 1) {
          if (!stopRequestedAt_) {
            requestStop(std::string("got ") + signalName(sig));
          } else if (!termSent_) {
            meter_.print(std::string("harkwell-record: got ") + signalName(sig) +
                         " again; sending SIGTERM to Harkwell\n");
            child_.signal(SIGTERM);
            termSent_ = true;
          }
        }
      } else if (p.fd == STDIN_FILENO) {
        char discard[4096];
        const ssize_t n = ::read(STDIN_FILENO, discard, sizeof discard);
        if (n == 0 || (n < 0 && errno != EINTR && errno != EAGAIN)) {
          ownStdinOpen_ = false;
          requestStop("standard input ended");
        }
      }
    }
  }
  // The child is gone; pass on whatever it still wrote to standard error.
  while (child_.stderrFd() >= 0) {
    pollfd p{child_.stderrFd(), POLLIN, 0};
    if (::poll(&p, 1, 200) <= 0) break;
    onStderr(true);
  }
  if (!stderrLine_.empty()) forwardStderr(stderrLine_ + "\n");
  meter_.refresh(elapsed(), recording_.mic(), recording_.system());
}

}  // namespace

int runLive(const Options& options) {
  auto say = [](const std::string& text) {
    writeText(STDERR_FILENO, "harkwell-record: " + text + "\n");
  };

  std::string error;
  const std::optional<std::string> dir = Recording::chooseFolder(options.outDir, error);
  if (!dir) {
    say(error);
    return kExitUsage;
  }
  int logFd = -1;
  if (!options.logFile.empty()) {
    logFd = ::open(options.logFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (logFd < 0) {
      say("cannot create " + options.logFile + ": " + std::strerror(errno));
      return kExitBadStream;
    }
  }
  Recording recording;
  if (!recording.open(*dir, error)) {
    say(error);
    if (logFd >= 0) ::close(logFd);
    return kExitBadStream;
  }

  SignalPipe signals;
  const std::string program = options.harkwell.empty() ? findHarkwell() : options.harkwell;
  ChildProcess child;
  if (!child.start(program, options.childArgs, error)) {
    say(error);
    say("name the program with --harkwell PATH, or build it first (ninja Harkwell)");
    recording.close();
    if (logFd >= 0) ::close(logFd);
    return kExitChild;
  }
  say("recording with " + program + " into " + *dir + "/" +
      (options.seconds ? "" : "; stop with Ctrl-C"));

  LiveSession session(options, recording, child, logFd);
  session.run(signals.fd());

  if (!session.broken()) {
    session.reader().finish();
    if (session.reader().error()) session.problem(*session.reader().error());
  }
  bool filesOk = recording.close();
  if (!filesOk) session.problem(recording.fileError());
  if (logFd >= 0) ::close(logFd);
  session.meter().clear();

  const std::string childStatus = "Harkwell " + describeExit(child.rawStatus());
  std::cout << "harkwell-record: recorded " << std::fixed;
  std::cout.precision(1);
  std::cout << session.elapsed() << " s into " << *dir << "\n"
            << formatSummary(recording) << childStatus
            << (session.endedEarly() ? " (before it was asked to stop)" : "") << "\n"
            << std::flush;
  if (session.broken()) return kExitBadStream;
  if (!exitedCleanly(child.rawStatus())) return kExitChild;
  if (auto why = recording.noCapturePath()) {
    say("no capture path started (" + *why + ")");
    return kExitChild;
  }
  if (options.requireSound && !bothSourcesHaveSound(recording)) return kExitNoSound;
  return kExitOk;
}

}  // namespace harkwell::record
