// SPDX-License-Identifier: MIT
// Test signals and measurements for the converter benchmark.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace bench {

// `frames` frames of `channels` interleaved channels, each a sine of `hz` at `amplitude`.
std::vector<float> interleavedSine(double rate, double hz, double amplitude, std::size_t frames,
                                   std::uint32_t channels);

// A program-like stereo signal: a few tones and a little noise, about -6 dBFS.
std::vector<float> programStereo(double rate, std::size_t frames);

// Complex amplitude of `hz` over samples [from, from+count): x ~ amplitude*sin(w n + phase),
// n counted from sample 0 of `samples`.
struct Tone {
  double amplitude;
  double phase;
};
Tone measureTone(const std::vector<double>& samples, double rate, double hz, std::size_t from,
                 std::size_t count);

double toDecibels(double ratio);

}  // namespace bench
