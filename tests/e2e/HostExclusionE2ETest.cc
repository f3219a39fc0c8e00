// SPDX-License-Identifier: MIT
// System audio is every other application's sound, once, and never the host's; the microphone
// is a microphone. Each setup that desktops really have, with players of every kind
// (PulseAudio, ALSA through pipewire-alsa, native): the host plays 1 kHz, another application
// 440 Hz.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "E2EFixture.h"
#include "Platform/apps/ProcFiles.h"

namespace harkwell::test {
namespace {

using harkwell::FrameTag;
namespace fs = std::filesystem;

// An application unit of the test's making: a cgroup named as desktops name the units they
// start applications in.
class AppUnit {
 public:
  explicit AppUnit(const std::string& role) {
    for (const char* base : {"/sys/fs/cgroup/systemd", "/sys/fs/cgroup"}) {
      if (!fs::exists(fs::path(base) / "cgroup.procs")) continue;
      base_ = base;
      break;
    }
    if (base_.empty()) return;
    path_ = base_ + "/app-hkwtest" + role + "-" + std::to_string(::getpid()) + ".scope";
    if (::mkdir(path_.c_str(), 0755) != 0 && errno != EEXIST) path_.clear();
  }
  ~AppUnit() {
    if (path_.empty()) return;
    if (entered_) move(::getpid(), base_);
    for (int i = 0; i < 50 && ::rmdir(path_.c_str()) != 0; ++i) sleepFor(0.1);
  }
  AppUnit(const AppUnit&) = delete;
  AppUnit& operator=(const AppUnit&) = delete;

  bool ok() const { return !path_.empty(); }
  const std::string& path() const { return path_; }
  // Moves this process (and so whatever it starts from now on) into the unit.
  bool enter() { return entered_ = move(::getpid(), path_); }

 private:
  static bool move(pid_t pid, const std::string& cgroup) {
    std::ofstream procs(cgroup + "/cgroup.procs");
    procs << pid << std::flush;
    return static_cast<bool>(procs);
  }
  std::string base_;
  std::string path_;
  bool entered_ = false;
};

#define REQUIRE_UNIT(unit) \
  if (!(unit).ok())        \
  GTEST_SKIP() << "cannot create cgroups here (needs root and a writable cgroupfs)"

// Tests that change the session's devices leave a fresh one behind: WirePlumber 0.4.13 crashes
// later in a session whose default sink was removed.
struct FreshSessionAfterwards {
  ~FreshSessionAfterwards() {
    shell(
        "pw-metadata -n default 0 default.configured.audio.sink "
        "'{\"name\":\"harkwell-test-speaker\"}' Spa:String:JSON >/dev/null 2>&1");
    PrivatePipeWire::run("kill-server");
    PrivatePipeWire::run("start");
  }
};

bool waitForNode(const std::string& name) {
  return shell("for i in $(seq 50); do pw-cli ls Node | grep -q '\"" + name +
               "\"' && exit 0; sleep 0.1; done; exit 1") == 0;
}

bool makeDefaultSink(const std::string& name) {
  return shell("pw-metadata -n default 0 default.configured.audio.sink '{\"name\":\"" + name +
               "\"}' Spa:String:JSON >/dev/null && for i in $(seq 50); do pw-metadata -n "
               "default | grep 'key:.default.audio.sink.' | grep -q '" +
               name + "' && exit 0; sleep 0.1; done; exit 1") == 0;
}

class HostExclusionTest : public E2ETest {
 protected:
  // One second of `tag` from 0.2 s after a loud sound first arrived (a tone's onset inside the
  // window would smear it over every frequency), waiting up to 5 s for it; the samples so far
  // when none came.
  std::vector<std::int16_t> settledSecondOf(HarkwellProcess& h, FrameTag tag) {
    const auto start = Clock::now();
    std::vector<std::int16_t> samples;
    while (Clock::now() - start < std::chrono::seconds(5)) {
      samples = h.samplesSince(tag, start);
      const auto onset = std::find_if(samples.begin(), samples.end(),
                                      [](std::int16_t v) { return std::abs(int{v}) > 8000; });
      if (samples.end() - onset > 3200 + 16000)
        return std::vector<std::int16_t>(onset + 3200, onset + 3200 + 16000);
      sleepFor(0.05);
    }
    return samples;
  }
  // One second of system audio: the other application at its level, the host far below it.
  void expectOnlyTheOtherApplication(HarkwellProcess& h) {
    const auto samples = settledSecondOf(h, FrameTag::tapPCM);
    ASSERT_EQ(samples.size(), 16000u);
    const double level = dbfs(toneAmplitude(samples, 440));
    // At its level, once: a second, delayed copy moves the level either way. Sanitized, a
    // missed cycle in the window can cost a few dB as well.
    EXPECT_LT(level, dbfs(kToneAmplitude) + 1.0) << "the other application is not there once";
    EXPECT_GT(level, dbfs(kToneAmplitude) - (kSanitizedBuild ? 10.0 : 1.0))
        << "the other application is not there once";
    EXPECT_LT(dbfs(toneAmplitude(samples, 1000)), dbfs(kToneAmplitude) - 60.0)
        << "the host's sound leaks";
    EXPECT_FALSE(h.corrupt());
  }
  bool saidOnStderr(const HarkwellProcess& h, const std::string& part) {
    for (const std::string& line : h.stderrLines())
      if (line.find(part) != std::string::npos) return true;
    return false;
  }
  std::string hostTone() { return tone(1000, 2, 8); }
  std::string otherTone() { return tone(440, 2, 8); }
};

TEST_F(HostExclusionTest, HostThatLaunchesThroughAShellIsLeftOutWithItsPlayers) {
  auto h = startHarkwell(Launch::shell);
  InProcessTone own(1000, kToneAmplitude);
  ASSERT_TRUE(own.ok());
  auto pulse = Player::child({"paplay", hostTone()});
  auto alsa = Player::child({"sh", "-c", "aplay -q \"$0\"; :", hostTone()});  // a grandchild
  auto other = Player::orphan({"pw-play", otherTone()});
  expectOnlyTheOtherApplication(*h);
  EXPECT_TRUE(saidOnStderr(*h, "past its launcher sh")) << "the rule is not logged";
}

TEST_F(HostExclusionTest, HostsPulseChildAndAlsaGrandchildAreLeftOut) {
  auto h = startHarkwell();
  auto pulse = Player::child({"paplay", hostTone()});
  auto alsa = Player::child({"sh", "-c", "aplay -q \"$0\"; :", hostTone()});
  auto other = Player::orphan({"aplay", "-q", otherTone()});
  expectOnlyTheOtherApplication(*h);
}

TEST_F(HostExclusionTest, SiblingOfTheLaunchingHelperInTheHostsUnitIsLeftOut) {
  AppUnit unit("host");
  REQUIRE_UNIT(unit);
  auto other = Player::orphan({"paplay", otherTone()});  // started outside the unit
  ASSERT_TRUE(unit.enter());
  // One helper of the host launches Harkwell, another plays: siblings, not descendants.
  auto h = startHarkwell(Launch::helper);
  auto sibling = Player::child({"pw-play", hostTone()});
  expectOnlyTheOtherApplication(*h);
  EXPECT_TRUE(saidOnStderr(*h, "every process of app-hkwtesthost-")) << "the unit is not logged";
}

TEST_F(HostExclusionTest, ParentThatIsPidOneSilencesNothing) {
  // The host double-forked, or died before Harkwell started: PID 1 adopted it.
  auto h = startHarkwell(Launch::orphan);
  auto other = Player::orphan({"paplay", otherTone()});
  const auto samples = settledSecondOf(*h, FrameTag::tapPCM);
  ASSERT_EQ(samples.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(samples, 440)), dbfs(kToneAmplitude), 1.0);
  EXPECT_TRUE(saidOnStderr(*h, "leaves out no process tree (PID 1")) << "the rule is not logged";
}

TEST_F(HostExclusionTest, SubreaperThatOtherApplicationsDescendFromSilencesNothing) {
  // This process stands for the session's service manager: a subreaper whose children are
  // other applications, each in its unit, and which adopts the double-forked Harkwell.
  AppUnit browser("browser");
  REQUIRE_UNIT(browser);
  ASSERT_EQ(::prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
  struct NoLongerASubreaper {
    ~NoLongerASubreaper() { ::prctl(PR_SET_CHILD_SUBREAPER, 0); }
  } reset;
  auto other = Player::childIn(browser.path(), {"pw-play", otherTone()});
  sleepFor(0.3);
  auto h = startHarkwell(Launch::orphan);
  const auto stat = platform::procfs::readSmallFile("/proc/" + std::to_string(h->pid()) + "/stat");
  ASSERT_TRUE(stat);
  ASSERT_EQ(platform::procfs::parentFromStat(*stat), ::getpid())
      << "Harkwell was not adopted by the subreaper";
  const auto samples = settledSecondOf(*h, FrameTag::tapPCM);
  ASSERT_EQ(samples.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(samples, 440)), dbfs(kToneAmplitude), 1.0);
}

TEST_F(HostExclusionTest, HostsPlayersInPidNamespacesAreLeftOut) {
  auto h = startHarkwell();
  // The client's own idea of its PID is its id inside the namespace.
  auto pulse = Player::child({"unshare", "--pid", "--fork", "--mount-proc", "paplay", hostTone()});
  auto native =
      Player::child({"unshare", "--pid", "--fork", "--mount-proc", "pw-play", hostTone()});
  // Another application in a sandbox of its own. It plays natively: a PulseAudio client would
  // make the same claim as the host's (paplay, PID 1), and two identical claims are left in
  // system audio, as nobody can tell them apart.
  auto other =
      Player::orphan({"unshare", "--pid", "--fork", "--mount-proc", "pw-play", otherTone()});
  expectOnlyTheOtherApplication(*h);
}

struct VirtualSink {
  const char* name;
  const char* sink;
  std::vector<std::string> replay;  // a process that stays for as long as the sink
  const char* load;                 // or a module loaded through pipewire-pulse
};

void PrintTo(const VirtualSink& v, std::ostream* out) {
  *out << v.name;
}

class VirtualSinkTest : public HostExclusionTest,
                        public ::testing::WithParamInterface<VirtualSink> {};

TEST_P(VirtualSinkTest, DefaultVirtualSinkCarriesEachSoundOnceAndNotTheHosts) {
  const VirtualSink& v = GetParam();
  FreshSessionAfterwards fresh;
  std::unique_ptr<Player> replay;
  if (!v.replay.empty()) replay = Player::orphan(v.replay);
  if (v.load != nullptr) {
    ASSERT_EQ(shell(std::string("pactl load-module ") + v.load + " >/dev/null"), 0);
  }
  ASSERT_TRUE(waitForNode(v.sink)) << v.sink << " did not appear";
  ASSERT_TRUE(makeDefaultSink(v.sink));
  auto h = startHarkwell();
  InProcessTone own(1000, kToneAmplitude);
  ASSERT_TRUE(own.ok());
  auto other = Player::orphan({"paplay", otherTone()});
  expectOnlyTheOtherApplication(*h);
}

INSTANTIATE_TEST_SUITE_P(
    Sinks, VirtualSinkTest,
    ::testing::Values(
        VirtualSink{"Loopback",
                    "hkw-effects-sink",
                    {"pw-loopback", "-n", "hkw-effects",
                     "--capture-props=media.class=Audio/Sink node.name=hkw-effects-sink "
                     "audio.position=[FL FR]",
                     "--playback-props=target.object=harkwell-test-speaker"},
                    nullptr},
        VirtualSink{"EchoCancel", "echo-cancel-sink", {}, "module-echo-cancel"}),
    [](const auto& param) { return std::string(param.param.name); });

TEST_F(HostExclusionTest, MicrophoneIsNeverASinksMonitor) {
  struct MicBackAfterwards {
    ~MicBackAfterwards() { PrivatePipeWire::run("mic-on"); }
  } micBack;
  FreshSessionAfterwards fresh;
  auto speaker = Player::orphan({"pw-play", tone(440, 2, 20)});
  // No microphone at start: WirePlumber offers the speaker's monitor as the default source.
  ASSERT_TRUE(PrivatePipeWire::run("mic-off"));
  auto h = startHarkwell();
  sleepFor(2.0);
  bool reported = false;
  for (const Frame& f : h->frames())
    reported =
        reported ||
        f.text == R"j({"type":"error","msg":"mic_start: No microphone input available (sr=0)"})j";
  EXPECT_TRUE(reported) << "no mic_start error";
  EXPECT_TRUE(h->samplesSince(FrameTag::micPCM, Clock::time_point{}).empty())
      << "micPCM carries the speaker";

  // Plugged in: the specified rebuild brings the microphone up.
  ASSERT_TRUE(PrivatePipeWire::run("mic-on"));
  ASSERT_TRUE(h->waitForStderr("[velto] MicCapture reconfigured (input sr=48000.0 ch=1)", 8))
      << "no rebuild when the microphone came; Harkwell said:" << h->said()
      << "\nthe server's defaults:" << shellOutput("pw-metadata -n default");
  {
    auto voice =
        Player::orphan({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 6)});
    const auto mic = settledSecondOf(*h, FrameTag::micPCM);
    ASSERT_EQ(mic.size(), 16000u);
    EXPECT_NEAR(dbfs(toneAmplitude(mic, 1000)), dbfs(kToneAmplitude), 1.0);
    EXPECT_LT(dbfs(toneAmplitude(mic, 440)), dbfs(kToneAmplitude) - 60.0);
  }

  // Unplugged during capture: the stream is not moved on to the monitor.
  ASSERT_TRUE(PrivatePipeWire::run("mic-off"));
  const auto unplugged = Clock::now();
  sleepFor(3.0);
  const auto after = h->samplesSince(FrameTag::micPCM, unplugged);
  if (!after.empty()) {
    EXPECT_LT(dbfs(toneAmplitude(after, 440)), dbfs(kToneAmplitude) - 60.0)
        << "micPCM carries the speaker after the microphone went";
  }
}

TEST_F(HostExclusionTest, MicrophoneIsFollowedWhileTheServerWithholdsTheDefaults) {
  struct MicBackAfterwards {
    ~MicBackAfterwards() { PrivatePipeWire::run("mic-on"); }
  } micBack;
  FreshSessionAfterwards fresh;  // the server's bindings of the defaults stay deaf
  ASSERT_TRUE(PrivatePipeWire::run("mic-off"));
  auto h = startHarkwell();
  ASSERT_TRUE(
      h->waitForStderr("[velto][ERROR] mic start failed: No microphone input available (sr=0)", 5))
      << h->said();
  // From here on the server sends Harkwell's binding no update: WirePlumber's move of the
  // default source to the new microphone reaches only new bindings.
  ASSERT_TRUE(PrivatePipeWire::run("deafen"));
  ASSERT_TRUE(PrivatePipeWire::run("mic-on"));
  ASSERT_TRUE(h->waitForStderr("[velto] MicCapture reconfigured (input sr=48000.0 ch=1)", 8))
      << "the new default source was not followed; Harkwell said:" << h->said();
  auto voice = Player::orphan({"pw-play", "--target", "harkwell-test-mic-input", tone(1000, 1, 6)});
  const auto mic = settledSecondOf(*h, FrameTag::micPCM);
  ASSERT_EQ(mic.size(), 16000u);
  EXPECT_NEAR(dbfs(toneAmplitude(mic, 1000)), dbfs(kToneAmplitude), 1.0);
}

}  // namespace
}  // namespace harkwell::test
