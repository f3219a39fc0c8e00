// SPDX-License-Identifier: MIT
#include "ConvertSupport.h"

#include <gtest/gtest.h>

#include <cmath>
#include <numbers>

namespace harkwell::test {

Channels sine(double rate, double hz, double amplitude, std::size_t frames, std::uint32_t channels,
              const std::vector<float>& perChannelGain) {
  Channels out(channels, std::vector<float>(frames));
  for (std::size_t i = 0; i < frames; ++i) {
    const double v =
        amplitude * std::sin(2.0 * std::numbers::pi * hz * static_cast<double>(i) / rate);
    for (std::uint32_t c = 0; c < channels; ++c) {
      const double gain = c < perChannelGain.size() ? static_cast<double>(perChannelGain[c]) : 1.0;
      out[c][i] = static_cast<float>(v * gain);
    }
  }
  return out;
}

namespace {

template <typename T>
T fromUnit(float v);
template <>
float fromUnit<float>(float v) {
  return v;
}
template <>
double fromUnit<double>(float v) {
  return static_cast<double>(v);
}
template <>
std::int16_t fromUnit<std::int16_t>(float v) {
  return static_cast<std::int16_t>(std::lrint(std::clamp(v * 32768.0f, -32768.0f, 32767.0f)));
}
template <>
std::int32_t fromUnit<std::int32_t>(float v) {
  return static_cast<std::int32_t>(
      std::llrint(std::clamp(static_cast<double>(v) * 2147483648.0, -2147483648.0, 2147483647.0)));
}

template <typename T>
void fill(AVAudioPCMBuffer& b, const Channels& signal, std::size_t start, std::size_t count) {
  const AudioBufferList& list = *b.audioBufferList();
  // Channels beyond the signal's repeat it from its first channel on.
  const std::size_t channels = b.format().channelCount();
  for (std::size_t c = 0; c < channels; ++c) {
    for (std::size_t i = 0; i < count; ++i) {
      const T v = fromUnit<T>(signal[c % signal.size()][start + i]);
      if (b.format().isInterleaved()) {
        static_cast<T*>(list.mBuffers[0].mData)[i * channels + c] = v;
      } else {
        static_cast<T*>(list.mBuffers[c].mData)[i] = v;
      }
    }
  }
}

}  // namespace

std::unique_ptr<AVAudioPCMBuffer> bufferOf(const AVAudioFormat& format, const Channels& signal,
                                           std::size_t start, std::size_t count) {
  auto b =
      AVAudioPCMBuffer::make(format, static_cast<std::uint32_t>(std::max<std::size_t>(count, 1)));
  if (b == nullptr) return nullptr;
  switch (format.commonFormat()) {
    case AVAudioCommonFormat::pcmFormatFloat32:
      fill<float>(*b, signal, start, count);
      break;
    case AVAudioCommonFormat::pcmFormatFloat64:
      fill<double>(*b, signal, start, count);
      break;
    case AVAudioCommonFormat::pcmFormatInt16:
      fill<std::int16_t>(*b, signal, start, count);
      break;
    case AVAudioCommonFormat::pcmFormatInt32:
      fill<std::int32_t>(*b, signal, start, count);
      break;
    case AVAudioCommonFormat::otherFormat:
      return nullptr;
  }
  b->setFrameLength(static_cast<std::uint32_t>(count));
  return b;
}

AVAudioFormat int16Mono16k() {
  return AVAudioFormat(AVAudioCommonFormat::pcmFormatInt16, 16000.0, 1, true);
}

std::vector<std::int16_t> convertInChunks(AVAudioConverter& converter, const Channels& signal,
                                          const std::function<std::size_t()>& nextChunk,
                                          bool endOfStream) {
  std::vector<std::int16_t> out;
  const double ratio = converter.outputFormat().sampleRate() / converter.inputFormat().sampleRate();
  auto append = [&](const AVAudioPCMBuffer& b) {
    const std::int16_t* s = b.int16ChannelData()[0];
    out.insert(out.end(), s, s + b.frameLength());
  };
  const std::size_t total = signal[0].size();
  for (std::size_t pos = 0; pos < total;) {
    const std::size_t n = std::min(nextChunk(), total - pos);
    auto input = bufferOf(converter.inputFormat(), signal, pos, n);
    pos += n;
    auto output =
        AVAudioPCMBuffer::make(converter.outputFormat(),
                               static_cast<std::uint32_t>(ratio * static_cast<double>(n) + 1024));
    bool consumed = false;
    std::optional<NSError> error;
    const auto status = converter.convertToBuffer(
        *output, &error,
        [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
          if (consumed) {
            *s = AVAudioConverterInputStatus::noDataNow;
            return nullptr;
          }
          consumed = true;
          *s = AVAudioConverterInputStatus::haveData;
          return input.get();
        });
    EXPECT_FALSE(error.has_value()) << error->localizedDescription();
    EXPECT_NE(status, AVAudioConverterOutputStatus::error);
    EXPECT_TRUE(consumed);
    append(*output);
  }
  if (endOfStream) {
    for (;;) {
      auto output = AVAudioPCMBuffer::make(converter.outputFormat(), 4096);
      const auto status = converter.convertToBuffer(
          *output, nullptr,
          [](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
            *s = AVAudioConverterInputStatus::endOfStream;
            return nullptr;
          });
      append(*output);
      if (status != AVAudioConverterOutputStatus::haveData) {
        EXPECT_EQ(status, AVAudioConverterOutputStatus::endOfStream);
        break;
      }
    }
  }
  return out;
}

double toneAmplitude(const std::vector<double>& samples, double rate, double hz, std::size_t from,
                     std::size_t count) {
  const double w = 2.0 * std::numbers::pi * hz / rate;
  const double coeff = 2.0 * std::cos(w);
  double s1 = 0.0, s2 = 0.0;
  for (std::size_t i = 0; i < count; ++i) {
    const double s0 = samples[from + i] + coeff * s1 - s2;
    s2 = s1;
    s1 = s0;
  }
  const double power = s1 * s1 + s2 * s2 - coeff * s1 * s2;
  return 2.0 * std::sqrt(std::max(power, 0.0)) / static_cast<double>(count);
}

std::vector<double> toUnit(const std::vector<std::int16_t>& samples) {
  std::vector<double> out(samples.size());
  for (std::size_t i = 0; i < samples.size(); ++i) out[i] = samples[i] / 32768.0;
  return out;
}

}  // namespace harkwell::test
