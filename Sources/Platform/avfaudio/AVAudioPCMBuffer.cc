// SPDX-License-Identifier: MIT
// PCM buffers: storage of their own, or a view over a caller's buffer list.
#include <limits>
#include <optional>

#include "Platform/avfaudio/AVFAudio.h"

namespace platform {

namespace {

// The most sample memory one buffer may own (all channels together). Far beyond any real
// buffer (10 s of 8 channels of 64-bit samples at 192000 Hz is about 123 MB); a larger request
// is a miscalculated capacity, refused rather than allocated.
constexpr std::uint64_t kMaxBufferBytes = std::uint64_t{256} << 20;

bool isPCM(const AVAudioFormat& format) {
  return format.bytesPerSample() != 0 && format.channelCount() >= 1 &&
         format.channelCount() <= kMaxAudioBuffers;
}

std::uint32_t bufferCount(const AVAudioFormat& format) {
  return format.isInterleaved() ? 1 : format.channelCount();
}

std::uint32_t channelsPerBuffer(const AVAudioFormat& format) {
  return format.isInterleaved() ? format.channelCount() : 1;
}

}  // namespace

AVAudioPCMBuffer::AVAudioPCMBuffer(const AVAudioFormat& format, std::uint32_t capacity)
    : format_(format), frameCapacity_(capacity) {}

std::unique_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::make(const AVAudioFormat& format,
                                                         std::uint32_t frameCapacity) {
  if (!isPCM(format) || frameCapacity == 0) return nullptr;
  const std::uint64_t bytesPerBuffer = std::uint64_t{frameCapacity} * format.bytesPerFrame();
  const std::uint32_t buffers = bufferCount(format);
  if (bytesPerBuffer * buffers > kMaxBufferBytes) return nullptr;

  std::unique_ptr<AVAudioPCMBuffer> buffer(new AVAudioPCMBuffer(format, frameCapacity));
  // Zeroed once, when made; a reused buffer is written before it is read.
  buffer->storage_.reset(new std::uint8_t[static_cast<std::size_t>(bytesPerBuffer * buffers)]());
  buffer->storageFrames_ = frameCapacity;
  buffer->bufferList_.mNumberBuffers = buffers;
  for (std::uint32_t i = 0; i < buffers; ++i) {
    void* data = buffer->storage_.get() + static_cast<std::size_t>(bytesPerBuffer * i);
    buffer->bufferList_.mBuffers[i] = AudioBuffer{channelsPerBuffer(format), 0, data};
    buffer->channels_[i] = data;
  }
  return buffer;
}

namespace {

// Frames of `bufferList` read as `format`, or none when the list does not fit the format
// (buffer count, channels per buffer, sizes).
std::optional<std::uint32_t> framesOfList(const AVAudioFormat& format,
                                          const AudioBufferList* bufferList) {
  if (bufferList == nullptr || !isPCM(format)) return std::nullopt;
  const std::uint32_t buffers = bufferCount(format);
  if (bufferList->mNumberBuffers != buffers) return std::nullopt;
  const std::uint32_t bytesPerFrame = format.bytesPerFrame();
  const std::uint32_t bytes = bufferList->mBuffers[0].mDataByteSize;
  for (std::uint32_t i = 0; i < buffers; ++i) {
    const AudioBuffer& b = bufferList->mBuffers[i];
    if (b.mNumberChannels != channelsPerBuffer(format) || b.mData == nullptr ||
        b.mDataByteSize != bytes || b.mDataByteSize % bytesPerFrame != 0) {
      return std::nullopt;
    }
  }
  return bytes / bytesPerFrame;
}

}  // namespace

std::unique_ptr<AVAudioPCMBuffer> AVAudioPCMBuffer::makeNoCopy(const AVAudioFormat& format,
                                                               const AudioBufferList* bufferList) {
  const auto frames = framesOfList(format, bufferList);
  if (!frames) return nullptr;
  std::unique_ptr<AVAudioPCMBuffer> buffer(new AVAudioPCMBuffer(format, *frames));
  buffer->rebindNoCopy(bufferList);
  return buffer;
}

bool AVAudioPCMBuffer::rebindNoCopy(const AudioBufferList* bufferList) {
  if (storage_ != nullptr) return false;
  const auto frames = framesOfList(format_, bufferList);
  if (!frames) return false;
  frameCapacity_ = *frames;
  frameLength_ = *frames;
  bufferList_ = *bufferList;
  for (std::uint32_t i = 0; i < bufferList->mNumberBuffers; ++i)
    channels_[i] = bufferList->mBuffers[i].mData;
  return true;
}

bool AVAudioPCMBuffer::reuseWithCapacity(std::uint32_t frameCapacity) {
  if (storage_ == nullptr || frameCapacity == 0 || frameCapacity > storageFrames_) return false;
  frameCapacity_ = frameCapacity;
  setFrameLength(0);
  return true;
}

void AVAudioPCMBuffer::setFrameLength(std::uint32_t frames) {
  frameLength_ = frames < frameCapacity_ ? frames : frameCapacity_;
  const std::uint32_t bytes = frameLength_ * format_.bytesPerFrame();
  for (std::uint32_t i = 0; i < bufferList_.mNumberBuffers; ++i) {
    bufferList_.mBuffers[i].mDataByteSize = bytes;
  }
}

std::int16_t* const* AVAudioPCMBuffer::int16ChannelData() const {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatInt16) return nullptr;
  return reinterpret_cast<std::int16_t* const*>(channels_.data());
}

float* const* AVAudioPCMBuffer::floatChannelData() const {
  if (format_.commonFormat() != AVAudioCommonFormat::pcmFormatFloat32) return nullptr;
  return reinterpret_cast<float* const*>(channels_.data());
}

}  // namespace platform
