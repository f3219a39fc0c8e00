// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/TapStream.h"

#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <set>

#include "Platform/backends/pipewire/PlaybackRules.h"
#include "Platform/backends/pipewire/StreamFormat.h"

namespace platform::pw {

namespace {

// About 2.7 s of one channel at 48 kHz; a cycle is at most 8192 frames.
constexpr std::uint32_t kRingSamples = 1u << 17;
constexpr std::uint32_t kRingCycles = 1024;
constexpr const char* kLatency = "1024/48000";

enum class Side { left, right, both, none };

Side sideOf(const std::string& channel) {
  static const char* const kLeft[] = {"FL", "SL", "RL", "FLC", "FLW", "TFL", "TRL"};
  static const char* const kRight[] = {"FR", "SR", "RR", "FRC", "FRW", "TFR", "TRR"};
  for (const char* c : kLeft)
    if (channel == c) return Side::left;
  for (const char* c : kRight)
    if (channel == c) return Side::right;
  if (channel == "LFE" || channel == "LFE2") return Side::none;
  return Side::both;
}

bool isSilent(const float* samples, std::uint32_t frames) {
  for (std::uint32_t i = 0; i < frames; ++i)
    if (samples[i] != 0.0f) return false;
  return true;
}

}  // namespace

const pw_stream_events TapStream::kTapEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .param_changed = &TapStream::onParamChanged,
    .process = &TapStream::onProcess,
};

const pw_stream_events TapStream::kAnchorEvents = {
    .version = PW_VERSION_STREAM_EVENTS,
    .process = &TapStream::onAnchorProcess,
};

TapStream::TapStream(std::vector<host::Host> excluded, std::string group)
    : excluded_(std::move(excluded)), group_(std::move(group)), ring_(kRingSamples, kRingCycles) {}

pw_stream* TapStream::makeStream(pw_core* core, const char* name, bool anchor) {
  pw_properties* props = pw_properties_new(nullptr, nullptr);
  setCommonStreamProperties(props, kLatency);
  pw_properties_set(props, PW_KEY_NODE_NAME, name);
  pw_properties_set(props, PW_KEY_NODE_GROUP, group_.c_str());
  pw_properties_set(props, PW_KEY_NODE_DESCRIPTION,
                    anchor ? "Harkwell tap clock" : "Quillet System Audio Tap");
  pw_properties_set(props, "harkwell.role", anchor ? "anchor" : "tap");
  if (anchor) {
    pw_properties_set(props, PW_KEY_STREAM_CAPTURE_SINK, "true");
  } else {
    pw_properties_set(props, PW_KEY_NODE_AUTOCONNECT, "false");
    pw_properties_set(props, PW_KEY_NODE_ALWAYS_PROCESS, "true");
  }
  pw_stream* stream = pw_stream_new(core, name, props);
  if (stream == nullptr) return nullptr;
  if (anchor)
    pw_stream_add_listener(stream, &anchorListener_, &kAnchorEvents, this);
  else
    pw_stream_add_listener(stream, &tapListener_, &kTapEvents, this);

  std::uint8_t buffer[1024];
  const std::vector<std::uint32_t> positions =
      std::vector<std::uint32_t>{SPA_AUDIO_CHANNEL_FL, SPA_AUDIO_CHANNEL_FR};
  const spa_pod* params[1] = {buildFloatFormat(buffer, sizeof buffer, positions, 0, true)};
  auto flags = static_cast<pw_stream_flags>(PW_STREAM_FLAG_MAP_BUFFERS | PW_STREAM_FLAG_RT_PROCESS |
                                            (anchor ? PW_STREAM_FLAG_AUTOCONNECT : 0));
  if (pw_stream_connect(stream, PW_DIRECTION_INPUT, PW_ID_ANY, flags, params, 1) < 0) {
    pw_stream_destroy(stream);
    return nullptr;
  }
  return stream;
}

void TapStream::build(pw_core* core) {
  if (tap_ != nullptr || core == nullptr) return;
  const std::string name = "harkwell-tap-" + std::to_string(::getpid());
  tap_ = makeStream(core, name.c_str(), false);
  if (anchored_ && anchor_ == nullptr) {
    const std::string anchorName = "harkwell-tap-clock-" + std::to_string(::getpid());
    anchor_ = makeStream(core, anchorName.c_str(), true);
  }
}

void TapStream::setAnchored(bool anchored, pw_core* core) {
  anchored_ = anchored;
  if (anchored && anchor_ == nullptr && tap_ != nullptr && core != nullptr) {
    const std::string anchorName = "harkwell-tap-clock-" + std::to_string(::getpid());
    anchor_ = makeStream(core, anchorName.c_str(), true);
  } else if (!anchored && anchor_ != nullptr) {
    spa_hook_remove(&anchorListener_);
    pw_stream_destroy(anchor_);
    anchor_ = nullptr;
  }
}

void TapStream::dropLinks() {
  for (auto& [ports, proxy] : links_) pw_proxy_destroy(proxy);
  links_.clear();
}

void TapStream::teardown() {
  dropLinks();
  if (anchor_ != nullptr) {
    spa_hook_remove(&anchorListener_);
    pw_stream_destroy(anchor_);
    anchor_ = nullptr;
  }
  if (tap_ != nullptr) {
    spa_hook_remove(&tapListener_);
    pw_stream_destroy(tap_);
    tap_ = nullptr;
  }
}

bool TapStream::isExcluded(std::uint32_t clientId, pid_t pid) const {
  const auto key = std::make_pair(clientId, pid);
  if (auto it = verdicts_.find(key); it != verdicts_.end()) return it->second;
  bool excluded = false;
  for (const host::Host& h : excluded_) excluded = excluded || host::isHostProcess(h, pid);
  // Forget clients that are gone now and then, so the table stays the size of the graph.
  if (verdicts_.size() > 4096) verdicts_.clear();
  verdicts_[key] = excluded;
  return excluded;
}

bool TapStream::wantsNode(const Graph& graph, const GraphNode& node) const {
  if (node.mediaClass != "Stream/Output/Audio") return false;
  // Until the client's info arrives nobody knows whose stream it is.
  const auto pid = graph.processOf(node);
  if (!pid) return false;
  if (*pid == ::getpid()) return false;
  if (*pid > 0 && isExcluded(node.clientId, *pid)) return false;
  return !isReplay(graph, node);
}

void TapStream::relink(const Graph& graph, pw_core* core) {
  if (tap_ == nullptr || core == nullptr) return;
  const std::uint32_t tapNode = pw_stream_get_node_id(tap_);
  std::uint32_t inLeft = SPA_ID_INVALID;
  std::uint32_t inRight = SPA_ID_INVALID;
  for (const auto& [id, port] : graph.ports()) {
    if (port.nodeId != tapNode || port.output) continue;
    if (port.channel == "FL") inLeft = id;
    if (port.channel == "FR") inRight = id;
  }

  std::set<std::pair<std::uint32_t, std::uint32_t>> wanted;
  if (tapNode != SPA_ID_INVALID && inLeft != SPA_ID_INVALID && inRight != SPA_ID_INVALID) {
    std::set<std::uint32_t> sources;
    for (const auto& [id, node] : graph.nodes())
      if (wantsNode(graph, node)) sources.insert(id);
    for (const auto& [id, port] : graph.ports()) {
      if (!port.output || port.monitor || sources.count(port.nodeId) == 0) continue;
      switch (sideOf(port.channel)) {
        case Side::left:
          wanted.insert({id, inLeft});
          break;
        case Side::right:
          wanted.insert({id, inRight});
          break;
        case Side::both:
          wanted.insert({id, inLeft});
          wanted.insert({id, inRight});
          break;
        case Side::none:
          break;
      }
    }
  }

  for (auto it = links_.begin(); it != links_.end();) {
    if (wanted.count(it->first) == 0) {
      pw_proxy_destroy(it->second);
      it = links_.erase(it);
    } else {
      ++it;
    }
  }
  for (const auto& [out, in] : wanted) {
    if (links_.count({out, in}) != 0) continue;
    const GraphPort& outPort = graph.ports().at(out);
    pw_properties* props = pw_properties_new(nullptr, nullptr);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_NODE, "%u", outPort.nodeId);
    pw_properties_setf(props, PW_KEY_LINK_OUTPUT_PORT, "%u", out);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_NODE, "%u", tapNode);
    pw_properties_setf(props, PW_KEY_LINK_INPUT_PORT, "%u", in);
    pw_properties_set(props, PW_KEY_OBJECT_LINGER, "false");
    pw_proxy* proxy = api::createLink(core, &props->dict);
    pw_properties_free(props);
    if (proxy != nullptr) links_[{out, in}] = proxy;
  }
}

void TapStream::onParamChanged(void* data, std::uint32_t id, const spa_pod* param) {
  auto* self = static_cast<TapStream*>(data);
  if (id != SPA_PARAM_Format) return;
  const RawFormat f = parseRawFormat(param);
  if (f.rate == 0) return;  // cleared while the graph changes rate; the new format follows
  if (f.rate != self->rate_) {
    const bool first = self->rate_ == 0;
    self->rate_ = f.rate;
    if (!first && self->rateChanged_) self->rateChanged_();
  }
}

void TapStream::onProcess(void* data) {
  auto* self = static_cast<TapStream*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(self->tap_);
  if (b == nullptr) return;
  // One plane per channel (left, right): each playback stream arrives at its own level in
  // each, so their mean is the stream mixed to one channel.
  const float* planes[2] = {nullptr, nullptr};
  const std::uint32_t count = std::min<std::uint32_t>(b->buffer->n_datas, 2);
  const std::uint32_t frames = mapPlanes(*b->buffer, count, planes);
  const float* left = planes[0];
  const float* right = count == 2 ? planes[1] : planes[0];
  CycleFilter::Decision keep;
  pw_time time{};
  if (frames > 0 && pw_stream_get_time_n(self->tap_, &time, sizeof time) == 0 && time.now != 0)
    keep = self->filter_.next(time.now, time.ticks, frames,
                              isSilent(left, frames) && isSilent(right, frames));
  if (self->delivering_.load(std::memory_order_acquire)) {
    if (keep.heldSilence > 0)
      self->ring_.push(keep.heldSilence, 1,
                       [&](float* out) { std::fill_n(out, keep.heldSilence, 0.0f); });
    if (frames > 0 && keep.keep)
      self->ring_.push(frames, 1, [&](float* out) {
        for (std::uint32_t i = 0; i < frames; ++i) out[i] = 0.5f * (left[i] + right[i]);
      });
    if (keep.heldSilence > 0 || (frames > 0 && keep.keep)) self->wakeup_.signal();
  }
  pw_stream_queue_buffer(self->tap_, b);
}

void TapStream::onAnchorProcess(void* data) {
  auto* self = static_cast<TapStream*>(data);
  pw_buffer* b = pw_stream_dequeue_buffer(self->anchor_);
  if (b != nullptr) pw_stream_queue_buffer(self->anchor_, b);
}

}  // namespace platform::pw
