// SPDX-License-Identifier: MIT
#include "LevelPicture.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>

namespace harkwell::record {
namespace {

constexpr double kRate = 16000.0;
constexpr std::uint32_t kBlock = 1600;  // 100 ms
// Audio that arrives this much later than the audio before it accounts for is a gap.
constexpr double kGapThreshold = 0.2;
constexpr double kFloorDb = -60.0;

constexpr int kWidth = 1000;
constexpr int kLeft = 80;
constexpr int kLane = 110;
constexpr int kTop = 30;

__attribute__((format(printf, 1, 2))) std::string fmt(const char* format, ...) {
  char text[200];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  return text;
}

}  // namespace

void LevelTrack::add(std::span<const std::uint8_t> payload, std::optional<double> arrival) {
  const std::size_t count = payload.size() / 2;
  if (arrival) {
    if (!firstArrival_) {
      firstArrival_ = *arrival - static_cast<double>(count) / kRate;
    } else {
      // When this frame's audio should have been complete, going by the audio so far.
      const double due =
          *firstArrival_ + gapSeconds_ + static_cast<double>(samples_ + count) / kRate;
      if (*arrival - due > kGapThreshold) {
        closeBlock();
        const double missing = *arrival - due;
        gaps_.push_back({static_cast<double>(samples_) / kRate + gapSeconds_, missing});
        gapSeconds_ += missing;
      }
    }
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (blockSamples_ == 0) blockStart_ = static_cast<double>(samples_) / kRate + gapSeconds_;
    const auto s = static_cast<std::int16_t>(payload[2 * i] | (payload[2 * i + 1] << 8));
    blockSquares_ += static_cast<double>(s) * s;
    ++samples_;
    if (++blockSamples_ == kBlock) closeBlock();
  }
}

void LevelTrack::closeBlock() {
  if (blockSamples_ == 0) return;
  const double rms = std::sqrt(blockSquares_ / blockSamples_);
  levels_.push_back(rms > 0 ? std::max(kFloorDb, 20.0 * std::log10(rms / 32768.0)) : kFloorDb);
  starts_.push_back(blockStart_);
  blockSquares_ = 0;
  blockSamples_ = 0;
}

double LevelTrack::end() const {
  return static_cast<double>(samples_) / kRate + gapSeconds_;
}

std::string levelPicture(const LevelTrack& mic, const LevelTrack& system) {
  const double span = std::max({mic.end(), system.end(), 1.0});
  const double scale = (kWidth - kLeft - 10) / span;
  const int height = kTop + 2 * kLane + 40;
  std::string svg =
      fmt("<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"%d\" height=\"%d\" "
          "font-family=\"sans-serif\" font-size=\"12\">\n"
          "<rect width=\"100%%\" height=\"100%%\" fill=\"white\"/>\n",
          kWidth, height);
  svg +=
      fmt("<text x=\"%d\" y=\"18\">Level per 100 ms over %.1f s, -60 to 0 dBFS; audio "
          "missing against the wall clock in red</text>\n",
          kLeft, span);
  const LevelTrack* tracks[] = {&mic, &system};
  const char* names[] = {"mic", "system"};
  const char* colours[] = {"#2b6cb0", "#2f855a"};
  for (int lane = 0; lane < 2; ++lane) {
    const LevelTrack& t = *tracks[lane];
    const double top = kTop + lane * kLane;
    const double base = top + kLane - 15;
    const double full = kLane - 25;
    svg += fmt("<text x=\"8\" y=\"%.0f\">", base - full / 2) + names[lane] + "</text>\n";
    svg += fmt("<line x1=\"%d\" y1=\"%.1f\" x2=\"%d\" y2=\"%.1f\" stroke=\"#999\"/>\n", kLeft, base,
               kWidth - 10, base);
    std::string path;
    for (std::size_t i = 0; i < t.levels().size(); ++i) {
      const double h = (t.levels()[i] - kFloorDb) / -kFloorDb * full;
      if (h <= 0) continue;
      path += fmt("M%.1f %.1fv%.1f", kLeft + (t.starts()[i] + 0.05) * scale, base, -h);
    }
    const double bar = std::max(1.0, 0.1 * scale);
    svg += "<path fill=\"none\" stroke=\"" + std::string(colours[lane]) + "\" stroke-width=\"" +
           fmt("%.1f", bar) + "\" d=\"" + path + "\"/>\n";
    for (const LevelTrack::Gap& g : t.gaps()) {
      svg +=
          fmt("<rect x=\"%.1f\" y=\"%.1f\" width=\"%.1f\" height=\"%.1f\" fill=\"#e53e3e\" "
              "fill-opacity=\"0.5\"/>\n",
              kLeft + g.at * scale, base - full, std::max(1.0, g.seconds * scale), full);
      svg += fmt("<text x=\"%.1f\" y=\"%.1f\" fill=\"#c53030\">gap %.2f s</text>\n",
                 kLeft + g.at * scale + 2, base - full - 2, g.seconds);
    }
  }
  // Time axis: ticks at a round step.
  const double steps[] = {0.5, 1, 2, 5, 10, 30, 60, 120, 300, 600, 1800, 3600};
  double step = steps[0];
  for (double s : steps)
    if (span / s <= 12) {
      step = s;
      break;
    }
  const double axis = kTop + 2 * kLane + 5;
  for (double x = 0; x <= span + 1e-9; x += step)
    svg += fmt("<text x=\"%.1f\" y=\"%.0f\" text-anchor=\"middle\">%g s</text>\n",
               kLeft + x * scale, axis + 12, x);
  svg += "</svg>\n";
  return svg;
}

}  // namespace harkwell::record
