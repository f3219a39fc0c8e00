// SPDX-License-Identifier: MIT
// Harkwell as a child process, launched the way a host launches it: standard input a pipe that
// the parent keeps open for as long as it wants audio, standard output a pipe the parent reads,
// standard error a pipe the parent forwards. The child runs in its own process group, so a
// Ctrl-C on the terminal reaches the parent only, and the parent stops the child by closing its
// standard input.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace harkwell::record {

class ChildProcess {
 public:
  ChildProcess() = default;
  ~ChildProcess();
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  // Starts `program` with `args`. False with `error` set when it cannot be started.
  bool start(const std::string& program, const std::vector<std::string>& args, std::string& error);

  int stdoutFd() const { return stdout_; }
  int stderrFd() const { return stderr_; }

  // Closes the child's standard input: the request to stop.
  void closeStdin();
  void closeStdout();
  void closeStderr();
  bool stdinOpen() const { return stdin_ >= 0; }

  void signal(int sig);

  // Reaps the child if it has ended (block: wait until it does). True once it has been reaped.
  bool reap(bool block);
  bool reaped() const { return reaped_; }
  int rawStatus() const { return status_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  int stderr_ = -1;
  bool reaped_ = false;
  int status_ = 0;
};

// "exited with status 0", "was killed by signal 9 (Killed)".
std::string describeExit(int rawStatus);
bool exitedCleanly(int rawStatus);

// The Harkwell to launch when none was named: next to this program, then the one this build
// made, then "Harkwell" on PATH.
std::string findHarkwell();

}  // namespace harkwell::record
