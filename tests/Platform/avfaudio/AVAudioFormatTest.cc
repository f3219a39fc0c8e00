// SPDX-License-Identifier: MIT
// AVAudioFormat: sizes, stream descriptions and which descriptions are refused.
#include <gtest/gtest.h>

#include "Platform/avfaudio/AVFAudio.h"

namespace platform {
namespace {

using CF = AVAudioCommonFormat;

TEST(AVAudioFormatTest, StreamDescriptionRoundTripsForEveryPCMLayout) {
  for (CF type :
       {CF::pcmFormatFloat32, CF::pcmFormatFloat64, CF::pcmFormatInt16, CF::pcmFormatInt32}) {
    for (std::uint32_t channels : {1u, 2u, 8u}) {
      for (bool interleaved : {true, false}) {
        const AVAudioFormat f(type, 44100.0, channels, interleaved);
        const auto back = AVAudioFormat::fromStreamDescription(f.streamDescription());
        ASSERT_TRUE(back.has_value()) << static_cast<int>(type) << " " << channels;
        EXPECT_EQ(*back, f);
      }
    }
  }
}

TEST(AVAudioFormatTest, SizesFollowTheLayout) {
  const AVAudioFormat interleaved(CF::pcmFormatInt16, 16000.0, 2, true);
  EXPECT_EQ(interleaved.bytesPerSample(), 2u);
  EXPECT_EQ(interleaved.bytesPerFrame(), 4u);
  const AVAudioFormat planar(CF::pcmFormatFloat32, 48000.0, 2, false);
  EXPECT_EQ(planar.bytesPerFrame(), 4u);  // one channel per buffer

  const AudioStreamBasicDescription d = planar.streamDescription();
  EXPECT_EQ(d.mSampleRate, 48000.0);
  EXPECT_EQ(d.mFormatID, kAudioFormatLinearPCM);
  EXPECT_EQ(d.mFormatFlags,
            kAudioFormatFlagIsFloat | kAudioFormatFlagIsPacked | kAudioFormatFlagIsNonInterleaved);
  EXPECT_EQ(d.mBytesPerPacket, 4u);
  EXPECT_EQ(d.mFramesPerPacket, 1u);
  EXPECT_EQ(d.mBytesPerFrame, 4u);
  EXPECT_EQ(d.mChannelsPerFrame, 2u);
  EXPECT_EQ(d.mBitsPerChannel, 32u);

  const AudioStreamBasicDescription i = interleaved.streamDescription();
  EXPECT_EQ(i.mFormatFlags, kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked);
  EXPECT_EQ(i.mBytesPerFrame, 4u);
  EXPECT_EQ(i.mBitsPerChannel, 16u);
}

TEST(AVAudioFormatTest, RefusesDescriptionsItCannotRepresent) {
  const AudioStreamBasicDescription good =
      AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 2, true).streamDescription();
  struct Case {
    const char* name;
    void (*mutate)(AudioStreamBasicDescription&);
  };
  const Case cases[] = {
      {"not linear PCM", [](AudioStreamBasicDescription& d) { d.mFormatID = fourCC("aac "); }},
      {"big-endian",
       [](AudioStreamBasicDescription& d) { d.mFormatFlags |= kAudioFormatFlagIsBigEndian; }},
      {"unsigned integer",
       [](AudioStreamBasicDescription& d) { d.mFormatFlags &= ~kAudioFormatFlagIsFloat; }},
      {"float and integer",
       [](AudioStreamBasicDescription& d) { d.mFormatFlags |= kAudioFormatFlagIsSignedInteger; }},
      {"24-bit samples",
       [](AudioStreamBasicDescription& d) {
         d.mFormatFlags = kAudioFormatFlagIsSignedInteger | kAudioFormatFlagIsPacked;
         d.mBitsPerChannel = 24;
         d.mBytesPerFrame = d.mBytesPerPacket = 6;
       }},
      {"16-bit float",
       [](AudioStreamBasicDescription& d) {
         d.mBitsPerChannel = 16;
         d.mBytesPerFrame = d.mBytesPerPacket = 4;
       }},
      {"no channels", [](AudioStreamBasicDescription& d) { d.mChannelsPerFrame = 0; }},
      {"nine channels",
       [](AudioStreamBasicDescription& d) {
         d.mChannelsPerFrame = 9;
         d.mBytesPerFrame = d.mBytesPerPacket = 36;
       }},
      {"frame size disagrees", [](AudioStreamBasicDescription& d) { d.mBytesPerFrame = 4; }},
      {"padded frames",
       [](AudioStreamBasicDescription& d) { d.mBytesPerFrame = d.mBytesPerPacket = 12; }},
      {"packet size disagrees", [](AudioStreamBasicDescription& d) { d.mBytesPerPacket = 16; }},
      {"two frames per packet", [](AudioStreamBasicDescription& d) { d.mFramesPerPacket = 2; }},
      {"interleaved sizes for planar",
       [](AudioStreamBasicDescription& d) { d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved; }},
  };
  ASSERT_TRUE(AVAudioFormat::fromStreamDescription(good).has_value());
  for (const Case& c : cases) {
    AudioStreamBasicDescription d = good;
    c.mutate(d);
    EXPECT_FALSE(AVAudioFormat::fromStreamDescription(d).has_value()) << c.name;
  }
}

TEST(AVAudioFormatTest, KeepsTheRateItIsGiven) {
  // The input node reports rate 0 without a device; the format carries it for the caller to
  // check.
  AudioStreamBasicDescription d =
      AVAudioFormat(CF::pcmFormatFloat32, 48000.0, 1, true).streamDescription();
  d.mSampleRate = 0.0;
  const auto f = AVAudioFormat::fromStreamDescription(d);
  ASSERT_TRUE(f.has_value());
  EXPECT_EQ(f->sampleRate(), 0.0);
}

}  // namespace
}  // namespace platform
