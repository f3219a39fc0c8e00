// SPDX-License-Identifier: MIT
// PCM formats and their stream descriptions.
#include <bit>

#include "Platform/avfaudio/AVFAudio.h"

namespace platform {

namespace {

constexpr bool kNativeBigEndian = std::endian::native == std::endian::big;

std::uint32_t sampleBytes(AVAudioCommonFormat f) {
  switch (f) {
    case AVAudioCommonFormat::pcmFormatFloat32:
    case AVAudioCommonFormat::pcmFormatInt32:
      return 4;
    case AVAudioCommonFormat::pcmFormatFloat64:
      return 8;
    case AVAudioCommonFormat::pcmFormatInt16:
      return 2;
    case AVAudioCommonFormat::otherFormat:
      break;
  }
  return 0;
}

bool isFloat(AVAudioCommonFormat f) {
  return f == AVAudioCommonFormat::pcmFormatFloat32 || f == AVAudioCommonFormat::pcmFormatFloat64;
}

}  // namespace

AVAudioFormat::AVAudioFormat(AVAudioCommonFormat commonFormat, double sampleRate,
                             std::uint32_t channels, bool interleaved)
    : commonFormat_(commonFormat),
      sampleRate_(sampleRate),
      channels_(channels),
      interleaved_(interleaved) {}

std::uint32_t AVAudioFormat::bytesPerSample() const {
  return sampleBytes(commonFormat_);
}

std::uint32_t AVAudioFormat::bytesPerFrame() const {
  return interleaved_ ? bytesPerSample() * channels_ : bytesPerSample();
}

AudioStreamBasicDescription AVAudioFormat::streamDescription() const {
  AudioStreamBasicDescription d{};
  d.mSampleRate = sampleRate_;
  d.mChannelsPerFrame = channels_;
  const std::uint32_t bytes = bytesPerSample();
  if (bytes == 0) return d;  // no PCM sample type: format ID 0, no sizes
  d.mFormatID = kAudioFormatLinearPCM;
  d.mFormatFlags =
      (isFloat(commonFormat_) ? kAudioFormatFlagIsFloat : kAudioFormatFlagIsSignedInteger) |
      kAudioFormatFlagIsPacked;
  if (kNativeBigEndian) d.mFormatFlags |= kAudioFormatFlagIsBigEndian;
  if (!interleaved_) d.mFormatFlags |= kAudioFormatFlagIsNonInterleaved;
  d.mBytesPerFrame = bytesPerFrame();
  d.mBytesPerPacket = d.mBytesPerFrame;
  d.mFramesPerPacket = 1;
  d.mBitsPerChannel = bytes * 8;
  return d;
}

std::optional<AVAudioFormat> AVAudioFormat::fromStreamDescription(
    const AudioStreamBasicDescription& d) {
  if (d.mFormatID != kAudioFormatLinearPCM) return std::nullopt;
  const bool bigEndian = (d.mFormatFlags & kAudioFormatFlagIsBigEndian) != 0;
  if (bigEndian != kNativeBigEndian) return std::nullopt;
  const bool floating = (d.mFormatFlags & kAudioFormatFlagIsFloat) != 0;
  const bool signedInt = (d.mFormatFlags & kAudioFormatFlagIsSignedInteger) != 0;
  if (floating == signedInt) return std::nullopt;  // unsigned integers, or both flags
  if (d.mChannelsPerFrame == 0 || d.mChannelsPerFrame > kMaxAudioBuffers) return std::nullopt;

  AVAudioCommonFormat common = AVAudioCommonFormat::otherFormat;
  if (floating && d.mBitsPerChannel == 32) common = AVAudioCommonFormat::pcmFormatFloat32;
  if (floating && d.mBitsPerChannel == 64) common = AVAudioCommonFormat::pcmFormatFloat64;
  if (signedInt && d.mBitsPerChannel == 16) common = AVAudioCommonFormat::pcmFormatInt16;
  if (signedInt && d.mBitsPerChannel == 32) common = AVAudioCommonFormat::pcmFormatInt32;
  if (common == AVAudioCommonFormat::otherFormat) return std::nullopt;

  // Packed samples only: every size must follow from the sample size and the layout.
  const bool interleaved = (d.mFormatFlags & kAudioFormatFlagIsNonInterleaved) == 0;
  AVAudioFormat format(common, d.mSampleRate, d.mChannelsPerFrame, interleaved);
  if (d.mFramesPerPacket != 1 || d.mBytesPerFrame != format.bytesPerFrame() ||
      d.mBytesPerPacket != d.mBytesPerFrame) {
    return std::nullopt;
  }
  return format;
}

}  // namespace platform
