// SPDX-License-Identifier: MIT
// Sound sources for the end-to-end tests: generated WAV files played by pw-play, either as a
// child of this process or as an orphan that no longer descends from it, and a tone played
// by this very process through a PipeWire stream.
#pragma once

#include <sys/types.h>

#include <memory>
#include <string>
#include <vector>

namespace harkwell::test {

// Writes a 16-bit WAV of a sine: `amplitude` of full scale in every channel.
void writeToneWav(const std::string& path, double frequency, double amplitude, double seconds,
                  int channels, int rate = 48000);

// A process that is ended (SIGTERM) when the object goes.
class Player {
 public:
  // A player (pw-play, paplay, aplay, or a shell running one) as a child of this process, in a
  // process group of its own that stop() ends whole.
  static std::unique_ptr<Player> child(const std::vector<std::string>& argv);
  // The same, moved into the cgroup folder `cgroup` before it runs.
  static std::unique_ptr<Player> childIn(const std::string& cgroup,
                                         const std::vector<std::string>& argv);
  // pw-play re-parented away from this process (a double fork), so it is no descendant.
  static std::unique_ptr<Player> orphan(const std::vector<std::string>& argv);
  ~Player();
  pid_t pid() const { return pid_; }
  void stop();

 private:
  explicit Player(pid_t pid, bool isChild) : pid_(pid), child_(isChild) {}
  pid_t pid_;
  bool child_;
};

// A sine played by this process through its own PipeWire playback stream.
class InProcessTone {
 public:
  InProcessTone(double frequency, double amplitude);
  ~InProcessTone();
  bool ok() const;

 private:
  struct State;
  State* state_;
};

}  // namespace harkwell::test
