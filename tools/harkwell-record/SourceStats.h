// SPDX-License-Identifier: MIT
// What harkwell-record measures of one source: counts, levels, digital silence and arrival
// times, plus a short window of levels for the live meter.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace harkwell::record {

inline constexpr double kSampleRate = 16000.0;

// dBFS of an RMS or peak value on the int16 scale (32768 = 0 dBFS); -infinity for 0.
double toDbfs(double level);

struct Levels {
  double rms = 0;  // int16 scale
  int peak = 0;    // largest magnitude, 0...32768
  std::uint64_t samples = 0;
};

class SourceStats {
 public:
  // Adds one PCM payload (little-endian int16; a trailing odd byte is ignored) that arrived at
  // `arrival` seconds, or with no arrival time when decoding a saved stream.
  void add(std::span<const std::uint8_t> payload, std::optional<double> arrival);

  std::uint64_t samples() const { return samples_; }
  std::uint64_t frames() const { return frames_; }
  double seconds() const { return static_cast<double>(samples_) / kSampleRate; }
  Levels total() const;
  std::uint64_t longestSilence() const {
    return longestZeroRun_ > zeroRun_ ? longestZeroRun_ : zeroRun_;
  }

  // Seconds of audio that did not arrive: the wall time between the first and the last frame
  // against the audio those frames after the first carried. None without arrival times.
  std::optional<double> missingSeconds() const;

  // The levels since the last call (for the live meter), then starts a new window.
  Levels takeWindow();

 private:
  std::uint64_t samples_ = 0;
  std::uint64_t frames_ = 0;
  double sumSquares_ = 0;
  int peak_ = 0;
  std::uint64_t zeroRun_ = 0;
  std::uint64_t longestZeroRun_ = 0;
  double windowSumSquares_ = 0;
  int windowPeak_ = 0;
  std::uint64_t windowSamples_ = 0;
  std::optional<double> firstArrival_;
  double lastArrival_ = 0;
  std::uint64_t firstFrameSamples_ = 0;
};

}  // namespace harkwell::record
