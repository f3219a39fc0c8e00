// SPDX-License-Identifier: MIT
// What the backend knows of the PipeWire graph: nodes, ports, clients with their process ids,
// the default sink and source, and the graph's clock rate. Filled from the registry on the
// loop thread; read with the loop lock held.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "Platform/apps/HostIdentity.h"
#include "Platform/backends/pipewire/PwApi.h"

namespace platform::pw {

struct GraphNode {
  std::uint32_t id = 0;
  std::string name;        // node.name
  std::string mediaClass;  // media.class
  std::string group;       // node.group
  std::string linkGroup;   // node.link-group
  std::uint32_t clientId = SPA_ID_INVALID;
  bool capturesSink = false;  // stream.capture.sink
};

struct GraphLink {
  std::uint32_t id = 0;
  std::uint32_t outputNode = 0;
  std::uint32_t inputNode = 0;
};

struct GraphPort {
  std::uint32_t id = 0;
  std::uint32_t nodeId = 0;
  bool output = false;
  bool monitor = false;
  std::string channel;  // audio.channel
};

class Graph {
 public:
  // Called on the loop thread after every change the backend may care about.
  explicit Graph(std::function<void()> changed);
  ~Graph();
  Graph(const Graph&) = delete;
  Graph& operator=(const Graph&) = delete;

  void attach(pw_core* core);  // listens to the core's registry
  void detach();               // drops every proxy and forgets the graph

  const std::map<std::uint32_t, GraphNode>& nodes() const { return nodes_; }
  const std::map<std::uint32_t, GraphPort>& ports() const { return ports_; }
  const std::map<std::uint32_t, GraphLink>& links() const { return links_; }
  const GraphNode* node(std::uint32_t id) const;
  const GraphNode* nodeNamed(const std::string& name) const;
  // The process of a node's client once the client's info has arrived: the PID that can be
  // trusted (see host::trustedPid), 0 when none can.
  std::optional<pid_t> processOf(const GraphNode& node) const;

  const std::string& defaultSink() const { return defaultSink_; }
  const std::string& defaultSource() const { return defaultSource_; }
  bool hasDefaultMetadata() const { return defaultMetadata_ != nullptr; }
  // Asks the server for every default afresh (binds the default-device metadata again). A
  // binding does not hear every change: while any binding waits for its first answer from the
  // session manager, the server passes the metadata's updates only to the bindings still
  // waiting, and for good once a client goes away during that wait, so a change made while any
  // client binds can be lost. The graph confirms the defaults itself after devices or clients
  // come and go; a caller that finds no usable default asks for this. Loop lock held.
  void refreshDefaults();
  // The rate the graph runs at: the forced rate, else the configured clock rate.
  std::uint32_t graphRate() const { return forceRate_ != 0 ? forceRate_ : clockRate_; }

 private:
  struct Client;
  struct Metadata;
  struct NodeProxy;

  static void onGlobal(void* data, std::uint32_t id, std::uint32_t permissions, const char* type,
                       std::uint32_t version, const spa_dict* props);
  static void onGlobalRemove(void* data, std::uint32_t id);
  static const pw_registry_events kRegistryEvents;
  void bindClient(std::uint32_t id);
  void bindMetadata(std::uint32_t id, const std::string& name);
  void onMetadataProperty(Metadata& md, const char* key, const char* value);
  void onClientInfo(Client& client, const spa_dict* props);
  void bindNode(std::uint32_t id);
  void onNodeInfo(std::uint32_t id, const spa_dict* props);
  void dropNodeProxy(std::uint32_t id);
  // Binds the default metadata again `delayNs` from now; re-armed by every call, so a burst of
  // changes gives one.
  void confirmDefaults(std::uint64_t delayNs);
  static void onConfirmTimer(void* data, std::uint64_t expirations);
  void rebindDefaults();

  std::function<void()> changed_;
  pw_registry* registry_ = nullptr;
  spa_hook registryListener_{};

  std::map<std::uint32_t, GraphNode> nodes_;
  std::map<std::uint32_t, GraphPort> ports_;
  std::map<std::uint32_t, GraphLink> links_;
  std::map<std::uint32_t, std::unique_ptr<Client>> clients_;
  // Nodes' own properties (node.group, node.link-group, stream.capture.sink) are not among
  // what the registry announces: they come with each node's info.
  std::map<std::uint32_t, std::unique_ptr<NodeProxy>> nodeProxies_;
  std::map<std::uint32_t, std::unique_ptr<Metadata>> metadata_;
  Metadata* defaultMetadata_ = nullptr;
  pw_loop* loop_ = nullptr;
  spa_source* confirmTimer_ = nullptr;
  // Replaced bindings of the default metadata, dropped once a second old (past their wait).
  std::vector<std::unique_ptr<Metadata>> retired_;

  std::string defaultSink_;
  std::string defaultSource_;
  std::uint32_t clockRate_ = 48000;
  std::uint32_t forceRate_ = 0;
  // Whether the server's PIDs are ours: false once our own client shows that this process
  // runs in another PID namespace than the server.
  bool securePidsAreLocal_ = true;
};

// Media classes: a source a capture stream can take as a microphone, and any device or virtual
// device (what the session manager picks defaults among).
bool isSourceClass(const std::string& mediaClass);
bool isDeviceClass(const std::string& mediaClass);

// The "name" of a default-node metadata value such as {"name":"alsa_output.pci"}; empty when
// there is none.
std::string defaultNodeName(const char* json);

}  // namespace platform::pw
