// SPDX-License-Identifier: MIT
#include "HarkwellProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <fstream>

#include "HarkwellCore/FrameReader.h"

namespace harkwell::test {

HarkwellProcess::HarkwellProcess(const std::vector<std::string>& environment, Launch launch)
    : launch_(launch) {
  int in[2];
  int out[2];
  int err[2];
  int report[2];  // the program's PID, from a helper or the exiting parent of an orphan
  if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 ||
      ::pipe2(report, O_CLOEXEC) != 0)
    return;
  pid_ = ::fork();
  if (pid_ == 0) {
    ::dup2(in[0], STDIN_FILENO);
    ::dup2(out[1], STDOUT_FILENO);
    ::dup2(err[1], STDERR_FILENO);
    for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
    if (launch == Launch::shell) {
      // dash does not exec the last command of a command string: it stays the parent.
      ::execl("/bin/sh", "sh", "-c", "\"$0\"", HARKWELL_BINARY, static_cast<char*>(nullptr));
      ::_exit(127);
    }
    if (launch == Launch::helper || launch == Launch::orphan) {
      // The helper does not exec: it must not keep this process's ends of the pipes open.
      ::close(in[1]);
      ::close(out[0]);
      ::close(err[0]);
      ::close(report[0]);
      const pid_t program = ::fork();
      if (program == 0) {
        ::execl(HARKWELL_BINARY, HARKWELL_BINARY, static_cast<char*>(nullptr));
        ::_exit(127);
      }
      (void)!::write(report[1], &program, sizeof program);
      if (launch == Launch::helper) ::waitpid(program, nullptr, 0);
      ::_exit(0);
    }
    ::execl(HARKWELL_BINARY, HARKWELL_BINARY, static_cast<char*>(nullptr));
    ::_exit(127);
  }
  ::close(in[0]);
  ::close(out[1]);
  ::close(err[1]);
  ::close(report[1]);
  if (launch == Launch::helper || launch == Launch::orphan) {
    (void)!::read(report[0], &program_, sizeof program_);
    if (launch == Launch::orphan) ::waitpid(pid_, nullptr, 0);
  }
  ::close(report[0]);
  stdin_ = in[1];
  out_ = std::thread(&HarkwellProcess::readStdout, this, out[0]);
  err_ = std::thread(&HarkwellProcess::readStderr, this, err[0]);
}

pid_t HarkwellProcess::pid() const {
  if (launch_ == Launch::direct) return pid_;
  if (launch_ != Launch::shell) return program_;
  // The shell's one child.
  std::ifstream children("/proc/" + std::to_string(pid_) + "/task/" + std::to_string(pid_) +
                         "/children");
  pid_t child = -1;
  return (children >> child) ? child : -1;
}

HarkwellProcess::~HarkwellProcess() {
  reading_.store(true);
  if (launch_ != Launch::direct) {
    // Not this process's child: end it the way a host does, and make sure it is gone.
    const pid_t program = pid();
    closeStdin();
    waitUntil(5, [&] { return outputEnded_.load(); });
    if (!outputEnded_.load() && program > 0) ::kill(program, SIGKILL);
    if (launch_ != Launch::orphan) ::waitpid(pid_, nullptr, 0);
    if (program > 0) ::waitpid(program, nullptr, WNOHANG);  // adopted by this subreaper
  } else if (!waitExit(0)) {
    ::kill(pid_, SIGKILL);
    waitExit(5);
  }
  closeStdin();
  if (out_.joinable()) out_.join();
  if (err_.joinable()) err_.join();
}

void HarkwellProcess::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

void HarkwellProcess::sendSignal(int signal) {
  ::kill(pid_, signal);
}

std::optional<int> HarkwellProcess::waitExit(double seconds) {
  if (status_) return status_;
  const auto deadline = Clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      status_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      return status_;
    }
    if (r < 0 || Clock::now() >= deadline) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

void HarkwellProcess::readStdout(int fd) {
  harkwell::FrameReader reader;
  std::array<std::uint8_t, 65536> buffer;
  for (;;) {
    if (!reading_.load()) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
      continue;
    }
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    const auto now = Clock::now();
    reader.feed(std::span(buffer.data(), static_cast<std::size_t>(n)));
    std::vector<Frame> decoded;
    while (auto sf = reader.next()) {
      const harkwell::DecodedFrame& frame = sf->frame;
      Frame f{frame.tag, {}, {}, now};
      if (frame.tag == harkwell::FrameTag::control) {
        f.text.assign(frame.payload.begin(), frame.payload.end());
      } else {
        if (frame.payload.size() % 2 != 0) corrupt_.store(true);
        f.samples.resize(frame.payload.size() / 2);
        std::memcpy(f.samples.data(), frame.payload.data(), f.samples.size() * 2);
      }
      decoded.push_back(std::move(f));
    }
    if (reader.error()) corrupt_.store(true);
    if (!decoded.empty()) {
      std::lock_guard lock(mutex_);
      for (auto& f : decoded) frames_.push_back(std::move(f));
      changed_.notify_all();
    }
  }
  reader.finish();
  if (reader.error()) corrupt_.store(true);
  ::close(fd);
  {
    std::lock_guard lock(mutex_);
    outputEnded_.store(true);
  }
  changed_.notify_all();
}

void HarkwellProcess::readStderr(int fd) {
  std::string pending;
  std::array<char, 4096> buffer;
  for (;;) {
    const ssize_t n = ::read(fd, buffer.data(), buffer.size());
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    pending.append(buffer.data(), static_cast<std::size_t>(n));
    std::size_t eol;
    while ((eol = pending.find('\n')) != std::string::npos) {
      std::lock_guard lock(mutex_);
      stderr_.push_back(pending.substr(0, eol));
      pending.erase(0, eol + 1);
      changed_.notify_all();
    }
  }
  ::close(fd);
}

std::vector<Frame> HarkwellProcess::frames() const {
  std::lock_guard lock(mutex_);
  return frames_;
}

std::size_t HarkwellProcess::frameCount() const {
  std::lock_guard lock(mutex_);
  return frames_.size();
}

std::vector<std::string> HarkwellProcess::stderrLines() const {
  std::lock_guard lock(mutex_);
  return stderr_;
}

std::string HarkwellProcess::said() const {
  std::string text;
  for (const std::string& line : stderrLines()) text += "\n  " + line;
  return text;
}

bool HarkwellProcess::waitUntil(double seconds, const std::function<bool()>& done) const {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, std::chrono::duration<double>(seconds), done);
}

bool HarkwellProcess::waitForStderr(const std::string& line, double seconds) const {
  return waitUntil(
      seconds, [&] { return std::find(stderr_.begin(), stderr_.end(), line) != stderr_.end(); });
}

bool HarkwellProcess::waitForReady(double seconds) const {
  return waitUntil(seconds, [&] {
    return std::any_of(frames_.begin(), frames_.end(), [](const Frame& f) {
      return f.tag == harkwell::FrameTag::control && f.text == R"({"type":"ready"})";
    });
  });
}

std::vector<std::int16_t> HarkwellProcess::samplesSince(harkwell::FrameTag tag,
                                                        Clock::time_point since) const {
  std::lock_guard lock(mutex_);
  std::vector<std::int16_t> out;
  for (const Frame& f : frames_)
    if (f.tag == tag && f.arrival >= since)
      out.insert(out.end(), f.samples.begin(), f.samples.end());
  return out;
}

}  // namespace harkwell::test
