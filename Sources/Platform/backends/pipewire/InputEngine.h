// SPDX-License-Identifier: MIT
// The audio engine and its input node on PipeWire: a capture stream on the default source,
// delivered to the input tap on a thread of the backend in buffers of the requested size.
//
// The engine posts its configuration-change notification when the default source changes,
// when the source disappears or appears, and when its format changes, and after the server
// came back from a restart.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "Platform/avfaudio/AVFAudio.h"
#include "Platform/backends/pipewire/CycleRing.h"
#include "Platform/backends/pipewire/PwApi.h"
#include "Platform/backends/pipewire/Wakeup.h"

namespace platform::pw {

class Connection;
class Graph;

// What the input node reports: the default source's name, rate and channels (rate 0: none).
struct SourceState {
  std::string name;
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
  bool monitor = false;  // the default "source" is a sink's monitor
  friend bool operator==(const SourceState&, const SourceState&) = default;
};
SourceState currentSource(const Graph& graph);

class InputEngine final : public AVAudioEngine, public AVAudioInputNode {
 public:
  InputEngine(Connection& connection, Graph& graph);
  ~InputEngine() override;

  // AVAudioEngine
  AVAudioInputNode& inputNode() override { return *this; }
  bool isRunning() override { return running_.load(std::memory_order_acquire); }
  void stop() override;
  bool startAndReturnError(std::optional<NSError>* outError) override;

  // AVAudioInputNode
  void removeTapOnBus(AVAudioNodeBus bus) override;
  AVAudioFormat outputFormatForBus(AVAudioNodeBus bus) override;
  void installTapOnBus(AVAudioNodeBus bus, std::uint32_t bufferSize, const AVAudioFormat& format,
                       AVAudioNodeTapBlock block) override;

  // Loop thread, loop lock held.
  void onGraphChanged();   // posts the notification when the source changed
  void onDisconnecting();  // the stream is gone with the connection
  void onReconnected();    // posts the notification

 private:
  struct Tap {
    AVAudioNodeTapBlock block;
    std::unique_ptr<AVAudioPCMBuffer> buffer;  // used by the delivery thread only
    std::uint32_t bufferSize = 0;
  };
  // What the stream's real-time callback and the delivery thread reach (see ~InputEngine).
  struct Shared {
    CycleRing ring{1u << 18, 2048};
    Wakeup wakeup;
    std::atomic<bool> running{false};
    std::atomic<bool> reset{false};
    // Set by stop(): the delivery thread hands what arrived before it (the ring, and a
    // buffer filled only in part) to the tap, then clears it (under tapMutex).
    std::atomic<bool> drain{false};
    std::atomic<std::uint32_t> channels{1};
    // The delivery thread is woken once this many frames have arrived (a tap buffer).
    std::atomic<std::uint32_t> wakeEvery{1};
    std::uint32_t framesSinceWake = 0;  // PipeWire's thread
    std::atomic<bool> alive{true};
    pw_stream* stream = nullptr;  // loop lock
    spa_hook listener{};

    // The tap is replaced under tapMutex, and each replacement counts in tapGeneration: the
    // delivery thread compares the count per cycle and takes the mutex only when it moved.
    std::mutex tapMutex;
    std::condition_variable tapIdle;
    std::shared_ptr<Tap> tap;  // tapMutex
    std::atomic<std::uint64_t> tapGeneration{0};
    // The delivery thread is inside the tap block; removeTapOnBus() waits for it to leave
    // (waiters counts who waits, so that leaving takes the mutex only when someone does).
    std::atomic<bool> inBlock{false};
    std::atomic<int> waiters{0};
    std::thread::id deliveryThread;
  };
  static void deliveryLoop(Shared* shared);

  static void onProcess(void* data);
  static const pw_stream_events kStreamEvents;
  void destroyStream();  // loop lock held
  void drainToTap();     // loop lock not held
  void post();

  Connection& connection_;
  Graph& graph_;
  Shared* shared_;
  std::thread delivery_;

  std::atomic<bool> running_{false};
  std::optional<SourceState> reported_;  // loop lock; what the node last reported
};

}  // namespace platform::pw
