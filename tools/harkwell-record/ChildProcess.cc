// SPDX-License-Identifier: MIT
#include "ChildProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

extern char** environ;

namespace harkwell::record {
namespace {

void closeFd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

struct Pipe {
  int read = -1;
  int write = -1;
  ~Pipe() {
    closeFd(read);
    closeFd(write);
  }
  bool open() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) return false;
    read = fds[0];
    write = fds[1];
    return true;
  }
};

bool isExecutable(const std::filesystem::path& p) {
  std::error_code ec;
  return std::filesystem::is_regular_file(p, ec) && ::access(p.c_str(), X_OK) == 0;
}

}  // namespace

ChildProcess::~ChildProcess() {
  closeFd(stdin_);
  closeFd(stdout_);
  closeFd(stderr_);
  if (pid_ > 0 && !reaped_) reap(true);
}

bool ChildProcess::start(const std::string& program, const std::vector<std::string>& args,
                         std::string& error) {
  Pipe in, out, err;
  if (!in.open() || !out.open() || !err.open()) {
    error = std::string("cannot create pipes: ") + std::strerror(errno);
    return false;
  }
  posix_spawn_file_actions_t actions;
  posix_spawnattr_t attr;
  posix_spawn_file_actions_init(&actions);
  posix_spawnattr_init(&attr);
  posix_spawn_file_actions_adddup2(&actions, in.read, STDIN_FILENO);
  posix_spawn_file_actions_adddup2(&actions, out.write, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&actions, err.write, STDERR_FILENO);
  // The child starts with the default action for every signal we handle or ignore, an empty
  // signal mask, and a process group of its own.
  sigset_t defaults;
  sigemptyset(&defaults);
  for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGPIPE, SIGCHLD}) sigaddset(&defaults, sig);
  sigset_t empty;
  sigemptyset(&empty);
  posix_spawnattr_setsigdefault(&attr, &defaults);
  posix_spawnattr_setsigmask(&attr, &empty);
  posix_spawnattr_setpgroup(&attr, 0);
  posix_spawnattr_setflags(&attr,
                           POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETPGROUP);

  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  pid_t pid = -1;
  const bool hasSlash = program.find('/') != std::string::npos;
  const int rc = hasSlash
                     ? posix_spawn(&pid, program.c_str(), &actions, &attr, argv.data(), environ)
                     : posix_spawnp(&pid, program.c_str(), &actions, &attr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  posix_spawnattr_destroy(&attr);
  if (rc != 0) {
    error = "cannot start " + program + ": " + std::strerror(rc);
    return false;
  }
  pid_ = pid;
  stdin_ = in.write;
  in.write = -1;
  stdout_ = out.read;
  out.read = -1;
  stderr_ = err.read;
  err.read = -1;
  return true;
}

void ChildProcess::closeStdin() {
  closeFd(stdin_);
}
void ChildProcess::closeStdout() {
  closeFd(stdout_);
}
void ChildProcess::closeStderr() {
  closeFd(stderr_);
}

void ChildProcess::signal(int sig) {
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

bool ChildProcess::reap(bool block) {
  if (reaped_ || pid_ <= 0) return reaped_;
  for (;;) {
    const pid_t r = ::waitpid(pid_, &status_, block ? 0 : WNOHANG);
    if (r == pid_) {
      reaped_ = true;
      return true;
    }
    if (r < 0 && errno == EINTR) continue;
    return false;
  }
}

std::string describeExit(int rawStatus) {
  if (WIFEXITED(rawStatus)) return "exited with status " + std::to_string(WEXITSTATUS(rawStatus));
  if (WIFSIGNALED(rawStatus)) {
    const int sig = WTERMSIG(rawStatus);
    const char* name = strsignal(sig);
    return "was killed by signal " + std::to_string(sig) + " (" + (name ? name : "?") + ")";
  }
  return "ended with wait status " + std::to_string(rawStatus);
}

bool exitedCleanly(int rawStatus) {
  return WIFEXITED(rawStatus) && WEXITSTATUS(rawStatus) == 0;
}

std::string findHarkwell() {
  std::error_code ec;
  const std::filesystem::path self = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (!ec) {
    const std::filesystem::path beside = self.parent_path() / "Harkwell";
    if (isExecutable(beside)) return beside.string();
  }
#ifdef HARKWELL_BUILD_TREE_BINARY
  if (isExecutable(HARKWELL_BUILD_TREE_BINARY)) return HARKWELL_BUILD_TREE_BINARY;
#endif
  return "Harkwell";
}

}  // namespace harkwell::record
