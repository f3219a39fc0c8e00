// SPDX-License-Identifier: MIT
// The converters the benchmark compares, each doing the capture paths' job: interleaved
// stereo float32 in, int16 mono at 16000 Hz out, state kept from buffer to buffer.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

namespace bench {

enum class EngineKind { harkwell, soxrDirect, libsamplerate, speexdsp };
inline constexpr EngineKind kEngines[] = {EngineKind::harkwell, EngineKind::soxrDirect,
                                          EngineKind::libsamplerate, EngineKind::speexdsp};
const char* engineName(EngineKind kind);

class Engine {
 public:
  virtual ~Engine() = default;
  // Converts `frames` stereo frames (at most kMaxFrames); returns the int16 frames produced.
  virtual std::size_t process(float* stereo, std::size_t frames) = 0;
  static constexpr std::size_t kMaxFrames = 8192;
};

std::unique_ptr<Engine> makeEngine(EngineKind kind, double inputRate);

}  // namespace bench
