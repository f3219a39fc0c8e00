// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/Graph.h"

#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

namespace platform::pw {

struct Graph::Client {
  Graph* graph = nullptr;
  std::uint32_t id = 0;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  host::ClientClaims claims;
  std::optional<pid_t> pid;
};

struct Graph::NodeProxy {
  Graph* graph = nullptr;
  std::uint32_t id = 0;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
};

struct Graph::Metadata {
  Graph* graph = nullptr;
  std::string name;
  pw_proxy* proxy = nullptr;
  spa_hook listener{};
  std::uint64_t boundAt = 0;  // monotonic ns
};

namespace {

// How long after a device or client comes or goes the session manager has settled its
// defaults, and how old a replaced binding must be before it is dropped.
constexpr std::uint64_t kSettleNs = 500 * SPA_NSEC_PER_MSEC;
constexpr std::uint64_t kRetireNs = 1000 * SPA_NSEC_PER_MSEC;

std::uint64_t monotonicNs() {
  timespec t{};
  ::clock_gettime(CLOCK_MONOTONIC, &t);
  return static_cast<std::uint64_t>(t.tv_sec) * SPA_NSEC_PER_SEC +
         static_cast<std::uint64_t>(t.tv_nsec);
}

std::string prop(const spa_dict* props, const char* key) {
  const char* v = props != nullptr ? spa_dict_lookup(props, key) : nullptr;
  return v != nullptr ? std::string(v) : std::string();
}

bool isTrue(const std::string& v) {
  return v == "true" || v == "1";
}

pid_t parsePid(const std::string& text) {
  char* end = nullptr;
  const long value = std::strtol(text.c_str(), &end, 10);
  return (!text.empty() && *end == '\0' && value > 0 && value < (1L << 30))
             ? static_cast<pid_t>(value)
             : 0;
}

std::uint32_t parseRate(const char* value) {
  if (value == nullptr) return 0;
  char* end = nullptr;
  const unsigned long r = std::strtoul(value, &end, 10);
  return (end != value && r <= 1'000'000) ? static_cast<std::uint32_t>(r) : 0;
}

}  // namespace

bool isSourceClass(const std::string& mediaClass) {
  return mediaClass.rfind("Audio/Source", 0) == 0 || mediaClass == "Audio/Duplex";
}

bool isDeviceClass(const std::string& mediaClass) {
  return isSourceClass(mediaClass) || mediaClass.rfind("Audio/Sink", 0) == 0;
}

std::string defaultNodeName(const char* json) {
  if (json == nullptr) return {};
  const char* p = std::strstr(json, "\"name\"");
  if (p == nullptr) return {};
  p += 6;
  while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
  if (*p != ':') return {};
  ++p;
  while (*p == ' ' || *p == '\t' || *p == '\n') ++p;
  if (*p != '"') return {};
  ++p;
  std::string out;
  for (; *p != '\0' && *p != '"'; ++p) {
    if (*p == '\\' && p[1] != '\0') ++p;
    out.push_back(*p);
  }
  return *p == '"' ? out : std::string();
}

Graph::Graph(std::function<void()> changed) : changed_(std::move(changed)) {}

Graph::~Graph() = default;

const pw_registry_events Graph::kRegistryEvents = {
    .version = PW_VERSION_REGISTRY_EVENTS,
    .global = &Graph::onGlobal,
    .global_remove = &Graph::onGlobalRemove,
};

void Graph::attach(pw_core* core) {
  loop_ = pw_context_get_main_loop(pw_core_get_context(core));
  confirmTimer_ = api::addTimer(loop_, &Graph::onConfirmTimer, this);
  registry_ = api::registry(core);
  api::addRegistryListener(registry_, &registryListener_, &kRegistryEvents, this);
}

void Graph::detach() {
  for (auto& [id, c] : clients_) {
    spa_hook_remove(&c->listener);
    pw_proxy_destroy(c->proxy);
  }
  for (auto& [id, n] : nodeProxies_) {
    spa_hook_remove(&n->listener);
    pw_proxy_destroy(n->proxy);
  }
  nodeProxies_.clear();
  for (auto& [id, m] : metadata_) {
    spa_hook_remove(&m->listener);
    pw_proxy_destroy(m->proxy);
  }
  for (auto& m : retired_) pw_proxy_destroy(m->proxy);
  clients_.clear();
  metadata_.clear();
  retired_.clear();
  defaultMetadata_ = nullptr;
  if (confirmTimer_ != nullptr) {
    api::destroySource(loop_, confirmTimer_);
    confirmTimer_ = nullptr;
  }
  loop_ = nullptr;
  if (registry_ != nullptr) {
    spa_hook_remove(&registryListener_);
    pw_proxy_destroy(reinterpret_cast<pw_proxy*>(registry_));
    registry_ = nullptr;
  }
  nodes_.clear();
  ports_.clear();
  links_.clear();
  defaultSink_.clear();
  defaultSource_.clear();
  clockRate_ = 48000;
  forceRate_ = 0;
}

const GraphNode* Graph::node(std::uint32_t id) const {
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : &it->second;
}

const GraphNode* Graph::nodeNamed(const std::string& name) const {
  if (name.empty()) return nullptr;
  for (const auto& [id, n] : nodes_)
    if (n.name == name) return &n;
  return nullptr;
}

std::optional<pid_t> Graph::processOf(const GraphNode& node) const {
  auto it = clients_.find(node.clientId);
  if (it == clients_.end()) return std::nullopt;
  return it->second->pid;
}

void Graph::onGlobal(void* data, std::uint32_t id, std::uint32_t /*permissions*/, const char* type,
                     std::uint32_t /*version*/, const spa_dict* props) {
  auto* self = static_cast<Graph*>(data);
  if (std::strcmp(type, PW_TYPE_INTERFACE_Node) == 0) {
    GraphNode n;
    n.id = id;
    n.name = prop(props, PW_KEY_NODE_NAME);
    n.mediaClass = prop(props, PW_KEY_MEDIA_CLASS);
    n.group = prop(props, PW_KEY_NODE_GROUP);
    n.linkGroup = prop(props, PW_KEY_NODE_LINK_GROUP);
    n.capturesSink = isTrue(prop(props, PW_KEY_STREAM_CAPTURE_SINK));
    const std::string client = prop(props, PW_KEY_CLIENT_ID);
    if (!client.empty())
      n.clientId = static_cast<std::uint32_t>(std::strtoul(client.c_str(), nullptr, 10));
    if (isDeviceClass(n.mediaClass)) self->confirmDefaults(kSettleNs);
    self->nodes_[id] = std::move(n);
    self->bindNode(id);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Port) == 0) {
    GraphPort p;
    p.id = id;
    p.nodeId =
        static_cast<std::uint32_t>(std::strtoul(prop(props, PW_KEY_NODE_ID).c_str(), nullptr, 10));
    p.output = prop(props, PW_KEY_PORT_DIRECTION) == "out";
    p.monitor = isTrue(prop(props, PW_KEY_PORT_MONITOR));
    p.channel = prop(props, PW_KEY_AUDIO_CHANNEL);
    self->ports_[id] = std::move(p);
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Link) == 0) {
    GraphLink l;
    l.id = id;
    l.outputNode = static_cast<std::uint32_t>(
        std::strtoul(prop(props, PW_KEY_LINK_OUTPUT_NODE).c_str(), nullptr, 10));
    l.inputNode = static_cast<std::uint32_t>(
        std::strtoul(prop(props, PW_KEY_LINK_INPUT_NODE).c_str(), nullptr, 10));
    self->links_[id] = l;
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Client) == 0) {
    self->bindClient(id);
    return;  // the change comes with the client's info
  } else if (std::strcmp(type, PW_TYPE_INTERFACE_Metadata) == 0) {
    self->bindMetadata(id, prop(props, PW_KEY_METADATA_NAME));
    return;
  } else {
    return;
  }
  self->changed_();
}

void Graph::onGlobalRemove(void* data, std::uint32_t id) {
  auto* self = static_cast<Graph*>(data);
  if (auto it = self->nodes_.find(id);
      it != self->nodes_.end() && isDeviceClass(it->second.mediaClass))
    self->confirmDefaults(kSettleNs);
  bool changed = self->nodes_.erase(id) + self->ports_.erase(id) + self->links_.erase(id) > 0;
  self->dropNodeProxy(id);
  if (auto it = self->clients_.find(id); it != self->clients_.end()) {
    spa_hook_remove(&it->second->listener);
    pw_proxy_destroy(it->second->proxy);
    self->clients_.erase(it);
    // A client that set a default (wpctl, pw-metadata, a settings panel) may have been bound
    // while the session manager made its change.
    self->confirmDefaults(kSettleNs);
    changed = true;
  }
  if (auto it = self->metadata_.find(id); it != self->metadata_.end()) {
    if (self->defaultMetadata_ == it->second.get()) {
      self->defaultMetadata_ = nullptr;
      self->defaultSink_.clear();
      self->defaultSource_.clear();
    }
    spa_hook_remove(&it->second->listener);
    pw_proxy_destroy(it->second->proxy);
    self->metadata_.erase(it);
    changed = true;
  }
  if (changed) self->changed_();
}

void Graph::bindClient(std::uint32_t id) {
  auto c = std::make_unique<Client>();
  c->graph = this;
  c->id = id;
  c->proxy = api::bind(registry_, id, PW_TYPE_INTERFACE_Client, PW_VERSION_CLIENT);
  if (c->proxy == nullptr) return;
  static const pw_client_events events = {
      .version = PW_VERSION_CLIENT_EVENTS,
      .info =
          [](void* data, const pw_client_info* info) {
            auto* client = static_cast<Client*>(data);
            client->graph->onClientInfo(*client, info->props);
          },
  };
  pw_proxy_add_object_listener(c->proxy, &c->listener, &events, c.get());
  clients_[id] = std::move(c);
}

void Graph::bindNode(std::uint32_t id) {
  dropNodeProxy(id);
  auto n = std::make_unique<NodeProxy>();
  n->graph = this;
  n->id = id;
  n->proxy = api::bind(registry_, id, PW_TYPE_INTERFACE_Node, PW_VERSION_NODE);
  if (n->proxy == nullptr) return;
  static const pw_node_events events = {
      .version = PW_VERSION_NODE_EVENTS,
      .info =
          [](void* data, const pw_node_info* info) {
            auto* node = static_cast<NodeProxy*>(data);
            if ((info->change_mask & PW_NODE_CHANGE_MASK_PROPS) != 0)
              node->graph->onNodeInfo(node->id, info->props);
          },
  };
  pw_proxy_add_object_listener(n->proxy, &n->listener, &events, n.get());
  nodeProxies_[id] = std::move(n);
}

void Graph::dropNodeProxy(std::uint32_t id) {
  auto it = nodeProxies_.find(id);
  if (it == nodeProxies_.end()) return;
  spa_hook_remove(&it->second->listener);
  pw_proxy_destroy(it->second->proxy);
  nodeProxies_.erase(it);
}

void Graph::onNodeInfo(std::uint32_t id, const spa_dict* props) {
  auto it = nodes_.find(id);
  if (it == nodes_.end()) return;
  GraphNode& n = it->second;
  const std::string group = prop(props, PW_KEY_NODE_GROUP);
  const std::string linkGroup = prop(props, PW_KEY_NODE_LINK_GROUP);
  const bool capturesSink = isTrue(prop(props, PW_KEY_STREAM_CAPTURE_SINK));
  if (group == n.group && linkGroup == n.linkGroup && capturesSink == n.capturesSink) return;
  n.group = group;
  n.linkGroup = linkGroup;
  n.capturesSink = capturesSink;
  changed_();
}

void Graph::onClientInfo(Client& client, const spa_dict* props) {
  host::ClientClaims& c = client.claims;
  c.securePid = parsePid(prop(props, PW_KEY_SEC_PID));
  c.claimedPid = parsePid(prop(props, PW_KEY_APP_PROCESS_ID));
  c.binary = prop(props, PW_KEY_APP_PROCESS_BINARY);
  c.api = prop(props, PW_KEY_CLIENT_API);
  c.appId = prop(props, "pipewire.access.portal.app_id");
  // Our own client: the server sees this process under the PID it reports for it. When that
  // is not our PID, this process is in a PID namespace of its own and the server's PIDs mean
  // nothing here.
  const char* self = pw_get_prgname();
  if (c.claimedPid == ::getpid() && c.securePid > 0 && c.api.empty() && self != nullptr &&
      c.binary == self) {
    const bool local = c.securePid == ::getpid();
    if (local != securePidsAreLocal_) {
      securePidsAreLocal_ = local;
      for (auto& [id, other] : clients_)
        if (other.get() != &client && other->pid)
          other->pid = host::trustedPid(other->claims, securePidsAreLocal_);
    }
  }
  // A client whose process cannot be trusted still counts as known: its streams are nobody's.
  client.pid = host::trustedPid(c, securePidsAreLocal_);
  changed_();
}

void Graph::bindMetadata(std::uint32_t id, const std::string& name) {
  if (name != "default" && name != "settings") return;
  auto m = std::make_unique<Metadata>();
  m->graph = this;
  m->name = name;
  m->proxy = api::bind(registry_, id, PW_TYPE_INTERFACE_Metadata, PW_VERSION_METADATA);
  if (m->proxy == nullptr) return;
  static const pw_metadata_events events = {
      .version = PW_VERSION_METADATA_EVENTS,
      .property = [](void* data, std::uint32_t subject, const char* key, const char* /*type*/,
                     const char* value) -> int {
        auto* md = static_cast<Metadata*>(data);
        if (subject == PW_ID_CORE) md->graph->onMetadataProperty(*md, key, value);
        return 0;
      },
  };
  pw_proxy_add_object_listener(m->proxy, &m->listener, &events, m.get());
  m->boundAt = monotonicNs();
  if (name == "default") defaultMetadata_ = m.get();
  metadata_[id] = std::move(m);
}

void Graph::refreshDefaults() {
  rebindDefaults();
}

void Graph::confirmDefaults(std::uint64_t delayNs) {
  if (confirmTimer_ == nullptr || defaultMetadata_ == nullptr) return;
  timespec value{};
  value.tv_sec = static_cast<time_t>(delayNs / SPA_NSEC_PER_SEC);
  value.tv_nsec = static_cast<long>(delayNs % SPA_NSEC_PER_SEC);
  api::updateTimer(loop_, confirmTimer_, &value);
}

void Graph::onConfirmTimer(void* data, std::uint64_t /*expirations*/) {
  static_cast<Graph*>(data)->rebindDefaults();
}

void Graph::rebindDefaults() {
  const std::uint64_t now = monotonicNs();
  std::erase_if(retired_, [now](const std::unique_ptr<Metadata>& m) {
    if (now - m->boundAt < kRetireNs) return false;
    pw_proxy_destroy(m->proxy);
    return true;
  });
  for (auto it = metadata_.begin(); it != metadata_.end(); ++it) {
    if (it->second.get() != defaultMetadata_) continue;
    const std::uint32_t id = it->first;
    // The binding it replaces is kept, silent, until it is surely past the wait (see
    // refreshDefaults): dropped during it, it would leave the server waiting for good.
    spa_hook_remove(&it->second->listener);
    retired_.push_back(std::move(it->second));
    metadata_.erase(it);
    defaultMetadata_ = nullptr;
    bindMetadata(id, "default");
    return;
  }
}

void Graph::onMetadataProperty(Metadata& md, const char* key, const char* value) {
  if (md.name == "default") {
    if (key == nullptr) {
      defaultSink_.clear();
      defaultSource_.clear();
    } else if (std::strcmp(key, "default.audio.sink") == 0) {
      defaultSink_ = defaultNodeName(value);
    } else if (std::strcmp(key, "default.audio.source") == 0) {
      defaultSource_ = defaultNodeName(value);
    } else {
      return;
    }
  } else {
    if (key == nullptr) {
      forceRate_ = 0;
      clockRate_ = 48000;
    } else if (std::strcmp(key, "clock.force-rate") == 0) {
      forceRate_ = parseRate(value);
    } else if (std::strcmp(key, "clock.rate") == 0) {
      const std::uint32_t r = parseRate(value);
      clockRate_ = r != 0 ? r : 48000;
    } else {
      return;
    }
  }
  changed_();
}

}  // namespace platform::pw
