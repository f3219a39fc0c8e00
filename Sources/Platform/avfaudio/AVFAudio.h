// SPDX-License-Identifier: MIT
// Audio formats, PCM buffers, the converter and the audio engine of the platform layer.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/coreaudio/CoreAudioTypes.h"
#include "Platform/dispatch/FunctionRef.h"
#include "Platform/foundation/Foundation.h"

namespace platform {

enum class AVAudioCommonFormat : std::uint32_t {
  otherFormat = 0,
  pcmFormatFloat32 = 1,
  pcmFormatFloat64 = 2,
  pcmFormatInt16 = 3,
  pcmFormatInt32 = 4,
};

// A PCM format: sample type, rate, channel count and layout. The sample rate may be 0 (the
// input node reports 0 when there is no input device).
class AVAudioFormat {
 public:
  AVAudioFormat(AVAudioCommonFormat commonFormat, double sampleRate, std::uint32_t channels,
                bool interleaved);
  // None when the description is not usable: not linear PCM, not float32/float64/int16/int32
  // native-endian packed samples, no channels or more than kMaxAudioBuffers, or sizes that do
  // not agree with each other.
  static std::optional<AVAudioFormat> fromStreamDescription(const AudioStreamBasicDescription& d);

  AVAudioCommonFormat commonFormat() const { return commonFormat_; }
  double sampleRate() const { return sampleRate_; }
  std::uint32_t channelCount() const { return channels_; }
  bool isInterleaved() const { return interleaved_; }
  std::uint32_t bytesPerSample() const;
  // Bytes per frame of one buffer: all channels when interleaved, one channel otherwise.
  std::uint32_t bytesPerFrame() const;
  AudioStreamBasicDescription streamDescription() const;

  friend bool operator==(const AVAudioFormat&, const AVAudioFormat&) = default;

 private:
  AVAudioCommonFormat commonFormat_;
  double sampleRate_;
  std::uint32_t channels_;
  bool interleaved_;
};

// PCM samples in one format: either storage of its own, or a view over a buffer list that
// stays the caller's.
class AVAudioPCMBuffer {
 public:
  // An empty buffer with room for `frameCapacity` frames; none when the format is not PCM or
  // the size cannot be allocated.
  static std::unique_ptr<AVAudioPCMBuffer> make(const AVAudioFormat& format,
                                                std::uint32_t frameCapacity);
  // A buffer over `bufferList` without copying; none when the list does not fit the format
  // (buffer count, channels per buffer, sizes). frameLength = first buffer's bytes / bytes
  // per frame. The list and its memory must outlive the buffer.
  static std::unique_ptr<AVAudioPCMBuffer> makeNoCopy(const AVAudioFormat& format,
                                                      const AudioBufferList* bufferList);

  // Made for reuse, so that a path that runs every few milliseconds allocates nothing after
  // its first buffers. For a buffer made by make(): room for `frameCapacity` frames again
  // (frameLength 0), within the storage it was made with. False, and nothing changes, for a
  // view or when the storage is smaller.
  bool reuseWithCapacity(std::uint32_t frameCapacity);
  // For a view made by makeNoCopy(): the same view over another list, checked as makeNoCopy()
  // checks it. False, and nothing changes, when the list does not fit or the buffer owns its
  // storage.
  bool rebindNoCopy(const AudioBufferList* bufferList);

  const AVAudioFormat& format() const { return format_; }
  std::uint32_t frameCapacity() const { return frameCapacity_; }
  std::uint32_t frameLength() const { return frameLength_; }
  void setFrameLength(std::uint32_t frames);  // clamped to the capacity

  // Per-channel sample pointers (for interleaved audio one pointer to the interleaved run), or
  // null when the format is not of that sample type.
  std::int16_t* const* int16ChannelData() const;
  float* const* floatChannelData() const;
  const AudioBufferList* audioBufferList() const { return &bufferList_; }

  AVAudioPCMBuffer(const AVAudioPCMBuffer&) = delete;
  AVAudioPCMBuffer& operator=(const AVAudioPCMBuffer&) = delete;

 private:
  AVAudioPCMBuffer(const AVAudioFormat& format, std::uint32_t capacity);
  AVAudioFormat format_;
  std::uint32_t frameCapacity_ = 0;
  std::uint32_t frameLength_ = 0;
  std::unique_ptr<std::uint8_t[]> storage_;  // none for a view
  std::uint32_t storageFrames_ = 0;          // frames per buffer the storage holds
  AudioBufferList bufferList_{};
  std::array<void*, kMaxAudioBuffers> channels_{};
};

enum class AVAudioConverterOutputStatus : int {
  haveData = 0,
  inputRanDry = 1,
  endOfStream = 2,
  error = 3,
};

enum class AVAudioConverterInputStatus : int {
  haveData = 0,
  noDataNow = 1,
  endOfStream = 2,
};

// Asked for input during a conversion: gives a buffer (status haveData) or none (noDataNow,
// endOfStream). The first argument is the number of packets wanted.
using AVAudioConverterInputBlock =
    FunctionRef<const AVAudioPCMBuffer*(std::uint32_t, AVAudioConverterInputStatus*)>;

// Converts between formats with state that carries over between calls.
class AVAudioConverter {
 public:
  virtual ~AVAudioConverter() = default;
  // A converter from `from` to `to`, or null when the conversion is not supported. Made by the
  // installed backend (the resampling converter unless a test scripts another).
  static std::shared_ptr<AVAudioConverter> make(const AVAudioFormat& from, const AVAudioFormat& to);

  virtual const AVAudioFormat& inputFormat() const = 0;
  virtual const AVAudioFormat& outputFormat() const = 0;
  // Fills `outputBuffer` (frameLength set to the frames produced), pulling input from
  // `inputBlock`. On failure: status error and, where `outError` is given, the error in it.
  virtual AVAudioConverterOutputStatus convertToBuffer(AVAudioPCMBuffer& outputBuffer,
                                                       std::optional<NSError>* outError,
                                                       AVAudioConverterInputBlock inputBlock) = 0;
};

// The resampling converter (downmix, libsoxr, round to 16 bits), whatever backend is installed.
std::shared_ptr<AVAudioConverter> makeResamplingConverter(const AVAudioFormat& from,
                                                          const AVAudioFormat& to);

struct AVAudioTime {
  std::uint64_t hostTime;  // dispatch clock, nanoseconds
  double sampleTime;
};

using AVAudioNodeBus = std::uint32_t;
using AVAudioNodeTapBlock =
    std::function<void(const AVAudioPCMBuffer& buffer, const AVAudioTime& when)>;

// The engine's input node: the system's default input device.
class AVAudioInputNode {
 public:
  virtual ~AVAudioInputNode() = default;
  // Removes any tap on `bus`; nothing happens when there is none.
  virtual void removeTapOnBus(AVAudioNodeBus bus) = 0;
  // The input format; sample rate 0 when no input device is available.
  virtual AVAudioFormat outputFormatForBus(AVAudioNodeBus bus) = 0;
  // `block` receives each captured buffer on a thread of the platform while the engine runs.
  // Throws NSException for a bus that already has a tap or a format that does not match.
  virtual void installTapOnBus(AVAudioNodeBus bus, std::uint32_t bufferSize,
                               const AVAudioFormat& format, AVAudioNodeTapBlock block) = 0;
};

class AVAudioEngine {
 public:
  virtual ~AVAudioEngine() = default;
  // A stopped engine from the installed backend. Its configuration-change notification is
  // posted on NotificationCenter::defaultCenter() with the engine as sender.
  static std::shared_ptr<AVAudioEngine> make();

  virtual AVAudioInputNode& inputNode() = 0;
  virtual bool isRunning() = 0;
  virtual void stop() = 0;
  // False with the error in `outError` on failure; may throw NSException.
  virtual bool startAndReturnError(std::optional<NSError>* outError) = 0;
};

enum class AVAuthorizationStatus : int {
  notDetermined = 0,
  restricted = 1,
  denied = 2,
  authorized = 3,
};

namespace AVCaptureDevice {
// The microphone authorization status for audio.
AVAuthorizationStatus authorizationStatusForAudio();
}  // namespace AVCaptureDevice

}  // namespace platform
