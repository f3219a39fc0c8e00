// SPDX-License-Identifier: MIT
// A small JSON reader for control messages: checks that a payload is one well-formed JSON text
// and gives back its value, or says where and why it is not.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <variant>

#include "HarkwellCore/Value.h"

namespace harkwell::json {

struct ParseError {
  std::size_t offset;  // byte offset in the text where the problem was found
  std::string reason;
};

// Parses `text` as one JSON value (RFC 8259: white space around it allowed, nothing else after
// it, strings valid UTF-8, nesting at most 256 deep).
std::variant<Value, ParseError> parse(std::string_view text);

}  // namespace harkwell::json
