// SPDX-License-Identifier: MIT
// What the tap keeps of each graph cycle while it moves between drivers.
//
// The graph runs the tap once per cycle of its driver. While the tap moves to another driver
// (a new default speaker), two things happen that a listener would hear:
//  - it runs a second time within the same driver cycle (same time, same position). When the
//    players ran again too, the repeat carries their next audio and is kept; when they did
//    not, it is a cycle of silence inside their sound, and more samples than time: dropped.
//  - its first cycle on the new driver comes before the players are linked there: a cycle of
//    silence between two of sound. It is held back, and dropped when the next cycle has sound
//    (the players' audio goes on where it stopped); released when silence goes on.
// Real-time safe: no allocation, no locks.
#pragma once

#include <cstdint>

namespace platform::pw {

class CycleFilter {
 public:
  struct Decision {
    std::uint32_t heldSilence = 0;  // frames of silence held back earlier, to deliver first
    bool keep = true;               // deliver this cycle
  };

  // One cycle: the driver's time (ns) and position (frames), the cycle's frames, and whether
  // all of its samples are zero.
  Decision next(std::int64_t time, std::uint64_t position, std::uint32_t frames, bool silent);

 private:
  bool known_ = false;
  std::int64_t lastTime_ = 0;
  std::uint64_t lastPosition_ = 0;
  std::uint32_t lastFrames_ = 0;
  bool lastHadSound_ = false;
  std::uint32_t held_ = 0;
};

}  // namespace platform::pw
