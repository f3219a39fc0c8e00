// SPDX-License-Identifier: MIT
// The resampling converter: sines in, samples out; state across buffers; nothing lost.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>
#include <utility>

#include "ConvertSupport.h"
#include "Platform/avfaudio/ResamplingConverter.h"

namespace platform {
namespace {

using CF = AVAudioCommonFormat;
using harkwell::test::Channels;
using harkwell::test::convertInChunks;
using harkwell::test::int16Mono16k;
using harkwell::test::sine;
using harkwell::test::toneAmplitude;
using harkwell::test::toUnit;

constexpr double kOut = 16000.0;
constexpr std::size_t kWarmUp = 2000;   // output samples skipped before measuring
constexpr std::size_t kWindow = 16000;  // one second: whole cycles of any integer frequency

auto fixedChunks(std::size_t n) {
  return [n] { return n; };
}

std::vector<std::int16_t> convert(const AVAudioFormat& in, const Channels& signal,
                                  std::size_t chunk) {
  auto converter = makeResamplingConverter(in, int16Mono16k());
  EXPECT_NE(converter, nullptr);
  if (converter == nullptr) return {};
  return convertInChunks(*converter, signal, fixedChunks(chunk));
}

// Level (amplitude) of `hz` and the ratio of the tone's power to everything else, in dB.
struct ToneReading {
  double amplitude;
  double snrDb;
};

ToneReading readTone(const std::vector<std::int16_t>& out, double hz) {
  EXPECT_GE(out.size(), kWarmUp + kWindow);
  if (out.size() < kWarmUp + kWindow) return {0.0, 0.0};
  const std::vector<double> x = toUnit(out);
  const double a = toneAmplitude(x, kOut, hz, kWarmUp, kWindow);
  double total = 0.0;
  for (std::size_t i = kWarmUp; i < kWarmUp + kWindow; ++i) total += x[i] * x[i];
  const double tone = a * a / 2.0;
  const double rest = std::max(total / kWindow - tone, 1e-20);
  return {a, 10.0 * std::log10(tone / rest)};
}

double dB(double ratio) {
  return 20.0 * std::log10(ratio);
}

TEST(ResamplingConverterTest, ToneKeepsItsLevelAndFrequencyAtEveryInputRate) {
  for (double rate :
       {8000.0, 11025.0, 16000.0, 22050.0, 32000.0, 44100.0, 48000.0, 96000.0, 192000.0}) {
    const AVAudioFormat in(CF::pcmFormatFloat32, rate, 2, true);
    const auto out = convert(in, sine(rate, 1000.0, 0.5, static_cast<std::size_t>(rate * 1.3), 2),
                             static_cast<std::size_t>(rate / 100));
    const ToneReading r = readTone(out, 1000.0);
    EXPECT_NEAR(dB(r.amplitude / 0.5), 0.0, 0.02) << rate;
    // 16-bit rounding alone limits a half-scale tone to about 92 dB.
    EXPECT_GT(r.snrDb, 88.0) << rate;
    // Output length follows the rate ratio (the stream was drained at the end).
    EXPECT_NEAR(static_cast<double>(out.size()), std::floor(rate * 1.3) * kOut / rate, 2.0) << rate;
  }
}

TEST(ResamplingConverterTest, OutputDoesNotDependOnHowInputIsCut) {
  for (double rate : {48000.0, 44100.0}) {
    const AVAudioFormat in(CF::pcmFormatFloat32, rate, 2, true);
    const Channels signal = sine(rate, 997.0, 0.9, static_cast<std::size_t>(rate), 2, {1.0f, 0.5f});
    const auto whole = convert(in, signal, signal[0].size());
    ASSERT_GT(whole.size(), 15000u);

    // No click anywhere: a 997 Hz sine at 0.675 of full scale moves at most
    // 2*pi*997/16000*0.675*32768 = 8660 steps per sample.
    int largestStep = 0;
    for (std::size_t i = kWarmUp + 1; i < whole.size() - kWarmUp; ++i) {
      largestStep = std::max(largestStep, std::abs(whole[i] - whole[i - 1]));
    }
    EXPECT_LE(largestStep, 8700) << rate;

    for (std::size_t chunk : {1u, 480u, 512u, 4800u, 4801u}) {
      EXPECT_EQ(convert(in, signal, chunk), whole) << rate << " Hz in chunks of " << chunk;
    }
    std::mt19937 random(42);
    auto converter = makeResamplingConverter(in, int16Mono16k());
    ASSERT_NE(converter, nullptr);
    EXPECT_EQ(convertInChunks(*converter, signal, [&] { return 1 + random() % 6000; }), whole)
        << rate << " Hz in random chunks";
  }
}

TEST(ResamplingConverterTest, DownmixAveragesTheChannels) {
  struct Case {
    const char* name;
    std::vector<float> gains;
    double expected;  // amplitude relative to the per-channel sine
  };
  const Case cases[] = {
      {"same in both", {1.0f, 1.0f}, 1.0},
      {"left only", {1.0f, 0.0f}, 0.5},
      {"opposite phases cancel", {1.0f, -1.0f}, 0.0},
      {"last of eight", {0, 0, 0, 0, 0, 0, 0, 1.0f}, 0.125},
      {"mono", {1.0f}, 1.0},
  };
  for (const Case& c : cases) {
    const auto channels = static_cast<std::uint32_t>(c.gains.size());
    for (bool interleaved : {true, false}) {
      const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, channels, interleaved);
      const auto out = convert(in, sine(48000.0, 1000.0, 0.8, 62400, channels, c.gains), 4800);
      if (c.expected == 0.0) {
        for (std::int16_t s : out) ASSERT_EQ(s, 0) << c.name;
        continue;
      }
      const ToneReading r = readTone(out, 1000.0);
      EXPECT_NEAR(dB(r.amplitude / (0.8 * c.expected)), 0.0, 0.02) << c.name << interleaved;
    }
  }
}

TEST(ResamplingConverterTest, EverySampleTypeAndLayoutCarriesTheSameSignal) {
  const Channels signal = sine(44100.0, 440.0, 0.7, 57330, 2, {1.0f, 0.25f});
  const auto reference =
      convert(AVAudioFormat(CF::pcmFormatFloat32, 44100.0, 2, true), signal, 441);
  struct Case {
    CF type;
    bool interleaved;
    bool exact;  // float samples carry the signal unchanged, integers round it
  };
  const Case cases[] = {
      {CF::pcmFormatFloat32, false, true}, {CF::pcmFormatFloat64, true, true},
      {CF::pcmFormatFloat64, false, true}, {CF::pcmFormatInt16, true, false},
      {CF::pcmFormatInt16, false, false},  {CF::pcmFormatInt32, true, false},
  };
  for (const Case& c : cases) {
    const auto out = convert(AVAudioFormat(c.type, 44100.0, 2, c.interleaved), signal, 441);
    const std::string name =
        std::to_string(static_cast<int>(c.type)) + (c.interleaved ? " i" : " p");
    if (c.exact) {
      EXPECT_EQ(out, reference) << name;
      continue;
    }
    ASSERT_EQ(out.size(), reference.size()) << name;
    int worst = 0;
    for (std::size_t i = 0; i < out.size(); ++i)
      worst = std::max(worst, std::abs(out[i] - reference[i]));
    EXPECT_LE(worst, 2) << name;
    const ToneReading r = readTone(out, 440.0);
    EXPECT_NEAR(dB(r.amplitude / (0.7 * 0.625)), 0.0, 0.02) << name;
  }
}

TEST(ResamplingConverterTest, RoundsAndSaturatesWithoutWrapping) {
  struct Case {
    float level;
    std::int16_t expected;
  };
  const Case cases[] = {{1.5f, 32767},          {-1.5f, -32768},     {1.0f, 32767},
                        {-1.0f, -32768},        {0.25f, 8192},       {0.6f / 32768.0f, 1},
                        {-0.6f / 32768.0f, -1}, {0.4f / 32768.0f, 0}};
  for (const Case& c : cases) {
    const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 1, true);
    const Channels dc(1, std::vector<float>(48000, c.level));
    auto converter = makeResamplingConverter(in, int16Mono16k());
    ASSERT_NE(converter, nullptr);
    // Without draining: the tail of a stream that stops abruptly rings.
    const auto out = convertInChunks(*converter, dc, fixedChunks(4800), false);
    ASSERT_GT(out.size(), 12000u);
    for (std::size_t i = kWarmUp; i < out.size(); ++i) {
      ASSERT_EQ(out[i], c.expected) << c.level << " at " << i;
    }
    // Once the step has risen, the filter's overshoot saturates and never wraps around.
    if (std::abs(c.expected) < 100) continue;
    std::size_t risen = 0;
    while (risen < out.size() && std::abs(out[risen]) < std::abs(c.expected) / 2) ++risen;
    for (std::size_t i = risen; i < kWarmUp; ++i) {
      ASSERT_EQ(out[i] > 0, c.expected > 0) << c.level << " at " << i;
    }
  }
}

TEST(ResamplingConverterTest, SamplesThatAreNotFiniteBecomeSilence) {
  // A NaN or an infinity would otherwise smear over the whole filter length and beyond.
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const float inf = std::numeric_limits<float>::infinity();
  for (std::uint32_t channels : {1u, 2u, 3u}) {
    const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, channels, true);
    // Frames with a sample that is not finite, with the rest of the signal: 0 in every
    // channel but one.
    Channels zeroed = sine(48000.0, 1000.0, 0.5, 9600, channels);
    for (std::size_t i : {1000u, 1001u, 1002u, 5003u}) {
      for (std::uint32_t c = 0; c < channels; ++c) zeroed[c][i] = 0.0f;
    }
    Channels bad = zeroed;
    bad[0][1000] = nan;
    bad[channels - 1][1001] = inf;
    bad[0][1002] = -inf;
    bad[channels - 1][5003] = nan;
    const auto expected = convert(in, zeroed, 4800);
    for (std::size_t chunk : {1u, 4800u}) {
      EXPECT_EQ(convert(in, bad, chunk), expected) << channels << " channels, chunks of " << chunk;
    }
  }
}

// Feeds `signal` in chunks of `chunk` frames to output buffers of `capacity` frames, one chunk
// per call, then calls with no input until the converter has nothing left, then drains it.
std::vector<std::int16_t> convertIntoSmallBuffers(AVAudioConverter& converter,
                                                  const Channels& signal, std::size_t chunk,
                                                  std::uint32_t capacity, int* fullCalls) {
  std::vector<std::int16_t> out;
  auto call = [&](const AVAudioPCMBuffer* input, AVAudioConverterInputStatus whenDone) {
    auto output = AVAudioPCMBuffer::make(converter.outputFormat(), capacity);
    bool given = false;
    const auto status = converter.convertToBuffer(
        *output, nullptr,
        [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
          if (given || input == nullptr) {
            *s = whenDone;
            return nullptr;
          }
          given = true;
          *s = AVAudioConverterInputStatus::haveData;
          return input;
        });
    EXPECT_TRUE(input == nullptr || given);  // the offered buffer is always taken in
    out.insert(out.end(), output->int16ChannelData()[0],
               output->int16ChannelData()[0] + output->frameLength());
    if (output->frameLength() == capacity) ++*fullCalls;
    return status;
  };
  for (std::size_t pos = 0; pos < signal[0].size(); pos += chunk) {
    auto input = harkwell::test::bufferOf(converter.inputFormat(), signal, pos,
                                          std::min(chunk, signal[0].size() - pos));
    EXPECT_NE(call(input.get(), AVAudioConverterInputStatus::noDataNow),
              AVAudioConverterOutputStatus::error);
  }
  while (call(nullptr, AVAudioConverterInputStatus::noDataNow) ==
         AVAudioConverterOutputStatus::haveData) {
  }
  while (call(nullptr, AVAudioConverterInputStatus::endOfStream) ==
         AVAudioConverterOutputStatus::haveData) {
  }
  return out;
}

TEST(ResamplingConverterTest, SmallOutputBuffersLoseNothing) {
  const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 2, true);
  const Channels signal = sine(48000.0, 1000.0, 0.5, 48000, 2);
  const auto whole = convert(in, signal, 48000);
  for (std::uint32_t capacity : {1u, 7u, 100u, 160u}) {
    auto converter = makeResamplingConverter(in, int16Mono16k());
    ASSERT_NE(converter, nullptr);
    int fullCalls = 0;
    EXPECT_EQ(convertIntoSmallBuffers(*converter, signal, 480, capacity, &fullCalls), whole)
        << capacity;
    EXPECT_GT(fullCalls, 0) << capacity;
  }
}

TEST(ResamplingConverterTest, KeepsWhatDoesNotFitForTheNextCall) {
  const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 1, true);
  auto converter = ResamplingConverter::make(in, int16Mono16k());
  ASSERT_NE(converter, nullptr);
  auto input = harkwell::test::bufferOf(in, sine(48000.0, 500.0, 0.5, 9600, 1), 0, 9600);
  auto output = AVAudioPCMBuffer::make(int16Mono16k(), 1000);
  int asks = 0;
  auto once = [&](std::uint32_t packets,
                  AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    EXPECT_GT(packets, 0u);
    *s = asks++ == 0 ? AVAudioConverterInputStatus::haveData
                     : AVAudioConverterInputStatus::noDataNow;
    return asks == 1 ? input.get() : nullptr;
  };
  EXPECT_EQ(converter->convertToBuffer(*output, nullptr, once),
            AVAudioConverterOutputStatus::haveData);
  EXPECT_EQ(output->frameLength(), 1000u);
  EXPECT_EQ(asks, 1);  // the output was full after the first buffer: no second ask
  const std::size_t kept = converter->pendingFrames();
  EXPECT_GT(kept, 1500u);  // 3200 frames minus the resampler's delay, minus the 1000 given

  auto none = [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    *s = AVAudioConverterInputStatus::noDataNow;
    return nullptr;
  };
  auto big = AVAudioPCMBuffer::make(int16Mono16k(), 4000);
  EXPECT_EQ(converter->convertToBuffer(*big, nullptr, none),
            AVAudioConverterOutputStatus::haveData);
  EXPECT_EQ(big->frameLength(), kept);
  EXPECT_EQ(converter->convertToBuffer(*big, nullptr, none),
            AVAudioConverterOutputStatus::inputRanDry);
  EXPECT_EQ(big->frameLength(), 0u);
}

TEST(ResamplingConverterTest, EndOfStreamDrainsTheResamplerOnce) {
  const AVAudioFormat in(CF::pcmFormatInt16, 44100.0, 1, true);
  auto converter = ResamplingConverter::make(in, int16Mono16k());
  ASSERT_NE(converter, nullptr);
  const auto withoutEnd =
      convertInChunks(*converter, sine(44100.0, 300.0, 0.5, 44100, 1), fixedChunks(4410), false);
  EXPECT_GT(converter->resamplerDelay(), 0.0);
  EXPECT_LT(withoutEnd.size(), 16000u);  // the delay is held back until the end

  int asks = 0;
  auto ending = [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    ++asks;
    *s = AVAudioConverterInputStatus::endOfStream;
    return nullptr;
  };
  auto output = AVAudioPCMBuffer::make(int16Mono16k(), 4096);
  EXPECT_EQ(converter->convertToBuffer(*output, nullptr, ending),
            AVAudioConverterOutputStatus::endOfStream);
  EXPECT_EQ(withoutEnd.size() + output->frameLength(), 16000u);
  EXPECT_EQ(converter->convertToBuffer(*output, nullptr, ending),
            AVAudioConverterOutputStatus::endOfStream);
  EXPECT_EQ(output->frameLength(), 0u);
  EXPECT_EQ(asks, 1);  // an ended stream asks for nothing more
}

TEST(ResamplingConverterTest, FloatOutputIsTheUnroundedSignal) {
  const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 2, false);
  const AVAudioFormat floatOut(CF::pcmFormatFloat32, 16000.0, 1, true);
  const Channels signal = sine(48000.0, 2000.0, 0.5, 4800, 2);
  auto toFloat = makeResamplingConverter(in, floatOut);
  ASSERT_NE(toFloat, nullptr);
  auto input = harkwell::test::bufferOf(in, signal, 0, 4800);
  auto output = AVAudioPCMBuffer::make(floatOut, 3000);
  bool given = false;
  auto once = [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    *s = given ? AVAudioConverterInputStatus::noDataNow : AVAudioConverterInputStatus::haveData;
    return std::exchange(given, true) ? nullptr : input.get();
  };
  ASSERT_EQ(toFloat->convertToBuffer(*output, nullptr, once),
            AVAudioConverterOutputStatus::haveData);
  EXPECT_EQ(output->int16ChannelData(), nullptr);
  const auto asInt = convert(in, signal, 4800);
  ASSERT_GE(asInt.size(), output->frameLength());
  for (std::uint32_t i = 0; i < output->frameLength(); ++i) {
    const float f = output->floatChannelData()[0][i] * 32768.0f;
    ASSERT_LE(std::abs(static_cast<double>(f) - asInt[i]), 0.5) << i;
  }
}

}  // namespace
}  // namespace platform
