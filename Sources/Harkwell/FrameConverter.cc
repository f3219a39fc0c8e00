// SPDX-License-Identifier: MIT
#include "FrameConverter.h"

#include <optional>
#include <span>
#include <string>

#include "HarkwellCore/Protocol.h"

namespace harkwell {

using namespace platform;

FrameConverter::FrameConverter(FrameTag tag, const AVAudioFormat& targetFormat,
                               std::string_view logLabel)
    : tag_(tag), targetFormat_(targetFormat), logLabel_(logLabel) {}

AVAudioPCMBuffer* FrameConverter::outputWithCapacity(std::uint32_t capacity) {
  if (output_ == nullptr || !output_->reuseWithCapacity(capacity)) {
    output_ = AVAudioPCMBuffer::make(targetFormat_, capacity);
  }
  return output_.get();
}

AVAudioConverterOutputStatus FrameConverter::convertAndWrite(
    AVAudioConverter& converter, std::uint32_t capacity, AVAudioConverterInputBlock inputBlock) {
  AVAudioPCMBuffer* output = outputWithCapacity(capacity);
  if (output == nullptr) return AVAudioConverterOutputStatus::error;

  std::optional<NSError> error;
  const auto status = converter.convertToBuffer(*output, &error, inputBlock);
  if (error) {
    Log::error(std::string(logLabel_) + ": " + error->localizedDescription());
    return AVAudioConverterOutputStatus::error;
  }
  if (status == AVAudioConverterOutputStatus::error) return status;

  const auto channels = output->int16ChannelData();
  if (!channels) return AVAudioConverterOutputStatus::error;
  const std::uint32_t produced = output->frameLength();
  if (produced == 0) return status;
  FrameWriter::write(tag_, std::span(reinterpret_cast<const std::uint8_t*>(channels[0]),
                                     std::size_t{produced} * sizeof(std::int16_t)));
  return status;
}

AVAudioConverterOutputStatus FrameConverter::convertAndWrite(AVAudioConverter& converter,
                                                             std::uint32_t capacity,
                                                             const AVAudioPCMBuffer& input) {
  bool consumed = false;
  return convertAndWrite(
      converter, capacity,
      [&](std::uint32_t, AVAudioConverterInputStatus* inputStatus) -> const AVAudioPCMBuffer* {
        if (consumed) {
          *inputStatus = AVAudioConverterInputStatus::noDataNow;
          return nullptr;
        }
        consumed = true;
        *inputStatus = AVAudioConverterInputStatus::haveData;
        return &input;
      });
}

}  // namespace harkwell
