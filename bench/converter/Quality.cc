// SPDX-License-Identifier: MIT
// Quality of the resampling converter on the capture paths' job: stereo float32 at 48000 or
// 44100 Hz to int16 mono at 16000 Hz, fed in 10 ms buffers the way a capture path feeds it.
#include "Quality.h"

#include <cmath>
#include <cstdint>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include "Platform/avfaudio/ResamplingConverter.h"
#include "Signals.h"

namespace bench {

namespace {

using platform::AVAudioCommonFormat;
using platform::AVAudioFormat;
using platform::AVAudioPCMBuffer;

constexpr double kOutRate = 16000.0;
constexpr double kMinus1dBFS = 0.8912509381337456;  // 10^(-1/20)
constexpr std::size_t kWarmUp = 1600;               // 100 ms of output skipped
constexpr std::size_t kWindow = 16000;              // 1 s: whole cycles of any integer Hz

struct Run {
  std::vector<double> out;  // output samples, full scale = 1
  double heldBackMin;       // output frames due but not yet given after a buffer, steady state
  double heldBackMax;
  double resamplerDelay;  // what libsoxr reports it holds at the end
};

// Converts 1.5 s of a stereo sine in 10 ms buffers, without ending the stream, to int16 or
// (to see below the 16-bit floor) to float32.
Run convertSine(double rate, double hz, bool floatOutput = false) {
  const AVAudioFormat in(AVAudioCommonFormat::pcmFormatFloat32, rate, 2, true);
  const AVAudioFormat outFormat(
      floatOutput ? AVAudioCommonFormat::pcmFormatFloat32 : AVAudioCommonFormat::pcmFormatInt16,
      kOutRate, 1, true);
  auto converter = platform::ResamplingConverter::make(in, outFormat);
  const auto frames = static_cast<std::size_t>(rate * 1.5);
  std::vector<float> signal = interleavedSine(rate, hz, kMinus1dBFS, frames, 2);
  const auto chunk = static_cast<std::size_t>(rate / 100);

  Run run{{}, std::numeric_limits<double>::infinity(), 0.0, 0.0};
  for (std::size_t pos = 0; pos < frames; pos += chunk) {
    const std::size_t n = std::min(chunk, frames - pos);
    platform::AudioBufferList list{};
    list.mNumberBuffers = 1;
    list.mBuffers[0] = {2, static_cast<std::uint32_t>(n * 8), signal.data() + 2 * pos};
    auto input = AVAudioPCMBuffer::makeNoCopy(in, &list);
    auto output = AVAudioPCMBuffer::make(
        outFormat, static_cast<std::uint32_t>(kOutRate / rate * static_cast<double>(n) + 1024));
    bool given = false;
    converter->convertToBuffer(
        *output, nullptr,
        [&](std::uint32_t, platform::AVAudioConverterInputStatus* s) -> const AVAudioPCMBuffer* {
          *s = given ? platform::AVAudioConverterInputStatus::noDataNow
                     : platform::AVAudioConverterInputStatus::haveData;
          return given ? nullptr : (given = true, input.get());
        });
    for (std::uint32_t i = 0; i < output->frameLength(); ++i) {
      run.out.push_back(floatOutput ? static_cast<double>(output->floatChannelData()[0][i])
                                    : output->int16ChannelData()[0][i] / 32768.0);
    }
    const double due = static_cast<double>(pos + n) * kOutRate / rate;
    if (pos >= static_cast<std::size_t>(rate / 4)) {  // after the first 250 ms
      run.heldBackMin = std::min(run.heldBackMin, due - static_cast<double>(run.out.size()));
      run.heldBackMax = std::max(run.heldBackMax, due - static_cast<double>(run.out.size()));
    }
  }
  run.resamplerDelay = converter->resamplerDelay();
  return run;
}

struct Row {
  double rate;
  double snr;              // dB, 997 Hz at -1 dBFS against the ideal sine
  double offset;           // output samples the tone lags the ideal sine by
  double residue9k;        // dBFS, int16 output
  double residue12k;       // dBFS, int16 output
  double floatResidue9k;   // dBFS, before rounding to 16 bits
  double floatResidue12k;  // dBFS, before rounding to 16 bits
  double flatness;         // dB, 7 kHz level minus 1 kHz level
  double heldBackMin;      // output samples held back in steady state
  double heldBackMax;
  double resamplerDelay;
};

// Peak level of what is left in the window, in dB relative to a full-scale sine.
double residue(const std::vector<double>& out) {
  double sum = 0.0;
  for (std::size_t i = kWarmUp; i < kWarmUp + kWindow; ++i) sum += out[i] * out[i];
  const double rms = std::sqrt(sum / kWindow);
  return rms > 0.0 ? toDecibels(rms * std::numbers::sqrt2)
                   : -std::numeric_limits<double>::infinity();
}

Row measure(double rate) {
  Row row{};
  row.rate = rate;

  const Run tone = convertSine(rate, 997.0);
  const double w = 2.0 * std::numbers::pi * 997.0 / kOutRate;
  const Tone t = measureTone(tone.out, kOutRate, 997.0, kWarmUp, kWindow);
  row.offset = -t.phase / w;  // the output is sin(w (n - offset))
  double signal = 0.0, error = 0.0;
  for (std::size_t n = kWarmUp; n < kWarmUp + kWindow; ++n) {
    const double ideal = kMinus1dBFS * std::sin(w * (static_cast<double>(n) - row.offset));
    signal += ideal * ideal;
    error += (tone.out[n] - ideal) * (tone.out[n] - ideal);
  }
  row.snr = 10.0 * std::log10(signal / error);
  row.heldBackMin = tone.heldBackMin;
  row.heldBackMax = tone.heldBackMax;
  row.resamplerDelay = tone.resamplerDelay;

  row.residue9k = residue(convertSine(rate, 9000.0).out);
  row.residue12k = residue(convertSine(rate, 12000.0).out);
  row.floatResidue9k = residue(convertSine(rate, 9000.0, true).out);
  row.floatResidue12k = residue(convertSine(rate, 12000.0, true).out);

  const Run low = convertSine(rate, 1000.0);
  const Run high = convertSine(rate, 7000.0);
  row.flatness = toDecibels(measureTone(high.out, kOutRate, 7000.0, kWarmUp, kWindow).amplitude /
                            measureTone(low.out, kOutRate, 1000.0, kWarmUp, kWindow).amplitude);
  return row;
}

const char* verdict(bool ok) {
  return ok ? "ok" : "FAIL";
}

std::string level(double dBFS) {
  char text[32];
  if (std::isinf(dBFS)) return "silent";
  std::snprintf(text, sizeof text, "%.1f dBFS", dBFS);
  return text;
}

}  // namespace

bool runQuality(std::FILE* out) {
  std::fprintf(out,
               "Quality: stereo float32 -> int16 mono 16000 Hz, 10 ms buffers, -1 dBFS sines\n"
               "| input Hz | SNR 997 Hz (>= 96 dB) | 9 kHz residue (< -90 dBFS) | "
               "12 kHz residue (< -90 dBFS) | 7 kHz vs 1 kHz (within 0.1 dB) | "
               "held back, output samples (ms) | tone lag (samples) |\n"
               "|---|---|---|---|---|---|---|\n");
  bool all = true;
  for (double rate : {48000.0, 44100.0}) {
    const Row r = measure(rate);
    const bool snr = r.snr >= 96.0;
    const bool r9 = r.residue9k < -90.0;
    const bool r12 = r.residue12k < -90.0;
    const bool flat = std::abs(r.flatness) <= 0.1;
    all = all && snr && r9 && r12 && flat;
    std::fprintf(out,
                 "| %.0f | %.2f dB %s | %s %s (float: %s) | %s %s (float: %s) | %+.4f dB %s | "
                 "%.0f to %.0f (%.1f to %.1f ms; soxr reports %.0f) | %+.6f |\n",
                 r.rate, r.snr, verdict(snr), level(r.residue9k).c_str(), verdict(r9),
                 level(r.floatResidue9k).c_str(), level(r.residue12k).c_str(), verdict(r12),
                 level(r.floatResidue12k).c_str(), r.flatness, verdict(flat), r.heldBackMin,
                 r.heldBackMax, r.heldBackMin / kOutRate * 1000.0,
                 r.heldBackMax / kOutRate * 1000.0, r.resamplerDelay,
                 std::abs(r.offset) < 5e-7 ? 0.0 : r.offset);
  }
  std::fprintf(out,
               "(held back: output due for the input given so far minus output given, after each "
               "buffer; tone lag: how far the 997 Hz output lags the ideal sine)\n"
               "Quality targets: %s\n\n",
               all ? "all met" : "NOT MET");
  return all;
}

}  // namespace bench
