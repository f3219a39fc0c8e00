// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/CycleRing.h"

namespace platform::pw {

CycleRing::CycleRing(std::uint32_t sampleCapacity, std::uint32_t cycleCapacity)
    : sampleCapacity_(sampleCapacity),
      sampleLimit_(sampleCapacity),
      cycleCapacity_(cycleCapacity),
      samples_(new float[sampleCapacity]()),
      slots_(new Slot[cycleCapacity]()) {}

float* CycleRing::reserve(std::uint32_t samples) {
  if (samples == 0 || samples > sampleCapacity_) return nullptr;
  const std::uint64_t cycles = publishedCycles_.load(std::memory_order_relaxed);
  if (cycles - releasedCycles_.load(std::memory_order_acquire) >= cycleCapacity_) return nullptr;
  // A cycle is contiguous: when it would wrap, it starts at the beginning of the storage and
  // the tail stays unused.
  std::uint64_t start = writeSample_;
  const std::uint64_t offset = start % sampleCapacity_;
  if (offset + samples > sampleCapacity_) start += sampleCapacity_ - offset;
  const std::uint64_t held = start + samples - releasedSample_.load(std::memory_order_acquire);
  if (held > sampleCapacity_ || held > sampleLimit_.load(std::memory_order_relaxed)) return nullptr;
  reservedStart_ = start;
  return samples_.get() + (start % sampleCapacity_);
}

void CycleRing::commit(std::uint32_t frames, std::uint32_t channels) {
  const std::uint64_t cycles = publishedCycles_.load(std::memory_order_relaxed);
  Slot& slot = slots_[cycles % cycleCapacity_];
  slot = Slot{reservedStart_, frames, channels, framesSeen_, dropped_, droppedFrames_};
  writeSample_ = reservedStart_ + std::uint64_t{frames} * channels;
  framesSeen_ += frames;
  dropped_ = 0;
  droppedFrames_ = 0;
  publishedCycles_.store(cycles + 1, std::memory_order_release);
}

bool CycleRing::peek(Cycle* out) const {
  const std::uint64_t released = releasedCycles_.load(std::memory_order_relaxed);
  if (publishedCycles_.load(std::memory_order_acquire) == released) return false;
  const Slot& slot = slots_[released % cycleCapacity_];
  *out = Cycle{samples_.get() + (slot.start % sampleCapacity_),
               slot.frames,
               slot.channels,
               slot.firstFrame,
               slot.droppedBefore,
               slot.droppedFrames};
  return true;
}

void CycleRing::release() {
  const std::uint64_t released = releasedCycles_.load(std::memory_order_relaxed);
  const Slot& slot = slots_[released % cycleCapacity_];
  releasedSample_.store(slot.start + std::uint64_t{slot.frames} * slot.channels,
                        std::memory_order_release);
  releasedCycles_.store(released + 1, std::memory_order_release);
}

void CycleRing::setSampleLimit(std::uint32_t samples) {
  sampleLimit_.store(samples < sampleCapacity_ ? samples : sampleCapacity_,
                     std::memory_order_relaxed);
}

bool CycleRing::empty() const {
  return publishedCycles_.load(std::memory_order_acquire) ==
         releasedCycles_.load(std::memory_order_relaxed);
}

void CycleRing::clear() {
  Cycle c;
  while (peek(&c)) release();
}

}  // namespace platform::pw
