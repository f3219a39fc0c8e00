// SPDX-License-Identifier: MIT
// What the end-to-end tests share: the private session, generated tones, and waiting.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "HarkwellProcess.h"
#include "Players.h"
#include "PrivatePipeWire.h"
#include "SignalAnalysis.h"

namespace harkwell::test {

inline void sleepFor(double seconds) {
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
}

// -6.02 dBFS: the level of every test tone (half of full scale).
inline constexpr double kToneAmplitude = 0.5;

// A sanitized build runs the audio path and every rebuild several times slower than users get
// it, and the slowed graph can miss a cycle. Tests there still check what the scenario is
// about; clicks, lost time and exact levels are judged in the optimized build.
#ifdef HARKWELL_SANITIZED_BUILD
inline constexpr bool kSanitizedBuild = true;
#else
inline constexpr bool kSanitizedBuild = false;
#endif

class E2ETest : public ::testing::Test {
 protected:
  void SetUp() override {
    REQUIRE_PRIVATE_PIPEWIRE();
    dir_ = PrivatePipeWire::directory();
  }

  // A WAV of a tone at kToneAmplitude, made once per test.
  std::string tone(double frequency, int channels, double seconds) {
    const std::string path = dir_ + "/tone-" + std::to_string(static_cast<int>(frequency)) + "-" +
                             std::to_string(channels) + "-" +
                             std::to_string(static_cast<int>(seconds)) + ".wav";
    writeToneWav(path, frequency, kToneAmplitude, seconds, channels);
    return path;
  }

  // Harkwell started and past its `ready` message.
  std::unique_ptr<HarkwellProcess> startHarkwell(Launch launch = Launch::direct) {
    auto h = std::make_unique<HarkwellProcess>(std::vector<std::string>{}, launch);
    EXPECT_TRUE(h->waitForReady(10)) << "no ready message";
    return h;
  }

  // One second of `tag` samples that arrive from `after` seconds on.
  std::vector<std::int16_t> oneSecondOf(HarkwellProcess& h, harkwell::FrameTag tag, double after) {
    const auto since = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                          std::chrono::duration<double>(after));
    sleepFor(after + 1.3);
    auto samples = h.samplesSince(tag, since);
    if (samples.size() > 16000) samples.resize(16000);
    return samples;
  }

  std::string dir_;
};

// The rate of a stream against the wall clock from `start` on: the samples that arrived after
// the window's first frame, over the time from that frame to the last; the longest wait
// between two frames; and the loudest sample.
struct StreamRate {
  double samplesPerSecond = 0;
  double seconds = 0;
  double longestGap = 0;
  int loudest = 0;
};

inline StreamRate rateSince(const HarkwellProcess& h, harkwell::FrameTag tag,
                            Clock::time_point start) {
  StreamRate r;
  std::size_t count = 0;
  std::optional<Clock::time_point> first;
  Clock::time_point last{};
  for (const Frame& f : h.frames()) {
    if (f.tag != tag || f.arrival < start) continue;
    r.loudest = std::max(r.loudest, peak(f.samples));
    if (!first) {
      first = last = f.arrival;
      continue;
    }
    count += f.samples.size();
    r.longestGap = std::max(r.longestGap, std::chrono::duration<double>(f.arrival - last).count());
    last = f.arrival;
  }
  if (!first) return r;
  r.seconds = std::chrono::duration<double>(last - *first).count();
  if (r.seconds > 0) r.samplesPerSecond = static_cast<double>(count) / r.seconds;
  return r;
}

}  // namespace harkwell::test
