#include "Platform/pipewire/TapSession.h"

#include <unistd.h>

#include "HarkwellCore/Protocol.h"

namespace platform::pw {

TapSession::TapSession(AudioObjectID tapID, std::string uuid, std::vector<pid_t> excluded,
                       Wakeup& wakeup)
    : tapID_(tapID),
      uuid_(std::move(uuid)),
      stream_(new TapStream(std::move(excluded),
                            "harkwell-tap-" + std::to_string(::getpid()) + "-" + std::to_string(tapID),
                            wakeup)) {}

void TapSession::setActive(std::shared_ptr<IOProc> proc) {
  std::lock_guard lock(procMutex_);
  active_ = std::move(proc);
}

void TapSession::scheduleDrain() {
  std::shared_ptr<IOProc> proc;
  {
    std::lock_guard lock(procMutex_);
    proc = active_;
  }
  if (proc == nullptr) return;  // cycles reach the ring only while a procedure is started
  if (drainQueued_.exchange(true, std::memory_order_acq_rel)) return;
  proc->queue->async([self = shared_from_this()] { self->drain(); });
}

void TapSession::drain() {
  CycleRing& ring = stream_->ring();
  for (;;) {
    CycleRing::Cycle c;
    if (!ring.peek(&c)) {
      drainQueued_.store(false, std::memory_order_release);
      // A cycle that arrived after the last look but before the flag was cleared.
      if (ring.empty() || drainQueued_.exchange(true, std::memory_order_acq_rel)) return;
      continue;
    }
    if (c.droppedBefore > 0) {
      harkwell::Log::error("system audio backlog full: dropped " + std::to_string(c.droppedBefore) +
                           " cycles (" + std::to_string(c.droppedFrames) +
                           " frames) while standard output was blocked");
    }
    std::shared_ptr<IOProc> proc;
    {
      std::lock_guard lock(procMutex_);
      proc = active_;
    }
    if (proc != nullptr && proc->block) {
      AudioBufferList input{};
      input.mNumberBuffers = 1;
      input.mBuffers[0].mNumberChannels = 1;
      input.mBuffers[0].mDataByteSize = c.frames * static_cast<std::uint32_t>(sizeof(float));
      input.mBuffers[0].mData = const_cast<float*>(c.samples);
      AudioBufferList output{};
      const AudioTimeStamp now{static_cast<double>(c.firstFrame),
                               static_cast<std::uint64_t>(DispatchTime::now().nanoseconds)};
      proc->block(&now, &input, &now, &output, &now);
    }
    ring.release();
  }
}

}  // namespace platform::pw
