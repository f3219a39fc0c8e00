// SPDX-License-Identifier: MIT
// What the tap keeps of each cycle while it moves between drivers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Platform/backends/pipewire/CycleFilter.h"

namespace platform::pw {
namespace {

constexpr std::uint32_t kQuantum = 1024;
constexpr std::int64_t kPeriod = 21'333'333;  // ns of 1024 frames at 48 kHz

struct Step {
  std::int64_t time;
  std::uint64_t position;
  bool silent;
  std::uint32_t heldSilence;  // expected
  bool keep;                  // expected
};

struct Case {
  std::string name;
  std::vector<Step> steps;
};

// Driver A's cycles n, driver B's (another clock, another position) cycles n.
std::int64_t a(int n) {
  return 1'000'000'000 + n * kPeriod;
}
std::uint64_t pa(int n) {
  return 480'000 + static_cast<std::uint64_t>(n) * kQuantum;
}
std::int64_t b(int n) {
  return a(0) + 7'000'000 + n * kPeriod;
}
std::uint64_t pb(int n) {
  return 9'000 + static_cast<std::uint64_t>(n) * kQuantum;
}

class CycleFilterTest : public testing::TestWithParam<Case> {};

TEST_P(CycleFilterTest, KeepsTheCyclesThatCarryTime) {
  CycleFilter filter;
  const auto& steps = GetParam().steps;
  for (std::size_t i = 0; i < steps.size(); ++i) {
    const Step& s = steps[i];
    const CycleFilter::Decision d = filter.next(s.time, s.position, kQuantum, s.silent);
    EXPECT_EQ(d.heldSilence, s.heldSilence) << "cycle " << i;
    EXPECT_EQ(d.keep, s.keep) << "cycle " << i;
  }
}

// clang-format off: one cycle per braced group, as the filter sees them
INSTANTIATE_TEST_SUITE_P(
    Cases, CycleFilterTest,
    testing::Values(Case{"SoundOnOneDriverIsAllKept",
                         {{a(0), pa(0), false, 0, true},
                          {a(1), pa(1), false, 0, true},
                          {a(2), pa(2), false, 0, true}}},
                    Case{"SilenceOnOneDriverIsAllKept",
                         {{a(0), pa(0), true, 0, true}, {a(1), pa(1), true, 0, true}}},
                    Case{"SilentRepeatInsideSoundIsDropped",
                         {{a(0), pa(0), false, 0, true},
                          {a(0), pa(0), true, 0, false},
                          {a(1), pa(1), false, 0, true}}},
                    Case{"SilentRepeatInsideSilenceIsDropped",
                         {{a(0), pa(0), true, 0, true},
                          {a(0), pa(0), true, 0, false},
                          {a(1), pa(1), true, 0, true}}},
                    Case{"RepeatThatCarriesThePlayersNextAudioIsKept",
                         {{a(0), pa(0), false, 0, true},
                          {a(0), pa(0), false, 0, true},
                          {a(1), pa(1), false, 0, true}}},
                    Case{"SilentFirstCycleOnANewDriverBetweenSoundIsDropped",
                         {{a(0), pa(0), false, 0, true},
                          {b(1), pb(1), true, 0, false},
                          {b(2), pb(2), false, 0, true},
                          {b(3), pb(3), false, 0, true}}},
                    Case{"SilenceThatGoesOnAfterTheMoveIsReleased",
                         {{a(0), pa(0), false, 0, true},
                          {b(1), pb(1), true, 0, false},
                          {b(2), pb(2), true, kQuantum, true},
                          {b(3), pb(3), true, 0, true}}},
                    Case{"MoveDuringSilenceKeepsEverything",
                         {{a(0), pa(0), true, 0, true},
                          {b(1), pb(1), true, 0, true},
                          {b(2), pb(2), false, 0, true}}},
                    Case{"MoveWithSoundOnBothSidesKeepsEverything",
                         {{a(0), pa(0), false, 0, true}, {b(1), pb(1), false, 0, true}}},
                    Case{"SilentCycleOnATransientDriverThenBackToSound",
                         {{a(0), pa(0), false, 0, true},
                          {b(1), pb(1), true, 0, false},
                          {a(2), pa(2), false, 0, true}}}),
    [](const testing::TestParamInfo<Case>& param) { return param.param.name; });
// clang-format on

}  // namespace
}  // namespace platform::pw
