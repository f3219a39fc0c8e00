// SPDX-License-Identifier: MIT
#include "HarkwellCore/ControlMessage.h"

#include <string_view>

namespace harkwell {

std::variant<ControlMessage, json::ParseError> parseControlMessage(
    std::span<const std::uint8_t> payload) {
  const std::string_view text(reinterpret_cast<const char*>(payload.data()), payload.size());
  auto parsed = json::parse(text);
  if (auto* error = std::get_if<json::ParseError>(&parsed)) return std::move(*error);
  Value& value = std::get<Value>(parsed);
  if (!value.isObject()) return json::ParseError{0, "a control message is a JSON object"};
  const Value* type = value.find("type");
  if (type == nullptr || !type->isString())
    return json::ParseError{0, "a control message has a string \"type\""};
  ControlMessage message{type->asString(), std::nullopt, Value()};
  if (const Value* msg = value.find("msg"); msg != nullptr && msg->isString())
    message.msg = msg->asString();
  message.value = std::move(value);
  return message;
}

}  // namespace harkwell
