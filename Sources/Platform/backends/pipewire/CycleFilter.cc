// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/CycleFilter.h"

namespace platform::pw {

CycleFilter::Decision CycleFilter::next(std::int64_t time, std::uint64_t position,
                                        std::uint32_t frames, bool silent) {
  Decision d;
  const bool repeat = known_ && time == lastTime_ && position == lastPosition_;
  const bool moved = known_ && !repeat && position != lastPosition_ + lastFrames_;
  if (!repeat) {
    known_ = true;
    lastTime_ = time;
    lastPosition_ = position;
    lastFrames_ = frames;
  }
  if (held_ > 0) {
    if (silent) d.heldSilence = held_;  // silence goes on: it was real
    held_ = 0;
  }
  if (silent && repeat) {
    d.keep = false;
  } else if (silent && moved && lastHadSound_ && d.heldSilence == 0) {
    held_ = frames;
    d.keep = false;
  } else {
    lastHadSound_ = !silent;
  }
  return d;
}

}  // namespace platform::pw
