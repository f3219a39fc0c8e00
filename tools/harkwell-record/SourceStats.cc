// SPDX-License-Identifier: MIT
#include "SourceStats.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace harkwell::record {

double toDbfs(double level) {
  if (level <= 0) return -std::numeric_limits<double>::infinity();
  return 20.0 * std::log10(level / 32768.0);
}

void SourceStats::add(std::span<const std::uint8_t> payload, std::optional<double> arrival) {
  const std::size_t n = payload.size() / 2;
  for (std::size_t i = 0; i < n; ++i) {
    const auto raw = static_cast<std::uint16_t>(payload[2 * i] | (payload[2 * i + 1] << 8));
    const int s = static_cast<std::int16_t>(raw);
    const int magnitude = std::abs(s);
    const double square = static_cast<double>(s) * s;
    sumSquares_ += square;
    windowSumSquares_ += square;
    if (magnitude > peak_) peak_ = magnitude;
    if (magnitude > windowPeak_) windowPeak_ = magnitude;
    if (s == 0) {
      ++zeroRun_;
    } else {
      if (zeroRun_ > longestZeroRun_) longestZeroRun_ = zeroRun_;
      zeroRun_ = 0;
    }
  }
  samples_ += n;
  windowSamples_ += n;
  ++frames_;
  if (arrival) {
    if (!firstArrival_) {
      firstArrival_ = *arrival;
      firstFrameSamples_ = n;
    }
    lastArrival_ = *arrival;
  }
}

Levels SourceStats::total() const {
  Levels l;
  l.samples = samples_;
  l.peak = peak_;
  l.rms = samples_ ? std::sqrt(sumSquares_ / static_cast<double>(samples_)) : 0.0;
  return l;
}

std::optional<double> SourceStats::missingSeconds() const {
  if (!firstArrival_) return std::nullopt;
  const double wall = lastArrival_ - *firstArrival_;
  const double audio = static_cast<double>(samples_ - firstFrameSamples_) / kSampleRate;
  return wall - audio;
}

Levels SourceStats::takeWindow() {
  Levels l;
  l.samples = windowSamples_;
  l.peak = windowPeak_;
  l.rms = windowSamples_ ? std::sqrt(windowSumSquares_ / static_cast<double>(windowSamples_)) : 0.0;
  windowSumSquares_ = 0;
  windowPeak_ = 0;
  windowSamples_ = 0;
  return l;
}

}  // namespace harkwell::record
