// System audio and the microphone captured from a private PipeWire by the production binary.
#include <algorithm>

#include "E2EFixture.h"

namespace e2e {
namespace {

using harkwell::FrameTag;

TEST_F(E2ETest, ToneFromAnotherProcessReachesTapAtItsLevel) {
  auto h = startHarkwell();
  auto player = Player::orphan({"pw-play", tone(440, 2, 6)});
  const auto samples = oneSecondOf(*h, FrameTag::tapPCM, 1.5);
  ASSERT_EQ(samples.size(), 16000u);
  // A centred stereo tone keeps its level when mixed to one channel.
  EXPECT_NEAR(dbfs(toneAmplitude(samples, 440)), dbfs(kToneAmplitude), 1.0);
  EXPECT_LT(dbfs(toneAmplitude(samples, 1000)), -60.0);
  EXPECT_FALSE(h->corrupt());
}

TEST_F(E2ETest, LoopbackReplayingTheSinkMonitorIsNotCapturedTwice) {
  // A loopback that records the speaker's monitor and plays it into another sink: its
  // playback stream carries what the tap already hears.
  auto loopback = Player::orphan({"pw-loopback", "-n", "harkwell-test-replay",
                                  "--capture-props=stream.capture.sink=true",
                                  "--playback-props=target.object=harkwell-test-mic-input"});
  ASSERT_EQ(shell("for i in $(seq 50); do pw-cli ls Node | grep -q 'Stream/Output/Audio' && "
                  "exit 0; sleep 0.1; done; exit 1"),
            0)
      << "the loopback did not appear";
  auto h = startHarkwell();
  auto player = Player::orphan({"pw-play", tone(440, 2, 6)});
  const auto samples = oneSecondOf(*h, FrameTag::tapPCM, 1.5);
  ASSERT_EQ(samples.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(samples, 440)), dbfs(kToneAmplitude), 1.0);
}

TEST_F(E2ETest, SilenceKeepsComingAtTheOutputRate) {
  auto h = startHarkwell();
  sleepFor(1.0);
  const auto start = Clock::now();
  sleepFor(6.0);
  // Samples that arrived after the first frame of the window, over the time between that
  // frame and the last one: the rate of the stream against the wall clock.
  std::size_t count = 0;
  std::optional<Clock::time_point> first;
  Clock::time_point last{};
  int loudest = 0;
  for (const Frame& f : h->frames()) {
    if (f.tag != FrameTag::tapPCM || f.arrival < start) continue;
    loudest = std::max(loudest, peak(f.samples));
    if (!first) {
      first = f.arrival;
      continue;
    }
    count += f.samples.size();
    last = f.arrival;
  }
  ASSERT_TRUE(first.has_value()) << "no tapPCM frame while nothing plays";
  const double seconds = std::chrono::duration<double>(last - *first).count();
  ASSERT_GT(seconds, 5.0);
  EXPECT_NEAR(static_cast<double>(count) / seconds, 16000.0, 160.0);
  EXPECT_EQ(loudest, 0);
}

TEST_F(E2ETest, ToneIntoTheVirtualMicrophoneReachesMicPCM) {
  auto h = startHarkwell();
  auto player =
      Player::orphan({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 6)});
  const auto samples = oneSecondOf(*h, FrameTag::micPCM, 1.5);
  ASSERT_EQ(samples.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(samples, 1000)), dbfs(kToneAmplitude), 1.0);
}

TEST_F(E2ETest, ParentAndItsDescendantsAreLeftOut) {
  auto h = startHarkwell();
  // This process is Harkwell's parent: its own stream and its child's play 1 kHz, a process
  // outside its family plays 440 Hz. All start after Harkwell, as a host's would.
  InProcessTone own(1000, kToneAmplitude);
  ASSERT_TRUE(own.ok());
  auto child = Player::child({"pw-play", tone(1000, 2, 6)});
  auto other = Player::orphan({"pw-play", tone(440, 2, 6)});
  const auto samples = oneSecondOf(*h, FrameTag::tapPCM, 1.5);
  ASSERT_EQ(samples.size(), 16000u);
  const double wanted = toneAmplitude(samples, 440);
  EXPECT_NEAR(dbfs(wanted), dbfs(kToneAmplitude), 1.0);
  EXPECT_LT(dbfs(toneAmplitude(samples, 1000)), dbfs(wanted) - 60.0);
}

TEST_F(E2ETest, NewDefaultSourceRebuildsTheMicrophone) {
  auto h = startHarkwell();
  auto loopback =
      Player::orphan({"pw-loopback", "-n", "harkwell-test-mic2", "-c", "2", "-m", "[ FL FR ]",
                      "--capture-props=media.class=Audio/Sink node.name=harkwell-test-mic2-input",
                      "--playback-props=media.class=Audio/Source node.name=harkwell-test-mic2"});
  ASSERT_EQ(shell("for i in $(seq 50); do pw-cli ls Node | grep -q '\"harkwell-test-mic2\"' && "
                  "exit 0; sleep 0.1; done; exit 1"),
            0)
      << "the second microphone did not appear";
  ASSERT_EQ(shell("pw-metadata -n default 0 default.configured.audio.source "
                  "'{\"name\":\"harkwell-test-mic2\"}' Spa:String:JSON >/dev/null"),
            0);
  ASSERT_TRUE(h->waitForStderr("[velto] MicCapture reconfigured (input sr=48000.0 ch=2)", 8));
  auto player =
      Player::orphan({"pw-play", "--target", "harkwell-test-mic2-input", tone(1000, 2, 6)});
  const auto samples = oneSecondOf(*h, FrameTag::micPCM, 1.5);
  ASSERT_EQ(samples.size(), 16000u);
  EXPECT_GT(dbfs(toneAmplitude(samples, 1000)), dbfs(kToneAmplitude) - 6.0);
}

TEST_F(E2ETest, GraphRateChangeReconfiguresTheTapAndKeepsThePitch) {
  auto h = startHarkwell();
  auto player = Player::orphan({"pw-play", tone(440, 2, 12)});
  sleepFor(1.0);
  ASSERT_EQ(shell("pw-metadata -n settings 0 clock.force-rate 44100 >/dev/null"), 0);
  const bool reconfigured =
      h->waitForStderr("[velto] CoreAudio tap reconfigured (input sr=44100.0 ch=1)", 8);
  const auto samples = oneSecondOf(*h, FrameTag::tapPCM, 1.0);
  shell("pw-metadata -n settings 0 clock.force-rate 0 >/dev/null");
  ASSERT_TRUE(reconfigured);
  ASSERT_EQ(samples.size(), 16000u);
  const double wanted = toneAmplitude(samples, 440);
  EXPECT_NEAR(dbfs(wanted), dbfs(kToneAmplitude), 1.5);
  // 440 Hz read at the wrong rate would show up at 479 Hz.
  EXPECT_LT(dbfs(toneAmplitude(samples, 440.0 * 48000.0 / 44100.0)), dbfs(wanted) - 30.0);
}

TEST_F(E2ETest, HostThatStopsReadingGetsWholeFramesAndADropReport) {
  auto h = startHarkwell();
  sleepFor(1.0);
  h->setReading(false);
  sleepFor(5.0);
  h->setReading(true);
  const auto resumed = Clock::now();
  sleepFor(3.0);
  EXPECT_FALSE(h->corrupt());
  const auto lines = h->stderrLines();
  const auto report = std::find_if(lines.begin(), lines.end(), [](const std::string& l) {
    return l.rfind("[velto][ERROR] system audio backlog full: dropped ", 0) == 0;
  });
  ASSERT_NE(report, lines.end()) << "no drop report";
  // Once per episode.
  EXPECT_EQ(std::count_if(lines.begin(), lines.end(),
                          [](const std::string& l) {
                            return l.find("system audio backlog full") != std::string::npos;
                          }),
            1);
  // Frames flow again: the last second after the backlog drained holds a second of audio.
  const auto recent = h->samplesSince(FrameTag::tapPCM, resumed + std::chrono::seconds(2));
  EXPECT_GT(recent.size(), 12000u);
}

}  // namespace
}  // namespace e2e
