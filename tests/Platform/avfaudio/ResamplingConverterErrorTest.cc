// SPDX-License-Identifier: MIT
// The resampling converter: pairs it refuses, and calls that fail with an error.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "ConvertSupport.h"
#include "Platform/avfaudio/ResamplingConverter.h"

namespace platform {
namespace {

using CF = AVAudioCommonFormat;
using Status = AVAudioConverterOutputStatus;
using harkwell::test::int16Mono16k;
using harkwell::test::sine;

TEST(ResamplingConverterErrorTest, RefusesPairsItCannotConvert) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double inf = std::numeric_limits<double>::infinity();
  const AVAudioFormat good(CF::pcmFormatFloat32, 48000.0, 2, true);
  struct Case {
    const char* name;
    AVAudioFormat from;
    AVAudioFormat to;
  };
  const Case cases[] = {
      {"input rate 0", AVAudioFormat(CF::pcmFormatFloat32, 0.0, 2, true), int16Mono16k()},
      {"input rate negative", AVAudioFormat(CF::pcmFormatFloat32, -48000.0, 2, true),
       int16Mono16k()},
      {"input rate NaN", AVAudioFormat(CF::pcmFormatFloat32, nan, 2, true), int16Mono16k()},
      {"input rate infinite", AVAudioFormat(CF::pcmFormatFloat32, inf, 2, true), int16Mono16k()},
      {"input rate 10 Hz", AVAudioFormat(CF::pcmFormatFloat32, 10.0, 2, true), int16Mono16k()},
      {"input rate 10 MHz", AVAudioFormat(CF::pcmFormatFloat32, 1e7, 2, true), int16Mono16k()},
      {"input not PCM", AVAudioFormat(CF::otherFormat, 48000.0, 2, true), int16Mono16k()},
      {"input without channels", AVAudioFormat(CF::pcmFormatInt16, 48000.0, 0, true),
       int16Mono16k()},
      {"input with nine channels", AVAudioFormat(CF::pcmFormatInt16, 48000.0, 9, false),
       int16Mono16k()},
      {"output rate 0", good, AVAudioFormat(CF::pcmFormatInt16, 0.0, 1, true)},
      {"output rate NaN", good, AVAudioFormat(CF::pcmFormatInt16, nan, 1, true)},
      {"stereo output", good, AVAudioFormat(CF::pcmFormatInt16, 16000.0, 2, true)},
      {"int32 output", good, AVAudioFormat(CF::pcmFormatInt32, 16000.0, 1, true)},
      {"float64 output", good, AVAudioFormat(CF::pcmFormatFloat64, 16000.0, 1, true)},
  };
  for (const Case& c : cases) EXPECT_EQ(makeResamplingConverter(c.from, c.to), nullptr) << c.name;

  for (double rate : {8000.0, 11025.0, 44100.0, 192000.0}) {
    for (CF type : {CF::pcmFormatFloat32, CF::pcmFormatInt16}) {
      for (std::uint32_t channels : {1u, 2u, 8u}) {
        for (bool interleaved : {true, false}) {
          EXPECT_NE(makeResamplingConverter(AVAudioFormat(type, rate, channels, interleaved),
                                            int16Mono16k()),
                    nullptr)
              << rate << " " << channels;
        }
      }
    }
  }
}

// Answers the first ask with `first`, the second with `second` (if any), then noDataNow.
struct TwoAsks {
  const AVAudioPCMBuffer* first;
  const AVAudioPCMBuffer* second = nullptr;
  int asks = 0;
  const AVAudioPCMBuffer* operator()(std::uint32_t, AVAudioConverterInputStatus* s) {
    ++asks;
    const AVAudioPCMBuffer* b = asks == 1 ? first : asks == 2 ? second : nullptr;
    *s = b != nullptr ? AVAudioConverterInputStatus::haveData
                      : AVAudioConverterInputStatus::noDataNow;
    return b;
  }
};

TEST(ResamplingConverterErrorTest, BuffersOfTheWrongFormatFailWithAnError) {
  const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 2, true);
  const auto signal = sine(48000.0, 1000.0, 0.5, 480, 2);
  struct Case {
    const char* name;
    AVAudioFormat input;
    AVAudioFormat output;
    const char* text;
  };
  const AVAudioFormat out = int16Mono16k();
  const Case cases[] = {
      {"input at another rate", AVAudioFormat(CF::pcmFormatFloat32, 44100.0, 2, true), out,
       "input buffer format (float32, 44100 Hz, 2 ch, interleaved) does not match the "
       "converter's input format (float32, 48000 Hz, 2 ch, interleaved)"},
      {"input with one channel", AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 1, true), out,
       "input buffer format"},
      {"input of int16", AVAudioFormat(CF::pcmFormatInt16, 48000.0, 2, true), out,
       "input buffer format"},
      {"input not interleaved", AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 2, false), out,
       "input buffer format"},
      {"output of float32", in, AVAudioFormat(CF::pcmFormatFloat32, 16000.0, 1, true),
       "output buffer format (float32, 16000 Hz, 1 ch, interleaved) does not match the "
       "converter's output format (int16, 16000 Hz, 1 ch, interleaved)"},
      {"output at 48000 Hz", in, AVAudioFormat(CF::pcmFormatInt16, 48000.0, 1, true),
       "output buffer format"},
  };
  for (const Case& c : cases) {
    auto converter = makeResamplingConverter(in, out);
    ASSERT_NE(converter, nullptr);
    auto input = harkwell::test::bufferOf(c.input, signal, 0, 480);
    auto output = AVAudioPCMBuffer::make(c.output, 2000);
    ASSERT_TRUE(input && output) << c.name;
    std::optional<NSError> error;
    TwoAsks block{input.get()};
    EXPECT_EQ(converter->convertToBuffer(*output, &error, block), Status::error) << c.name;
    ASSERT_TRUE(error.has_value()) << c.name;
    EXPECT_EQ(error->domain(), "AVAudioConverter") << c.name;
    EXPECT_NE(error->localizedDescription().find(c.text), std::string::npos)
        << c.name << ": " << error->localizedDescription();
    EXPECT_EQ(output->frameLength(), 0u) << c.name;
    // Without an error slot the call still fails cleanly.
    TwoAsks again{input.get()};
    EXPECT_EQ(converter->convertToBuffer(*output, nullptr, again), Status::error) << c.name;
  }
}

TEST(ResamplingConverterErrorTest, MisbehavingInputBlocksFailOrStop) {
  const AVAudioFormat in(CF::pcmFormatInt16, 16000.0, 1, true);
  auto converter = makeResamplingConverter(in, int16Mono16k());
  ASSERT_NE(converter, nullptr);
  auto output = AVAudioPCMBuffer::make(int16Mono16k(), 100);
  std::optional<NSError> error;

  auto haveDataWithoutBuffer = [](std::uint32_t,
                                  AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    *s = AVAudioConverterInputStatus::haveData;
    return nullptr;
  };
  EXPECT_EQ(converter->convertToBuffer(*output, &error, haveDataWithoutBuffer), Status::error);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->localizedDescription(), "the input block reported haveData but gave no buffer");

  error.reset();
  auto unknownStatus = [](std::uint32_t,
                          AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    *s = static_cast<AVAudioConverterInputStatus>(7);
    return nullptr;
  };
  EXPECT_EQ(converter->convertToBuffer(*output, &error, unknownStatus), Status::error);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->localizedDescription(), "the input block gave an unknown input status 7");

  // An empty buffer offered for ever ends the call instead of looping.
  auto empty = AVAudioPCMBuffer::make(in, 16);
  int asks = 0;
  auto alwaysEmpty = [&](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
    ++asks;
    *s = AVAudioConverterInputStatus::haveData;
    return empty.get();
  };
  error.reset();
  EXPECT_EQ(converter->convertToBuffer(*output, &error, alwaysEmpty), Status::inputRanDry);
  EXPECT_FALSE(error.has_value());
  EXPECT_EQ(asks, 1);

  // An output buffer without room (a view over an empty list) is an error, not a no-op.
  std::int16_t sample = 0;
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{1, 0, &sample};
  auto noRoom = AVAudioPCMBuffer::makeNoCopy(int16Mono16k(), &list);
  ASSERT_NE(noRoom, nullptr);
  EXPECT_EQ(converter->convertToBuffer(*noRoom, &error, alwaysEmpty), Status::error);
  ASSERT_TRUE(error.has_value());
  EXPECT_EQ(error->code(), ResamplingConverter::kErrorNoOutputCapacity);
}

TEST(ResamplingConverterErrorTest, AFailedCallLosesNothingAlreadyTakenIn) {
  const AVAudioFormat in(CF::pcmFormatFloat32, 48000.0, 1, true);
  const auto signal = sine(48000.0, 1000.0, 0.5, 14400, 1);
  auto reference = makeResamplingConverter(in, int16Mono16k());
  ASSERT_NE(reference, nullptr);
  const auto whole = harkwell::test::convertInChunks(*reference, signal, [] { return 4800; });

  auto converter = makeResamplingConverter(in, int16Mono16k());
  ASSERT_NE(converter, nullptr);
  auto a = harkwell::test::bufferOf(in, signal, 0, 4800);
  auto b = harkwell::test::bufferOf(in, signal, 4800, 4800);
  auto c = harkwell::test::bufferOf(in, signal, 9600, 4800);
  auto wrong = harkwell::test::bufferOf(AVAudioFormat(CF::pcmFormatFloat32, 44100.0, 1, true),
                                        signal, 0, 10);
  std::vector<std::int16_t> out;
  auto run = [&](TwoAsks block, Status expected) {
    auto output = AVAudioPCMBuffer::make(int16Mono16k(), 3000);
    std::optional<NSError> error;
    EXPECT_EQ(converter->convertToBuffer(*output, &error, block), expected);
    out.insert(out.end(), output->int16ChannelData()[0],
               output->int16ChannelData()[0] + output->frameLength());
  };
  run(TwoAsks{a.get()}, Status::haveData);
  run(TwoAsks{b.get(), wrong.get()}, Status::error);  // b was taken in before the failure
  run(TwoAsks{c.get()}, Status::haveData);
  auto output = AVAudioPCMBuffer::make(int16Mono16k(), 6000);
  EXPECT_EQ(converter->convertToBuffer(
                *output, nullptr,
                [](std::uint32_t, AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
                  *s = AVAudioConverterInputStatus::endOfStream;
                  return nullptr;
                }),
            Status::endOfStream);
  out.insert(out.end(), output->int16ChannelData()[0],
             output->int16ChannelData()[0] + output->frameLength());
  EXPECT_EQ(out, whole);
}

}  // namespace
}  // namespace platform
