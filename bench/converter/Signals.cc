// SPDX-License-Identifier: MIT
#include "Signals.h"

#include <cmath>
#include <numbers>
#include <random>

namespace bench {

std::vector<float> interleavedSine(double rate, double hz, double amplitude, std::size_t frames,
                                   std::uint32_t channels) {
  std::vector<float> out(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double v =
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate);
    for (std::uint32_t c = 0; c < channels; ++c) out[i * channels + c] = static_cast<float>(v);
  }
  return out;
}

std::vector<float> programStereo(double rate, std::size_t frames) {
  std::vector<float> out(frames * 2);
  std::mt19937 random(7);
  std::normal_distribution<double> noise(0.0, 0.01);
  const double w = 2.0 * std::numbers::pi / rate;
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i);
    const double common = 0.2 * std::sin(w * 220.0 * t) + 0.1 * std::sin(w * 3150.0 * t);
    out[2 * i] = static_cast<float>(common + 0.1 * std::sin(w * 5000.0 * t) + noise(random));
    out[2 * i + 1] = static_cast<float>(common - 0.1 * std::sin(w * 900.0 * t) + noise(random));
  }
  return out;
}

Tone measureTone(const std::vector<double>& samples, double rate, double hz, std::size_t from,
                 std::size_t count) {
  const double w = 2.0 * std::numbers::pi * hz / rate;
  double re = 0.0, im = 0.0;
  for (std::size_t n = from; n < from + count; ++n) {
    re += samples[n] * std::sin(w * static_cast<double>(n));
    im += samples[n] * std::cos(w * static_cast<double>(n));
  }
  re *= 2.0 / static_cast<double>(count);
  im *= 2.0 / static_cast<double>(count);
  return {std::hypot(re, im), std::atan2(im, re)};
}

double toDecibels(double ratio) {
  return 20.0 * std::log10(ratio);
}

}  // namespace bench
