// SPDX-License-Identifier: MIT
// A process tap as the hardware layer sees it, with its aggregate device's I/O procedure:
// the PipeWire side (TapStream), the tap-format listeners and the hand-off of each I/O cycle
// to the I/O procedure's queue.
#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "Platform/backends/pipewire/TapStream.h"
#include "Platform/coreaudio/CoreAudio.h"

namespace platform::pw {

struct IOProc {
  AudioDeviceIOProcID id = 0;
  AudioObjectID device = 0;
  std::shared_ptr<DispatchQueue> queue;
  AudioDeviceIOBlock block;
  bool started = false;  // loop lock
};

struct PropertyListener {
  AudioObjectID object = 0;
  AudioObjectPropertySelector selector = 0;
  std::shared_ptr<DispatchQueue> queue;
  AudioObjectPropertyListenerBlockRef block;
};

class TapSession : public std::enable_shared_from_this<TapSession> {
 public:
  TapSession(AudioObjectID tapID, std::string uuid, std::vector<host::Host> excluded);
  ~TapSession();
  TapSession(const TapSession&) = delete;
  TapSession& operator=(const TapSession&) = delete;

  AudioObjectID tapID() const { return tapID_; }
  const std::string& uuid() const { return uuid_; }
  TapStream& stream() { return *stream_; }

  // Loop lock: the rate 'tfmt' last reported (0: never read).
  std::uint32_t reportedRate = 0;
  AudioObjectID aggregate = 0;

  // The I/O procedure that receives cycles (its queue runs the hand-off), or none.
  void setActive(std::shared_ptr<IOProc> proc);

 private:
  std::shared_ptr<IOProc> active();
  void scheduleDrain(const std::shared_ptr<IOProc>& proc);
  // On the procedure's queue: hands over the cycles in the ring as they come, while the
  // procedure is active; queues itself again when other blocks of the queue (the format
  // listener) wait, so they run in between.
  void drain();
  void deliverAvailable(IOProc& proc);

  const AudioObjectID tapID_;
  const std::string uuid_;
  // Reachable by PipeWire's thread while its PipeWire streams exist: freed with the session
  // only once they are gone (see ~TapSession).
  TapStream* const stream_;

  std::mutex procMutex_;
  std::shared_ptr<IOProc> active_;
  std::atomic<const IOProc*> activeID_{nullptr};  // active_.get(), readable without the mutex
  std::atomic<bool> drainQueued_{false};
};

}  // namespace platform::pw
