// SPDX-License-Identifier: MIT
#include "Summary.h"

#include <cmath>
#include <cstdio>

namespace harkwell::record {
namespace {

// `v` with `decimals` digits after the point, right-aligned in `width` characters.
std::string fixed(double v, int decimals, int width = 0) {
  char text[64];
  std::snprintf(text, sizeof text, "%*.*f", width, decimals, v);
  return text;
}

std::string bar(double dbfs, int width) {
  // -60 dBFS ... 0 dBFS across the bar.
  const double fraction = std::isfinite(dbfs) ? (dbfs + 60.0) / 60.0 : 0.0;
  const int filled =
      static_cast<int>(std::lround(std::fmax(0.0, std::fmin(1.0, fraction)) * width));
  return std::string(static_cast<std::size_t>(filled), '#') +
         std::string(static_cast<std::size_t>(width - filled), '-');
}

std::string gapText(const SourceStats& s) {
  const std::optional<double> missing = s.missingSeconds();
  if (!missing) return s.frames() ? "n/a (no wall time)" : "n/a";
  // Frames arrive in bursts; less than this is scheduling jitter, not lost audio.
  if (*missing < 0.1) return "none";
  return fixed(*missing, 2) + " s missing";
}

bool hasSound(const SourceStats& s) {
  return s.samples() > 0 && toDbfs(s.total().peak) >= kSilentBelowDbfs;
}

// What a host author or a user can do about an error control message.
const char* hintFor(const std::string& msg) {
  if (msg.rfind("mic_start: ", 0) == 0)
    return "the microphone did not start: check that PipeWire runs and has a default source "
           "(wpctl status), and that this user may use it";
  if (msg.rfind("tap_start: ", 0) == 0)
    return "system audio did not start: check that PipeWire runs and has a default sink "
           "(wpctl status)";
  if (msg.rfind("unsupported_os: ", 0) == 0) return "this system cannot capture system audio";
  return nullptr;
}

std::string sourceRow(const char* name, const char* file, const SourceStats& s) {
  const Levels l = s.total();
  const double rms = toDbfs(l.rms);
  const double peak = toDbfs(l.peak);
  std::string verdict;
  if (s.samples() == 0) {
    verdict = "no audio";
  } else if (!(peak >= kSilentBelowDbfs)) {
    verdict = "silent";
  } else {
    verdict = "sound";
  }
  char row[256];
  std::snprintf(row, sizeof row, "%-7s %-11s %8.2f s %9llu %7llu %7s %7s %8.2f s  %-9s %s\n", name,
                file, s.seconds(), static_cast<unsigned long long>(s.samples()),
                static_cast<unsigned long long>(s.frames()), formatDbfs(rms).c_str(),
                formatDbfs(peak).c_str(), static_cast<double>(s.longestSilence()) / kSampleRate,
                verdict.c_str(), gapText(s).c_str());
  return row;
}

}  // namespace

std::string formatDbfs(double dbfs) {
  if (!std::isfinite(dbfs)) return "-inf";
  if (dbfs > -0.05) return "0.0";  // not "-0.0" for a level that rounds to full scale
  return fixed(dbfs, 1);
}

std::string formatMeterLine(const char* name, double elapsed, const Levels& window,
                            std::uint64_t frames) {
  const double rms = toDbfs(window.rms);
  const double peak = toDbfs(window.peak);
  const int minutes = static_cast<int>(elapsed / 60.0);
  char line[200];
  std::snprintf(line, sizeof line,
                "%-6s %02d:%04.1f  RMS %6s dBFS  peak %6s dBFS  [%s]  %llu frames", name, minutes,
                elapsed - minutes * 60.0, formatDbfs(rms).c_str(), formatDbfs(peak).c_str(),
                bar(rms, 30).c_str(), static_cast<unsigned long long>(frames));
  return line;
}

std::string formatSummary(const Recording& recording) {
  std::string out;
  out +=
      "source  file        duration   samples  frames  RMS     peak    longest    level     gap\n";
  out += "                                                dBFS    dBFS    silence\n";
  out += sourceRow("mic", "mic.wav", recording.mic());
  out += sourceRow("system", "system.wav", recording.system());
  out += "control messages: " + std::to_string(recording.controlFrames());
  bool ready = false;
  for (const ControlEvent& e : recording.controls()) {
    out += "\n  ";
    out += e.time ? fixed(*e.time, 3, 7) + " s  " : "offset " + std::to_string(e.offset) + "  ";
    out += e.type.empty() ? "(no type)" : e.type;
    if (!e.msg.empty()) out += ": " + e.msg;
    if (e.type == "ready") ready = true;
  }
  if (!ready) out += "\n  no \"ready\" message arrived";
  out += "\n";
  for (const ControlEvent& e : recording.controls())
    if (e.type == "error")
      if (const char* hint = hintFor(e.msg)) out += std::string("hint: ") + hint + "\n";
  if (recording.mic().samples() > 0 && !hasSound(recording.mic()))
    out +=
        "hint: the microphone is silent: is it muted, or is the default source the right one? "
        "(wpctl status)\n";
  if (recording.system().samples() > 0 && !hasSound(recording.system()))
    out +=
        "hint: system audio is silent: nothing played through the default sink while "
        "recording\n";
  return out;
}

bool bothSourcesHaveSound(const Recording& recording) {
  return hasSound(recording.mic()) && hasSound(recording.system());
}

}  // namespace harkwell::record
