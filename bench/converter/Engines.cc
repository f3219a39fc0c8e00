// SPDX-License-Identifier: MIT
#include "Engines.h"

#include <samplerate.h>
#include <soxr.h>
#include <speex/speex_resampler.h>

#include <cmath>
#include <stdexcept>
#include <vector>

#include "Platform/avfaudio/AVFAudio.h"

namespace bench {

namespace {

constexpr double kOutRate = 16000.0;

std::size_t outputRoom(double inputRate) {
  return static_cast<std::size_t>(kOutRate / inputRate * Engine::kMaxFrames) + 1024;
}

void downmix(const float* stereo, std::size_t frames, float* mono) {
  for (std::size_t i = 0; i < frames; ++i) mono[i] = (stereo[2 * i] + stereo[2 * i + 1]) * 0.5f;
}

// Ours, called as a capture path calls it: a no-copy view over the cycle's buffer list, an
// input block that gives it once, an output buffer in the output format.
class HarkwellEngine final : public Engine {
 public:
  explicit HarkwellEngine(double rate)
      : in_(platform::AVAudioCommonFormat::pcmFormatFloat32, rate, 2, true),
        out_(platform::AVAudioCommonFormat::pcmFormatInt16, kOutRate, 1, true),
        converter_(platform::makeResamplingConverter(in_, out_)),
        output_(
            platform::AVAudioPCMBuffer::make(out_, static_cast<std::uint32_t>(outputRoom(rate)))) {
    if (!converter_ || !output_) throw std::runtime_error("no converter");
  }
  std::size_t process(float* stereo, std::size_t frames) override {
    platform::AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {2, static_cast<std::uint32_t>(frames * 8), stereo};
    auto input = platform::AVAudioPCMBuffer::makeNoCopy(in_, &list);
    bool given = false;
    converter_->convertToBuffer(
        *output_, nullptr,
        [&](std::uint32_t,
            platform::AVAudioConverterInputStatus* s) -> const platform::AVAudioPCMBuffer* {
          *s = given ? platform::AVAudioConverterInputStatus::noDataNow
                     : platform::AVAudioConverterInputStatus::haveData;
          return given ? nullptr : (given = true, input.get());
        });
    return output_->frameLength();
  }

 private:
  platform::AVAudioFormat in_;
  platform::AVAudioFormat out_;
  std::shared_ptr<platform::AVAudioConverter> converter_;
  std::unique_ptr<platform::AVAudioPCMBuffer> output_;
};

// libsoxr on its own at the same settings (high quality, float in, int16 out without dither),
// after the same downmix.
class SoxrEngine final : public Engine {
 public:
  explicit SoxrEngine(double rate) : mono_(kMaxFrames), out_(outputRoom(rate)) {
    soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_INT16_I);
    io.flags |= SOXR_NO_DITHER;
    const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
    const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
    soxr_error_t error = nullptr;
    soxr_ = soxr_create(rate, kOutRate, 1, &error, &io, &quality, &runtime);
    if (error != nullptr) throw std::runtime_error(error);
  }
  ~SoxrEngine() override { soxr_delete(soxr_); }
  std::size_t process(float* stereo, std::size_t frames) override {
    downmix(stereo, frames, mono_.data());
    std::size_t used = 0, produced = 0;
    soxr_process(soxr_, mono_.data(), frames, &used, out_.data(), out_.size(), &produced);
    return produced;
  }

 private:
  soxr_t soxr_ = nullptr;
  std::vector<float> mono_;
  std::vector<std::int16_t> out_;
};

class SamplerateEngine final : public Engine {
 public:
  explicit SamplerateEngine(double rate)
      : ratio_(kOutRate / rate), mono_(kMaxFrames), out_(outputRoom(rate)), out16_(out_.size()) {
    int error = 0;
    src_ = src_new(SRC_SINC_MEDIUM_QUALITY, 1, &error);
    if (src_ == nullptr) throw std::runtime_error(src_strerror(error));
  }
  ~SamplerateEngine() override { src_delete(src_); }
  std::size_t process(float* stereo, std::size_t frames) override {
    downmix(stereo, frames, mono_.data());
    SRC_DATA data{};
    data.data_in = mono_.data();
    data.input_frames = static_cast<long>(frames);
    data.data_out = out_.data();
    data.output_frames = static_cast<long>(out_.size());
    data.src_ratio = ratio_;
    data.end_of_input = 0;
    src_process(src_, &data);
    src_float_to_short_array(out_.data(), out16_.data(), static_cast<int>(data.output_frames_gen));
    return static_cast<std::size_t>(data.output_frames_gen);
  }

 private:
  SRC_STATE* src_ = nullptr;
  double ratio_;
  std::vector<float> mono_;
  std::vector<float> out_;
  std::vector<short> out16_;
};

class SpeexEngine final : public Engine {
 public:
  explicit SpeexEngine(double rate)
      : mono_(kMaxFrames), out_(outputRoom(rate)), out16_(out_.size()) {
    int error = 0;
    speex_ = speex_resampler_init(1, static_cast<spx_uint32_t>(rate),
                                  static_cast<spx_uint32_t>(kOutRate), 5, &error);
    if (speex_ == nullptr) throw std::runtime_error(speex_resampler_strerror(error));
  }
  ~SpeexEngine() override { speex_resampler_destroy(speex_); }
  std::size_t process(float* stereo, std::size_t frames) override {
    downmix(stereo, frames, mono_.data());
    auto inLength = static_cast<spx_uint32_t>(frames);
    auto outLength = static_cast<spx_uint32_t>(out_.size());
    speex_resampler_process_float(speex_, 0, mono_.data(), &inLength, out_.data(), &outLength);
    for (spx_uint32_t i = 0; i < outLength; ++i) {
      const float s = std::fmin(std::fmax(out_[i] * 32768.0f, -32768.0f), 32767.0f);
      out16_[i] = static_cast<std::int16_t>(std::lrint(s));
    }
    return outLength;
  }

 private:
  SpeexResamplerState* speex_ = nullptr;
  std::vector<float> mono_;
  std::vector<float> out_;
  std::vector<std::int16_t> out16_;
};

}  // namespace

const char* engineName(EngineKind kind) {
  switch (kind) {
    case EngineKind::harkwell:
      return "harkwell";
    case EngineKind::soxrDirect:
      return "soxr_direct";
    case EngineKind::libsamplerate:
      return "libsamplerate_medium";
    case EngineKind::speexdsp:
      return "speexdsp_q5";
  }
  return "?";
}

std::unique_ptr<Engine> makeEngine(EngineKind kind, double inputRate) {
  switch (kind) {
    case EngineKind::harkwell:
      return std::make_unique<HarkwellEngine>(inputRate);
    case EngineKind::soxrDirect:
      return std::make_unique<SoxrEngine>(inputRate);
    case EngineKind::libsamplerate:
      return std::make_unique<SamplerateEngine>(inputRate);
    case EngineKind::speexdsp:
      return std::make_unique<SpeexEngine>(inputRate);
  }
  return nullptr;
}

}  // namespace bench
