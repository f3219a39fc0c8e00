// SPDX-License-Identifier: MIT
// After their first buffers, both capture paths convert and write without a heap allocation:
// each I/O cycle and each microphone buffer runs on its own thread while every allocation there
// is counted. The real resampling converter runs, as in the program.
#include <cmath>
#include <string>
#include <vector>

#include "AllocationCounter.h"
#include "CaptureFixture.h"
#include "Harkwell/CoreAudioTap.h"
#include "Harkwell/MicCapture.h"

namespace harkwell {
namespace {

using namespace platform;
using platform::scripted::ConverterScript;
using test::CaptureTest;
using test::FdCapture;
using test::InterleavedAudio;
using test::splitFrames;

constexpr int kWarmUpRounds = 3;
constexpr int kCountedRounds = 50;

void fillSine(float* samples, std::size_t count, std::size_t stride, double rate) {
  for (std::size_t i = 0; i < count; ++i)
    samples[i * stride] = 0.5f * static_cast<float>(std::sin(2.0 * M_PI * 440.0 * i / rate));
}

struct TapCase {
  const char* name;
  double rate;
  std::uint32_t channels;
  std::vector<std::size_t> cycleFrames;  // one round of cycles
};

class TapAllocationTest : public CaptureTest, public ::testing::WithParamInterface<TapCase> {};

TEST_P(TapAllocationTest, CyclesAllocateNothingAfterTheFirstRound) {
  const TapCase& c = GetParam();
  backend.setDefaultConverter({ConverterScript::Kind::resampling, 0, 0, {}});
  backend.setTapFormat(
      AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, c.rate, c.channels, true)
          .streamDescription());
  std::vector<InterleavedAudio> cycles;
  for (const std::size_t frames : c.cycleFrames) {
    cycles.emplace_back(frames, c.channels);
    fillSine(cycles.back().samples.data(), frames, c.channels, c.rate);
  }
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  FdCapture out(STDOUT_FILENO);
  for (int round = 0; round < kWarmUpRounds; ++round)
    for (const auto& cycle : cycles) backend.runIOCycle(cycle.list);

  test::startCountingAllocations();
  std::size_t ran = 0;
  for (int round = 0; round < kCountedRounds; ++round)
    for (const auto& cycle : cycles) ran += backend.runIOCycle(cycle.list);
  const std::size_t allocations = test::stopCountingAllocations();

  const auto frames = splitFrames(out.finish());
  tap->stop();
  log.finish();
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(ran, kCountedRounds * cycles.size());
  // The audio still came through: all of it but what the resampler holds (well under 100 ms).
  std::size_t inputFrames = 0;
  for (const std::size_t n : c.cycleFrames) inputFrames += n;
  const double expected = (kWarmUpRounds + kCountedRounds) * inputFrames * 16000.0 / c.rate;
  std::size_t samples = 0;
  for (const auto& frame : frames) samples += frame.payload.size() / 2;
  EXPECT_GT(static_cast<double>(samples), expected - 1600.0);
  EXPECT_LE(static_cast<double>(samples), expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, TapAllocationTest,
    ::testing::Values(TapCase{"Mono48kSteadyCycles", 48000.0, 1, {1024}},
                      TapCase{"Stereo44kCyclesOfChangingSize", 44100.0, 2, {256, 1024, 441}}),
    [](const auto& param) { return std::string(param.param.name); });

struct MicCase {
  const char* name;
  double rate;
  std::uint32_t channels;
};

class MicAllocationTest : public CaptureTest, public ::testing::WithParamInterface<MicCase> {};

TEST_P(MicAllocationTest, BuffersAllocateNothingAfterTheFirst) {
  const MicCase& c = GetParam();
  const AVAudioFormat format(AVAudioCommonFormat::pcmFormatFloat32, c.rate, c.channels, false);
  backend.setDefaultConverter({ConverterScript::Kind::resampling, 0, 0, {}});
  backend.setInputFormat(format);
  const auto tenth = static_cast<std::uint32_t>(c.rate / 10);
  auto buffer = test::micBuffer(format, tenth);
  for (std::uint32_t ch = 0; ch < c.channels; ++ch)
    fillSine(buffer->floatChannelData()[ch], tenth, 1, c.rate);
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  FdCapture out(STDOUT_FILENO);
  for (int round = 0; round < kWarmUpRounds; ++round) backend.deliverInputBuffer(*buffer);

  test::startCountingAllocations();
  std::size_t delivered = 0;
  for (int round = 0; round < kCountedRounds; ++round)
    delivered += backend.deliverInputBuffer(*buffer);
  const std::size_t allocations = test::stopCountingAllocations();

  const auto frames = splitFrames(out.finish());
  mic->stop();
  log.finish();
  EXPECT_EQ(allocations, 0u);
  EXPECT_EQ(delivered, static_cast<std::size_t>(kCountedRounds));
  EXPECT_EQ(frames.size(), static_cast<std::size_t>(kWarmUpRounds + kCountedRounds));
}

INSTANTIATE_TEST_SUITE_P(Cases, MicAllocationTest,
                         ::testing::Values(MicCase{"Mono48k", 48000.0, 1},
                                           MicCase{"Stereo44k", 44100.0, 2}),
                         [](const auto& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace harkwell
