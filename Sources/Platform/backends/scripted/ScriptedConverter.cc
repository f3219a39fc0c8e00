// SPDX-License-Identifier: MIT
// A converter that does what the test scripted and records what it was given.
#include <algorithm>

#include "ScriptedState.h"

namespace platform::scripted {

namespace {

const char* inputStatusText(AVAudioConverterInputStatus status) {
  switch (status) {
    case AVAudioConverterInputStatus::haveData:
      return "haveData";
    case AVAudioConverterInputStatus::noDataNow:
      return "noDataNow";
    case AVAudioConverterInputStatus::endOfStream:
      return "endOfStream";
  }
  return "?";
}

class ScriptedConverter final : public AVAudioConverter {
 public:
  ScriptedConverter(std::shared_ptr<ScriptedBackend::State> state, const AVAudioFormat& from,
                    const AVAudioFormat& to, ConverterScript script)
      : state_(std::move(state)), from_(from), to_(to), script_(std::move(script)) {}

  const AVAudioFormat& inputFormat() const override { return from_; }
  const AVAudioFormat& outputFormat() const override { return to_; }

  // Asks for input twice (as a resampler that wants more would) and records both answers.
  AVAudioConverterOutputStatus convertToBuffer(AVAudioPCMBuffer& outputBuffer,
                                               std::optional<NSError>* outError,
                                               AVAudioConverterInputBlock inputBlock) override {
    auto first = AVAudioConverterInputStatus::endOfStream;
    const AVAudioPCMBuffer* input = inputBlock(outputBuffer.frameCapacity(), &first);
    auto second = AVAudioConverterInputStatus::endOfStream;
    const AVAudioPCMBuffer* again = inputBlock(outputBuffer.frameCapacity(), &second);

    std::string args = "capacity=";
    args += std::to_string(outputBuffer.frameCapacity());
    args += ", input=";
    args += inputStatusText(first);
    if (input != nullptr) {
      args += ' ';
      args += std::to_string(input->frameLength());
      args += " frames";
    }
    args += ", again=";
    args += inputStatusText(second);
    if (again != nullptr) args += " with a buffer";
    state_->record("AVAudioConverter.convertToBuffer", std::move(args));

    switch (script_.kind) {
      case ConverterScript::Kind::errorWithNSError:
        if (outError) *outError = script_.error;
        outputBuffer.setFrameLength(0);
        return AVAudioConverterOutputStatus::error;
      case ConverterScript::Kind::errorWithoutNSError:
        outputBuffer.setFrameLength(0);
        return AVAudioConverterOutputStatus::error;
      case ConverterScript::Kind::zeroFrames:
        outputBuffer.setFrameLength(0);
        return AVAudioConverterOutputStatus::haveData;
      default: {
        const std::uint32_t frames = std::min(script_.frames, outputBuffer.frameCapacity());
        if (auto channels = outputBuffer.int16ChannelData())
          std::fill_n(channels[0], frames, script_.value);
        outputBuffer.setFrameLength(frames);
        return AVAudioConverterOutputStatus::haveData;
      }
    }
  }

 private:
  std::shared_ptr<ScriptedBackend::State> state_;
  AVAudioFormat from_;
  AVAudioFormat to_;
  ConverterScript script_;
};

}  // namespace

std::shared_ptr<AVAudioConverter> makeScriptedConverter(
    std::shared_ptr<ScriptedBackend::State> state, const AVAudioFormat& from,
    const AVAudioFormat& to, ConverterScript script) {
  return std::make_shared<ScriptedConverter>(std::move(state), from, to, std::move(script));
}

}  // namespace platform::scripted
