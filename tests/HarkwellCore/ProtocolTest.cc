// SPDX-License-Identifier: MIT
// The locked writer: whole frames on fd 1 under concurrency and interruption, control messages,
// and the failure path when standard output cannot be written.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cmath>
#include <csignal>
#include <string>
#include <thread>
#include <vector>

#include "FdCapture.h"
#include "HarkwellCore/Protocol.h"

namespace harkwell {
namespace {

using Bytes = std::vector<std::uint8_t>;
using test::captureFd;
using test::runInChild;

std::span<const std::uint8_t> bytesOf(const std::string& s) {
  return {reinterpret_cast<const std::uint8_t*>(s.data()), s.size()};
}

TEST(FrameWriterControl, ReadyIsTheTwentyOneByteFrame) {
  const std::string out = captureFd(1, [] { FrameWriter::writeControl({{"type", "ready"}}); });
  const std::string expected = std::string("\x01\x00\x00\x00\x10", 5) + R"({"type":"ready"})";
  EXPECT_EQ(out, expected);
}

TEST(FrameWriterControl, ErrorMessageKeepsKeyOrderAndEscapesTheSlash) {
  const std::string out = captureFd(1, [] {
    FrameWriter::writeControl({{"type", "error"}, {"msg", "tap_start: a/b \"c\""}});
  });
  const auto frame = FrameWriter::decode(bytesOf(out));
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->tag, FrameTag::control);
  EXPECT_EQ(std::string(frame->payload.begin(), frame->payload.end()),
            R"({"type":"error","msg":"tap_start: a\/b \"c\""})");
  EXPECT_EQ(static_cast<std::size_t>(frame->consumed), out.size()) << "nothing after the frame";
}

TEST(FrameWriterControl, UnserialisableMessageIsDroppedSilently) {
  std::string err;
  const std::string out = captureFd(1, [&] {
    err = captureFd(2, [] {
      FrameWriter::writeControl({{"type", "error"}, {"level", std::nan("")}});
    });
  });
  EXPECT_EQ(out, "");
  EXPECT_EQ(err, "");
}

void ignoreSignal(int) {}

// Several threads write frames of many sizes (most larger than a pipe's buffer) while another
// thread keeps interrupting them with a signal, so writes come back short or with EINTR. The
// reading side must see every frame whole, each thread's frames in its own order.
TEST(FrameWriterConcurrency, FramesFromManyThreadsNeverInterleave) {
  constexpr int kThreads = 4;
  constexpr int kFramesPerThread = 24;

  struct sigaction action {
  }, previous{};
  action.sa_handler = ignoreSignal;  // no SA_RESTART: blocked writes return early
  sigemptyset(&action.sa_mask);
  ASSERT_EQ(sigaction(SIGUSR1, &action, &previous), 0);

  const std::string out = captureFd(1, [&] {
    std::atomic<int> finished{0};
    std::atomic<bool> release{false};
    std::vector<std::thread> writers;
    for (int t = 0; t < kThreads; ++t) {
      writers.emplace_back([t, &finished, &release] {
        for (int i = 0; i < kFramesPerThread; ++i) {
          const std::size_t size = 2 + static_cast<std::size_t>((i * 37 + t * 11) % 7) * 40000;
          Bytes payload(size, static_cast<std::uint8_t>(t));
          payload[0] = static_cast<std::uint8_t>(i);
          FrameWriter::write(t % 2 ? FrameTag::micPCM : FrameTag::tapPCM, payload);
        }
        finished.fetch_add(1);
        while (!release.load()) std::this_thread::yield();
      });
    }
    std::thread interrupter([&] {
      while (finished.load() < kThreads) {
        for (auto& w : writers) pthread_kill(w.native_handle(), SIGUSR1);
        std::this_thread::yield();
      }
    });
    interrupter.join();
    release = true;
    for (auto& w : writers) w.join();
  });
  sigaction(SIGUSR1, &previous, nullptr);

  std::vector<int> nextIndex(kThreads, 0);
  std::span<const std::uint8_t> rest = bytesOf(out);
  int frames = 0;
  while (!rest.empty()) {
    const auto frame = FrameWriter::decode(rest);
    ASSERT_TRUE(frame) << "undecodable bytes after " << frames << " frames";
    ASSERT_FALSE(frame->payload.empty());
    const std::uint8_t owner = frame->payload.back();
    ASSERT_LT(owner, kThreads);
    EXPECT_EQ(frame->tag, owner % 2 ? FrameTag::micPCM : FrameTag::tapPCM);
    EXPECT_EQ(frame->payload[0], nextIndex[owner]) << "thread " << int{owner};
    for (std::size_t k = 1; k < frame->payload.size(); ++k)
      ASSERT_EQ(frame->payload[k], owner) << "foreign byte inside a frame of thread " << int{owner};
    ++nextIndex[owner];
    ++frames;
    rest = rest.subspan(static_cast<std::size_t>(frame->consumed));
  }
  EXPECT_EQ(frames, kThreads * kFramesPerThread);
}

TEST(FrameWriterFailure, WriteErrorGivesOneLineAndStatusZero) {
  struct Case {
    const char* name;
    bool closeReader;    // the reading end of stdout's pipe is gone
    bool closeStdout;    // fd 1 itself is closed
    const char* reason;  // the system's description of the error
  };
  const std::vector<Case> cases = {
      {"reader gone, SIGPIPE ignored", true, false, "Broken pipe"},
      {"stdout closed", false, true, "Bad file descriptor"},
  };
  for (const Case& c : cases) {
    const auto result = runInChild(
        [&] {
          std::signal(SIGPIPE, SIG_IGN);
          if (c.closeStdout) ::close(1);
          FrameWriter::write(FrameTag::micPCM, Bytes{1, 2});
          Log::info("still running after a failed write");
          FrameWriter::write(FrameTag::micPCM, Bytes{3, 4});
        },
        c.closeReader);
    EXPECT_EQ(result.signal, 0) << c.name;
    EXPECT_EQ(result.exitStatus, 0) << c.name;
    EXPECT_EQ(result.err, std::string("velto: stdout write failed: ") + c.reason + "\n") << c.name;
  }
}

// A parent may hand over a pipe whose open file is non-blocking; a full pipe is then no error.
TEST(FrameWriterNonBlocking, FullNonBlockingPipeWaitsInsteadOfFailing) {
  const auto result = runInChild([] {
    ::fcntl(1, F_SETFL, ::fcntl(1, F_GETFL) | O_NONBLOCK);
    for (int i = 0; i < 8; ++i) FrameWriter::write(FrameTag::tapPCM, Bytes(300000, 0x11));
  });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "");
  ASSERT_EQ(result.out.size(), 8u * 300005u);
  std::span<const std::uint8_t> rest = bytesOf(result.out);
  for (int i = 0; i < 8; ++i) {
    const auto frame = FrameWriter::decode(rest);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->payload, Bytes(300000, 0x11));
    rest = rest.subspan(static_cast<std::size_t>(frame->consumed));
  }
}

TEST(FrameWriterFailure, ReaderGoneWithDefaultSigpipeEndsByTheSignal) {
  const auto result = runInChild(
      [] {
        std::signal(SIGPIPE, SIG_DFL);
        FrameWriter::write(FrameTag::tapPCM, Bytes{1, 2});
      },
      true);
  EXPECT_EQ(result.signal, SIGPIPE);
  EXPECT_EQ(result.err, "");
}

}  // namespace
}  // namespace harkwell

namespace harkwell {
namespace {

// Ending the process while another thread writes a frame larger than a pipe's buffer: the
// stream still ends on a frame boundary.
TEST(FrameWriterExit, ExitBetweenFramesNeverLeavesAPartialFrame) {
  for (int round = 0; round < 5; ++round) {
    const auto result = test::runInChild([] {
      std::atomic<int> written{0};
      std::thread writer([&] {
        const Bytes payload(1 << 20, 0x5A);
        for (;;) {
          FrameWriter::write(FrameTag::tapPCM, payload);
          written.fetch_add(1);
        }
      });
      while (written.load() < 2) std::this_thread::yield();
      FrameWriter::exitBetweenFrames(0);
    });
    ASSERT_EQ(result.exitStatus, 0);
    std::span<const std::uint8_t> rest(reinterpret_cast<const std::uint8_t*>(result.out.data()),
                                       result.out.size());
    int frames = 0;
    while (const auto frame = FrameWriter::decode(rest)) {
      rest = rest.subspan(static_cast<std::size_t>(frame->consumed));
      ++frames;
    }
    EXPECT_GE(frames, 2) << "round " << round;
    EXPECT_EQ(rest.size(), 0u) << "round " << round << ": the stream ends inside a frame";
  }
}

// Once nobody will read the output (the host has gone), neither a writer waiting for the lock
// nor the exit waits for a writer stuck on a full pipe.
TEST(FrameWriterExit, AbandonedOutputReleasesWaitingWritersAndTheExit) {
  const auto result = test::runInChild([] {
    int unread[2];
    if (::pipe(unread) != 0) return;
    ::dup2(unread[1], STDOUT_FILENO);  // the read end stays open and is never read
    std::thread stuck([] {
      for (;;) FrameWriter::write(FrameTag::tapPCM, Bytes(1 << 20, 0x5A));
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    std::thread waiting([] { FrameWriter::write(FrameTag::micPCM, Bytes{1, 2}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto start = std::chrono::steady_clock::now();
    FrameWriter::abandonOutput();
    waiting.join();
    const auto waited = std::chrono::steady_clock::now() - start;
    Log::info(waited < std::chrono::milliseconds(500) ? "writer released" : "writer held");
    stuck.detach();
    FrameWriter::exitBetweenFrames(0);
  });
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.err, "[velto] writer released\n");
}

}  // namespace
}  // namespace harkwell
