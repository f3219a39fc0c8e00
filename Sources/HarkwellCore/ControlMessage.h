// SPDX-License-Identifier: MIT
// Control frames: one JSON object each, with a string "type" ("ready", "error") and, for
// errors, a human-readable "msg".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <variant>

#include "HarkwellCore/JsonParse.h"
#include "HarkwellCore/Value.h"

namespace harkwell {

struct ControlMessage {
  std::string type;
  std::optional<std::string> msg;  // when the message has a string "msg"
  Value value;                     // the whole object, for fields a later version may add
};

// The control message in a control frame's payload, or where and why it is not one (not
// JSON, not an object, no string "type").
std::variant<ControlMessage, json::ParseError> parseControlMessage(
    std::span<const std::uint8_t> payload);

}  // namespace harkwell
