// SPDX-License-Identifier: MIT
// Building and reading the raw-audio formats of the backend's streams, and their buffers.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Platform/backends/pipewire/PwApi.h"

namespace platform::pw {

// An EnumFormat param for 32-bit float samples with the given channel positions and rate (0:
// any rate, so the stream follows the graph's), interleaved or one plane per channel (the
// graph's own layout, which the stream's converter then passes through). Built into `buffer`.
const spa_pod* buildFloatFormat(std::uint8_t* buffer, std::uint32_t size,
                                const std::vector<std::uint32_t>& positions, std::uint32_t rate,
                                bool planar = false);

// The rate and channel count of a negotiated format; rate 0 when it is not raw audio.
struct RawFormat {
  std::uint32_t rate = 0;
  std::uint32_t channels = 0;
};
RawFormat parseRawFormat(const spa_pod* param);

// The SPA channel position named by an audio.channel value ("FL", "MONO", ...).
std::uint32_t channelPosition(const std::string& name);

// Points planes[0..channels) at the samples of the first `channels` planes of a planar float
// buffer (the caller keeps `channels` within buf.n_datas) and returns the frames all of them
// hold; 0 when a plane is missing. Chunk offsets and sizes are clamped to the mapped memory.
std::uint32_t mapPlanes(const spa_buffer& buf, std::uint32_t channels, const float** planes);

// Properties shared by every stream the backend makes.
void setCommonStreamProperties(pw_properties* props, const char* latency);

}  // namespace platform::pw
