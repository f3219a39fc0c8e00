// Measuring tones in captured 16-bit samples.
#pragma once

#include <cstdint>
#include <span>

namespace e2e {

// The amplitude (0..1 of full scale) of the `frequency` component of `samples` at
// `sampleRate`, by a Goertzel filter over a Hann-windowed block.
double toneAmplitude(std::span<const std::int16_t> samples, double frequency,
                     double sampleRate = 16000.0);

// Amplitude in decibels relative to full scale; -200 for nothing.
double dbfs(double amplitude);

// The largest absolute sample.
int peak(std::span<const std::int16_t> samples);

}  // namespace e2e
