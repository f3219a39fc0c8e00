// SPDX-License-Identifier: MIT
// stop() on a shutdown thread while the capture callbacks and a rebuild run on their own
// threads: nothing crashes, every frame written is whole, and nothing runs after stop().
#include <atomic>
#include <thread>

#include "CaptureFixture.h"
#include "Harkwell/CoreAudioTap.h"
#include "Harkwell/MicCapture.h"

namespace harkwell {
namespace {

using namespace platform;
using test::CaptureTest;
using test::FdCapture;
using test::InterleavedAudio;
using test::splitFrames;

class ConcurrentStopTest : public CaptureTest {};

TEST_F(ConcurrentStopTest, TapStopsWhileCyclesRun) {
  FdCapture log(STDERR_FILENO);
  auto tap = CoreAudioTap::make();
  tap->start();
  InterleavedAudio audio(480, 1);
  FdCapture out(STDOUT_FILENO);
  std::atomic<bool> done{false};
  std::atomic<int> cycles{0};
  std::thread device([&] {
    while (!done) {
      backend.runIOCycle(audio.list);
      backend.changeTapFormat(AVAudioFormat(AVAudioCommonFormat::pcmFormatFloat32,
                                            cycles % 2 ? 44100.0 : 48000.0, 1, true)
                                  .streamDescription());
      ++cycles;
    }
  });
  while (cycles < 20) std::this_thread::yield();
  std::thread shutdown([&] { tap->stop(); });
  shutdown.join();
  const std::size_t afterStop = backend.runIOCycle(audio.list);
  done = true;
  device.join();
  const auto frames = splitFrames(out.finish());
  log.finish();

  EXPECT_EQ(afterStop, 0u);
  EXPECT_GE(frames.size(), 10u);
  for (const auto& frame : frames) EXPECT_EQ(frame.tag, FrameTag::tapPCM);
}

TEST_F(ConcurrentStopTest, MicStopsWhileBuffersArriveAndARebuildRuns) {
  ManualClock clock;
  setClock(&clock);
  FdCapture log(STDERR_FILENO);
  auto mic = MicCapture::make();
  mic->start();
  const AVAudioFormat format(AVAudioCommonFormat::pcmFormatFloat32, 48000.0, 1, false);
  auto buffer = test::micBuffer(format, 4800);
  FdCapture out(STDOUT_FILENO);
  std::atomic<bool> done{false};
  std::atomic<int> rounds{0};
  // This thread plays the main thread: notifications and rebuilds run here.
  std::thread mainThread([&] {
    while (!done) {
      backend.postEngineConfigurationChange();
      drainMainQueue();
      clock.advance(0.3);
      drainMainQueue();
      ++rounds;
    }
  });
  std::thread tapThread([&] {
    while (!done) backend.deliverInputBuffer(*buffer);
  });
  while (rounds < 10) std::this_thread::yield();
  std::thread shutdown([&] { mic->stop(); });
  shutdown.join();
  const bool stoppedNow = backend.runningEngines() == 0 && backend.installedInputTaps() == 0;
  // Whatever the main thread does from now on, the engine stays stopped.
  const int roundsAtStop = rounds;
  while (rounds < roundsAtStop + 5) std::this_thread::yield();
  const bool stillStopped = backend.runningEngines() == 0 && backend.installedInputTaps() == 0;
  done = true;
  mainThread.join();
  tapThread.join();
  const auto frames = splitFrames(out.finish());
  log.finish();
  setClock(nullptr);

  EXPECT_TRUE(stoppedNow);
  EXPECT_TRUE(stillStopped);
  for (const auto& frame : frames) EXPECT_EQ(frame.tag, FrameTag::micPCM);
}

}  // namespace
}  // namespace harkwell
