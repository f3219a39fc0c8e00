// SPDX-License-Identifier: MIT
#include "Recording.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <string_view>
#include <variant>

#include "HarkwellCore/Json.h"
#include "HarkwellCore/JsonParse.h"

namespace harkwell::record {
namespace {

std::string seconds3(double t) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", t);
  return text;
}

std::string jsonString(std::string_view text) {
  return json::serialize(Value(text)).value_or("\"\"");
}

}  // namespace

std::optional<std::string> Recording::chooseFolder(const std::string& requested,
                                                   std::string& error) {
  std::error_code ec;
  if (!requested.empty()) {
    for (const char* name : {"mic.wav", "system.wav", "events.jsonl", "levels.svg"}) {
      const std::string path = requested + "/" + name;
      if (std::filesystem::exists(path, ec)) {
        error = requested + " already holds a recording (" + path +
                "); name a new folder with --out, or move that one away";
        return std::nullopt;
      }
    }
    return requested;
  }
  const std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char stamp[32];
  std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
  const std::string base = std::string("harkwell-recording-") + stamp;
  std::string dir = base;
  for (int n = 2; std::filesystem::exists(dir, ec); ++n) dir = base + "-" + std::to_string(n);
  return dir;
}

std::optional<std::string> Recording::noCapturePath() const {
  if (mic_.frames() > 0 || system_.frames() > 0) return std::nullopt;
  std::string micError;
  std::string systemError;
  for (const ControlEvent& e : controls_) {
    if (e.type != "error") continue;
    if (e.msg.rfind("mic_start:", 0) == 0) micError = e.msg;
    if (e.msg.rfind("tap_start:", 0) == 0 || e.msg.rfind("unsupported_os:", 0) == 0)
      systemError = e.msg;
  }
  if (micError.empty() || systemError.empty()) return std::nullopt;
  return micError + "; " + systemError;
}

Recording::~Recording() {
  close();
}

bool Recording::open(const std::string& dir, std::string& error) {
  dir_ = dir;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) {
    error = "cannot create the output folder " + dir + ": " + ec.message();
    return false;
  }
  if (!micWav_.open(dir + "/mic.wav", error)) return false;
  if (!systemWav_.open(dir + "/system.wav", error)) return false;
  const std::string eventsPath = dir + "/events.jsonl";
  events_ = std::fopen(eventsPath.c_str(), "we");
  if (!events_) {
    error = eventsPath + ": cannot create: " + std::strerror(errno);
    return false;
  }
  return true;
}

void Recording::writeEvent(const std::string& line) {
  if (!events_) return;
  if (std::fputs(line.c_str(), events_) < 0 || std::fputc('\n', events_) == EOF ||
      std::fflush(events_) != 0) {
    if (eventsError_.empty())
      eventsError_ = dir_ + "/events.jsonl: cannot write: " + std::strerror(errno);
  }
}

std::optional<std::string> Recording::handle(const StreamFrame& frame, std::optional<double> time) {
  const auto& payload = frame.frame.payload;
  const std::string where = "the frame at offset " + std::to_string(frame.offset);
  if (frame.frame.tag != FrameTag::control) {
    const bool isMic = frame.frame.tag == FrameTag::micPCM;
    (isMic ? mic_ : system_).add(payload, time);
    (isMic ? micLevels_ : systemLevels_).add(payload, time);
    WavWriter& wav = isMic ? micWav_ : systemWav_;
    wav.append(std::span(payload.data(), payload.size() & ~std::size_t{1}));
    if (payload.size() % 2 != 0)
      return where + " (" + (isMic ? "mic" : "system") + ") carries " +
             std::to_string(payload.size()) +
             " bytes, not a whole number of 16-bit samples; the odd last byte was dropped";
    return std::nullopt;
  }

  ++controlFrames_;
  std::string line = "{";
  if (time) line += "\"time\":" + seconds3(*time) + ",";
  line += "\"offset\":" + std::to_string(frame.offset) + ",";
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  auto parsed = json::parse(text);
  if (auto* bad = std::get_if<json::ParseError>(&parsed)) {
    writeEvent(line + "\"invalid\":" + jsonString(text) + "}");
    return where + ": the control payload is not valid JSON (" + bad->reason + " at byte " +
           std::to_string(bad->offset) + " of " + std::to_string(payload.size()) +
           "): " + jsonString(text.substr(0, 80));
  }
  const Value& message = std::get<Value>(parsed);
  writeEvent(line + "\"message\":" + json::serialize(message).value_or("null") + "}");
  if (!message.isObject()) return where + ": the control message is JSON but not an object";
  ControlEvent event{time, frame.offset, {}, {}};
  if (const Value* type = message.find("type"); type && type->isString())
    event.type = type->asString();
  if (const Value* msg = message.find("msg"); msg && msg->isString()) event.msg = msg->asString();
  const bool noType = event.type.empty();
  controls_.push_back(std::move(event));
  if (noType) return where + ": the control message has no \"type\" text";
  return std::nullopt;
}

bool Recording::sync() {
  const bool a = micWav_.updateHeader();
  const bool b = systemWav_.updateHeader();
  return a && b;
}

bool Recording::close() {
  bool d = true;
  if (!dir_.empty() && !pictureWritten_) {
    pictureWritten_ = true;
    const std::string path = dir_ + "/levels.svg";
    if (std::FILE* f = std::fopen(path.c_str(), "we")) {
      const std::string svg = levelPicture(micLevels_, systemLevels_);
      d = std::fwrite(svg.data(), 1, svg.size(), f) == svg.size();
      d = std::fclose(f) == 0 && d;
    } else {
      d = false;
    }
    if (!d && eventsError_.empty()) eventsError_ = path + ": cannot write: " + std::strerror(errno);
  }
  const bool a = micWav_.close();
  const bool b = systemWav_.close();
  bool c = true;
  if (events_) {
    c = std::fclose(events_) == 0;
    events_ = nullptr;
  }
  return a && b && c && d && eventsError_.empty();
}

std::string Recording::fileError() const {
  if (!micWav_.lastError().empty()) return micWav_.lastError();
  if (!systemWav_.lastError().empty()) return systemWav_.lastError();
  return eventsError_;
}

}  // namespace harkwell::record
