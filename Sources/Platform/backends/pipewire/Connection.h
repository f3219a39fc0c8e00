// SPDX-License-Identifier: MIT
// The process's one connection to PipeWire: a thread loop, a context and a core.
//
// The thread loop's lock guards every PipeWire object and all of the backend's graph state:
// other threads take it (Connection::Lock) around each pw_* call, and callbacks on the loop
// thread run with it held. When the server goes away the connection tears its side down and
// tries again every half second until the server is back; the owner hears of each step on
// the loop thread.
#pragma once

#include <cstdint>

#include "Platform/backends/pipewire/PwApi.h"

namespace platform::pw {

class Connection {
 public:
  class Owner {
   public:
    // A core exists and its registry may be listened to; the graph is not known yet.
    virtual void onCoreCreated(pw_core* core) = 0;
    // The registry's globals, and the first events of the objects bound for them, have
    // arrived.
    virtual void onReady() = 0;
    // The core is about to be disconnected: drop every proxy and stream made on it.
    virtual void onDisconnecting() = 0;

   protected:
    ~Owner() = default;
  };

  explicit Connection(Owner& owner);
  // Starts the loop thread and the first connection attempt; waits up to `timeoutMs` for
  // the graph to be known.
  void start(int timeoutMs);
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;
  // Never destroyed: PipeWire's threads may run until the process exits.
  ~Connection() = delete;

  class Lock {
   public:
    explicit Lock(Connection& c) : loop_(c.loop_) { pw_thread_loop_lock(loop_); }
    ~Lock() { pw_thread_loop_unlock(loop_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

   private:
    pw_thread_loop* loop_;
  };

  // Loop lock held.
  pw_core* core() const { return core_; }
  bool ready() const { return core_ != nullptr && ready_; }
  bool accessDenied() const { return accessDenied_; }
  pw_loop* loop() const { return pw_thread_loop_get_loop(loop_); }
  bool inLoopThread() const { return pw_thread_loop_in_thread(loop_); }

 private:
  static void onCoreDone(void* data, std::uint32_t id, int seq);
  static void onCoreError(void* data, std::uint32_t id, int seq, int res, const char* message);
  static void onTimer(void* data, std::uint64_t expirations);
  static const pw_core_events kCoreEvents;

  void tryConnect();
  void disconnect();
  void armTimer(std::uint64_t milliseconds);

  Owner& owner_;
  pw_thread_loop* loop_ = nullptr;
  pw_context* context_ = nullptr;
  pw_core* core_ = nullptr;
  spa_hook coreListener_{};
  spa_source* timer_ = nullptr;
  int syncSeq_ = -1;
  int syncRound_ = 0;
  bool ready_ = false;
  bool lost_ = false;
  bool accessDenied_ = false;
  bool everConnected_ = false;
  bool toldUnreachable_ = false;
};

}  // namespace platform::pw
