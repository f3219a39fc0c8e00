// SPDX-License-Identifier: MIT
// Reading the planes of a buffer PipeWire hands to a stream's process callback: the frames
// every plane holds, with chunk offsets and sizes that disagree with the mapped memory clamped
// instead of read past.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>

#include "Platform/backends/pipewire/StreamFormat.h"

namespace platform::pw {
namespace {

struct PlaneCase {
  const char* name;
  std::array<spa_chunk, 2> chunks;
  bool secondMapped;
  std::uint32_t channels;
  std::uint32_t frames;           // expected
  std::uint32_t firstPlaneStart;  // expected offset of plane 0, in floats
};

void PrintTo(const PlaneCase& c, std::ostream* os) {
  *os << c.name;
}

constexpr std::uint32_t kMax = 64 * sizeof(float);  // each plane maps 64 floats

class PlaneMappingTest : public ::testing::TestWithParam<PlaneCase> {};

TEST_P(PlaneMappingTest, FramesAreWhatEveryPlaneHoldsWithinItsMemory) {
  const PlaneCase& c = GetParam();
  std::array<std::array<float, 64>, 2> memory{};
  std::array<spa_chunk, 2> chunks = c.chunks;
  std::array<spa_data, 2> datas{};
  for (std::size_t i = 0; i < 2; ++i) {
    datas[i].maxsize = kMax;
    datas[i].data = (i == 1 && !c.secondMapped) ? nullptr : memory[i].data();
    datas[i].chunk = &chunks[i];
  }
  spa_buffer buffer{};
  buffer.n_datas = 2;
  buffer.datas = datas.data();

  const float* planes[2] = {nullptr, nullptr};
  const std::uint32_t frames = mapPlanes(buffer, c.channels, planes);
  EXPECT_EQ(frames, c.frames);
  if (frames > 0) {
    EXPECT_EQ(planes[0], memory[0].data() + c.firstPlaneStart);
    // Whatever is read stays inside the mapped memory.
    EXPECT_LE((planes[0] - memory[0].data()) + frames, 64);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Buffers, PlaneMappingTest,
    ::testing::Values(
        PlaneCase{"BothPlanesFull", {{{0, kMax, 4, 0}, {0, kMax, 4, 0}}}, true, 2, 64, 0},
        PlaneCase{"ShorterPlaneDecides", {{{0, 40, 4, 0}, {0, 100, 4, 0}}}, true, 2, 10, 0},
        PlaneCase{"OffsetIntoThePlane", {{{16, 32, 4, 0}, {0, kMax, 4, 0}}}, true, 2, 8, 4},
        PlaneCase{
            "SizePastTheEndIsClamped", {{{128, kMax, 4, 0}, {0, kMax, 4, 0}}}, true, 2, 32, 32},
        PlaneCase{"OffsetPastTheEndGivesNothing",
                  {{{kMax + 4, 8, 4, 0}, {0, kMax, 4, 0}}},
                  true,
                  2,
                  0,
                  0},
        PlaneCase{
            "UnmappedPlaneGivesNothing", {{{0, kMax, 4, 0}, {0, kMax, 4, 0}}}, false, 2, 0, 0},
        PlaneCase{
            "OnlyTheRequestedPlanesCount", {{{0, kMax, 4, 0}, {0, kMax, 4, 0}}}, false, 1, 64, 0},
        PlaneCase{"NoChannelsGiveNothing", {{{0, kMax, 4, 0}, {0, kMax, 4, 0}}}, true, 0, 0, 0}));

}  // namespace
}  // namespace platform::pw
