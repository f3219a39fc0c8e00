// SPDX-License-Identifier: MIT
// The live meter on a terminal: one line per source, redrawn in place a few times a second.
// Other text (Harkwell's diagnostic lines, our own messages) is printed above it through
// print(). Off a terminal the meter is off and print() writes plain lines, no escape codes.
#pragma once

#include <string_view>

#include "SourceStats.h"

namespace harkwell::record {

class LiveMeter {
 public:
  // `enabled`: standard error is a terminal and the user did not ask for quiet.
  explicit LiveMeter(bool enabled) : enabled_(enabled) {}

  bool enabled() const { return enabled_; }

  // Takes new level windows from both sources and redraws the lines.
  void refresh(double elapsed, SourceStats& mic, SourceStats& system);

  // Writes `text` to standard error above the meter.
  void print(std::string_view text);

  // Removes the meter lines (before the summary).
  void clear();

 private:
  void draw();

  bool enabled_;
  bool shown_ = false;
  double elapsed_ = 0;
  Levels micWindow_;
  Levels systemWindow_;
  std::uint64_t micFrames_ = 0;
  std::uint64_t systemFrames_ = 0;
};

// Writes all of `text` to `fd`, retrying after interruptions; errors are ignored.
void writeText(int fd, std::string_view text);

}  // namespace harkwell::record
