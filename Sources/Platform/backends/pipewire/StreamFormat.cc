// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/StreamFormat.h"

#include <algorithm>
#include <cstring>

namespace platform::pw {

const spa_pod* buildFloatFormat(std::uint8_t* buffer, std::uint32_t size,
                                const std::vector<std::uint32_t>& positions, std::uint32_t rate,
                                bool planar) {
  spa_pod_builder b{};
  spa_pod_builder_init(&b, buffer, size);
  spa_audio_info_raw info{};
  info.format = planar ? SPA_AUDIO_FORMAT_F32P : SPA_AUDIO_FORMAT_F32;
  info.rate = rate;
  info.channels = static_cast<std::uint32_t>(positions.size());
  for (std::size_t i = 0; i < positions.size() && i < SPA_AUDIO_MAX_CHANNELS; ++i)
    info.position[i] = positions[i];
  return spa_format_audio_raw_build(&b, SPA_PARAM_EnumFormat, &info);
}

RawFormat parseRawFormat(const spa_pod* param) {
  if (param == nullptr) return {};
  std::uint32_t mediaType = 0;
  std::uint32_t mediaSubtype = 0;
  if (spa_format_parse(param, &mediaType, &mediaSubtype) < 0) return {};
  if (mediaType != SPA_MEDIA_TYPE_audio || mediaSubtype != SPA_MEDIA_SUBTYPE_raw) return {};
  spa_audio_info_raw info{};
  if (spa_format_audio_raw_parse(param, &info) < 0) return {};
  return {info.rate, info.channels};
}

std::uint32_t channelPosition(const std::string& name) {
  static const struct {
    const char* name;
    std::uint32_t position;
  } kTable[] = {
      {"MONO", SPA_AUDIO_CHANNEL_MONO}, {"FL", SPA_AUDIO_CHANNEL_FL},
      {"FR", SPA_AUDIO_CHANNEL_FR},     {"FC", SPA_AUDIO_CHANNEL_FC},
      {"LFE", SPA_AUDIO_CHANNEL_LFE},   {"SL", SPA_AUDIO_CHANNEL_SL},
      {"SR", SPA_AUDIO_CHANNEL_SR},     {"RL", SPA_AUDIO_CHANNEL_RL},
      {"RR", SPA_AUDIO_CHANNEL_RR},     {"FLC", SPA_AUDIO_CHANNEL_FLC},
      {"FRC", SPA_AUDIO_CHANNEL_FRC},   {"RC", SPA_AUDIO_CHANNEL_RC},
  };
  for (const auto& e : kTable)
    if (name == e.name) return e.position;
  return SPA_AUDIO_CHANNEL_UNKNOWN;
}

void setCommonStreamProperties(pw_properties* props, const char* latency) {
  pw_properties_set(props, PW_KEY_MEDIA_TYPE, "Audio");
  pw_properties_set(props, PW_KEY_MEDIA_CATEGORY, "Capture");
  pw_properties_set(props, PW_KEY_NODE_LATENCY, latency);
  pw_properties_set(props, PW_KEY_APP_NAME, "Harkwell");
  // WirePlumber must not remember or restore where these streams go.
  pw_properties_set(props, "state.restore-props", "false");
  pw_properties_set(props, "state.restore-target", "false");
}

std::uint32_t mapPlanes(const spa_buffer& buf, std::uint32_t channels, const float** planes) {
  if (channels == 0) return 0;
  std::uint32_t frames = UINT32_MAX;
  for (std::uint32_t c = 0; c < channels; ++c) {
    const spa_data& d = buf.datas[c];
    if (d.data == nullptr || d.chunk == nullptr) return 0;
    const std::uint32_t offset = std::min(d.chunk->offset, d.maxsize);
    const std::uint32_t size = std::min(d.chunk->size, d.maxsize - offset);
    planes[c] = reinterpret_cast<const float*>(static_cast<const std::uint8_t*>(d.data) + offset);
    frames = std::min<std::uint32_t>(frames, size / sizeof(float));
  }
  return frames;
}

}  // namespace platform::pw
