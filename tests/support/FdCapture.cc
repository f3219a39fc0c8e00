// SPDX-License-Identifier: MIT
#include "FdCapture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace harkwell::test {

namespace {

void makePipe(int fds[2]) {
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

FdCapture::FdCapture(int fd) : fd_(fd) {
  if (fd == STDOUT_FILENO) std::fflush(stdout);
  char name[] = "/tmp/harkwell-capture-XXXXXX";
  file_ = mkstemp(name);
  if (file_ < 0) throw std::runtime_error("mkstemp failed");
  unlink(name);
  saved_ = dup(fd);
  dup2(file_, fd);
}

FdCapture::~FdCapture() {
  finish();
}

std::string FdCapture::finish() {
  if (saved_ < 0) return {};
  if (fd_ == STDOUT_FILENO) std::fflush(stdout);
  dup2(saved_, fd_);
  close(saved_);
  saved_ = -1;
  std::string text;
  lseek(file_, 0, SEEK_SET);
  char chunk[4096];
  for (ssize_t n; (n = read(file_, chunk, sizeof chunk)) > 0;)
    text.append(chunk, static_cast<std::size_t>(n));
  close(file_);
  file_ = -1;
  return text;
}

std::string captureFd(int fd, const std::function<void()>& body) {
  FdCapture capture(fd);
  body();
  return capture.finish();
}

ChildResult runInChild(const std::function<void()>& body, bool closeStdoutReader) {
  int out[2], err[2];
  makePipe(out);
  makePipe(err);
  if (closeStdoutReader) {
    ::close(out[0]);
    out[0] = -1;
  }
  const pid_t pid = ::fork();
  if (pid < 0) throw std::runtime_error("fork failed");
  if (pid == 0) {
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    if (out[0] >= 0) ::close(out[0]);
    ::close(err[0]);
    ::close(out[1]);
    ::close(err[1]);
    body();
    std::_Exit(0);
  }
  ::close(out[1]);
  ::close(err[1]);
  ChildResult result;
  std::thread outReader([&] {
    if (out[0] >= 0) result.out = readAll(out[0]);
  });
  result.err = readAll(err[0]);
  outReader.join();
  if (out[0] >= 0) ::close(out[0]);
  ::close(err[0]);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
  if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
  return result;
}

std::string readAll(int fd) {
  std::string data;
  char buffer[65536];
  for (;;) {
    const ssize_t n = ::read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    data.append(buffer, static_cast<std::size_t>(n));
  }
  return data;
}

}  // namespace harkwell::test
