// SPDX-License-Identifier: MIT
// Compact JSON text for control messages.
#pragma once

#include <optional>
#include <string>

#include "Value.h"

namespace harkwell::json {

// Compact JSON (no white space between tokens, keys in insertion order). Strings are escaped as
// JSON requires, "/" is written as "\/", characters beyond ASCII as their UTF-8 bytes, and
// every invalid UTF-8 sequence is replaced by U+FFFD so that the text is always valid UTF-8.
// None for a value JSON cannot represent (a number that is not finite).
std::optional<std::string> serialize(const Value& value);

}  // namespace harkwell::json
