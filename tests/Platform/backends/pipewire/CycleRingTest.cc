// SPDX-License-Identifier: MIT
// The ring that carries cycles from PipeWire's real-time thread to the consumer.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "Platform/backends/pipewire/CycleRing.h"

namespace platform::pw {
namespace {

void pushValue(CycleRing& ring, std::uint32_t frames, float value) {
  ring.push(frames, 1, [&](float* out) {
    for (std::uint32_t i = 0; i < frames; ++i) out[i] = value;
  });
}

TEST(CycleRingTest, CyclesComeOutWholeAndInOrder) {
  CycleRing ring(1000, 8);
  pushValue(ring, 300, 1.0f);
  pushValue(ring, 300, 2.0f);
  CycleRing::Cycle c;
  ASSERT_TRUE(ring.peek(&c));
  EXPECT_EQ(c.frames, 300u);
  EXPECT_EQ(c.samples[0], 1.0f);
  EXPECT_EQ(c.samples[299], 1.0f);
  ring.release();
  ASSERT_TRUE(ring.peek(&c));
  EXPECT_EQ(c.samples[0], 2.0f);
  EXPECT_EQ(c.firstFrame, 300u);
  ring.release();
  EXPECT_FALSE(ring.peek(&c));
  EXPECT_TRUE(ring.empty());
}

TEST(CycleRingTest, CycleThatWouldWrapStartsAtTheBeginningUncut) {
  CycleRing ring(1000, 8);
  pushValue(ring, 600, 1.0f);
  CycleRing::Cycle c;
  ASSERT_TRUE(ring.peek(&c));
  ring.release();
  pushValue(ring, 600, 2.0f);  // does not fit in the 400 left at the end
  ASSERT_TRUE(ring.peek(&c));
  EXPECT_EQ(c.frames, 600u);
  for (std::uint32_t i = 0; i < 600; ++i) ASSERT_EQ(c.samples[i], 2.0f);
}

TEST(CycleRingTest, FullRingDropsAndTheNextCycleCarriesTheCount) {
  CycleRing ring(1000, 8);
  pushValue(ring, 400, 1.0f);
  pushValue(ring, 400, 2.0f);
  EXPECT_FALSE(ring.push(400, 1, [](float*) { FAIL() << "a dropped cycle is never written"; }));
  EXPECT_FALSE(ring.push(300, 1, [](float*) {}));
  CycleRing::Cycle c;
  ring.peek(&c);
  ring.release();
  ring.peek(&c);
  ring.release();
  pushValue(ring, 100, 3.0f);
  ASSERT_TRUE(ring.peek(&c));
  EXPECT_EQ(c.samples[0], 3.0f);
  EXPECT_EQ(c.droppedBefore, 2u);
  EXPECT_EQ(c.droppedFrames, 700u);
  // Positions count the dropped frames, so the stream's time stays true.
  EXPECT_EQ(c.firstFrame, 1500u);
  ring.release();
  pushValue(ring, 100, 4.0f);
  ASSERT_TRUE(ring.peek(&c));
  EXPECT_EQ(c.droppedBefore, 0u);
}

TEST(CycleRingTest, CycleCountAndSampleLimitBoundTheBacklog) {
  CycleRing byCycles(100000, 2);
  pushValue(byCycles, 10, 1.0f);
  pushValue(byCycles, 10, 1.0f);
  EXPECT_FALSE(byCycles.push(10, 1, [](float*) {}));

  CycleRing bySamples(100000, 64);
  bySamples.setSampleLimit(250);
  pushValue(bySamples, 100, 1.0f);
  pushValue(bySamples, 100, 1.0f);
  EXPECT_FALSE(bySamples.push(100, 1, [](float*) {}));
  EXPECT_FALSE(bySamples.push(2000000, 1, [](float*) {}));
}

TEST(CycleRingTest, ProducerAndConsumerThreadsSeeEverySampleIntact) {
  CycleRing ring(4096, 16);
  constexpr std::uint32_t kCycles = 20000;
  std::thread producer([&] {
    for (std::uint32_t n = 0; n < kCycles;) {
      const std::uint32_t frames = 1 + (n * 7) % 300;
      if (ring.push(frames, 1, [&](float* out) {
            for (std::uint32_t i = 0; i < frames; ++i) out[i] = static_cast<float>(n);
          }))
        ++n;
      else
        std::this_thread::yield();
    }
  });
  std::uint32_t seen = 0;
  while (seen < kCycles) {
    CycleRing::Cycle c;
    if (!ring.peek(&c)) {
      std::this_thread::yield();
      continue;
    }
    ASSERT_EQ(c.frames, 1 + (seen * 7) % 300);
    for (std::uint32_t i = 0; i < c.frames; ++i) ASSERT_EQ(c.samples[i], static_cast<float>(seen));
    ring.release();
    ++seen;
  }
  producer.join();
}

}  // namespace
}  // namespace platform::pw
