// SPDX-License-Identifier: MIT
// The built program, run with command lines: exact standard output, standard error and exit
// status for help and listing modes; the lines the entry point writes in capture mode.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "FdCapture.h"
#include "Harkwell/CommandLine.h"

namespace harkwell {
namespace {

struct ProgramRun {
  int status = -1;  // exit status, or -1 when the process did not exit normally
  std::string out;
  std::string err;
};

// Runs the program with `arguments`, standard input from /dev/null. A program that has not
// ended after a minute is killed (and the run then reports no exit status).
ProgramRun runProgram(const std::vector<std::string>& arguments) {
  int out[2], err[2];
  if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) return {};
  std::vector<std::string> argvStorage = {HARKWELL_BINARY};
  argvStorage.insert(argvStorage.end(), arguments.begin(), arguments.end());
  std::vector<char*> argv;
  for (auto& a : argvStorage) argv.push_back(a.data());
  argv.push_back(nullptr);

  const pid_t pid = ::fork();
  if (pid == 0) {
    const int devNull = ::open("/dev/null", O_RDONLY);
    ::dup2(devNull, 0);
    ::dup2(out[1], 1);
    ::dup2(err[1], 2);
    ::execv(argv[0], argv.data());
    ::_exit(127);
  }
  ::close(out[1]);
  ::close(err[1]);
  std::atomic<bool> ended{false};
  std::thread watchdog([&] {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::minutes(1);
    while (!ended && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!ended) ::kill(pid, SIGKILL);
  });
  ProgramRun run;
  std::thread outReader([&] { run.out = test::readAll(out[0]); });
  run.err = test::readAll(err[0]);
  outReader.join();
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
  ended = true;
  watchdog.join();
  ::close(out[0]);
  ::close(err[0]);
  if (WIFEXITED(status)) run.status = WEXITSTATUS(status);
  return run;
}

const std::string kUsage = std::string(usageText) + "\n";
const std::string kTargeting =
    "[velto] targeting args ignored \xE2\x80\x94 capturing system audio\n";
const std::string kNoneRunning = "(no known meeting apps currently running)\n";

std::string unknown(const std::string& a) {
  return "[velto][ERROR] unknown arg: " + a + "\n";
}

// The listing's shape; which applications run on the test machine varies.
void expectListing(const std::string& out, const std::string& context) {
  if (out == kNoneRunning) return;
  ASSERT_TRUE(out.starts_with("PID\tBUNDLE\tNAME\n")) << context << out;
  EXPECT_TRUE(out.ends_with("\n")) << context;
}

TEST(Binary, UsageTextBytes) {
  const std::string expected =
      "Harkwell \xE2\x80\x94 Quillet system-audio + mic capture for macOS.\n\nUsage:\n"
      "  Harkwell --target-pid <pid>\n  Harkwell --target-bundle <bundle.id>\n"
      "  Harkwell --list-processes\n\n"
      "Output: length-prefixed binary frames on stdout. See Protocol.\n"
      "Logs:   human-readable lines on stderr.\n";
  const ProgramRun run = runProgram({"--help"});
  EXPECT_EQ(run.out, expected);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.status, 0);
}

enum class Mode { help, listing, capture };

TEST(Binary, CommandLineTable) {
  struct Case {
    std::vector<std::string> argv;
    Mode mode;
    std::string unknownLines;  // the error lines parsing writes, in order
    bool targetingLine;        // capture mode only
  };
  const std::vector<Case> cases = {
      {{"-h"}, Mode::help, "", false},
      {{"--bogus", "-h"}, Mode::help, unknown("--bogus"), false},
      {{"-h", "--list-processes"}, Mode::help, "", false},
      {{"--list-processes", "--help"}, Mode::help, "", false},
      {{"-h", "--target-pid", "5"}, Mode::help, "", false},
      {{"--list-processes"}, Mode::listing, "", false},
      {{"--list-processes", "--target-pid", "5"}, Mode::listing, "", false},
      {{"--target-bundle", "x", "--list-processes", "--bogus"},
       Mode::listing,
       unknown("--bogus"),
       false},
      {{}, Mode::capture, "", false},
      {{"--target-pid"}, Mode::capture, "", false},
      {{"--target-pid", "abc"}, Mode::capture, "", false},
      {{"--target-pid", "12x"}, Mode::capture, "", false},
      {{"--target-pid", " 5"}, Mode::capture, "", false},
      {{"--target-pid", "2147483648"}, Mode::capture, "", false},
      {{"--target-pid", "-2147483648"}, Mode::capture, "", true},
      {{"--target-pid", "+42"}, Mode::capture, "", true},
      {{"--target-pid", "007"}, Mode::capture, "", true},
      {{"--target-pid", "12", "--target-pid", "x"}, Mode::capture, "", true},
      {{"--target-pid", "--list-processes"}, Mode::capture, "", false},
      {{"--target-pid", "--list-processes", "--target-bundle"}, Mode::capture, "", false},
      {{"--target-bundle", ""}, Mode::capture, "", true},
      {{"--target-bundle", "us.zoom.xos"}, Mode::capture, "", true},
      {{"--target-pid=5", "-H", "--HELP", "-help"},
       Mode::capture,
       unknown("--target-pid=5") + unknown("-H") + unknown("--HELP") + unknown("-help"),
       false},
      {{"--bogus", "--target-pid", "1"}, Mode::capture, unknown("--bogus"), true},
  };
  for (const Case& c : cases) {
    std::string context = "args:";
    for (const auto& a : c.argv) context += " [" + a + "]";
    context += "\n";
    const ProgramRun run = runProgram(c.argv);
    EXPECT_EQ(run.status, 0) << context;
    switch (c.mode) {
      case Mode::help:
        EXPECT_EQ(run.out, kUsage) << context;
        EXPECT_EQ(run.err, c.unknownLines) << context;
        break;
      case Mode::listing:
        expectListing(run.out, context);
        EXPECT_EQ(run.err, c.unknownLines) << context;
        break;
      case Mode::capture: {
        // Start-up's own lines follow; the entry point's come first.
        const std::string head = c.unknownLines + (c.targetingLine ? kTargeting : "");
        EXPECT_TRUE(run.err.starts_with(head)) << context << "stderr:\n" << run.err;
        if (!c.targetingLine) {
          EXPECT_EQ(run.err.find("targeting args ignored"), std::string::npos) << context;
        }
        EXPECT_EQ(run.out.find("PID\tBUNDLE\tNAME"), std::string::npos) << context;
        EXPECT_EQ(run.out.find(kNoneRunning), std::string::npos) << context;
        EXPECT_EQ(run.out.find("Usage:"), std::string::npos) << context;
        break;
      }
    }
  }
}

}  // namespace
}  // namespace harkwell
