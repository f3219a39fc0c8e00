// SPDX-License-Identifier: MIT
// The PipeWire side of a process tap: an input stream that nobody links automatically, fed
// by the backend with the playback streams of every process but the excluded applications'
// (see HostIdentity.h), replays of virtual sinks left out (PlaybackRules.h), and an
// "anchor" stream in the same node group that captures the default sink's monitor, so the tap
// runs on the default sink's clock (silence included).
//
// Everything but process() runs on the loop thread with the loop lock held. process() runs on
// PipeWire's real-time thread: it mixes the cycle to one channel straight into the ring and
// wakes the consumer; it never allocates, locks or blocks.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Platform/apps/HostIdentity.h"
#include "Platform/backends/pipewire/CycleFilter.h"
#include "Platform/backends/pipewire/CycleRing.h"
#include "Platform/backends/pipewire/Graph.h"
#include "Platform/backends/pipewire/PwApi.h"
#include "Platform/backends/pipewire/Wakeup.h"

namespace platform::pw {

class TapStream {
 public:
  TapStream(std::vector<host::Host> excluded, std::string group);
  TapStream(const TapStream&) = delete;
  TapStream& operator=(const TapStream&) = delete;

  // Loop thread.
  void build(pw_core* core);
  void teardown();
  void setAnchored(bool anchored, pw_core* core);
  void relink(const Graph& graph, pw_core* core);
  // The negotiated rate; 0 until the stream has a format.
  std::uint32_t rate() const { return rate_; }
  bool built() const { return tap_ != nullptr; }
  void setRateListener(std::function<void()> listener) { rateChanged_ = std::move(listener); }

  // Whether a link from this playback node would be made (for tests of the rules).
  bool wantsNode(const Graph& graph, const GraphNode& node) const;

  // Consumer side.
  CycleRing& ring() { return ring_; }
  // Cycles reach the ring only while delivering.
  void setDelivering(bool on) { delivering_.store(on, std::memory_order_release); }
  Wakeup& wakeup() { return wakeup_; }

 private:
  static void onProcess(void* data);
  static void onParamChanged(void* data, std::uint32_t id, const spa_pod* param);
  static void onAnchorProcess(void* data);
  static const pw_stream_events kTapEvents;
  static const pw_stream_events kAnchorEvents;

  pw_stream* makeStream(pw_core* core, const char* name, bool anchor);
  void dropLinks();

  bool isExcluded(std::uint32_t clientId, pid_t pid) const;

  const std::vector<host::Host> excluded_;
  // Whose process each client's is, decided once per client (a PipeWire id may come back for
  // another client, so the PID is part of the key).
  mutable std::map<std::pair<std::uint32_t, pid_t>, bool> verdicts_;
  const std::string group_;
  Wakeup wakeup_;
  CycleRing ring_;
  std::atomic<bool> delivering_{false};

  pw_stream* tap_ = nullptr;
  spa_hook tapListener_{};
  pw_stream* anchor_ = nullptr;
  spa_hook anchorListener_{};
  bool anchored_ = false;
  CycleFilter filter_;  // PipeWire's thread
  std::uint32_t rate_ = 0;
  std::function<void()> rateChanged_;
  std::map<std::pair<std::uint32_t, std::uint32_t>, pw_proxy*> links_;  // (out, in) port ids
};

}  // namespace platform::pw
