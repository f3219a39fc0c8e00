// SPDX-License-Identifier: MIT
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <string>

#include "Platform/dispatch/Dispatch.h"

extern char** environ;

namespace platform {
namespace {

// Runs the helper with pipes on its stdin and stdout.
class SignalHelper {
 public:
  SignalHelper() {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0) return;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    char path[] = SIGNAL_HELPER_PATH;
    char* argv[] = {path, nullptr};
    if (posix_spawn(&pid_, path, &actions, nullptr, argv, environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    stdin_ = in[1];
    stdout_ = out[0];
  }
  ~SignalHelper() {
    if (stdin_ >= 0) close(stdin_);
    if (stdout_ >= 0) close(stdout_);
    if (pid_ > 0 && !reaped_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  // The next line, or "" when the helper's output ended or nothing came in time.
  std::string readLine() {
    std::string line;
    for (;;) {
      pollfd p{stdout_, POLLIN, 0};
      if (poll(&p, 1, 20'000) <= 0) return "";
      char c;
      if (read(stdout_, &c, 1) != 1) return "";
      if (c == '\n') return line;
      line += c;
    }
  }

  // Closes the helper's stdin and returns its wait status.
  int finish() {
    close(stdin_);
    stdin_ = -1;
    int status = 0;
    waitpid(pid_, &status, 0);
    reaped_ = true;
    return status;
  }

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int stdout_ = -1;
  bool reaped_ = false;
};

std::string handledLine(int sig) {
  return "handled " + std::to_string(sig) + " 1";
}

// The helper ignores the three signals, arms a source for each on one serial queue and raises
// each: every handler must run on that queue, and the process must survive. Then signals from
// outside (this process) must be handled the same way.
TEST(DispatchSourceSignalTest, ArmedSignalsRunTheHandlerOnTheQueueAndDoNotEndTheProcess) {
  SignalHelper helper;
  ASSERT_TRUE(helper.started()) << "could not start " << SIGNAL_HELPER_PATH;
  for (int sig : {SIGTERM, SIGINT, SIGHUP}) EXPECT_EQ(helper.readLine(), handledLine(sig));
  ASSERT_EQ(helper.readLine(), "armed");

  for (int sig : {SIGHUP, SIGTERM, SIGINT, SIGTERM}) {
    ASSERT_EQ(kill(helper.pid(), sig), 0);
    EXPECT_EQ(helper.readLine(), handledLine(sig)) << "after signal " << sig;
  }

  int status = helper.finish();
  ASSERT_TRUE(WIFEXITED(status)) << "helper ended by signal "
                                 << (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
  EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace platform
