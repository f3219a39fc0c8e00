// SPDX-License-Identifier: MIT
#include "RecordSupport.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>

extern char** environ;

namespace harkwell::test {

TempDir::TempDir() {
  std::string pattern =
      (std::filesystem::temp_directory_path() / "harkwell-record-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

Process::Process(const std::vector<std::string>& argv, const TempDir& dir, bool stdinPipe) {
  static int counter = 0;
  const std::string stem = dir / ("process" + std::to_string(++counter));
  outPath_ = stem + ".out";
  errPath_ = stem + ".err";
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  int pipeFds[2] = {-1, -1};
  if (stdinPipe) {
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) std::abort();
    posix_spawn_file_actions_adddup2(&actions, pipeFds[0], 0);
  } else {
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  }
  posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                   0644);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
  posix_spawn_file_actions_destroy(&actions);
  if (stdinPipe) {
    ::close(pipeFds[0]);
    stdin_ = pipeFds[1];
  }
}

Process::~Process() {
  closeStdin();
  if (pid_ > 0) {
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, nullptr, 0);
  }
}

void Process::closeStdin() {
  if (stdin_ >= 0) ::close(stdin_);
  stdin_ = -1;
}

std::optional<int> Process::wait(double seconds) {
  if (pid_ <= 0) return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    int status = 0;
    const pid_t r = ::waitpid(pid_, &status, WNOHANG);
    if (r == pid_) {
      pid_ = -1;
      if (WIFSIGNALED(status)) {
        termSignal_ = WTERMSIG(status);
        return 128 + termSignal_;
      }
      return WEXITSTATUS(status);
    }
    if (std::chrono::steady_clock::now() > deadline) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
      pid_ = -1;
      return std::nullopt;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

std::string Process::out() const {
  return readFile(outPath_);
}
std::string Process::err() const {
  return readFile(errPath_);
}

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> readLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
}

namespace {

std::uint32_t le32(const std::string& s, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i)
    v = (v << 8) | static_cast<unsigned char>(s[at + static_cast<std::size_t>(i)]);
  return v;
}
std::uint16_t le16(const std::string& s, std::size_t at) {
  return static_cast<std::uint16_t>(static_cast<unsigned char>(s[at]) |
                                    (static_cast<unsigned char>(s[at + 1]) << 8));
}

}  // namespace

Wav readWav(const std::string& path) {
  Wav wav;
  const std::string s = readFile(path);
  if (s.size() < 44) {
    wav.problem = path + ": " + std::to_string(s.size()) + " bytes, shorter than a WAV header";
    return wav;
  }
  auto expect = [&](bool ok, const std::string& what) {
    if (!ok && wav.problem.empty()) wav.problem = path + ": " + what;
  };
  expect(s.compare(0, 4, "RIFF") == 0 && s.compare(8, 4, "WAVE") == 0, "no RIFF/WAVE");
  expect(le32(s, 4) == s.size() - 8, "RIFF size " + std::to_string(le32(s, 4)) + " but file has " +
                                         std::to_string(s.size()) + " bytes");
  expect(s.compare(12, 4, "fmt ") == 0 && le32(s, 16) == 16, "no 16-byte fmt chunk");
  expect(le16(s, 20) == 1 && le16(s, 22) == 1 && le32(s, 24) == 16000 && le32(s, 28) == 32000 &&
             le16(s, 32) == 2 && le16(s, 34) == 16,
         "not 16 kHz mono 16-bit PCM");
  expect(s.compare(36, 4, "data") == 0 && le32(s, 40) == s.size() - 44,
         "data size " + std::to_string(le32(s, 40)) + " but " + std::to_string(s.size() - 44) +
             " bytes follow the header");
  for (std::size_t i = 44; i + 1 < s.size(); i += 2)
    wav.samples.push_back(static_cast<std::int16_t>(le16(s, i)));
  return wav;
}

std::vector<std::uint8_t> frame(std::uint8_t tag, const std::vector<std::uint8_t>& payload) {
  const auto n = static_cast<std::uint32_t>(payload.size());
  std::vector<std::uint8_t> out{tag, static_cast<std::uint8_t>(n >> 24),
                                static_cast<std::uint8_t>(n >> 16),
                                static_cast<std::uint8_t>(n >> 8), static_cast<std::uint8_t>(n)};
  out.insert(out.end(), payload.begin(), payload.end());
  return out;
}

std::vector<std::uint8_t> pcm(const std::vector<std::int16_t>& samples) {
  std::vector<std::uint8_t> out;
  for (std::int16_t s : samples) {
    const auto u = static_cast<std::uint16_t>(s);
    out.push_back(static_cast<std::uint8_t>(u & 0xFF));
    out.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return out;
}

std::vector<std::uint8_t> text(std::string_view s) {
  return {s.begin(), s.end()};
}

std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                    const std::vector<std::uint8_t>& b) {
  a.insert(a.end(), b.begin(), b.end());
  return a;
}

bool waitForText(const std::string& path, std::string_view needle, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (std::chrono::steady_clock::now() < deadline) {
    if (readFile(path).find(needle) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

}  // namespace harkwell::test
