// SPDX-License-Identifier: MIT
#include "FdCapture.h"

#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>
#include <thread>

namespace harkwell::test {

namespace {

void makePipe(int fds[2]) {
  if (::pipe(fds) != 0) throw std::runtime_error("pipe failed");
}

}  // namespace

std::string captureFd(int fd, const std::function<void()>& body) {
  int fds[2];
  makePipe(fds);
  const int saved = ::dup(fd);
  std::string data;
  std::thread reader([&] { data = readAll(fds[0]); });
  ::dup2(fds[1], fd);
  ::close(fds[1]);
  body();
  ::dup2(saved, fd);  // closes the last writing end, so the reader sees end of file
  ::close(saved);
  reader.join();
  ::close(fds[0]);
  return data;
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
