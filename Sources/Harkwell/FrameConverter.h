// SPDX-License-Identifier: MIT
// The step both capture paths end with: convert what the input gives to 16-bit 16000 Hz mono
// and write what comes out as one frame of the path's tag.
//
// The output buffer is kept from one call to the next (and grows only for a larger capacity),
// so after the first buffers a path converts and writes without allocating. One caller at a
// time.
#pragma once

#include <cstdint>
#include <memory>
#include <string_view>

#include "HarkwellCore/Frame.h"
#include "Platform/avfaudio/AVFAudio.h"

namespace harkwell {

class FrameConverter {
 public:
  // `logLabel` prefixes a conversion error on standard error ("tap convert", "mic convert").
  FrameConverter(FrameTag tag, const platform::AVAudioFormat& targetFormat,
                 std::string_view logLabel);

  // Converts into at most `capacity` frames, pulling input from `inputBlock`, and writes them
  // when there are any. The converter's status; error also when no output buffer could be
  // made, the converter reported an error (logged) or the output holds no 16-bit samples.
  platform::AVAudioConverterOutputStatus convertAndWrite(
      platform::AVAudioConverter& converter, std::uint32_t capacity,
      platform::AVAudioConverterInputBlock inputBlock);

  // The same with `input` given once, then no more data for now.
  platform::AVAudioConverterOutputStatus convertAndWrite(platform::AVAudioConverter& converter,
                                                         std::uint32_t capacity,
                                                         const platform::AVAudioPCMBuffer& input);

  FrameConverter(const FrameConverter&) = delete;
  FrameConverter& operator=(const FrameConverter&) = delete;

 private:
  platform::AVAudioPCMBuffer* outputWithCapacity(std::uint32_t capacity);

  const FrameTag tag_;
  const platform::AVAudioFormat targetFormat_;
  const std::string_view logLabel_;
  std::unique_ptr<platform::AVAudioPCMBuffer> output_;
};

}  // namespace harkwell
