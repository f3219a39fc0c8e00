// SPDX-License-Identifier: MIT
// Start-up and shutdown of capture mode, end to end: the scripted build of the program runs
// as a child; its standard output (frames), standard error (lines) and exit status are checked.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "HarkwellCore/FrameReader.h"
#include "HarkwellCore/Protocol.h"

namespace {

using harkwell::FrameTag;

struct Outcome {
  int status = -1;  // as waitpid gives it
  std::string out;
  std::string err;
};

// The program's standard input: a pipe this process holds, or /dev/null opened for reading
// (at end of file from the start) or for writing only (every read fails).
enum class Input { pipe, atEndOfFile, unreadable };

class Child {
 public:
  Child(const std::string& scenario, std::vector<std::string> args = {},
        Input inputKind = Input::pipe) {
    int in[2], out[2], err[2];
    if (pipe2(in, O_CLOEXEC) || pipe2(out, O_CLOEXEC) || pipe2(err, O_CLOEXEC)) std::abort();
    pid_ = fork();
    if (pid_ == 0) {
      const int input =
          inputKind == Input::pipe
              ? in[0]
              : open("/dev/null", inputKind == Input::atEndOfFile ? O_RDONLY : O_WRONLY);
      dup2(input, STDIN_FILENO);
      dup2(out[1], STDOUT_FILENO);
      dup2(err[1], STDERR_FILENO);
      setenv("HARKWELL_SCRIPTED_SCENARIO", scenario.c_str(), 1);
      std::vector<char*> argv{const_cast<char*>(HARKWELL_SCRIPTED_PATH)};
      for (auto& a : args) argv.push_back(a.data());
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
      _exit(127);
    }
    close(in[0]);
    close(out[1]);
    close(err[1]);
    in_ = in[1];
    out_ = out[0];
    err_ = err[0];
    if (inputKind != Input::pipe) closeInput();
  }

  ~Child() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    closeInput();
    if (out_ >= 0) close(out_);
    if (err_ >= 0) close(err_);
  }

  void closeInput() {
    if (in_ >= 0) close(in_);
    in_ = -1;
  }
  void writeInput(const std::string& bytes) {
    ASSERT_EQ(write(in_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  void signal(int sig) { kill(pid_, sig); }

  // Waits until the three signal sources are armed: SIGHUP, the last of them, is caught.
  bool waitUntilSignalsArmed() {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
      std::ifstream status("/proc/" + std::to_string(pid_) + "/status");
      for (std::string line; std::getline(status, line);) {
        if (line.rfind("SigCgt:", 0) == 0) {
          const auto caught = std::stoull(line.substr(7), nullptr, 16);
          if (caught & (1ull << (SIGHUP - 1))) return true;
        }
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
  }

  // Reads both streams to their end and waits for the exit (killing the child after 30 s).
  Outcome finish() {
    Outcome outcome;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (out_ >= 0 || err_ >= 0) {
      pollfd fds[2] = {{out_, POLLIN, 0}, {err_, POLLIN, 0}};
      if (poll(fds, 2, 100) < 0) break;
      if (std::chrono::steady_clock::now() > deadline) {
        ADD_FAILURE() << "the program did not end";
        kill(pid_, SIGKILL);
      }
      readSome(fds[0], out_, outcome.out);
      readSome(fds[1], err_, outcome.err);
    }
    waitpid(pid_, &outcome.status, 0);
    pid_ = -1;
    return outcome;
  }

 private:
  static void readSome(const pollfd& fd, int& descriptor, std::string& into) {
    if (descriptor < 0 || !(fd.revents & (POLLIN | POLLHUP | POLLERR))) return;
    char chunk[4096];
    const ssize_t n = read(descriptor, chunk, sizeof chunk);
    if (n > 0) {
      into.append(chunk, static_cast<std::size_t>(n));
    } else {
      close(descriptor);
      descriptor = -1;
    }
  }

  pid_t pid_ = -1;
  int in_ = -1, out_ = -1, err_ = -1;
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> result;
  std::size_t start = 0;
  for (std::size_t end; (end = text.find('\n', start)) != std::string::npos; start = end + 1)
    result.push_back(text.substr(start, end - start));
  if (start < text.size()) result.push_back(text.substr(start) + "<no line feed>");
  return result;
}

// Control frames as their JSON text; audio frames as "micPCM <bytes>" / "tapPCM <bytes>".
std::vector<std::string> frames(const std::string& bytes) {
  std::vector<std::string> result;
  harkwell::FrameReader reader;
  reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  for (;;) {
    auto sf = reader.next();
    if (!sf) {
      reader.finish();
      if (reader.error())
        result.push_back("<" + std::to_string(bytes.size() - reader.errorOffset()) +
                         " bytes that are no frame>");
      break;
    }
    const harkwell::DecodedFrame* frame = &sf->frame;
    switch (frame->tag) {
      case FrameTag::control:
        result.emplace_back(frame->payload.begin(), frame->payload.end());
        break;
      case FrameTag::micPCM:
        result.push_back("micPCM " + std::to_string(frame->payload.size()));
        break;
      case FrameTag::tapPCM:
        result.push_back("tapPCM " + std::to_string(frame->payload.size()));
        break;
    }
  }
  return result;
}

const std::string kReady = R"({"type":"ready"})";
const std::string kMicStarted = "[velto] MicCapture started (input sr=48000.0 ch=1)";
const std::string kTapStarted = "[velto] CoreAudio tap started (input sr=48000.0 ch=1)";
const std::string kUsingTap = "[velto] using CoreAudio Tap path";
const std::string kStdinClosed = "[velto] stdin closed by parent; exiting";
const std::string kShuttingDown = "[velto] shutting down";
const std::string kMicStopped = "[velto] MicCapture stopped";
const std::string kTapStopped = "[velto] CoreAudio tap stopped";
const std::string kNoMic = "No microphone input available (sr=0)";
const std::string kTapRefused = "AudioHardwareCreateProcessTap failed (status=1937010544)";

std::vector<std::string> concat(std::vector<std::string> a, const std::vector<std::string>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

// Start-up scenarios, each ended by the end of standard input.
struct Scenario {
  const char* name;
  std::string items;
  std::vector<std::string> args;
  std::vector<std::string> frames;
  std::vector<std::string> startLines;
  std::vector<std::string> stopLines;
};

TEST(Startup, ReportsEachPathThenReadyAndEndsAtEndOfInput) {
  const std::vector<std::string> bothStop = {kStdinClosed, kShuttingDown, kMicStopped, kTapStopped};
  const std::vector<std::string> micOnlyStop = {kStdinClosed, kShuttingDown, kMicStopped};
  const Scenario scenarios[] = {
      {"both paths run", "", {}, {kReady}, {kMicStarted, kTapStarted, kUsingTap}, bothStop},
      {"microphone fails",
       "mic-no-input",
       {},
       {R"({"type":"error","msg":"mic_start: )" + kNoMic + R"("})", kReady},
       {"[velto][ERROR] mic start failed: " + kNoMic, kTapStarted, kUsingTap},
       bothStop},
      {"tap fails",
       "tap-refused",
       {},
       {R"({"type":"error","msg":"tap_start: )" + kTapRefused + R"("})", kReady},
       {kMicStarted, "[velto][ERROR] CoreAudio tap start failed: " + kTapRefused},
       micOnlyStop},
      {"both fail, still ready",
       "mic-no-input,tap-refused",
       {},
       {R"({"type":"error","msg":"mic_start: )" + kNoMic + R"("})",
        R"({"type":"error","msg":"tap_start: )" + kTapRefused + R"("})", kReady},
       {"[velto][ERROR] mic start failed: " + kNoMic,
        "[velto][ERROR] CoreAudio tap start failed: " + kTapRefused},
       micOnlyStop},
      {"no process taps",
       "no-process-taps",
       {},
       {R"({"type":"error","msg":"unsupported_os: macOS 14.4+ required"})", kReady},
       {kMicStarted, "[velto][ERROR] macOS 14.4+ required for system-audio capture"},
       micOnlyStop},
      {"no audio system at all",
       "unavailable",
       {},
       {R"({"type":"error","msg":"mic_start: )" + kNoMic + R"("})",
        R"({"type":"error","msg":"tap_start: )" + kTapRefused + R"("})", kReady},
       {"[velto][ERROR] mic start failed: " + kNoMic,
        "[velto][ERROR] CoreAudio tap start failed: " + kTapRefused},
       micOnlyStop},
      {"microphone not authorized",
       "mic-denied,tap-refused",
       {},
       {R"({"type":"error","msg":"tap_start: )" + kTapRefused + R"("})", kReady},
       {"[velto][ERROR] microphone not authorized (status=2) \u2014 capture may be silent; grant "
        "Microphone access in System Settings \u2192 Privacy & Security",
        kMicStarted, "[velto][ERROR] CoreAudio tap start failed: " + kTapRefused},
       micOnlyStop},
      {"audio before ready",
       "mic-frames",
       {},
       {"micPCM " + std::to_string(2 * 1600 - 0), kReady},
       {kMicStarted, kTapStarted, kUsingTap},
       bothStop},
      {"targeting options",
       "",
       {"--target-pid", "5"},
       {kReady},
       {"[velto] targeting args ignored \u2014 capturing system audio", kMicStarted, kTapStarted,
        kUsingTap},
       bothStop},
  };
  for (const Scenario& scenario : scenarios) {
    SCOPED_TRACE(scenario.name);
    Child child(scenario.items, scenario.args);
    child.writeInput("bytes from the parent change nothing\n");
    child.closeInput();
    const Outcome outcome = child.finish();
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
    auto got = frames(outcome.out);
    if (std::string(scenario.name) == "audio before ready" && got.size() == 2 &&
        got[0].rfind("micPCM ", 0) == 0)
      got[0] = scenario.frames[0];  // the resampler's delay decides the exact count
    EXPECT_EQ(got, scenario.frames);
    EXPECT_EQ(lines(outcome.err), concat(scenario.startLines, scenario.stopLines));
  }
}

TEST(Startup, InputAtEndOfFileOrUnreadableEndsTheCapture) {
  // A parent that cannot be heard (its end of standard input fails every read) is treated like
  // one that closed it, rather than leaving the program running with nobody to stop it.
  for (const Input input : {Input::atEndOfFile, Input::unreadable}) {
    SCOPED_TRACE(input == Input::atEndOfFile ? "at end of file" : "unreadable");
    Child child("", {}, input);
    const Outcome outcome = child.finish();
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
    EXPECT_EQ(frames(outcome.out), std::vector<std::string>{kReady});
    EXPECT_EQ(lines(outcome.err),
              (std::vector<std::string>{kMicStarted, kTapStarted, kUsingTap, kStdinClosed,
                                        kShuttingDown, kMicStopped, kTapStopped}));
  }
}

TEST(Startup, EachHandledSignalShutsDownOnce) {
  for (const int sig : {SIGTERM, SIGINT, SIGHUP}) {
    SCOPED_TRACE(strsignal(sig));
    Child child("");
    ASSERT_TRUE(child.waitUntilSignalsArmed());
    child.signal(sig);
    child.signal(sig);  // a second delivery finds the shutdown claimed
    const Outcome outcome = child.finish();
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
    EXPECT_EQ(frames(outcome.out), std::vector<std::string>{kReady});
    EXPECT_EQ(lines(outcome.err),
              (std::vector<std::string>{kMicStarted, kTapStarted, kUsingTap, kShuttingDown,
                                        kMicStopped, kTapStopped}));
  }
}

TEST(Startup, ASignalTogetherWithEndOfInputShutsDownOnce) {
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    Child child("tap-refused");
    ASSERT_TRUE(child.waitUntilSignalsArmed());
    child.closeInput();
    child.signal(SIGTERM);
    const Outcome outcome = child.finish();
    EXPECT_TRUE(WIFEXITED(outcome.status) && WEXITSTATUS(outcome.status) == 0) << outcome.status;
    auto got = lines(outcome.err);
    // "stdin closed by parent; exiting" may come or not, wherever the watch got to.
    std::erase(got, kStdinClosed);
    EXPECT_EQ(got, (std::vector<std::string>{
                       kMicStarted, "[velto][ERROR] CoreAudio tap start failed: " + kTapRefused,
                       kShuttingDown, kMicStopped}));
  }
}

}  // namespace
