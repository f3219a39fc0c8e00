// SPDX-License-Identifier: MIT
#include "SignalAnalysis.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numbers>

namespace harkwell::test {

double toneAmplitude(std::span<const std::int16_t> samples, double frequency, double sampleRate) {
  const std::size_t n = samples.size();
  if (n < 2) return 0.0;
  const double w = 2.0 * std::numbers::pi * frequency / sampleRate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0;
  double s2 = 0.0;
  double windowSum = 0.0;
  for (std::size_t i = 0; i < n; ++i) {
    const double hann = 0.5 - 0.5 * std::cos(2.0 * std::numbers::pi * static_cast<double>(i) /
                                             static_cast<double>(n - 1));
    windowSum += hann;
    const double x = hann * samples[i] / 32768.0;
    const double s0 = x + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / windowSum;
}

double dbfs(double amplitude) {
  return amplitude > 0 ? 20.0 * std::log10(amplitude) : -200.0;
}

int peak(std::span<const std::int16_t> samples) {
  int p = 0;
  for (std::int16_t s : samples) p = std::max(p, std::abs(static_cast<int>(s)));
  return p;
}

std::size_t clicks(std::span<const std::int16_t> samples, int maxStep) {
  std::size_t n = 0;
  for (std::size_t i = 1; i < samples.size(); ++i)
    n += std::abs(int{samples[i]} - int{samples[i - 1]}) > maxStep ? 1 : 0;
  return n;
}

std::size_t breaks(std::span<const std::int16_t> samples, int maxStep) {
  constexpr std::size_t kSameBreak = 16;
  std::size_t n = 0;
  std::size_t lastStep = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    if (std::abs(int{samples[i]} - int{samples[i - 1]}) <= maxStep) continue;
    if (n == 0 || i - lastStep > kSameBreak) ++n;
    lastStep = i;
  }
  return n;
}

std::size_t longestQuietRun(std::span<const std::int16_t> samples, int threshold) {
  std::size_t longest = 0;
  std::size_t run = 0;
  for (std::int16_t s : samples) {
    run = std::abs(int{s}) <= threshold ? run + 1 : 0;
    longest = std::max(longest, run);
  }
  return longest;
}

}  // namespace harkwell::test
