// SPDX-License-Identifier: MIT
// Microphone capture: a tap on the audio engine's input node, each buffer converted to 16-bit
// 16000 Hz mono and written as one micPCM frame; rebuilt after engine configuration changes
// with a debounce and bounded retries on the main queue.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "FrameConverter.h"
#include "Platform/avfaudio/AVFAudio.h"
#include "Platform/dispatch/Dispatch.h"
#include "Platform/foundation/Foundation.h"

namespace harkwell {

class MicCapture : public std::enable_shared_from_this<MicCapture> {
 public:
  // Makes the engine and the output format; starts nothing.
  static std::shared_ptr<MicCapture> make();

  // Builds and starts the engine, then follows its configuration changes. Throws the error of
  // the failing step (domain "MicCapture", "ObjCException" or the engine's own).
  void start();
  // Ends capture and every pending rebuild; may be called again (and logs each time).
  void stop();

  MicCapture(const MicCapture&) = delete;
  MicCapture& operator=(const MicCapture&) = delete;

 private:
  MicCapture();

  static platform::NSError err(const std::string& message);
  void buildAndStart(const std::string& label);
  void handle(const platform::AVAudioPCMBuffer& buffer);
  // Writes what the converter still holds, and drops it. No tap may be installed.
  void flushConverter();
  // On the main queue.
  void handleConfigChange();
  void reconfigure(std::int64_t attempt, std::int64_t gen);

  const std::shared_ptr<platform::AVAudioEngine> engine;
  // Replaced only while the engine is stopped and no tap is installed; read by handle().
  std::shared_ptr<platform::AVAudioConverter> converter;
  std::atomic<bool> stopped{false};
  platform::NotificationCenter::ObserverToken configObserver;
  std::int64_t reconfigGen = 0;
  std::shared_ptr<platform::DispatchWorkItem> pendingReconfig;
  const platform::AVAudioFormat targetFormat;
  // Used by handle() on the tap's thread, and by flushConverter() while no tap is installed.
  FrameConverter output;

  // Serialises stop() (on a shutdown thread) with a configuration change or a rebuild in
  // progress on the main queue, so that no rebuild starts the engine again after stop().
  // Never taken on the audio path.
  std::mutex lifecycle;
};

}  // namespace harkwell
