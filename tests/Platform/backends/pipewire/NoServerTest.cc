// SPDX-License-Identifier: MIT
// The PipeWire backend when no server can be reached: every call fails the way the capture
// paths report, and nothing hangs.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>

#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/backends/pipewire/PipeWireBackend.h"

namespace platform::pw {
namespace {

PipeWireBackend& backendWithoutServer() {
  static PipeWireBackend* const backend = [] {
    static char dir[] = "/tmp/hkw-noserver-XXXXXX";
    if (::mkdtemp(dir) == nullptr) std::abort();
    ::setenv("XDG_RUNTIME_DIR", dir, 1);
    ::setenv("PIPEWIRE_RUNTIME_DIR", dir, 1);
    ::unsetenv("PIPEWIRE_REMOTE");
    static harkwell::NeverDestroyed<PipeWireBackend> made(500);  // like the program's
    ::rmdir(dir);  // empty; no server appears in it either way
    return &*made;
  }();
  return *backend;
}

constexpr AudioObjectPropertyAddress address(AudioObjectPropertySelector selector) {
  return {selector, kAudioObjectPropertyScopeGlobal, kAudioObjectPropertyElementMain};
}

TEST(NoServerTest, TapAndDeviceCallsReportNotRunning) {
  PipeWireBackend& b = backendWithoutServer();
  EXPECT_TRUE(b.supportsProcessTaps());
  EXPECT_EQ(b.microphoneAuthorizationStatus(), AVAuthorizationStatus::authorized);

  AudioObjectID device = 99;
  std::uint32_t size = sizeof device;
  EXPECT_EQ(b.getPropertyData(kAudioObjectSystemObject,
                              address(kAudioHardwarePropertyDefaultOutputDevice), 0, nullptr, &size,
                              &device),
            kAudioHardwareNotRunningError);

  auto description = CATapDescription::monoGlobalTapButExcludeProcesses({});
  AudioObjectID tap = 0;
  EXPECT_EQ(b.createProcessTap(*description, &tap), kAudioHardwareNotRunningError);
  EXPECT_EQ(tap, 0u);

  AudioObjectID aggregate = 0;
  EXPECT_EQ(b.createAggregateDevice({}, &aggregate), kAudioHardwareNotRunningError);
  EXPECT_EQ(b.destroyProcessTap(12345), kAudioHardwareBadObjectError);
}

TEST(NoServerTest, ProcessObjectsExistForLivePidsOnly) {
  PipeWireBackend& b = backendWithoutServer();
  const std::int32_t self = ::getpid();
  AudioObjectID process = 0;
  std::uint32_t size = sizeof process;
  ASSERT_EQ(b.getPropertyData(kAudioObjectSystemObject,
                              address(kAudioHardwarePropertyTranslatePIDToProcessObject),
                              sizeof self, &self, &size, &process),
            noErr);
  EXPECT_NE(process, 0u);
  AudioObjectID again = 0;
  b.getPropertyData(kAudioObjectSystemObject,
                    address(kAudioHardwarePropertyTranslatePIDToProcessObject), sizeof self, &self,
                    &size, &again);
  EXPECT_EQ(again, process);

  const std::int32_t gone = 0x3fffffff;
  AudioObjectID none = 7;
  EXPECT_EQ(b.getPropertyData(kAudioObjectSystemObject,
                              address(kAudioHardwarePropertyTranslatePIDToProcessObject),
                              sizeof gone, &gone, &size, &none),
            noErr);
  EXPECT_EQ(none, 0u);
  // A qualifier of the wrong size is refused.
  EXPECT_EQ(b.getPropertyData(kAudioObjectSystemObject,
                              address(kAudioHardwarePropertyTranslatePIDToProcessObject), 2, &self,
                              &size, &none),
            kAudioHardwareBadPropertySizeError);
  // Objects the backend never handed out, and properties objects do not have.
  EXPECT_EQ(
      b.getPropertyData(0xdead, address(kAudioDevicePropertyDeviceUID), 0, nullptr, &size, &none),
      kAudioHardwareBadObjectError);
  EXPECT_EQ(b.getPropertyData(kAudioObjectSystemObject, address(fourCC("zzzz")), 0, nullptr, &size,
                              &none),
            kAudioHardwareUnknownPropertyError);
}

TEST(NoServerTest, EngineHasNoInputAndRefusesTapsAndStart) {
  auto engine = backendWithoutServer().makeEngine();
  AVAudioInputNode& input = engine->inputNode();
  EXPECT_EQ(input.outputFormatForBus(0).sampleRate(), 0.0);
  const AVAudioFormat format(AVAudioCommonFormat::pcmFormatFloat32, 48000, 1, false);
  EXPECT_THROW(
      input.installTapOnBus(0, 4800, format, [](const AVAudioPCMBuffer&, const AVAudioTime&) {}),
      NSException);
  input.removeTapOnBus(0);  // none: nothing happens
  std::optional<NSError> error;
  EXPECT_FALSE(engine->startAndReturnError(&error));
  ASSERT_TRUE(error.has_value());
  EXPECT_FALSE(engine->isRunning());
  engine->stop();
}

}  // namespace
}  // namespace platform::pw
