// SPDX-License-Identifier: MIT
// AVAudioPCMBuffer: owned storage, views over a caller's buffer list, and what is refused.
#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <vector>

#include "Platform/avfaudio/AVFAudio.h"

namespace platform {
namespace {

using CF = AVAudioCommonFormat;

TEST(AVAudioPCMBufferTest, InterleavedStorageIsOneBuffer) {
  const AVAudioFormat f(CF::pcmFormatInt16, 16000.0, 2, true);
  auto b = AVAudioPCMBuffer::make(f, 100);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->frameCapacity(), 100u);
  EXPECT_EQ(b->frameLength(), 0u);
  const AudioBufferList& list = *b->audioBufferList();
  ASSERT_EQ(list.mNumberBuffers, 1u);
  EXPECT_EQ(list.mBuffers[0].mNumberChannels, 2u);
  ASSERT_NE(b->int16ChannelData(), nullptr);
  EXPECT_EQ(b->int16ChannelData()[0], list.mBuffers[0].mData);
  EXPECT_EQ(b->floatChannelData(), nullptr);

  // The whole capacity is writable (ASan checks the last sample).
  b->int16ChannelData()[0][2 * 100 - 1] = 7;
  b->setFrameLength(60);
  EXPECT_EQ(b->frameLength(), 60u);
  EXPECT_EQ(b->audioBufferList()->mBuffers[0].mDataByteSize, 60u * 4u);
  b->setFrameLength(101);
  EXPECT_EQ(b->frameLength(), 100u);  // clamped to the capacity
}

TEST(AVAudioPCMBufferTest, NonInterleavedStorageIsOneBufferPerChannel) {
  const AVAudioFormat f(CF::pcmFormatFloat32, 48000.0, 3, false);
  auto b = AVAudioPCMBuffer::make(f, 10);
  ASSERT_NE(b, nullptr);
  const AudioBufferList& list = *b->audioBufferList();
  ASSERT_EQ(list.mNumberBuffers, 3u);
  float* const* channels = b->floatChannelData();
  ASSERT_NE(channels, nullptr);
  EXPECT_EQ(b->int16ChannelData(), nullptr);
  for (std::uint32_t c = 0; c < 3; ++c) {
    EXPECT_EQ(list.mBuffers[c].mNumberChannels, 1u);
    EXPECT_EQ(channels[c], list.mBuffers[c].mData);
    for (int i = 0; i < 10; ++i) channels[c][i] = static_cast<float>(c);  // no overlap
  }
  EXPECT_EQ(channels[0][9], 0.0f);
  EXPECT_EQ(channels[1][0], 1.0f);
  b->setFrameLength(4);
  for (std::uint32_t c = 0; c < 3; ++c) EXPECT_EQ(list.mBuffers[c].mDataByteSize, 16u);
}

TEST(AVAudioPCMBufferTest, RefusesUnreasonableStorage) {
  struct Case {
    const char* name;
    AVAudioFormat format;
    std::uint32_t capacity;
  };
  const Case cases[] = {
      {"no capacity", AVAudioFormat(CF::pcmFormatInt16, 16000.0, 1, true), 0},
      {"largest capacity", AVAudioFormat(CF::pcmFormatFloat64, 48000.0, 8, true), 0xFFFFFFFFu},
      {"over a gigabyte", AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 1, true), 1u << 28},
      {"planar, huge", AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 8, false), 1u << 26},
      {"not PCM", AVAudioFormat(CF::otherFormat, 48000.0, 1, true), 16},
      {"no channels", AVAudioFormat(CF::pcmFormatInt16, 16000.0, 0, true), 16},
      {"nine channels", AVAudioFormat(CF::pcmFormatInt16, 16000.0, 9, false), 16},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AVAudioPCMBuffer::make(c.format, c.capacity), nullptr) << c.name;
  }
}

TEST(AVAudioPCMBufferTest, NoCopyViewSharesTheCallersMemory) {
  std::vector<float> left(256), right(256);
  AudioBufferList list{};
  list.mNumberBuffers = 2;
  list.mBuffers[0] = AudioBuffer{1, 256 * 4, left.data()};
  list.mBuffers[1] = AudioBuffer{1, 256 * 4, right.data()};
  const AVAudioFormat f(CF::pcmFormatFloat32, 48000.0, 2, false);
  auto b = AVAudioPCMBuffer::makeNoCopy(f, &list);
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->frameLength(), 256u);
  EXPECT_EQ(b->frameCapacity(), 256u);
  ASSERT_NE(b->floatChannelData(), nullptr);
  EXPECT_EQ(b->floatChannelData()[0], left.data());
  EXPECT_EQ(b->floatChannelData()[1], right.data());

  std::vector<std::int16_t> samples(3 * 2);
  AudioBufferList one{};
  one.mNumberBuffers = 1;
  one.mBuffers[0] = AudioBuffer{2, 12, samples.data()};
  auto i = AVAudioPCMBuffer::makeNoCopy(AVAudioFormat(CF::pcmFormatInt16, 16000.0, 2, true), &one);
  ASSERT_NE(i, nullptr);
  EXPECT_EQ(i->frameLength(), 3u);
  EXPECT_EQ(i->int16ChannelData()[0], samples.data());
}

TEST(AVAudioPCMBufferTest, NoCopyRefusesListsThatDoNotFitTheFormat) {
  static std::array<float, 64> a{}, b{};
  const AVAudioFormat stereoPlanar(CF::pcmFormatFloat32, 48000.0, 2, false);
  const AVAudioFormat stereoInterleaved(CF::pcmFormatFloat32, 48000.0, 2, true);
  auto planar = [](std::uint32_t size0, std::uint32_t size1) {
    AudioBufferList l{};
    l.mNumberBuffers = 2;
    l.mBuffers[0] = AudioBuffer{1, size0, a.data()};
    l.mBuffers[1] = AudioBuffer{1, size1, b.data()};
    return l;
  };
  auto interleaved = [](std::uint32_t channels, std::uint32_t size, void* data) {
    AudioBufferList l{};
    l.mNumberBuffers = 1;
    l.mBuffers[0] = AudioBuffer{channels, size, data};
    return l;
  };
  struct Case {
    const char* name;
    AVAudioFormat format;
    AudioBufferList list;
  };
  AudioBufferList oneBufferForPlanar = planar(64, 64);
  oneBufferForPlanar.mNumberBuffers = 1;
  AudioBufferList twoChannelsPerPlanarBuffer = planar(64, 64);
  twoChannelsPerPlanarBuffer.mBuffers[1].mNumberChannels = 2;
  AudioBufferList nullSecondChannel = planar(64, 64);
  nullSecondChannel.mBuffers[1].mData = nullptr;
  const Case cases[] = {
      {"one buffer for two planar channels", stereoPlanar, oneBufferForPlanar},
      {"two buffers for interleaved", stereoInterleaved, planar(64, 64)},
      {"planar buffer with two channels", stereoPlanar, twoChannelsPerPlanarBuffer},
      {"null data", stereoPlanar, nullSecondChannel},
      {"planar sizes differ", stereoPlanar, planar(64, 32)},
      {"size not a whole frame", stereoPlanar, planar(62, 62)},
      {"interleaved, wrong channel count", stereoInterleaved, interleaved(1, 64, a.data())},
      {"interleaved, half a frame", stereoInterleaved, interleaved(2, 60, a.data())},
      {"interleaved, null data", stereoInterleaved, interleaved(2, 64, nullptr)},
      {"not PCM", AVAudioFormat(CF::otherFormat, 48000.0, 2, true), interleaved(2, 64, a.data())},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(AVAudioPCMBuffer::makeNoCopy(c.format, &c.list), nullptr) << c.name;
  }
  EXPECT_EQ(AVAudioPCMBuffer::makeNoCopy(stereoPlanar, nullptr), nullptr);
  const AudioBufferList good = planar(64, 64);
  EXPECT_NE(AVAudioPCMBuffer::makeNoCopy(stereoPlanar, &good), nullptr);
}

// Reuse is what lets the audio paths run without allocating: it must keep the memory, cap the
// capacity and refuse what would need more.
TEST(AVAudioPCMBufferTest, ReuseKeepsTheStorageWithinItsSize) {
  const AVAudioFormat f(CF::pcmFormatFloat32, 48000.0, 2, false);
  auto b = AVAudioPCMBuffer::make(f, 100);
  ASSERT_NE(b, nullptr);
  float* const first = b->floatChannelData()[1];
  b->setFrameLength(100);
  ASSERT_TRUE(b->reuseWithCapacity(40));
  EXPECT_EQ(b->frameCapacity(), 40u);
  EXPECT_EQ(b->frameLength(), 0u);
  EXPECT_EQ(b->audioBufferList()->mBuffers[1].mDataByteSize, 0u);
  EXPECT_EQ(b->floatChannelData()[1], first);
  b->setFrameLength(60);
  EXPECT_EQ(b->frameLength(), 40u);  // the new capacity holds
  EXPECT_TRUE(b->reuseWithCapacity(100));
  EXPECT_FALSE(b->reuseWithCapacity(101));
  EXPECT_FALSE(b->reuseWithCapacity(0));
  EXPECT_EQ(b->frameCapacity(), 100u);

  float samples[8] = {};
  AudioBufferList list{};
  list.mNumberBuffers = 1;
  list.mBuffers[0] = AudioBuffer{1, sizeof samples, samples};
  EXPECT_FALSE(b->rebindNoCopy(&list));  // owns its storage
}

TEST(AVAudioPCMBufferTest, RebindPointsAViewAtAnotherListOrChangesNothing) {
  const AVAudioFormat f(CF::pcmFormatFloat32, 48000.0, 1, true);
  float a[4] = {1, 2, 3, 4};
  float b[6] = {5, 6, 7, 8, 9, 10};
  AudioBufferList first{};
  first.mNumberBuffers = 1;
  first.mBuffers[0] = AudioBuffer{1, sizeof a, a};
  AudioBufferList second = first;
  second.mBuffers[0] = AudioBuffer{1, sizeof b, b};
  auto view = AVAudioPCMBuffer::makeNoCopy(f, &first);
  ASSERT_NE(view, nullptr);
  ASSERT_TRUE(view->rebindNoCopy(&second));
  EXPECT_EQ(view->frameLength(), 6u);
  EXPECT_EQ(view->frameCapacity(), 6u);
  EXPECT_EQ(view->floatChannelData()[0], b);

  AudioBufferList stereo = first;
  stereo.mBuffers[0].mNumberChannels = 2;
  EXPECT_FALSE(view->rebindNoCopy(&stereo));
  EXPECT_FALSE(view->rebindNoCopy(nullptr));
  EXPECT_EQ(view->floatChannelData()[0], b);
  EXPECT_EQ(view->frameLength(), 6u);
  EXPECT_FALSE(view->reuseWithCapacity(2));  // a view has no storage of its own
}

}  // namespace
}  // namespace platform
