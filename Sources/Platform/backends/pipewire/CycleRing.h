// SPDX-License-Identifier: MIT
// A single-producer, single-consumer ring of audio cycles in preallocated storage.
//
// The producer is PipeWire's real-time thread: push() copies one cycle of float samples in,
// never allocates, never locks and never blocks; when the ring is full the cycle is dropped
// and counted. The consumer takes whole cycles in order; a cycle stays valid until release().
// The first cycle pushed after a run of drops carries the number and length of the dropped
// cycles, so the consumer can report each episode once.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

namespace platform::pw {

class CycleRing {
 public:
  struct Cycle {
    const float* samples = nullptr;
    std::uint32_t frames = 0;  // frames of `channels` samples, laid out as the producer wrote them
    std::uint32_t channels = 1;
    std::uint64_t firstFrame = 0;     // frames pushed (or dropped) before this one
    std::uint32_t droppedBefore = 0;  // cycles dropped right before this one
    std::uint64_t droppedFrames = 0;  // their frames
  };

  // Room for `sampleCapacity` samples and `cycleCapacity` cycles.
  CycleRing(std::uint32_t sampleCapacity, std::uint32_t cycleCapacity);

  // Producer side. `mix` fills `frames * channels` samples at the given pointer (so the
  // producer converts straight into the ring). False when the cycle was dropped.
  template <typename Fill>
  bool push(std::uint32_t frames, std::uint32_t channels, Fill&& fill) {
    float* dst = reserve(frames * channels);
    if (dst == nullptr) {
      dropped_ += 1;
      droppedFrames_ += frames;
      framesSeen_ += frames;
      return false;
    }
    fill(dst);
    commit(frames, channels);
    return true;
  }

  // Consumer side: the oldest cycle, or false when there is none.
  bool peek(Cycle* out) const;
  void release();
  bool empty() const;

  // Consumer side, when nothing is producing: forgets every cycle.
  void clear();

  // Caps the samples held at once (at most the capacity), so the backlog stays near a
  // duration whatever the rate.
  void setSampleLimit(std::uint32_t samples);

 private:
  struct Slot {
    std::uint64_t start;  // monotonic sample position of the cycle's first sample
    std::uint32_t frames;
    std::uint32_t channels;
    std::uint64_t firstFrame;
    std::uint32_t droppedBefore;
    std::uint64_t droppedFrames;
  };
  float* reserve(std::uint32_t samples);
  void commit(std::uint32_t frames, std::uint32_t channels);

  const std::uint32_t sampleCapacity_;
  std::atomic<std::uint32_t> sampleLimit_;
  const std::uint32_t cycleCapacity_;
  std::unique_ptr<float[]> samples_;
  std::unique_ptr<Slot[]> slots_;

  // Producer-owned.
  std::uint64_t reservedStart_ = 0;
  std::uint64_t writeSample_ = 0;
  std::uint64_t framesSeen_ = 0;
  std::uint32_t dropped_ = 0;
  std::uint64_t droppedFrames_ = 0;

  // Shared.
  std::atomic<std::uint64_t> publishedCycles_{0};  // written by the producer
  std::atomic<std::uint64_t> releasedCycles_{0};   // written by the consumer
  std::atomic<std::uint64_t> releasedSample_{0};   // written by the consumer
};

}  // namespace platform::pw
