// SPDX-License-Identifier: MIT
// A stand-in for Harkwell in the harkwell-record tests: writes the frames a capture would, in
// real time, until its standard input ends, then exits with the status it was given.
//
//   record_fake_harkwell [--exit STATUS] [--garbage] [--frames-before-ready N] [--ignore-eof]
//                        [--pause-after N] [--no-paths]
//
// --ignore-eof: keeps writing after its standard input ended, until a signal ends it.
// --no-paths: reports that neither capture path started, then writes no audio.
// --pause-after N: after N frames of each source, writes nothing for half a second (a dropout).
//
// Sample n of the mic stream is micSample(n), of the system stream systemSample(n), so that
// a test can check every sample that reached the WAV files.
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "FakeSamples.h"
#include "HarkwellCore/Protocol.h"

namespace {

using harkwell::FrameTag;

constexpr int kSamplesPerFrame = 160;  // 10 ms

std::vector<std::uint8_t> pcmFrame(bool mic, std::int64_t first) {
  std::vector<std::uint8_t> bytes;
  for (int i = 0; i < kSamplesPerFrame; ++i) {
    const std::int16_t s =
        mic ? harkwell::test::micSample(first + i) : harkwell::test::systemSample(first + i);
    const auto u = static_cast<std::uint16_t>(s);
    bytes.push_back(static_cast<std::uint8_t>(u & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(u >> 8));
  }
  return bytes;
}

void say(const char* line) {
  [[maybe_unused]] auto n = ::write(2, line, std::strlen(line));
}

}  // namespace

int main(int argc, char** argv) {
  int exitStatus = 0;
  bool garbage = false;
  bool ignoreEof = false;
  bool noPaths = false;
  int pauseAfter = -1;
  int framesBeforeReady = 2;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--exit" && i + 1 < argc) {
      exitStatus = std::atoi(argv[++i]);
    } else if (a == "--pause-after" && i + 1 < argc) {
      pauseAfter = std::atoi(argv[++i]);
    } else if (a == "--ignore-eof") {
      ignoreEof = true;
    } else if (a == "--no-paths") {
      noPaths = true;
    } else if (a == "--garbage") {
      garbage = true;
    } else if (a == "--frames-before-ready" && i + 1 < argc) {
      framesBeforeReady = std::atoi(argv[++i]);
    }
  }
  say("[fake] starting\n");
  if (noPaths) {
    harkwell::FrameWriter::writeControl(
        {{"type", "error"}, {"msg", "mic_start: No microphone input available (sr=0)"}});
    harkwell::FrameWriter::writeControl(
        {{"type", "error"}, {"msg", "tap_start: PipeWire is not running"}});
    harkwell::FrameWriter::writeControl({{"type", "ready"}});
    char buffer[256];
    while (::read(0, buffer, sizeof buffer) > 0) {
    }
    return exitStatus;
  }
  std::int64_t mic = 0;
  std::int64_t system = 0;
  for (int i = 0; i < framesBeforeReady; ++i, mic += kSamplesPerFrame)
    harkwell::FrameWriter::write(FrameTag::micPCM, pcmFrame(true, mic));
  harkwell::FrameWriter::writeControl({{"type", "ready"}});
  if (garbage) {
    const std::uint8_t junk[] = {9, 9, 9, 9, 9, 9};
    harkwell::FrameWriter::write(FrameTag::micPCM, pcmFrame(true, mic));
    [[maybe_unused]] auto n = ::write(1, junk, sizeof junk);
  }
  // One frame of each source per 10 ms of real time until standard input ends; a pause moves
  // the schedule on without the frames it skipped, as a dropout would.
  using Clock = std::chrono::steady_clock;
  auto origin = Clock::now();
  std::int64_t written = 0;  // frames of each source since origin
  bool inputOpen = true;
  for (;;) {
    pollfd p{0, POLLIN, 0};
    if (::poll(&p, inputOpen ? 1 : 0, 5) > 0) {
      char buffer[256];
      const ssize_t n = ::read(0, buffer, sizeof buffer);
      if (n > 0) continue;
      if (!ignoreEof) break;
      say("[fake] stdin closed; carrying on\n");
      inputOpen = false;
    }
    const auto due =
        std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - origin).count() / 10;
    for (; written < due; ++written) {
      harkwell::FrameWriter::write(FrameTag::micPCM, pcmFrame(true, mic));
      mic += kSamplesPerFrame;
      harkwell::FrameWriter::write(FrameTag::tapPCM, pcmFrame(false, system));
      system += kSamplesPerFrame;
      if (pauseAfter >= 0 && system == std::int64_t{pauseAfter} * kSamplesPerFrame) {
        ::usleep(500'000);
        origin += std::chrono::milliseconds(500);
      }
    }
  }
  say("[fake] stdin closed by parent; exiting\n");
  return exitStatus;
}
