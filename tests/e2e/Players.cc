// SPDX-License-Identifier: MIT
#include "Players.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <numbers>

#include "Platform/backends/pipewire/PwApi.h"
#include "Platform/backends/pipewire/StreamFormat.h"

namespace harkwell::test {

namespace {

void put32(std::ofstream& out, std::uint32_t v) {
  out.write(reinterpret_cast<const char*>(&v), 4);
}
void put16(std::ofstream& out, std::uint16_t v) {
  out.write(reinterpret_cast<const char*>(&v), 2);
}

[[noreturn]] void execArgv(const std::vector<std::string>& argv) {
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  int devnull = ::open("/dev/null", O_RDWR);
  ::dup2(devnull, STDIN_FILENO);
  ::dup2(devnull, STDOUT_FILENO);
  ::dup2(devnull, STDERR_FILENO);
  ::execvp(args[0], args.data());
  ::_exit(127);
}

}  // namespace

void writeToneWav(const std::string& path, double frequency, double amplitude, double seconds,
                  int channels, int rate) {
  const auto frames = static_cast<std::uint32_t>(seconds * rate);
  const std::uint32_t dataBytes = frames * static_cast<std::uint32_t>(channels) * 2;
  std::ofstream out(path, std::ios::binary);
  out.write("RIFF", 4);
  put32(out, 36 + dataBytes);
  out.write("WAVEfmt ", 8);
  put32(out, 16);
  put16(out, 1);
  put16(out, static_cast<std::uint16_t>(channels));
  put32(out, static_cast<std::uint32_t>(rate));
  put32(out, static_cast<std::uint32_t>(rate * channels * 2));
  put16(out, static_cast<std::uint16_t>(channels * 2));
  put16(out, 16);
  out.write("data", 4);
  put32(out, dataBytes);
  for (std::uint32_t i = 0; i < frames; ++i) {
    const double v = amplitude * std::sin(2.0 * std::numbers::pi * frequency * i / rate);
    const auto s = static_cast<std::int16_t>(std::lround(v * 32767.0));
    for (int c = 0; c < channels; ++c) put16(out, static_cast<std::uint16_t>(s));
  }
}

std::unique_ptr<Player> Player::child(const std::vector<std::string>& argv) {
  return childIn("", argv);
}

std::unique_ptr<Player> Player::childIn(const std::string& cgroup,
                                        const std::vector<std::string>& argv) {
  const std::string procs = cgroup.empty() ? "" : cgroup + "/cgroup.procs";
  const pid_t pid = ::fork();
  if (pid == 0) {
    ::setpgid(0, 0);
    if (!procs.empty()) {
      const int fd = ::open(procs.c_str(), O_WRONLY | O_CLOEXEC);
      char text[16];
      const int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(::getpid()));
      if (fd < 0 || ::write(fd, text, static_cast<std::size_t>(n)) != n) ::_exit(126);
      ::close(fd);
    }
    execArgv(argv);
  }
  ::setpgid(pid, pid);
  return std::unique_ptr<Player>(new Player(pid, true));
}

std::unique_ptr<Player> Player::orphan(const std::vector<std::string>& argv) {
  int fds[2];
  if (::pipe(fds) != 0) return nullptr;
  const pid_t middle = ::fork();
  if (middle == 0) {
    ::close(fds[0]);
    ::setsid();
    const pid_t grandchild = ::fork();
    if (grandchild == 0) {
      ::close(fds[1]);
      execArgv(argv);
    }
    (void)!::write(fds[1], &grandchild, sizeof grandchild);
    ::_exit(0);
  }
  ::close(fds[1]);
  pid_t pid = -1;
  (void)!::read(fds[0], &pid, sizeof pid);
  ::close(fds[0]);
  ::waitpid(middle, nullptr, 0);
  return std::unique_ptr<Player>(new Player(pid, false));
}

void Player::stop() {
  if (pid_ <= 0) return;
  ::kill(child_ ? -pid_ : pid_, SIGTERM);
  if (child_) ::waitpid(pid_, nullptr, 0);
  pid_ = -1;
}

Player::~Player() {
  stop();
}

struct InProcessTone::State {
  pw_thread_loop* loop = nullptr;
  pw_stream* stream = nullptr;
  pw_stream_events events{};
  double phase = 0;
  double step = 0;
  float amplitude = 0;
  bool connected = false;
};

InProcessTone::InProcessTone(double frequency, double amplitude) : state_(new State) {
  pw_init(nullptr, nullptr);
  state_->step = 2.0 * std::numbers::pi * frequency / 48000.0;
  state_->amplitude = static_cast<float>(amplitude);
  state_->events.version = PW_VERSION_STREAM_EVENTS;
  state_->events.process = [](void* data) {
    auto* s = static_cast<State*>(data);
    pw_buffer* b = pw_stream_dequeue_buffer(s->stream);
    if (b == nullptr) return;
    spa_data& d = b->buffer->datas[0];
    auto* out = static_cast<float*>(d.data);
    if (out != nullptr) {
      std::uint32_t frames = d.maxsize / sizeof(float);
      if (b->requested != 0 && b->requested < frames)
        frames = static_cast<std::uint32_t>(b->requested);
      for (std::uint32_t i = 0; i < frames; ++i) {
        out[i] = s->amplitude * static_cast<float>(std::sin(s->phase));
        s->phase += s->step;
        if (s->phase > 2.0 * std::numbers::pi) s->phase -= 2.0 * std::numbers::pi;
      }
      d.chunk->offset = 0;
      d.chunk->stride = sizeof(float);
      d.chunk->size = frames * sizeof(float);
    }
    pw_stream_queue_buffer(s->stream, b);
  };
  state_->loop = pw_thread_loop_new("e2e-tone", nullptr);
  pw_properties* props = pw_properties_new(PW_KEY_MEDIA_TYPE, "Audio", PW_KEY_MEDIA_CATEGORY,
                                           "Playback", PW_KEY_MEDIA_ROLE, "Music", PW_KEY_NODE_NAME,
                                           "e2e-in-process-tone", nullptr);
  state_->stream = pw_stream_new_simple(pw_thread_loop_get_loop(state_->loop), "e2e-tone", props,
                                        &state_->events, state_);
  std::uint8_t buffer[1024];
  const spa_pod* params[1] = {
      platform::pw::buildFloatFormat(buffer, sizeof buffer, {SPA_AUDIO_CHANNEL_MONO}, 48000)};
  pw_thread_loop_lock(state_->loop);
  pw_thread_loop_start(state_->loop);
  state_->connected = pw_stream_connect(state_->stream, PW_DIRECTION_OUTPUT, PW_ID_ANY,
                                        static_cast<pw_stream_flags>(PW_STREAM_FLAG_AUTOCONNECT |
                                                                     PW_STREAM_FLAG_MAP_BUFFERS |
                                                                     PW_STREAM_FLAG_RT_PROCESS),
                                        params, 1) == 0;
  pw_thread_loop_unlock(state_->loop);
}

bool InProcessTone::ok() const {
  return state_->connected;
}

InProcessTone::~InProcessTone() {
  pw_thread_loop_lock(state_->loop);
  pw_stream_destroy(state_->stream);
  pw_thread_loop_unlock(state_->loop);
  pw_thread_loop_stop(state_->loop);
  pw_thread_loop_destroy(state_->loop);
  delete state_;
}

}  // namespace harkwell::test
