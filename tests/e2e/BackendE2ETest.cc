// SPDX-License-Identifier: MIT
// The backend's hardware-layer answers against the private PipeWire, called in-process as the
// capture paths call them: devices, the tap's format, the aggregate description's checks and
// the I/O procedure's hand-off.
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "E2EFixture.h"
#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/backends/pipewire/PipeWireBackend.h"

namespace harkwell::test {
namespace {

using platform::AudioObjectID;
using platform::AudioObjectPropertyAddress;
using platform::kAudioObjectSystemObject;
using platform::OSStatus;
namespace pw = platform::pw;

AudioObjectPropertyAddress address(platform::AudioObjectPropertySelector selector) {
  return {selector, platform::kAudioObjectPropertyScopeGlobal,
          platform::kAudioObjectPropertyElementMain};
}

class BackendTest : public E2ETest {
 protected:
  // One per process, never destroyed, like the program's.
  static pw::PipeWireBackend& backend() {
    static harkwell::NeverDestroyed<pw::PipeWireBackend> b;
    return *b;
  }

  AudioObjectID device(platform::AudioObjectPropertySelector selector) {
    AudioObjectID id = 0;
    std::uint32_t size = sizeof id;
    EXPECT_EQ(backend().getPropertyData(kAudioObjectSystemObject, address(selector), 0, nullptr,
                                        &size, &id),
              platform::noErr);
    return id;
  }

  std::string uid(AudioObjectID id) {
    platform::CFStringRef text = nullptr;
    std::uint32_t size = sizeof text;
    if (backend().getPropertyData(id, address(platform::kAudioDevicePropertyDeviceUID), 0, nullptr,
                                  &size, &text) != platform::noErr ||
        text == nullptr)
      return {};
    return *text;
  }

  AudioObjectID makeTap(std::string* uuid) {
    auto description = platform::CATapDescription::monoGlobalTapButExcludeProcesses({});
    description->setUUID(platform::NSUUID());
    AudioObjectID tap = 0;
    EXPECT_EQ(backend().createProcessTap(*description, &tap), platform::noErr);
    *uuid = description->UUID().UUIDString();
    return tap;
  }

  harkwell::Value::Object aggregate(const std::string& main, const std::string& tapUUID) {
    using harkwell::Value;
    return {{"name", Value("Quillet-Tap-" + std::to_string(::getpid()))},
            {"uid", Value(platform::NSUUID().UUIDString())},
            {"master", Value(main)},
            {"private", Value(true)},
            {"stacked", Value(false)},
            {"tapautostart", Value(true)},
            {"subdevices", Value(Value::Array{Value(Value::Object{{"uid", Value(main)}})})},
            {"taps", Value(Value::Array{
                         Value(Value::Object{{"drift", Value(true)}, {"uid", Value(tapUUID)}})})}};
  }
};

TEST_F(BackendTest, DefaultDevicesAreTheSessionsSinkAndSource) {
  EXPECT_EQ(uid(device(platform::kAudioHardwarePropertyDefaultOutputDevice)),
            "harkwell-test-speaker");
  EXPECT_EQ(uid(device(platform::kAudioHardwarePropertyDefaultInputDevice)), "harkwell-test-mic");
}

TEST_F(BackendTest, TapFormatIsOneFloatChannelAtTheGraphRate) {
  std::string uuid;
  const AudioObjectID tap = makeTap(&uuid);
  platform::AudioStreamBasicDescription d{};
  std::uint32_t size = sizeof d;
  ASSERT_EQ(backend().getPropertyData(tap, address(platform::kAudioTapPropertyFormat), 0, nullptr,
                                      &size, &d),
            platform::noErr);
  EXPECT_EQ(d.mSampleRate, 48000.0);
  EXPECT_EQ(d.mChannelsPerFrame, 1u);
  EXPECT_EQ(d.mBitsPerChannel, 32u);
  EXPECT_TRUE(d.mFormatFlags & platform::kAudioFormatFlagIsFloat);
  EXPECT_TRUE(platform::AVAudioFormat::fromStreamDescription(d).has_value());
  EXPECT_EQ(backend().destroyProcessTap(tap), platform::noErr);
  EXPECT_EQ(backend().destroyProcessTap(tap), platform::kAudioHardwareBadObjectError);
}

TEST_F(BackendTest, AggregateDescriptionMustNameLiveDevicesAndTaps) {
  std::string uuid;
  const AudioObjectID tap = makeTap(&uuid);
  const std::string speaker = "harkwell-test-speaker";
  struct Case {
    const char* what;
    harkwell::Value::Object description;
    OSStatus status;
  };
  auto noTaps = aggregate(speaker, uuid);
  noTaps.pop_back();
  auto noMain = aggregate(speaker, uuid);
  noMain.erase(noMain.begin() + 2);
  const Case cases[] = {
      {"unknown main device", aggregate("no-such-device", uuid),
       platform::kAudioHardwareBadDeviceError},
      {"unknown tap", aggregate(speaker, platform::NSUUID().UUIDString()),
       platform::kAudioHardwareBadObjectError},
      {"no tap list", noTaps, platform::kAudioHardwareIllegalOperationError},
      {"no main device", noMain, platform::kAudioHardwareIllegalOperationError},
  };
  for (const Case& c : cases) {
    AudioObjectID id = 0;
    EXPECT_EQ(backend().createAggregateDevice(c.description, &id), c.status) << c.what;
    EXPECT_EQ(id, 0u) << c.what;
  }
  AudioObjectID id = 0;
  ASSERT_EQ(backend().createAggregateDevice(aggregate(speaker, uuid), &id), platform::noErr);
  EXPECT_NE(id, 0u);
  // One aggregate device per tap.
  AudioObjectID second = 0;
  EXPECT_EQ(backend().createAggregateDevice(aggregate(speaker, uuid), &second),
            platform::kAudioHardwareIllegalOperationError);
  EXPECT_EQ(backend().destroyAggregateDevice(id), platform::noErr);
  EXPECT_EQ(backend().destroyProcessTap(tap), platform::noErr);
}

TEST_F(BackendTest, IOBlockRunsOnItsQueueWithSilenceUntilStopped) {
  std::string uuid;
  const AudioObjectID tap = makeTap(&uuid);
  AudioObjectID device = 0;
  ASSERT_EQ(backend().createAggregateDevice(aggregate("harkwell-test-speaker", uuid), &device),
            platform::noErr);
  auto queue = platform::DispatchQueue::makeSerial("e2e.io");
  std::atomic<int> cycles{0};
  std::atomic<int> offQueue{0};
  std::atomic<std::uint64_t> frames{0};
  std::optional<platform::AudioDeviceIOProcID> proc;
  ASSERT_EQ(backend().createIOProcID(
                &proc, device, queue,
                [&](const platform::AudioTimeStamp*, const platform::AudioBufferList* in,
                    const platform::AudioTimeStamp*, platform::AudioBufferList*,
                    const platform::AudioTimeStamp*) {
                  if (!queue->isCurrent()) ++offQueue;
                  frames += in->mBuffers[0].mDataByteSize / sizeof(float);
                  ++cycles;
                }),
            platform::noErr);
  ASSERT_TRUE(proc.has_value());
  ASSERT_EQ(backend().deviceStart(device, *proc), platform::noErr);
  sleepFor(2.0);
  EXPECT_EQ(backend().deviceStop(device, *proc), platform::noErr);
  sleepFor(0.2);
  const int atStop = cycles.load();
  sleepFor(0.5);
  // Cycles of the default sink's clock, nothing playing: about 48000 frames a second.
  EXPECT_GT(frames.load(), 80000u);
  EXPECT_LT(frames.load(), 110000u);
  EXPECT_EQ(offQueue.load(), 0);
  EXPECT_EQ(cycles.load(), atStop) << "cycles after AudioDeviceStop";
  EXPECT_EQ(backend().destroyIOProcID(device, *proc), platform::noErr);
  EXPECT_EQ(backend().destroyAggregateDevice(device), platform::noErr);
  EXPECT_EQ(backend().destroyProcessTap(tap), platform::noErr);
}

}  // namespace
}  // namespace harkwell::test
