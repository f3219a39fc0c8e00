// SPDX-License-Identifier: MIT
// The parts of libpipewire-0.3 and SPA that the backend uses, in one place. PipeWire's
// method macros expand to C casts; they are wrapped here in functions so the rest of the
// backend compiles with every warning on.
#pragma once

#include <pipewire/extensions/metadata.h>
#include <pipewire/pipewire.h>
#include <spa/param/audio/format-utils.h>
#include <spa/param/audio/raw.h>
#include <spa/utils/dict.h>

namespace platform::pw::api {

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wold-style-cast"
#pragma GCC diagnostic ignored "-Wpedantic"
#pragma GCC diagnostic ignored "-Wnull-dereference"

inline spa_source* addTimer(pw_loop* loop, spa_source_timer_func_t func, void* data) {
  return pw_loop_add_timer(loop, func, data);
}
inline int updateTimer(pw_loop* loop, spa_source* source, timespec* value) {
  return pw_loop_update_timer(loop, source, value, nullptr, false);
}
inline void destroySource(pw_loop* loop, spa_source* source) {
  pw_loop_destroy_source(loop, source);
}
inline void addCoreListener(pw_core* core, spa_hook* hook, const pw_core_events* events,
                            void* data) {
  pw_core_add_listener(core, hook, events, data);
}
inline int sync(pw_core* core) {
  return pw_core_sync(core, PW_ID_CORE, 0);
}
inline pw_registry* registry(pw_core* core) {
  return pw_core_get_registry(core, PW_VERSION_REGISTRY, 0);
}
inline void addRegistryListener(pw_registry* registry, spa_hook* hook,
                                const pw_registry_events* events, void* data) {
  pw_registry_add_listener(registry, hook, events, data);
}
inline pw_proxy* bind(pw_registry* registry, std::uint32_t id, const char* type,
                      std::uint32_t version) {
  return static_cast<pw_proxy*>(pw_registry_bind(registry, id, type, version, 0));
}
inline pw_proxy* createLink(pw_core* core, const spa_dict* props) {
  return static_cast<pw_proxy*>(pw_core_create_object(core, "link-factory", PW_TYPE_INTERFACE_Link,
                                                      PW_VERSION_LINK, props, 0));
}

#pragma GCC diagnostic pop

}  // namespace platform::pw::api
