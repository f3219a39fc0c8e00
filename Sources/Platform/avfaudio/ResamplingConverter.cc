// SPDX-License-Identifier: MIT
// The resampling converter. The converted signal depends only on the input samples, never on
// how they are cut into buffers: libsoxr's streaming output is the same whatever the chunking,
// and the downmix and the rounding work sample by sample.
#include "Platform/avfaudio/ResamplingConverter.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <type_traits>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace platform {

namespace {

const char* sampleTypeName(AVAudioCommonFormat f) {
  switch (f) {
    case AVAudioCommonFormat::pcmFormatFloat32:
      return "float32";
    case AVAudioCommonFormat::pcmFormatFloat64:
      return "float64";
    case AVAudioCommonFormat::pcmFormatInt16:
      return "int16";
    case AVAudioCommonFormat::pcmFormatInt32:
      return "int32";
    case AVAudioCommonFormat::otherFormat:
      break;
  }
  return "non-PCM";
}

std::string describe(const AVAudioFormat& f) {
  char text[128];
  std::snprintf(text, sizeof text, "%s, %g Hz, %u ch, %s", sampleTypeName(f.commonFormat()),
                f.sampleRate(), f.channelCount(),
                f.isInterleaved() ? "interleaved" : "non-interleaved");
  return text;
}

void setError(std::optional<NSError>* outError, std::int64_t code, const std::string& text) {
  if (outError == nullptr) return;
  outError->emplace(ResamplingConverter::kErrorDomain, code,
                    harkwell::Value::Object{{std::string(NSLocalizedDescriptionKey), text}});
}

bool rateSupported(double rate) {
  return std::isfinite(rate) && rate >= ResamplingConverter::kMinSampleRate &&
         rate <= ResamplingConverter::kMaxSampleRate;
}

// Samples as floats in [-1, 1).
inline float sampleToFloat(float v) {
  return v;
}
inline float sampleToFloat(double v) {
  return static_cast<float>(v);
}
inline float sampleToFloat(std::int16_t v) {
  return static_cast<float>(v) * (1.0f / 32768.0f);
}
inline float sampleToFloat(std::int32_t v) {
  return static_cast<float>(v) * (1.0f / 2147483648.0f);
}

// A sample that is not finite would poison the resampler's history for the whole filter
// length; it becomes silence instead.
inline float finiteOrZero(float v) {
  return std::fabs(v) <= std::numeric_limits<float>::max() ? v : 0.0f;
}

// The two hot loops of the usual case (interleaved float32, one or two channels) work four
// frames at a time. Every lane computes exactly what the scalar code computes, so the result
// does not depend on where a buffer starts or ends.
void downmixStereoFloat(const float* in, std::uint32_t frames, float* mono) {
  std::uint32_t i = 0;
#if defined(__SSE2__)
  const __m128 half = _mm_set1_ps(0.5f);
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 largest = _mm_set1_ps(std::numeric_limits<float>::max());
  for (; i + 4 <= frames; i += 4) {
    const __m128 a = _mm_loadu_ps(in + 2 * i);      // l0 r0 l1 r1
    const __m128 b = _mm_loadu_ps(in + 2 * i + 4);  // l2 r2 l3 r3
    const __m128 left = _mm_shuffle_ps(a, b, _MM_SHUFFLE(2, 0, 2, 0));
    const __m128 right = _mm_shuffle_ps(a, b, _MM_SHUFFLE(3, 1, 3, 1));
    const __m128 m = _mm_mul_ps(_mm_add_ps(left, right), half);
    const __m128 finite = _mm_cmple_ps(_mm_and_ps(m, magnitude), largest);
    _mm_storeu_ps(mono + i, _mm_and_ps(m, finite));
  }
#endif
  for (; i < frames; ++i) mono[i] = finiteOrZero((in[2 * i] + in[2 * i + 1]) * 0.5f);
}

void copyMonoFloat(const float* in, std::uint32_t frames, float* mono) {
  std::uint32_t i = 0;
#if defined(__SSE2__)
  const __m128 magnitude = _mm_castsi128_ps(_mm_set1_epi32(0x7fffffff));
  const __m128 largest = _mm_set1_ps(std::numeric_limits<float>::max());
  for (; i + 4 <= frames; i += 4) {
    const __m128 m = _mm_loadu_ps(in + i);
    const __m128 finite = _mm_cmple_ps(_mm_and_ps(m, magnitude), largest);
    _mm_storeu_ps(mono + i, _mm_and_ps(m, finite));
  }
#endif
  for (; i < frames; ++i) mono[i] = finiteOrZero(in[i]);
}

// Averages the channels of `frames` frames into `mono`: one buffer of interleaved frames, or
// one buffer per channel.
template <typename T>
void downmix(const AudioBufferList& list, std::uint32_t channelCount, bool interleaved,
             std::uint32_t frames, float* mono) {
  if (interleaved) {
    const T* in = static_cast<const T*>(list.mBuffers[0].mData);
    if constexpr (std::is_same_v<T, float>) {
      if (channelCount == 1) return copyMonoFloat(in, frames, mono);
      if (channelCount == 2) return downmixStereoFloat(in, frames, mono);
    }
    if (channelCount == 1) {
      for (std::uint32_t i = 0; i < frames; ++i) mono[i] = finiteOrZero(sampleToFloat(in[i]));
      return;
    }
    const float scale = channelCount == 2 ? 0.5f : 1.0f / static_cast<float>(channelCount);
    for (std::uint32_t i = 0; i < frames; ++i) {
      const T* frame = in + static_cast<std::size_t>(i) * channelCount;
      float sum = sampleToFloat(frame[0]);
      for (std::uint32_t c = 1; c < channelCount; ++c) sum += sampleToFloat(frame[c]);
      mono[i] = finiteOrZero(sum * scale);
    }
    return;
  }
  const T* first = static_cast<const T*>(list.mBuffers[0].mData);
  for (std::uint32_t i = 0; i < frames; ++i) mono[i] = sampleToFloat(first[i]);
  for (std::uint32_t c = 1; c < channelCount; ++c) {
    const T* in = static_cast<const T*>(list.mBuffers[c].mData);
    for (std::uint32_t i = 0; i < frames; ++i) mono[i] += sampleToFloat(in[i]);
  }
  const float scale = channelCount == 2 ? 0.5f : 1.0f / static_cast<float>(channelCount);
  for (std::uint32_t i = 0; i < frames; ++i) {
    mono[i] = finiteOrZero(channelCount == 1 ? mono[i] : mono[i] * scale);
  }
}

// Scales to 16 bits, saturates, and rounds to the nearest value (halves to even, the default
// rounding mode); no dither.
inline std::int16_t floatToInt16(float x) {
  float s = x * 32768.0f;
  s = s > -32768.0f ? s : -32768.0f;  // NaN ends here too, as in the vector code
  s = s < 32767.0f ? s : 32767.0f;
  return static_cast<std::int16_t>(std::lrint(s));
}

void floatsToInt16(const float* in, std::uint32_t count, std::int16_t* out) {
  std::uint32_t i = 0;
#if defined(__SSE2__)
  const __m128 scale = _mm_set1_ps(32768.0f);
  const __m128 lowest = _mm_set1_ps(-32768.0f);
  const __m128 highest = _mm_set1_ps(32767.0f);
  for (; i + 8 <= count; i += 8) {
    // max(s, lowest) gives `lowest` for NaN, as the scalar code does.
    const __m128 a =
        _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_loadu_ps(in + i), scale), lowest), highest);
    const __m128 b =
        _mm_min_ps(_mm_max_ps(_mm_mul_ps(_mm_loadu_ps(in + i + 4), scale), lowest), highest);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i),
                     _mm_packs_epi32(_mm_cvtps_epi32(a), _mm_cvtps_epi32(b)));
  }
#endif
  for (; i < count; ++i) out[i] = floatToInt16(in[i]);
}

}  // namespace

std::shared_ptr<AVAudioConverter> makeResamplingConverter(const AVAudioFormat& from,
                                                          const AVAudioFormat& to) {
  return ResamplingConverter::make(from, to);
}

std::shared_ptr<ResamplingConverter> ResamplingConverter::make(const AVAudioFormat& from,
                                                               const AVAudioFormat& to) {
  if (from.bytesPerSample() == 0 || from.channelCount() < 1 ||
      from.channelCount() > kMaxAudioBuffers || !rateSupported(from.sampleRate())) {
    return nullptr;
  }
  if ((to.commonFormat() != AVAudioCommonFormat::pcmFormatInt16 &&
       to.commonFormat() != AVAudioCommonFormat::pcmFormatFloat32) ||
      to.channelCount() != 1 || !rateSupported(to.sampleRate())) {
    return nullptr;
  }
  const soxr_io_spec_t io = soxr_io_spec(SOXR_FLOAT32_I, SOXR_FLOAT32_I);
  const soxr_quality_spec_t quality = soxr_quality_spec(SOXR_HQ, 0);
  const soxr_runtime_spec_t runtime = soxr_runtime_spec(1);
  soxr_error_t error = nullptr;
  soxr_t soxr = soxr_create(from.sampleRate(), to.sampleRate(), 1, &error, &io, &quality, &runtime);
  if (soxr == nullptr || error != nullptr) {
    if (soxr != nullptr) soxr_delete(soxr);
    return nullptr;
  }
  return std::shared_ptr<ResamplingConverter>(new ResamplingConverter(from, to, soxr));
}

ResamplingConverter::ResamplingConverter(const AVAudioFormat& from, const AVAudioFormat& to,
                                         soxr_t soxr)
    : from_(from), to_(to), soxr_(soxr), ratio_(to.sampleRate() / from.sampleRate()) {}

ResamplingConverter::~ResamplingConverter() {
  soxr_delete(soxr_);
}

double ResamplingConverter::resamplerDelay() const {
  return soxr_delay(soxr_);
}

AVAudioConverterOutputStatus ResamplingConverter::convertToBuffer(
    AVAudioPCMBuffer& outputBuffer, std::optional<NSError>* outError,
    AVAudioConverterInputBlock inputBlock) {
  using Out = AVAudioConverterOutputStatus;
  if (!(outputBuffer.format() == to_)) {
    setError(outError, kErrorOutputFormatMismatch,
             "output buffer format (" + describe(outputBuffer.format()) +
                 ") does not match the converter's output format (" + describe(to_) + ")");
    return Out::error;
  }
  const std::uint32_t capacity = outputBuffer.frameCapacity();
  if (capacity == 0) {
    setError(outError, kErrorNoOutputCapacity, "output buffer has no room for any frame");
    return Out::error;
  }
  outputBuffer.setFrameLength(0);

  // Ask for input at least once, so that a buffer offered for this call is always taken in
  // (kept inside when the output is full), then for as long as the output is not yet filled.
  // Frames reach the output buffer only at the end: a failure leaves them inside, not lost.
  bool asked = false;
  while (!ended_ && (!asked || pendingFrames() < capacity)) {
    asked = true;
    const std::size_t missing = capacity > pendingFrames() ? capacity - pendingFrames() : 1;
    const double wanted = std::ceil(static_cast<double>(missing) / ratio_);
    const auto packets = static_cast<std::uint32_t>(
        std::min(wanted, static_cast<double>(std::numeric_limits<std::uint32_t>::max())));
    auto status = AVAudioConverterInputStatus::noDataNow;
    const AVAudioPCMBuffer* input = inputBlock(packets, &status);
    if (status == AVAudioConverterInputStatus::noDataNow) break;
    if (status == AVAudioConverterInputStatus::endOfStream) {
      if (!flush()) {
        setError(outError, kErrorResampler, "the resampler failed to flush");
        return Out::error;
      }
      ended_ = true;
      break;
    }
    if (status != AVAudioConverterInputStatus::haveData) {
      setError(outError, kErrorBadInputStatus,
               "the input block gave an unknown input status " +
                   std::to_string(static_cast<int>(status)));
      return Out::error;
    }
    if (input == nullptr) {
      setError(outError, kErrorMissingInput,
               "the input block reported haveData but gave no buffer");
      return Out::error;
    }
    if (!(input->format() == from_)) {
      setError(outError, kErrorInputFormatMismatch,
               "input buffer format (" + describe(input->format()) +
                   ") does not match the converter's input format (" + describe(from_) + ")");
      return Out::error;
    }
    if (input->frameLength() == 0) break;  // nothing now; asking again could loop for ever
    if (!consume(*input)) {
      setError(outError, kErrorResampler, "the resampler failed to process the input");
      return Out::error;
    }
  }

  const std::uint32_t written = deliver(outputBuffer);
  if (ended_ && pendingFrames() == 0) return Out::endOfStream;
  return written > 0 ? Out::haveData : Out::inputRanDry;
}

bool ResamplingConverter::consume(const AVAudioPCMBuffer& input) {
  const std::uint32_t frames = input.frameLength();
  if (mono_.size() < frames) mono_.resize(frames);
  const AudioBufferList& list = *input.audioBufferList();
  const std::uint32_t channels = from_.channelCount();
  const bool interleaved = from_.isInterleaved();
  switch (from_.commonFormat()) {
    case AVAudioCommonFormat::pcmFormatFloat32:
      downmix<float>(list, channels, interleaved, frames, mono_.data());
      break;
    case AVAudioCommonFormat::pcmFormatFloat64:
      downmix<double>(list, channels, interleaved, frames, mono_.data());
      break;
    case AVAudioCommonFormat::pcmFormatInt16:
      downmix<std::int16_t>(list, channels, interleaved, frames, mono_.data());
      break;
    case AVAudioCommonFormat::pcmFormatInt32:
      downmix<std::int32_t>(list, channels, interleaved, frames, mono_.data());
      break;
    case AVAudioCommonFormat::otherFormat:
      return false;
  }
  return resample(mono_.data(), frames);
}

bool ResamplingConverter::flush() {
  return resample(nullptr, 0);
}

float* ResamplingConverter::reservePending(std::size_t frames) {
  if (pendingHead_ == pendingTail_) {
    pendingHead_ = pendingTail_ = 0;
  } else if (pendingHead_ > 0 && pendingTail_ + frames > pending_.size()) {
    std::memmove(pending_.data(), pending_.data() + pendingHead_,
                 (pendingTail_ - pendingHead_) * sizeof(float));
    pendingTail_ -= pendingHead_;
    pendingHead_ = 0;
  }
  // Made four times what is asked at first and grown geometrically, so that a steady stream
  // allocates with its first buffers only (the resampler's output comes in uneven runs).
  if (pendingTail_ + frames > pending_.size())
    pending_.resize(std::max({pendingTail_ + frames, 2 * pending_.size(), 4 * frames}));
  return pending_.data() + pendingTail_;
}

bool ResamplingConverter::resample(const float* mono, std::size_t frames) {
  // Give the resampler room for what this input should yield plus a margin; when it fills
  // the room, it has more, so ask again without new input until it gives less than asked.
  std::size_t consumed = 0;
  for (;;) {
    const std::size_t room =
        static_cast<std::size_t>(std::ceil(static_cast<double>(frames - consumed) * ratio_)) + 256;
    float* out = reservePending(room);
    std::size_t used = 0;
    std::size_t produced = 0;
    const soxr_error_t error = soxr_process(soxr_, mono != nullptr ? mono + consumed : nullptr,
                                            frames - consumed, &used, out, room, &produced);
    if (error != nullptr) return false;
    consumed += used;
    pendingTail_ += produced;
    if (mono == nullptr) {
      if (produced == 0) return true;  // flushed
    } else if (consumed == frames && produced < room) {
      return true;
    }
  }
}

std::uint32_t ResamplingConverter::deliver(AVAudioPCMBuffer& out) {
  const auto frames =
      static_cast<std::uint32_t>(std::min<std::size_t>(pendingFrames(), out.frameCapacity()));
  out.setFrameLength(frames);
  if (frames == 0) return 0;
  const float* from = pending_.data() + pendingHead_;
  if (to_.commonFormat() == AVAudioCommonFormat::pcmFormatInt16) {
    floatsToInt16(from, frames, out.int16ChannelData()[0]);
  } else {
    std::memcpy(out.floatChannelData()[0], from, frames * sizeof(float));
  }
  pendingHead_ += frames;
  return frames;
}

}  // namespace platform
