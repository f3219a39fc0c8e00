// SPDX-License-Identifier: MIT
// The program built against the scripted backend, for end-to-end tests of start-up and shutdown.
// HARKWELL_SCRIPTED_SCENARIO, read only by this test build, names what the scripted system does:
// a comma-separated list of
//   mic-no-input     the input node reports sample rate 0
//   mic-denied       microphone authorization status 2
//   mic-frames       the engine delivers 100 ms of silence as soon as it starts
//   tap-refused      process taps are refused with kAudioHardwareNotRunningError
//   no-process-taps  the system cannot make process taps at all
//   unavailable      no backend at all: the program falls back to a machine without audio
#include <unistd.h>

#include <cstdlib>
#include <sstream>
#include <string>

#include "Harkwell/Entry.h"
#include "HarkwellCore/NeverDestroyed.h"
#include "Platform/backends/scripted/ScriptedBackend.h"

namespace {

platform::AudioBackend* makeScriptedBackend() {
  const char* scenario = std::getenv("HARKWELL_SCRIPTED_SCENARIO");
  const std::string list = scenario ? scenario : "";
  if (("," + list + ",").find(",unavailable,") != std::string::npos) return nullptr;
  std::istringstream items(list);
  // Never destroyed: capture threads may reach it until the process exits.
  static harkwell::NeverDestroyed<platform::scripted::ScriptedBackend> held;
  auto* backend = &*held;
  backend->setProcessObject(static_cast<std::int32_t>(getppid()), 77);
  for (std::string item; std::getline(items, item, ',');) {
    if (item == "mic-no-input") {
      backend->setInputFormat(
          platform::AVAudioFormat(platform::AVAudioCommonFormat::pcmFormatFloat32, 0.0, 1, false));
    } else if (item == "mic-denied") {
      backend->setAuthorizationStatus(platform::AVAuthorizationStatus::denied);
    } else if (item == "mic-frames") {
      backend->setBufferOnEngineStart(4800);
    } else if (item == "tap-refused") {
      backend->answerNext("AudioHardwareCreateProcessTap",
                          {platform::kAudioHardwareNotRunningError, {}});
    } else if (item == "no-process-taps") {
      backend->setSupportsProcessTaps(false);
    }
  }
  return backend;
}

}  // namespace

int main(int argc, char** argv) {
  return harkwell::runMain(argc, argv, makeScriptedBackend);
}
