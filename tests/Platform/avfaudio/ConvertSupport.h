// SPDX-License-Identifier: MIT
// Signals, buffers and conversion loops shared by the converter tests.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "Platform/avfaudio/AVFAudio.h"

namespace harkwell::test {

using namespace platform;  // these helpers speak the audio framework's types

// Per-channel samples in [-1, 1].
using Channels = std::vector<std::vector<float>>;

// `frames` frames of a sine of `hz` at `amplitude` (1.0 = full scale), the same in every
// channel unless `perChannelGain` says otherwise.
Channels sine(double rate, double hz, double amplitude, std::size_t frames,
              std::uint32_t channels = 1, const std::vector<float>& perChannelGain = {});

// A buffer in `format` (any PCM sample type and layout) holding frames [start, start+count).
std::unique_ptr<AVAudioPCMBuffer> bufferOf(const AVAudioFormat& format, const Channels& signal,
                                           std::size_t start, std::size_t count);

// The output format of the capture paths: int16, 16000 Hz, mono, interleaved.
AVAudioFormat int16Mono16k();

// Converts `signal` as the capture paths do: one call per input chunk, the input block giving
// the chunk once and then noDataNow, an output capacity of ratio * n + 1024. `nextChunk`
// gives each chunk's size. With `endOfStream`, a last call drains the converter.
std::vector<std::int16_t> convertInChunks(AVAudioConverter& converter, const Channels& signal,
                                          const std::function<std::size_t()>& nextChunk,
                                          bool endOfStream = true);

// Amplitude of the component at `hz` over samples [from, from+count) (Goertzel). Exact for
// whole numbers of cycles.
double toneAmplitude(const std::vector<double>& samples, double rate, double hz, std::size_t from,
                     std::size_t count);

std::vector<double> toUnit(const std::vector<std::int16_t>& samples);

}  // namespace harkwell::test
