// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/TapSession.h"

#include <unistd.h>

#include <chrono>

#include "HarkwellCore/Protocol.h"

namespace platform::pw {

namespace {
// How long one hand-off block waits for the next cycle before it lets the queue run others.
constexpr auto kDrainWait = std::chrono::milliseconds(50);
}  // namespace

TapSession::TapSession(AudioObjectID tapID, std::string uuid, std::vector<host::Host> excluded)
    : tapID_(tapID),
      uuid_(std::move(uuid)),
      stream_(new TapStream(std::move(excluded), "harkwell-tap-" + std::to_string(::getpid()) +
                                                     "-" + std::to_string(tapID))) {}

TapSession::~TapSession() {
  // The last reference goes with the backend's table entry or with the last hand-off block,
  // whichever ends later. Destroying the PipeWire streams waited for PipeWire's thread, so a
  // torn-down stream is reachable from nowhere else. One still built (the session dropped
  // without being destroyed) stays, as PipeWire's thread may be inside it.
  if (!stream_->built()) delete stream_;
}

std::shared_ptr<IOProc> TapSession::active() {
  std::lock_guard lock(procMutex_);
  return active_;
}

void TapSession::setActive(std::shared_ptr<IOProc> proc) {
  {
    std::lock_guard lock(procMutex_);
    active_ = proc;
    activeID_.store(proc.get(), std::memory_order_release);
  }
  if (proc != nullptr) scheduleDrain(proc);
  stream_->wakeup().signal();  // a waiting hand-off looks again
}

void TapSession::scheduleDrain(const std::shared_ptr<IOProc>& proc) {
  if (drainQueued_.exchange(true, std::memory_order_acq_rel)) return;
  proc->queue->async([self = shared_from_this()] { self->drain(); });
}

void TapSession::drain() {
  // One block hands over cycle after cycle for as long as the procedure stays active. It steps
  // aside (queues itself again behind them) only when other blocks wait on the queue, such as
  // the tap-format listener; otherwise a cycle costs no submission, no allocation and no lock.
  std::shared_ptr<IOProc> proc = active();
  while (proc != nullptr) {
    deliverAvailable(*proc);
    if (proc->queue->hasWaitingBlocks()) {
      proc->queue->async([self = shared_from_this()] { self->drain(); });
      return;
    }
    const std::uint32_t seen = stream_->wakeup().current();
    if (stream_->ring().empty()) stream_->wakeup().waitFor(seen, kDrainWait);
    // The procedure held here stays alive, so its address names it until it is replaced.
    if (activeID_.load(std::memory_order_acquire) != proc.get()) {
      proc = active();
      // A procedure on another queue is served from that queue.
      if (proc != nullptr && !proc->queue->isCurrent()) {
        proc->queue->async([self = shared_from_this()] { self->drain(); });
        return;
      }
    }
  }
  drainQueued_.store(false, std::memory_order_release);
  // Started again between the look and the flag: this block carries on.
  if (std::shared_ptr<IOProc> again = active()) scheduleDrain(again);
}

void TapSession::deliverAvailable(IOProc& proc) {
  CycleRing& ring = stream_->ring();
  CycleRing::Cycle c;
  while (ring.peek(&c)) {
    if (c.droppedBefore > 0) {
      harkwell::Log::error("system audio backlog full: dropped " + std::to_string(c.droppedBefore) +
                           " cycles (" + std::to_string(c.droppedFrames) +
                           " frames) while standard output was blocked");
    }
    if (proc.block) {
      AudioBufferList input{};
      input.mNumberBuffers = 1;
      input.mBuffers[0].mNumberChannels = 1;
      input.mBuffers[0].mDataByteSize = c.frames * static_cast<std::uint32_t>(sizeof(float));
      input.mBuffers[0].mData = const_cast<float*>(c.samples);
      AudioBufferList output{};
      const AudioTimeStamp now{static_cast<double>(c.firstFrame),
                               static_cast<std::uint64_t>(DispatchTime::now().nanoseconds)};
      proc.block(&now, &input, &now, &output, &now);
    }
    ring.release();
  }
}

}  // namespace platform::pw
