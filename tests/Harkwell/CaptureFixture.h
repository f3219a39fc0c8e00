// SPDX-License-Identifier: MIT
// What the capture tests share: the scripted backend installed for the test, splitting captured
// output streams, and small builders of audio.
#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "FdCapture.h"
#include "HarkwellCore/Protocol.h"
#include "Platform/backends/scripted/ScriptedBackend.h"

namespace harkwell::test {

std::vector<std::string> splitLines(const std::string& text);
std::vector<DecodedFrame> splitFrames(const std::string& bytes);

// An interleaved buffer list over `samples` (one buffer).
struct InterleavedAudio {
  std::vector<float> samples;
  platform::AudioBufferList list{};
  InterleavedAudio(std::size_t frames, std::uint32_t channels);
};

// A filled PCM buffer for the microphone path.
std::unique_ptr<platform::AVAudioPCMBuffer> micBuffer(const platform::AVAudioFormat& format,
                                                      std::uint32_t frames);

platform::NSError describedError(std::string domain, std::int64_t code, std::string text);

// The scripted backend installed for one test, with the parent's process object known.
class CaptureTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  platform::scripted::ScriptedBackend backend;
};

}  // namespace harkwell::test
