// SPDX-License-Identifier: MIT
// Helpers that capture what is written to a file descriptor, in this process or in a forked
// child.
#pragma once

#include <functional>
#include <string>

namespace harkwell::test {

// Everything that can be read from `fd` until end of file (interrupted reads are retried).
std::string readAll(int fd);

// Sends everything written to `fd` into a temporary file until finish(), so that no write ever
// blocks. Assertions must come after finish() when the captured descriptor is standard output
// (where test failures go).
class FdCapture {
 public:
  explicit FdCapture(int fd);
  ~FdCapture();
  std::string finish();

  FdCapture(const FdCapture&) = delete;
  FdCapture& operator=(const FdCapture&) = delete;

 private:
  int fd_;
  int saved_ = -1;
  int file_ = -1;
};

// Everything written to `fd` while `body` runs (an FdCapture around it).
std::string captureFd(int fd, const std::function<void()>& body);

struct ChildResult {
  int exitStatus = -1;  // the status passed to exit(), or -1 when the child did not exit
  int signal = 0;       // the signal that ended the child, or 0
  std::string out;      // what it wrote to fd 1 (empty when closeStdoutReader)
  std::string err;      // what it wrote to fd 2
};

// Runs `body` in a forked child whose fd 1 and fd 2 are pipes read by this process. With
// `closeStdoutReader`, the reading end of fd 1's pipe is closed before the child runs, so every
// write to fd 1 finds no reader. The child exits with status 0 when `body` returns.
ChildResult runInChild(const std::function<void()>& body, bool closeStdoutReader = false);

}  // namespace harkwell::test
