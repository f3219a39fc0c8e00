// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/InputEngine.h"

#include <pthread.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <vector>

#include "HarkwellCore/Protocol.h"
#include "Platform/backends/pipewire/Connection.h"
#include "Platform/backends/pipewire/Graph.h"
#include "Platform/backends/pipewire/StreamFormat.h"
#include "Platform/foundation/Foundation.h"

namespace platform::pw {

namespace {

constexpr const char* kLatency = "1024/48000";
constexpr double kBacklogSeconds = 2.0;
constexpr auto kTapRemovalWait = std::chrono::seconds(2);
const char* const kExceptionName = "com.apple.coreaudio.avfaudio";

// Channel positions of the ports the capture stream links to.
std::vector<std::uint32_t> sourcePositions(const Graph& graph, const GraphNode& node,
                                           bool monitor) {
  std::vector<std::uint32_t> positions;
  for (const auto& [id, port] : graph.ports()) {
    if (port.nodeId != node.id || !port.output || port.monitor != monitor) continue;
    positions.push_back(channelPosition(port.channel));
  }
  return positions;
}

}  // namespace

SourceState currentSource(const Graph& graph) {
  SourceState s;
  s.name = graph.defaultSource();
  const GraphNode* node = graph.nodeNamed(s.name);
  if (node == nullptr) return s;
  // A sink's monitor is what the speakers play, not a microphone: WirePlumber offers one as
  // the default source when no real source exists (none plugged in, or not back yet after a
  // restart). The engine then has no input, as it has with no device at all.
  s.monitor = !isSourceClass(node->mediaClass);
  if (s.monitor) return s;
  s.channels = static_cast<std::uint32_t>(sourcePositions(graph, *node, false).size());
  if (s.channels == 0 || s.channels > kMaxAudioBuffers) {
    s.channels = 0;
    return s;
  }
  s.rate = graph.graphRate();
  return s;
}

const pw_stream_events InputEngine::kStreamEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .process = &InputEngine::onProcess,
};

InputEngine::InputEngine(Connection& connection, Graph& graph)
    : connection_(connection), graph_(graph), shared_(new Shared) {
  delivery_ = std::thread(&InputEngine::deliveryLoop, shared_);
  shared_->deliveryThread = delivery_.get_id();
}

InputEngine::~InputEngine() {
  {
    Connection::Lock lock(connection_);
    destroyStream();
  }
  // The stream is gone, so PipeWire's thread no longer reaches the shared state (destroying a
  // stream waits for its data loop). The delivery thread ends after its current tap block.
  shared_->alive.store(false, std::memory_order_release);
  shared_->wakeup.signal();
  if (std::this_thread::get_id() == shared_->deliveryThread) {
    // Destroyed from its own tap block: the thread still runs on the shared state, which
    // therefore stays.
    delivery_.detach();
    return;
  }
  delivery_.join();
  delete shared_;
}

AVAudioFormat InputEngine::outputFormatForBus(AVAudioNodeBus bus) {
  Connection::Lock lock(connection_);
  SourceState s;
  if (connection_.ready()) {
    s = currentSource(graph_);
    // No microphone as far as this process knows: make sure that is the server's view too.
    // The fresh defaults come as a graph change, which rebuilds the engine if they differ.
    if (s.rate == 0) graph_.refreshDefaults();
  }
  reported_ = s;
  if (bus != 0 || s.rate == 0)
    return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, 0, 1, false);
  return AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32, s.rate, s.channels, false);
}

void InputEngine::installTapOnBus(AVAudioNodeBus bus, std::uint32_t bufferSize,
                                  const AVAudioFormat& format, AVAudioNodeTapBlock block) {
  if (bus != 0) throw NSException(kExceptionName, "required condition is false: bus == 0");
  const AVAudioFormat hardware = outputFormatForBus(0);
  {
    std::lock_guard lock(shared_->tapMutex);
    if (shared_->tap != nullptr)
      throw NSException(kExceptionName, "required condition is false: nullptr == Tap()");
  }
  if (format.sampleRate() != hardware.sampleRate() ||
      format.channelCount() != hardware.channelCount() || hardware.sampleRate() <= 0)
    throw NSException(kExceptionName,
                      "required condition is false: format.sampleRate == hwFormat.sampleRate");
  if (bufferSize == 0) bufferSize = static_cast<std::uint32_t>(hardware.sampleRate() / 10);
  bufferSize = std::clamp<std::uint32_t>(bufferSize, 64, 1u << 16);
  auto tap = std::make_shared<Tap>();
  tap->block = std::move(block);
  tap->bufferSize = bufferSize;
  tap->buffer = AVAudioPCMBuffer::make(format, bufferSize);
  if (tap->buffer == nullptr)
    throw NSException(kExceptionName, "required condition is false: format is PCM");
  std::lock_guard lock(shared_->tapMutex);
  shared_->wakeEvery.store(bufferSize, std::memory_order_relaxed);
  shared_->tap = std::move(tap);
  shared_->tapGeneration.fetch_add(1);
}

void InputEngine::removeTapOnBus(AVAudioNodeBus bus) {
  if (bus != 0) return;
  std::unique_lock lock(shared_->tapMutex);
  shared_->tap.reset();
  shared_->tapGeneration.fetch_add(1);
  // A tap block in progress ends before the tap counts as removed (unless it is the caller),
  // so the owner may replace what the block uses. Bounded: a block stuck in a blocked write
  // must not hang the caller for good.
  // Nor when nobody reads the output any more: a block stuck writing to it never returns.
  if (std::this_thread::get_id() == shared_->deliveryThread) return;
  // Sequentially consistent with the delivery thread's entry: either it sees the new
  // generation and skips the block, or this sees it inside.
  shared_->waiters.fetch_add(1);
  const auto deadline = std::chrono::steady_clock::now() + kTapRemovalWait;
  while (shared_->inBlock.load() && !harkwell::FrameWriter::outputAbandoned() &&
         std::chrono::steady_clock::now() < deadline)
    shared_->tapIdle.wait_for(lock, std::chrono::milliseconds(50));
  shared_->waiters.fetch_sub(1);
}

bool InputEngine::startAndReturnError(std::optional<NSError>* outError) {
  auto fail = [&](std::int64_t code, const char* text) {
    if (outError != nullptr)
      *outError = NSError("com.apple.coreaudio.avfaudio", code,
                          harkwell::Value::Object{{std::string(NSLocalizedDescriptionKey), text}});
    return false;
  };
  if (running_.load(std::memory_order_acquire)) return true;
  Connection::Lock lock(connection_);
  if (!connection_.ready()) return fail(kAudioHardwareNotRunningError, "PipeWire is not running");
  const SourceState s = currentSource(graph_);
  if (s.rate == 0) return fail(kAudioHardwareBadDeviceError, "No input device available");
  const GraphNode* node = graph_.nodeNamed(s.name);
  const std::vector<std::uint32_t> positions = sourcePositions(graph_, *node, false);

  destroyStream();
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  setCommonStreamProperties(props, kLatency);
  const std::string name = "harkwell-mic-" + std::to_string(::getpid());
  pw_properties_set(props, PW_KEY_NODE_NAME, name.c_str());
  pw_properties_set(props, PW_KEY_NODE_DESCRIPTION, "Harkwell microphone");
  pw_properties_set(props, "harkwell.role", "mic");
  // Bound to this source: if it goes, the server must not move the stream on to whatever it
  // offers instead (a sink's monitor, when no microphone is left). The configuration-change
  // notification rebuilds the engine on the new default.
  pw_properties_set(props, PW_KEY_TARGET_OBJECT, s.name.c_str());
  pw_properties_set(props, PW_KEY_NODE_DONT_RECONNECT, "true");
  pw_stream* stream = pw_stream_new(connection_.core(), name.c_str(), props);
  if (stream == nullptr)
    return fail(kAudioHardwareUnspecifiedError, "Could not create the capture stream");
  pw_stream_add_listener(stream, &shared_->listener, &kStreamEvents, shared_);
  std::uint8_t buffer[1024];
  const spa_pod* params[1] = {buildFloatFormat(buffer, sizeof buffer, positions, s.rate, true)};
  shared_->channels.store(s.channels, std::memory_order_release);
  shared_->ring.setSampleLimit(static_cast<std::uint32_t>(kBacklogSeconds * s.rate * s.channels));
  shared_->reset.store(true, std::memory_order_release);
  shared_->running.store(true, std::memory_order_release);
  shared_->stream = stream;
  const auto flags = static_cast<pw_stream_flags>(
      PW_STREAM_FLAG_AUTOCONNECT | PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS);
  if (pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
    destroyStream();
    return fail(kAudioHardwareUnspecifiedError, "Could not connect the capture stream");
  }
  reported_ = s;
  running_.store(true, std::memory_order_release);
  return true;
}

void InputEngine::stop() {
  {
    Connection::Lock lock(connection_);
    destroyStream();
    running_.store(false, std::memory_order_release);
  }
  drainToTap();
}

void InputEngine::drainToTap() {
  // The stream is gone, so nothing more reaches the ring. What did (at most a buffer's worth
  // plus the cycles not yet taken) still belongs to the tap: a rebuild after a device change
  // must not cut off the last words spoken before it. Bounded as removeTapOnBus is.
  if (std::this_thread::get_id() == shared_->deliveryThread) return;
  std::unique_lock lock(shared_->tapMutex);
  if (shared_->tap == nullptr) return;
  shared_->drain.store(true);
  lock.unlock();
  shared_->wakeup.signal();
  lock.lock();
  const auto deadline = std::chrono::steady_clock::now() + kTapRemovalWait;
  while (shared_->drain.load() && !harkwell::FrameWriter::outputAbandoned() &&
         std::chrono::steady_clock::now() < deadline)
    shared_->tapIdle.wait_for(lock, std::chrono::milliseconds(50));
  shared_->drain.store(false);
}

void InputEngine::destroyStream() {
  shared_->running.store(false, std::memory_order_release);
  if (shared_->stream == nullptr) return;
  spa_hook_remove(&shared_->listener);
  pw_stream_destroy(shared_->stream);
  shared_->stream = nullptr;
}

void InputEngine::onDisconnecting() {
  destroyStream();
}

void InputEngine::onReconnected() {
  if (!reported_) return;
  // What the server offers now is the reference for the next change: the source it had
  // before the restart means nothing any more, and a change that came while connecting (while
  // changes are not followed) must still count as one.
  reported_ = currentSource(graph_);
  post();
}

void InputEngine::onGraphChanged() {
  if (!reported_ || !connection_.ready()) return;
  const SourceState now = currentSource(graph_);
  if (now == *reported_) return;
  // Reported once per change; the rebuild reads the new state.
  reported_ = now;
  post();
}

void InputEngine::post() {
  NotificationCenter::defaultCenter().post(AVAudioEngineConfigurationChangeNotification,
                                           static_cast<const AVAudioEngine*>(this));
}

void InputEngine::onProcess(void* data) {
  auto* shared = static_cast<Shared*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(shared->stream);
  if (b == nullptr) return;
  // One plane per channel; the ring holds each cycle's planes one after another.
  const std::uint32_t channels = std::min<std::uint32_t>(
      {b->buffer->n_datas, shared->channels.load(std::memory_order_acquire), kMaxAudioBuffers});
  const float* planes[kMaxAudioBuffers] = {};
  const std::uint32_t frames = mapPlanes(*b->buffer, channels, planes);
  if (frames > 0 && shared->running.load(std::memory_order_acquire)) {
    shared->ring.push(frames, channels, [&](float* out) {
      for (std::uint32_t c = 0; c < channels; ++c)
        std::memcpy(out + std::size_t{c} * frames, planes[c], std::size_t{frames} * sizeof(float));
    });
    // Woken once per buffer's worth, not every cycle: after each wake-up the delivery thread
    // holds less than a buffer, so this many more frames always complete one.
    shared->framesSinceWake += frames;
    if (shared->framesSinceWake >= shared->wakeEvery.load(std::memory_order_relaxed)) {
      shared->framesSinceWake = 0;
      shared->wakeup.signal();
    }
  }
  pw_stream_queue_buffer(shared->stream, b);
}

void InputEngine::deliveryLoop(Shared* shared) {
  ::pthread_setname_np(::pthread_self(), "harkwell-mic");
  std::shared_ptr<Tap> tap;
  std::uint64_t generation = 0;  // of `tap`
  std::uint32_t filled = 0;      // frames in the tap's buffer
  std::uint32_t offset = 0;      // frames of the oldest cycle already taken
  std::uint64_t sampleTime = 0;
  // Follows a new or removed tap; the mutex only when there was a change.
  auto followTap = [&] {
    if (shared->tapGeneration.load(std::memory_order_acquire) == generation) return;
    std::lock_guard lock(shared->tapMutex);
    tap = shared->tap;
    generation = shared->tapGeneration.load(std::memory_order_relaxed);
    filled = 0;
  };
  // Hands the tap's buffer (its first frames) to the tap block, unless the tap has gone.
  auto deliver = [&](std::uint32_t frames) {
    AVAudioPCMBuffer& buffer = *tap->buffer;
    buffer.setFrameLength(frames);
    const AVAudioTime when{static_cast<std::uint64_t>(DispatchTime::now().nanoseconds),
                           static_cast<double>(sampleTime)};
    sampleTime += frames;
    filled = 0;
    // Sequentially consistent with removeTapOnBus(): see there.
    shared->inBlock.store(true);
    if (shared->tapGeneration.load() == generation) tap->block(buffer, when);
    shared->inBlock.store(false);
    if (shared->waiters.load() > 0) {
      std::lock_guard lock(shared->tapMutex);
      shared->tapIdle.notify_all();
    }
  };
  while (shared->alive.load(std::memory_order_acquire)) {
    const std::uint32_t seen = shared->wakeup.current();
    if (shared->reset.exchange(false, std::memory_order_acq_rel)) {
      shared->ring.clear();
      filled = 0;
      offset = 0;
    }
    const bool draining = shared->drain.load(std::memory_order_acquire);
    followTap();
    CycleRing::Cycle c;
    while (shared->ring.peek(&c)) {
      if (c.droppedBefore > 0 && offset == 0) {
        harkwell::Log::error("microphone backlog full: dropped " + std::to_string(c.droppedFrames) +
                             " frames while standard output was blocked");
      }
      followTap();
      // Once the stream has stopped, what it left is taken only when asked for (stop()).
      const bool live =
          tap != nullptr && (draining || shared->running.load(std::memory_order_acquire));
      if (!live) {
        shared->ring.release();
        offset = 0;
        continue;
      }
      AVAudioPCMBuffer& buffer = *tap->buffer;
      const std::uint32_t channels = buffer.format().channelCount();
      const std::uint32_t take = std::min(c.frames - offset, tap->bufferSize - filled);
      float* const* dst = buffer.floatChannelData();
      if (dst != nullptr) {
        // The cycle's planes lie one after another; a tap with more channels than the
        // source repeats its last one.
        for (std::uint32_t ch = 0; ch < channels; ++ch) {
          const std::uint32_t from = std::min(ch, c.channels - 1);
          std::memcpy(dst[ch] + filled, c.samples + std::size_t{from} * c.frames + offset,
                      std::size_t{take} * sizeof(float));
        }
      }
      filled += take;
      offset += take;
      if (offset == c.frames) {
        shared->ring.release();
        offset = 0;
      }
      if (filled == tap->bufferSize) deliver(filled);
    }
    if (draining) {
      if (tap != nullptr && filled > 0) deliver(filled);
      {
        std::lock_guard lock(shared->tapMutex);
        shared->drain.store(false, std::memory_order_release);
      }
      shared->tapIdle.notify_all();
      continue;
    }
    shared->wakeup.wait(seen);
  }
}

}  // namespace platform::pw
