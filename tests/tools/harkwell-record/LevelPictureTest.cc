// SPDX-License-Identifier: MIT
// The picture of a recording: levels per 100 ms and the gaps against the wall clock.
#include <gtest/gtest.h>

#include <cmath>
#include <vector>

#include "LevelPicture.h"

namespace harkwell::record {
namespace {

// 100 ms of a constant sample value.
std::vector<std::uint8_t> block(std::int16_t value) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < 1600; ++i) {
    bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
  }
  return bytes;
}

TEST(LevelPictureTest, LevelsPerTenthAndTheGapWhereAudioWasMissing) {
  LevelTrack t;
  // Ten blocks on time, then 0.6 s without audio, then ten more at half the level.
  for (int i = 0; i < 10; ++i) t.add(block(16384), 0.1 * (i + 1));
  for (int i = 0; i < 10; ++i) t.add(block(8192), 1.6 + 0.1 * (i + 1));
  ASSERT_EQ(t.levels().size(), 20u);
  EXPECT_NEAR(t.levels()[0], -6.02, 0.01);
  EXPECT_NEAR(t.levels()[19], -12.04, 0.01);
  ASSERT_EQ(t.gaps().size(), 1u);
  EXPECT_NEAR(t.gaps()[0].at, 1.0, 1e-9);
  EXPECT_NEAR(t.gaps()[0].seconds, 0.6, 1e-9);
  EXPECT_NEAR(t.starts()[10], 1.6, 1e-9);  // after the gap on the time line
  EXPECT_NEAR(t.end(), 2.6, 1e-9);

  const std::string svg = levelPicture(t, LevelTrack());
  EXPECT_EQ(svg.rfind("<svg", 0), 0u);
  EXPECT_NE(svg.find("gap 0.60 s"), std::string::npos);
  EXPECT_NE(svg.find("</svg>"), std::string::npos);
}

TEST(LevelPictureTest, LateFramesWithinTheJitterAreNoGapAndSavedStreamsHaveNone) {
  LevelTrack live;
  for (int i = 0; i < 10; ++i) live.add(block(100), 0.1 * (i + 1) + (i % 2 ? 0.15 : 0.0));
  EXPECT_TRUE(live.gaps().empty());
  LevelTrack saved;
  for (int i = 0; i < 10; ++i) saved.add(block(0), std::nullopt);
  EXPECT_TRUE(saved.gaps().empty());
  EXPECT_EQ(saved.levels(), std::vector<double>(10, -60.0));
}

}  // namespace
}  // namespace harkwell::record
