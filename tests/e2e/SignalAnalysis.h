// SPDX-License-Identifier: MIT
// Measuring tones in captured 16-bit samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace harkwell::test {

// The amplitude (0..1 of full scale) of the `frequency` component of `samples` at
// `sampleRate`, by a Goertzel filter over a Hann-windowed block.
double toneAmplitude(std::span<const std::int16_t> samples, double frequency,
                     double sampleRate = 16000.0);

// Amplitude in decibels relative to full scale; -200 for nothing.
double dbfs(double amplitude);

// The largest absolute sample.
int peak(std::span<const std::int16_t> samples);

// Steps between neighbouring samples larger than `maxStep`: clicks in a tone whose steepest
// step is below it.
std::size_t clicks(std::span<const std::int16_t> samples, int maxStep);

// Breaks in a tone: clicks counted once per place, steps less than a millisecond (16 samples)
// apart being one break (a jump of phase rings over a few samples after the resampler).
std::size_t breaks(std::span<const std::int16_t> samples, int maxStep);

// The longest run of samples no louder than `threshold`: a dropout inside a tone.
std::size_t longestQuietRun(std::span<const std::int16_t> samples, int threshold);

}  // namespace harkwell::test
