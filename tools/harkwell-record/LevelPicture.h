// SPDX-License-Identifier: MIT
// A picture of a recording: each source's level per 100 ms over time, with the stretches where
// audio was missing against the wall clock marked, as an SVG file (levels.svg).
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace harkwell::record {

class LevelTrack {
 public:
  struct Gap {
    double at;       // seconds on the picture's time line (audio before it plus earlier gaps)
    double seconds;  // how much audio was missing
  };

  // One PCM payload (little-endian int16) that arrived at `arrival` seconds (none when
  // decoding a saved stream: no gaps are known then).
  void add(std::span<const std::uint8_t> payload, std::optional<double> arrival);

  // dBFS of each whole 100 ms of audio, and where each block starts on the time line.
  const std::vector<double>& levels() const { return levels_; }
  const std::vector<double>& starts() const { return starts_; }
  const std::vector<Gap>& gaps() const { return gaps_; }
  double end() const;  // seconds on the time line

 private:
  void closeBlock();
  std::uint64_t samples_ = 0;
  double gapSeconds_ = 0;
  std::optional<double> firstArrival_;
  double blockSquares_ = 0;
  std::uint32_t blockSamples_ = 0;
  double blockStart_ = 0;
  std::vector<double> levels_;
  std::vector<double> starts_;
  std::vector<Gap> gaps_;
};

// The SVG text: one lane per source, levels from -60 to 0 dBFS, gaps in red.
std::string levelPicture(const LevelTrack& mic, const LevelTrack& system);

}  // namespace harkwell::record
