// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/PlaybackRules.h"

namespace platform::pw {

namespace {

bool sameGroup(const GraphNode& a, const GraphNode& b) {
  return (!a.linkGroup.empty() && a.linkGroup == b.linkGroup) ||
         (!a.group.empty() && a.group == b.group);
}

bool isSink(const GraphNode& node) {
  return node.mediaClass.rfind("Audio/Sink", 0) == 0;
}

// A capture stream fed from a sink's monitor.
bool recordsASink(const Graph& graph, const GraphNode& node) {
  if (node.capturesSink) return true;
  if (node.mediaClass != "Stream/Input/Audio") return false;
  for (const auto& [id, link] : graph.links()) {
    if (link.inputNode != node.id) continue;
    const GraphNode* from = graph.node(link.outputNode);
    if (from != nullptr && isSink(*from)) return true;
  }
  return false;
}

}  // namespace

bool isReplay(const Graph& graph, const GraphNode& node) {
  if (node.linkGroup.empty() && node.group.empty()) return false;
  for (const auto& [id, other] : graph.nodes()) {
    if (id == node.id || !sameGroup(node, other)) continue;
    if (isSink(other) || recordsASink(graph, other)) return true;
  }
  return false;
}

}  // namespace platform::pw
