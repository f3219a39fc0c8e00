// SPDX-License-Identifier: MIT
// Against the private PipeWire, in this process: once both paths run, PipeWire's real-time
// thread, the system-audio queue and the microphone's delivery thread allocate nothing while
// tones play into both. (The program's own binary cannot be counted from outside; this runs
// the same classes on the real backend.)
#include <unistd.h>

#include <string>

#include "AllocationCounter.h"
#include "E2EFixture.h"
#include "FdCapture.h"
#include "Harkwell/CoreAudioTap.h"
#include "Harkwell/MicCapture.h"
#include "HarkwellCore/FrameReader.h"
#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/backends/pipewire/PipeWireBackend.h"

namespace harkwell::test {
namespace {

using AudioPathAllocationE2ETest = E2ETest;

TEST_F(AudioPathAllocationE2ETest, TheAudioThreadsAllocateNothingOnceBothPathsRun) {
  auto speaker = Player::child({"pw-play", tone(440, 2, 20)});
  auto voice = Player::child({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 20)});
  // One per process and never destroyed, like the program's.
  static NeverDestroyed<platform::pw::PipeWireBackend> backend;
  platform::setAudioBackend(&*backend);

  FdCapture log(STDERR_FILENO);
  FdCapture out(STDOUT_FILENO);
  auto mic = MicCapture::make();
  auto tap = CoreAudioTap::make();
  bool started = true;
  try {
    mic->start();
    tap->start();
  } catch (const platform::NSError&) {
    started = false;
  }
  sleepFor(2.0);  // the streams link, the converters and rings reach their sizes
  // Every thread but this one and PipeWire's loop thread (the protocol's messages, not audio):
  // the real-time thread, the tap's queue and the microphone's delivery thread among them.
  startCountingAllocations({"harkwell-pipewi"});
  sleepFor(3.0);
  const std::size_t allocations = stopCountingAllocations();
  tap->stop();
  mic->stop();
  const std::string bytes = out.finish();
  const std::string lines = log.finish();

  ASSERT_TRUE(started) << lines;
  std::size_t micSamples = 0, systemSamples = 0;
  FrameReader reader;
  reader.feed(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
  while (auto f = reader.next()) {
    if (f->frame.tag == FrameTag::micPCM) micSamples += f->frame.payload.size() / 2;
    if (f->frame.tag == FrameTag::tapPCM) systemSamples += f->frame.payload.size() / 2;
  }
  EXPECT_EQ(allocations, 0u) << lines;
  // About five seconds of each; the count above covered real audio.
  EXPECT_GT(micSamples, 60000u) << lines;
  EXPECT_GT(systemSamples, 60000u) << lines;
}

}  // namespace
}  // namespace harkwell::test
