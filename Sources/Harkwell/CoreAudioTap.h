// SPDX-License-Identifier: MIT
// System-audio capture: a private process tap that mixes every process but the parent, wrapped
// in a private aggregate device clocked by the default output device. Each I/O cycle is
// converted to 16-bit 16000 Hz mono and written as one tapPCM frame.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>

#include "FrameConverter.h"
#include "Platform/avfaudio/AVFAudio.h"
#include "Platform/coreaudio/CoreAudio.h"

namespace harkwell {

class CoreAudioTap : public std::enable_shared_from_this<CoreAudioTap> {
 public:
  // Builds the output format and the I/O queue; starts nothing.
  static std::shared_ptr<CoreAudioTap> make();

  // Creates the tap, the aggregate device, the format listener and the I/O procedure, and
  // starts the device. Throws platform::NSError (domain "CoreAudioTap") after destroying
  // whatever it created.
  void start();
  // The first call tears everything down and logs "CoreAudio tap stopped"; later calls do
  // nothing.
  void stop();

  CoreAudioTap(const CoreAudioTap&) = delete;
  CoreAudioTap& operator=(const CoreAudioTap&) = delete;

 private:
  CoreAudioTap();

  void cleanupTap();
  void aggregateTeardown();
  std::optional<platform::AudioObjectID> processObject(std::int32_t pid);
  std::optional<std::string> defaultOutputDeviceUID();
  std::optional<platform::AVAudioFormat> tapStreamFormat(platform::AudioObjectID tap);

  // Run on ioQueue.
  void process(const platform::AudioBufferList* inputData);
  void rebuildConverterForCurrentTapFormat();

  // tapID and stopped are read by the format listener on ioQueue while stop() may run on a
  // shutdown thread, hence atomic.
  std::atomic<platform::AudioObjectID> tapID{0};
  platform::AudioObjectID aggregateID = 0;
  std::optional<platform::AudioDeviceIOProcID> ioProcID;
  std::optional<platform::AVAudioFormat> inputFormat;
  std::shared_ptr<platform::AVAudioConverter> converter;
  std::atomic<bool> stopped{false};
  platform::AudioObjectPropertyListenerBlockRef formatListener;
  const platform::AVAudioFormat targetFormat;
  const std::shared_ptr<platform::DispatchQueue> ioQueue;
  // ioQueue only: the view over the cycle's input and the convert-and-write step.
  std::unique_ptr<platform::AVAudioPCMBuffer> cycleInput;
  FrameConverter output;
};

}  // namespace harkwell
