// SPDX-License-Identifier: MIT
// The resampling converter: downmix to mono by averaging, resample with libsoxr (high quality,
// streaming, 32-bit float), then round to 16-bit integers with saturation (or keep float).
#pragma once

#include <soxr.h>

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "Platform/avfaudio/AVFAudio.h"

namespace platform {

class ResamplingConverter final : public AVAudioConverter {
 public:
  // Error domain and codes of the errors this converter reports.
  static constexpr const char* kErrorDomain = "AVAudioConverter";
  static constexpr std::int64_t kErrorInputFormatMismatch = 1;
  static constexpr std::int64_t kErrorOutputFormatMismatch = 2;
  static constexpr std::int64_t kErrorNoOutputCapacity = 3;
  static constexpr std::int64_t kErrorMissingInput = 4;
  static constexpr std::int64_t kErrorBadInputStatus = 5;
  static constexpr std::int64_t kErrorResampler = 6;

  // Lowest and highest sample rates accepted on either side.
  static constexpr double kMinSampleRate = 1000.0;
  static constexpr double kMaxSampleRate = 768000.0;

  // Null when the pair is not supported: input float32/float64/int16/int32 with 1 to 8
  // channels, output int16 or float32 mono, both rates finite and within the limits above.
  static std::shared_ptr<ResamplingConverter> make(const AVAudioFormat& from,
                                                   const AVAudioFormat& to);
  ~ResamplingConverter() override;

  const AVAudioFormat& inputFormat() const override { return from_; }
  const AVAudioFormat& outputFormat() const override { return to_; }
  AVAudioConverterOutputStatus convertToBuffer(AVAudioPCMBuffer& outputBuffer,
                                               std::optional<NSError>* outError,
                                               AVAudioConverterInputBlock inputBlock) override;

  // Output frames the resampler holds back at the moment (its filter delay and any partial
  // block), not counting converted frames waiting for room in an output buffer.
  double resamplerDelay() const;
  // Converted frames waiting for room in an output buffer.
  std::size_t pendingFrames() const { return pendingTail_ - pendingHead_; }

  ResamplingConverter(const ResamplingConverter&) = delete;
  ResamplingConverter& operator=(const ResamplingConverter&) = delete;

 private:
  ResamplingConverter(const AVAudioFormat& from, const AVAudioFormat& to, soxr_t soxr);

  // Downmixes `input` into mono_ and resamples it into pending_. False on a resampler error.
  bool consume(const AVAudioPCMBuffer& input);
  // Drains the resampler's tail into pending_ at the end of the stream.
  bool flush();
  // Runs the resampler on `frames` mono frames (null: flush) and appends all it gives.
  bool resample(const float* mono, std::size_t frames);
  // Makes room for `frames` more frames after pendingTail_; returns where they go.
  float* reservePending(std::size_t frames);
  // Moves as many pending frames as fit into `out`; returns how many.
  std::uint32_t deliver(AVAudioPCMBuffer& out);

  AVAudioFormat from_;
  AVAudioFormat to_;
  soxr_t soxr_;
  double ratio_;                // output rate / input rate
  bool ended_ = false;          // the input block said endOfStream and the resampler was flushed
  std::vector<float> mono_;     // scratch: one buffer's downmixed input
  std::vector<float> pending_;  // resampled frames not yet delivered: [pendingHead_, pendingTail_)
  std::size_t pendingHead_ = 0;
  std::size_t pendingTail_ = 0;
};

}  // namespace platform
