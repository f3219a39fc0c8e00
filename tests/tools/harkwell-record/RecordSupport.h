// SPDX-License-Identifier: MIT
// Helpers for the harkwell-record tests: run the built program, read WAV files, build streams.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace harkwell::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::filesystem::path& path() const { return path_; }
  std::string operator/(std::string_view name) const { return (path_ / name).string(); }

 private:
  std::filesystem::path path_;
};

// A program started with standard output and standard error going to files, and standard
// input a pipe kept open until closeStdin() (or /dev/null).
class Process {
 public:
  Process(const std::vector<std::string>& argv, const TempDir& dir, bool stdinPipe = false);
  ~Process();
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  pid_t pid() const { return pid_; }
  void closeStdin();
  // The exit status, or none when it did not end within `seconds` (it is then killed).
  std::optional<int> wait(double seconds = 30.0);
  // Killed by a signal: that signal's number, else 0.
  int termSignal() const { return termSignal_; }
  std::string out() const;
  std::string err() const;

 private:
  pid_t pid_ = -1;
  int stdin_ = -1;
  int termSignal_ = 0;
  std::string outPath_;
  std::string errPath_;
};

struct Wav {
  std::string problem;  // empty when the file is a valid 16 kHz mono 16-bit PCM WAV file
  std::vector<std::int16_t> samples;
};
Wav readWav(const std::string& path);

std::string readFile(const std::string& path);
std::vector<std::string> readLines(const std::string& path);
void writeFile(const std::string& path, const std::vector<std::uint8_t>& bytes);

// Stream building.
std::vector<std::uint8_t> frame(std::uint8_t tag, const std::vector<std::uint8_t>& payload);
std::vector<std::uint8_t> pcm(const std::vector<std::int16_t>& samples);
std::vector<std::uint8_t> text(std::string_view s);
std::vector<std::uint8_t> operator+(std::vector<std::uint8_t> a,
                                    const std::vector<std::uint8_t>& b);

// Waits until `path` holds `needle` (polling), up to `seconds`.
bool waitForText(const std::string& path, std::string_view needle, double seconds);

}  // namespace harkwell::test
