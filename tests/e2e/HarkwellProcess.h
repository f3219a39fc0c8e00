// SPDX-License-Identifier: MIT
// The production binary run as a host would run it: standard input a pipe held open,
// standard output and standard error read by threads of this process. Every frame is decoded
// as it arrives and stamped with its arrival time; a byte stream that stops making sense is
// recorded as corruption.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "HarkwellCore/Protocol.h"

namespace harkwell::test {

using Clock = std::chrono::steady_clock;

struct Frame {
  harkwell::FrameTag tag;
  std::vector<std::int16_t> samples;  // PCM frames
  std::string text;                   // control frames
  Clock::time_point arrival;
};

// How the program is started, as hosts do it.
enum class Launch {
  direct,  // forked and exec'd by this process
  shell,   // through /bin/sh -c '...' (what Node's exec and Python's shell=True do)
  helper,  // by a helper process of this one, which waits for it
  orphan,  // by a process that exits at once, so the program is re-parented (PID 1, a subreaper)
};

class HarkwellProcess {
 public:
  // `environment`: NAME=VALUE settings for the program on top of this process's own.
  explicit HarkwellProcess(const std::vector<std::string>& environment = {},
                           Launch launch = Launch::direct);
  ~HarkwellProcess();  // kills the process if it still runs
  HarkwellProcess(const HarkwellProcess&) = delete;
  HarkwellProcess& operator=(const HarkwellProcess&) = delete;

  // The program's process (for Launch::shell, once the shell has started it; -1 before).
  pid_t pid() const;
  void closeStdin();
  void sendSignal(int signal);
  // The exit status (128 + signal for a killed process), or none after `seconds`.
  std::optional<int> waitExit(double seconds);
  // While paused, standard output is not read, so the program's writes block.
  void setReading(bool reading) { reading_.store(reading); }

  std::vector<Frame> frames() const;
  std::vector<std::string> stderrLines() const;
  // Standard error so far, one indented line each: for the message of a failed check.
  std::string said() const;
  bool corrupt() const { return corrupt_.load(); }
  std::size_t frameCount() const;

  // Waits until `done` holds (checked under the lock after every change) or `seconds` pass.
  bool waitUntil(double seconds, const std::function<bool()>& done) const;
  bool waitForStderr(const std::string& line, double seconds) const;
  bool waitForReady(double seconds) const;
  // Samples of `tag` that arrived after `since`.
  std::vector<std::int16_t> samplesSince(harkwell::FrameTag tag, Clock::time_point since) const;

 private:
  void readStdout(int fd);
  void readStderr(int fd);

  Launch launch_ = Launch::direct;
  pid_t pid_ = -1;      // the child of this process: the program, shell or helper
  pid_t program_ = -1;  // the program itself where it is not pid_
  int stdin_ = -1;
  std::atomic<bool> outputEnded_{false};
  std::atomic<bool> reading_{true};
  std::atomic<bool> corrupt_{false};
  std::optional<int> status_;
  mutable std::mutex mutex_;
  mutable std::condition_variable changed_;
  std::vector<Frame> frames_;
  std::vector<std::string> stderr_;
  std::thread out_;
  std::thread err_;
};

}  // namespace harkwell::test
