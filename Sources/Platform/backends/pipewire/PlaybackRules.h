// SPDX-License-Identifier: MIT
// Which playback streams make up system audio: each sound once, never the host's.
//
// A playback stream that replays a virtual sink is not taken: the output of a loopback, filter
// chain, echo canceller or effects sink, recognised by sharing a node.group or node.link-group
// with a sink (the virtual sink itself) or with a capture stream that records a sink's
// monitor. The applications that play into that sink are taken one by one instead, so each
// sound comes once and the host's own stays out even when it plays through such a sink.
#pragma once

#include "Platform/backends/pipewire/Graph.h"

namespace platform::pw {

bool isReplay(const Graph& graph, const GraphNode& node);

}  // namespace platform::pw
