// SPDX-License-Identifier: MIT
// Harkwell never outlives its host: a host that is killed while another process (here, this
// test) still holds copies of Harkwell's standard input and output. Standard output is a file,
// or a pipe that nobody reads any more.
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include "E2EFixture.h"

namespace harkwell::test {
namespace {

enum class Output { file, unreadPipe };

struct HostDeath {
  const char* name;
  Output output;
};

void PrintTo(const HostDeath& c, std::ostream* out) {
  *out << c.name;
}

std::string readText(const std::string& path) {
  std::ifstream in(path);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

class HostDeathTest : public E2ETest, public ::testing::WithParamInterface<HostDeath> {};

TEST_P(HostDeathTest, HarkwellEndsWithinASecondOfItsHostWhoeverHoldsThePipes) {
  // This process adopts Harkwell once its host has gone, so that its status can be read.
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct NoLongerASubreaper {
    ~NoLongerASubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } reset;
  const std::string out = dir_ + "/host-death.out";
  const std::string err = dir_ + "/host-death.err";
  int in[2];
  int pipeOut[2];
  int report[2];
  ASSERT_EQ(::pipe2(in, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(pipeOut, O_CLOEXEC), 0);
  ASSERT_EQ(::pipe2(report, O_CLOEXEC), 0);
  const pid_t host = ::fork();
  if (host == 0) {
    const pid_t program = ::fork();
    if (program == 0) {
      const int errFd = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      const int outFd = GetParam().output == Output::file
                            ? ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600)
                            : pipeOut[1];
      ::dup2(in[0], STDIN_FILENO);
      ::dup2(outFd, STDOUT_FILENO);
      ::dup2(errFd, STDERR_FILENO);
      ::execl(HARKWELL_BINARY, HARKWELL_BINARY, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    (void)!::write(report[1], &program, sizeof program);
    for (;;) ::pause();
  }
  ::close(in[0]);
  ::close(pipeOut[1]);
  ::close(report[1]);
  pid_t program = -1;
  ASSERT_EQ(::read(report[0], &program, sizeof program), static_cast<ssize_t>(sizeof program));
  ::close(report[0]);
  // Held, as a careless host's other children would hold them: standard input stays open, and
  // nobody reads standard output.
  const int heldInput = in[1];
  const int unreadOutput = pipeOut[0];

  bool started = false;
  for (int i = 0; i < 100 && !started; ++i) {
    started = readText(err).find("[velto] system audio leaves out") != std::string::npos;
    sleepFor(0.05);
  }
  ASSERT_TRUE(started) << readText(err);
  sleepFor(1.0);  // long enough for a pipe nobody reads to fill up
  ASSERT_EQ(::kill(host, SIGKILL), 0);
  ::waitpid(host, nullptr, 0);
  const auto killed = Clock::now();

  int status = -1;
  pid_t ended = 0;
  while (ended == 0 && Clock::now() - killed < std::chrono::seconds(5)) {
    ended = ::waitpid(program, &status, WNOHANG);
    if (ended == 0) sleepFor(0.01);
  }
  const double seconds = std::chrono::duration<double>(Clock::now() - killed).count();
  if (ended == 0) {
    ::kill(program, SIGKILL);
    ::waitpid(program, nullptr, 0);
  }
  ::close(heldInput);
  ::close(unreadOutput);
  ASSERT_EQ(ended, program) << "Harkwell outlived its host by 5 s\n" << readText(err);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  std::cout << "Harkwell ended " << seconds << " s after its host\n";
  EXPECT_LT(seconds, 1.0);
  const std::string log = readText(err);
  EXPECT_NE(log.find("[velto] host process " + std::to_string(host) +
                     " ended; exiting\n[velto] shutting down\n[velto] MicCapture stopped\n"
                     "[velto] CoreAudio tap stopped\n"),
            std::string::npos)
      << log;
  const std::string p = std::to_string(program);
  EXPECT_EQ(shell("for i in $(seq 30); do pw-cli ls Node | grep -q -- '-" + p +
                  "\"' || exit 0; sleep 0.1; done; exit 1"),
            0)
      << shellOutput("pw-cli ls Node");
}

INSTANTIATE_TEST_SUITE_P(Outputs, HostDeathTest,
                         ::testing::Values(HostDeath{"OutputToAFile", Output::file},
                                           HostDeath{"OutputToAPipeNobodyReads",
                                                     Output::unreadPipe}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace harkwell::test
