// SPDX-License-Identifier: MIT
// Plain types, constants and statuses of the audio hardware layer.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace platform {

using OSStatus = std::int32_t;
using AudioObjectID = std::uint32_t;
using AudioObjectPropertySelector = std::uint32_t;
using AudioObjectPropertyScope = std::uint32_t;
using AudioObjectPropertyElement = std::uint32_t;
using AudioDeviceIOProcID = std::uint64_t;  // opaque, chosen by the backend

constexpr std::uint32_t fourCC(const char (&code)[5]) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(code[0])) << 24) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[1])) << 16) |
         (static_cast<std::uint32_t>(static_cast<unsigned char>(code[2])) << 8) |
         static_cast<std::uint32_t>(static_cast<unsigned char>(code[3]));
}

inline constexpr AudioObjectID kAudioObjectUnknown = 0;
inline constexpr AudioObjectID kAudioObjectSystemObject = 1;

inline constexpr AudioObjectPropertyScope kAudioObjectPropertyScopeGlobal = fourCC("glob");
inline constexpr AudioObjectPropertyElement kAudioObjectPropertyElementMain = 0;

inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyTranslatePIDToProcessObject =
    fourCC("id2p");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultOutputDevice =
    fourCC("dOut");
inline constexpr AudioObjectPropertySelector kAudioHardwarePropertyDefaultInputDevice =
    fourCC("dIn ");
inline constexpr AudioObjectPropertySelector kAudioDevicePropertyDeviceUID = fourCC("uid ");
inline constexpr AudioObjectPropertySelector kAudioTapPropertyFormat = fourCC("tfmt");

struct AudioObjectPropertyAddress {
  AudioObjectPropertySelector mSelector;
  AudioObjectPropertyScope mScope;
  AudioObjectPropertyElement mElement;
  friend bool operator==(const AudioObjectPropertyAddress&,
                         const AudioObjectPropertyAddress&) = default;
};

// Statuses.
inline constexpr OSStatus noErr = 0;
inline constexpr OSStatus kAudioHardwareNotRunningError = static_cast<OSStatus>(fourCC("stop"));
inline constexpr OSStatus kAudioHardwareUnspecifiedError = static_cast<OSStatus>(fourCC("what"));
inline constexpr OSStatus kAudioHardwareUnknownPropertyError =
    static_cast<OSStatus>(fourCC("who?"));
inline constexpr OSStatus kAudioHardwareBadPropertySizeError =
    static_cast<OSStatus>(fourCC("!siz"));
inline constexpr OSStatus kAudioHardwareIllegalOperationError =
    static_cast<OSStatus>(fourCC("nope"));
inline constexpr OSStatus kAudioHardwareBadObjectError = static_cast<OSStatus>(fourCC("!obj"));
inline constexpr OSStatus kAudioHardwareBadDeviceError = static_cast<OSStatus>(fourCC("!dev"));
inline constexpr OSStatus kAudioHardwareBadStreamError = static_cast<OSStatus>(fourCC("!str"));
inline constexpr OSStatus kAudioHardwareUnsupportedOperationError =
    static_cast<OSStatus>(fourCC("unop"));
inline constexpr OSStatus kAudioDeviceUnsupportedFormatError =
    static_cast<OSStatus>(fourCC("!dat"));

// A device UID as the hardware layer hands it out: a pointer to a string that the backend keeps
// for the life of the process (8 bytes, like the platform's string reference).
using CFStringRef = const std::string*;

// Linear PCM stream description (40 bytes).
inline constexpr std::uint32_t kAudioFormatLinearPCM = fourCC("lpcm");
inline constexpr std::uint32_t kAudioFormatFlagIsFloat = 1u << 0;
inline constexpr std::uint32_t kAudioFormatFlagIsBigEndian = 1u << 1;
inline constexpr std::uint32_t kAudioFormatFlagIsSignedInteger = 1u << 2;
inline constexpr std::uint32_t kAudioFormatFlagIsPacked = 1u << 3;
inline constexpr std::uint32_t kAudioFormatFlagIsNonInterleaved = 1u << 5;

struct AudioStreamBasicDescription {
  double mSampleRate;
  std::uint32_t mFormatID;
  std::uint32_t mFormatFlags;
  std::uint32_t mBytesPerPacket;
  std::uint32_t mFramesPerPacket;
  std::uint32_t mBytesPerFrame;
  std::uint32_t mChannelsPerFrame;
  std::uint32_t mBitsPerChannel;
  std::uint32_t mReserved;
};
static_assert(sizeof(AudioStreamBasicDescription) == 40);

struct AudioBuffer {
  std::uint32_t mNumberChannels;
  std::uint32_t mDataByteSize;
  void* mData;
};

// One buffer for interleaved audio, one per channel for non-interleaved audio.
inline constexpr std::uint32_t kMaxAudioBuffers = 8;
struct AudioBufferList {
  std::uint32_t mNumberBuffers;
  std::array<AudioBuffer, kMaxAudioBuffers> mBuffers;
};

struct AudioTimeStamp {
  double mSampleTime;       // frames since the device started
  std::uint64_t mHostTime;  // dispatch clock, nanoseconds
};

}  // namespace platform
