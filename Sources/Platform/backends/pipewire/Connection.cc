// SPDX-License-Identifier: MIT
#include "Platform/backends/pipewire/Connection.h"

#include <cerrno>
#include <cstdlib>
#include <ctime>

#include "HarkwellCore/Protocol.h"
#include "Platform/backends/pipewire/Unreachable.h"

namespace platform::pw {

namespace {
constexpr std::uint64_t kRetryMilliseconds = 500;
}

const pw_core_events Connection::kCoreEvents = {
    .version = PW_VERSION_CORE_EVENTS,
    .done = &Connection::onCoreDone,
    .error = &Connection::onCoreError,
};

Connection::Connection(Owner& owner) : owner_(owner) {
  pw_init(nullptr, nullptr);
  loop_ = pw_thread_loop_new("harkwell-pipewire", nullptr);
  context_ = pw_context_new(pw_thread_loop_get_loop(loop_),
                            pw_properties_new(PW_KEY_CONFIG_NAME, "client-rt.conf", nullptr), 0);
  timer_ = api::addTimer(pw_thread_loop_get_loop(loop_), &Connection::onTimer, this);
}

void Connection::start(int timeoutMs) {
  Lock lock(*this);
  pw_thread_loop_start(loop_);
  tryConnect();
  timespec deadline{};
  pw_thread_loop_get_time(loop_, &deadline, std::int64_t{timeoutMs} * SPA_NSEC_PER_MSEC);
  while (core_ != nullptr && !ready_) {
    if (pw_thread_loop_timed_wait_full(loop_, &deadline) != 0) break;
  }
}

void Connection::armTimer(std::uint64_t milliseconds) {
  timespec value{};
  value.tv_sec = static_cast<time_t>(milliseconds / 1000);
  value.tv_nsec = static_cast<long>((milliseconds % 1000) * 1'000'000);
  if (value.tv_sec == 0 && value.tv_nsec == 0) value.tv_nsec = 1;
  api::updateTimer(pw_thread_loop_get_loop(loop_), timer_, &value);
}

void Connection::tryConnect() {
  core_ = pw_context_connect(
      context_, pw_properties_new(PW_KEY_APP_NAME, "Harkwell", PW_KEY_APP_ID, "harkwell", nullptr),
      0);
  if (core_ == nullptr) {
    const int error = errno;
    accessDenied_ = error == EACCES || error == EPERM;
    // Said once, the first time: a server that is restarting is not worth a line a second.
    if (!everConnected_ && !toldUnreachable_) {
      toldUnreachable_ = true;
      harkwell::Log::error(unreachableReason(error, [](const char* name) {
        const char* value = std::getenv(name);
        return value != nullptr ? std::optional<std::string>(value) : std::nullopt;
      }));
    }
    armTimer(kRetryMilliseconds);
    return;
  }
  everConnected_ = true;
  accessDenied_ = false;
  lost_ = false;
  ready_ = false;
  syncRound_ = 0;
  api::addCoreListener(core_, &coreListener_, &kCoreEvents, this);
  owner_.onCoreCreated(core_);
  syncSeq_ = api::sync(core_);
}

void Connection::disconnect() {
  if (core_ == nullptr) return;
  owner_.onDisconnecting();
  spa_hook_remove(&coreListener_);
  pw_core_disconnect(core_);
  core_ = nullptr;
  ready_ = false;
}

void Connection::onCoreDone(void* data, std::uint32_t id, int seq) {
  auto* self = static_cast<Connection*>(data);
  if (id != PW_ID_CORE || seq != self->syncSeq_ || self->ready_) return;
  // Round 1 brings the globals; round 2 the first events of what was bound for them.
  if (++self->syncRound_ < 2) {
    self->syncSeq_ = api::sync(self->core_);
    return;
  }
  self->ready_ = true;
  self->owner_.onReady();
  pw_thread_loop_signal(self->loop_, false);
}

void Connection::onCoreError(void* data, std::uint32_t id, int /*seq*/, int res,
                             const char* /*message*/) {
  auto* self = static_cast<Connection*>(data);
  if (id != PW_ID_CORE) return;
  if (res == -EACCES || res == -EPERM) self->accessDenied_ = true;
  if (res == -EPIPE && !self->lost_) {
    // Torn down from the timer, outside the core's own callback.
    self->lost_ = true;
    self->armTimer(0);
  }
}

void Connection::onTimer(void* data, std::uint64_t /*expirations*/) {
  auto* self = static_cast<Connection*>(data);
  if (self->lost_) {
    self->disconnect();
    self->lost_ = false;
  }
  if (self->core_ == nullptr) self->tryConnect();
  pw_thread_loop_signal(self->loop_, false);
}

}  // namespace platform::pw
