// SPDX-License-Identifier: MIT
// The scripted audio engine and its input node.
#include <algorithm>

#include "ScriptedState.h"

namespace platform::scripted {

class ScriptedEngine;

class ScriptedInputNode final : public AVAudioInputNode {
 public:
  ScriptedInputNode(ScriptedBackend::State& state, ScriptedEngine& engine)
      : state_(state), engine_(engine) {}

  void removeTapOnBus(AVAudioNodeBus bus) override;
  AVAudioFormat outputFormatForBus(AVAudioNodeBus bus) override;
  void installTapOnBus(AVAudioNodeBus bus, std::uint32_t bufferSize, const AVAudioFormat& format,
                       AVAudioNodeTapBlock block) override;

 private:
  ScriptedBackend::State& state_;
  ScriptedEngine& engine_;
};

class ScriptedEngine final : public AVAudioEngine {
 public:
  explicit ScriptedEngine(std::shared_ptr<ScriptedBackend::State> state)
      : state_(std::move(state)), input_(*state_, *this) {}

  AVAudioInputNode& inputNode() override {
    state_->record("AVAudioEngine.inputNode", "");
    return input_;
  }

  bool isRunning() override {
    std::lock_guard lock(state_->mutex);
    state_->recordLocked("AVAudioEngine.isRunning", "", harkwell::Value(running));
    return running;
  }

  void stop() override {
    std::lock_guard lock(state_->mutex);
    state_->recordLocked("AVAudioEngine.stop", "");
    running = false;
  }

  bool startAndReturnError(std::optional<NSError>* outError) override {
    EngineStart start;
    std::uint32_t deliverFrames = 0;
    {
      std::lock_guard lock(state_->mutex);
      state_->recordLocked("AVAudioEngine.startAndReturnError", "");
      if (!state_->engineStarts.empty()) {
        start = state_->engineStarts.front();
        state_->engineStarts.pop_front();
      }
      if (start.exception) throw *start.exception;
      if (start.error || start.failWithoutError) {
        if (start.error && outError) *outError = start.error;
        return false;
      }
      running = true;
      if (tap) deliverFrames = state_->bufferOnEngineStart;
    }
    if (deliverFrames > 0) {
      if (auto buffer = AVAudioPCMBuffer::make(*tapFormat, deliverFrames)) {
        buffer->setFrameLength(deliverFrames);
        deliver(*buffer);
      }
    }
    return true;
  }

  // Runs the tap block with `buffer` on the tap thread when the engine runs with a tap.
  bool deliver(const AVAudioPCMBuffer& buffer) {
    bool delivered = false;
    runAndWait(state_->tapThread, [&] {
      std::lock_guard delivering(state_->tapDelivery);
      std::shared_ptr<AVAudioNodeTapBlock> block;
      {
        std::lock_guard lock(state_->mutex);
        if (!running || !tap) return;
        block = tap;
      }
      (*block)(buffer,
               AVAudioTime{static_cast<std::uint64_t>(DispatchTime::now().nanoseconds), 0.0});
      delivered = true;
    });
    return delivered;
  }
  bool runningNow() const {
    std::lock_guard lock(state_->mutex);
    return running;
  }
  bool hasTap() const {
    std::lock_guard lock(state_->mutex);
    return tap != nullptr;
  }

  // Guarded by state_->mutex.
  bool running = false;
  std::shared_ptr<AVAudioNodeTapBlock> tap;
  std::optional<AVAudioFormat> tapFormat;
  std::optional<AVAudioFormat> lastInputFormat;

 private:
  std::shared_ptr<ScriptedBackend::State> state_;
  ScriptedInputNode input_;
};

void ScriptedInputNode::removeTapOnBus(AVAudioNodeBus bus) {
  {
    std::lock_guard lock(state_.mutex);
    state_.recordLocked("AVAudioInputNode.removeTapOnBus", std::to_string(bus));
    if (bus != 0) return;
    engine_.tap.reset();
    engine_.tapFormat.reset();
  }
  // A buffer being delivered right now finishes before the tap counts as removed.
  if (!state_.tapThread->isCurrent()) std::lock_guard waitForBuffer(state_.tapDelivery);
}

AVAudioFormat ScriptedInputNode::outputFormatForBus(AVAudioNodeBus bus) {
  std::lock_guard lock(state_.mutex);
  state_.recordLocked("AVAudioInputNode.outputFormatForBus", std::to_string(bus));
  AVAudioFormat format = state_.inputFormat;
  if (!state_.inputFormats.empty()) {
    format = state_.inputFormats.front();
    state_.inputFormats.pop_front();
  }
  engine_.lastInputFormat = format;
  return format;
}

void ScriptedInputNode::installTapOnBus(AVAudioNodeBus bus, std::uint32_t bufferSize,
                                        const AVAudioFormat& format, AVAudioNodeTapBlock block) {
  std::lock_guard lock(state_.mutex);
  state_.recordLocked(
      "AVAudioInputNode.installTapOnBus",
      std::to_string(bus) + ", " + std::to_string(bufferSize) + ", " + formatText(format));
  if (!state_.installTapExceptions.empty()) {
    NSException exception = state_.installTapExceptions.front();
    state_.installTapExceptions.pop_front();
    throw exception;
  }
  // What the real engine refuses: a second tap on a bus, or a format the node does not give.
  if (bus != 0 || engine_.tap)
    throw NSException("com.apple.coreaudio.avfaudio",
                      "required condition is false: nullptr == Tap()");
  if (!engine_.lastInputFormat || !(*engine_.lastInputFormat == format))
    throw NSException("com.apple.coreaudio.avfaudio",
                      "required condition is false: format.sampleRate == hwFormat.sampleRate");
  engine_.tap = std::make_shared<AVAudioNodeTapBlock>(std::move(block));
  engine_.tapFormat = format;
}

std::shared_ptr<AVAudioEngine> makeScriptedEngine(std::shared_ptr<ScriptedBackend::State> state) {
  auto engine = std::make_shared<ScriptedEngine>(state);
  std::lock_guard lock(state->mutex);
  std::erase_if(state->engines, [](const auto& weak) { return weak.expired(); });
  state->engines.push_back(engine);
  return engine;
}

std::vector<std::shared_ptr<ScriptedEngine>> liveEngines(ScriptedBackend::State& state) {
  std::vector<std::shared_ptr<ScriptedEngine>> live;
  std::lock_guard lock(state.mutex);
  for (const auto& weak : state.engines)
    if (auto engine = weak.lock()) live.push_back(std::move(engine));
  return live;
}

std::size_t deliverToEngine(ScriptedEngine& engine, const AVAudioPCMBuffer& buffer) {
  return engine.deliver(buffer) ? 1 : 0;
}

bool engineIsRunning(const ScriptedEngine& engine) {
  return engine.runningNow();
}
bool engineHasTap(const ScriptedEngine& engine) {
  return engine.hasTap();
}

void postConfigurationChange(ScriptedEngine& engine) {
  NotificationCenter::defaultCenter().post(AVAudioEngineConfigurationChangeNotification,
                                           static_cast<const AVAudioEngine*>(&engine));
}

}  // namespace platform::scripted
