// SPDX-License-Identifier: MIT
// Compact JSON text for control messages.
#include "Json.h"

#include <charconv>
#include <cmath>
#include <cstdint>

namespace harkwell::json {

namespace {

constexpr char kHex[] = "0123456789abcdef";
constexpr char kReplacement[] = "\xEF\xBF\xBD";  // U+FFFD

// Length of the well-formed UTF-8 sequence at s[i], or 0 when the bytes there are ill-formed.
// `maximalSubpart` receives how many bytes form the longest prefix that could have started a
// valid sequence; each such prefix (at least one byte) is replaced by one U+FFFD.
std::size_t utf8SequenceLength(std::string_view s, std::size_t i, std::size_t& maximalSubpart) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  std::size_t length;
  unsigned char lo = 0x80, hi = 0xBF;  // range allowed for the second byte
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    length = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    length = 3;
    if (b0 == 0xE0) lo = 0xA0;  // no overlong forms
    if (b0 == 0xED) hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    length = 4;
    if (b0 == 0xF0) lo = 0x90;  // no overlong forms
    if (b0 == 0xF4) hi = 0x8F;  // nothing above U+10FFFF
  } else {
    maximalSubpart = 1;  // a stray continuation byte, C0, C1 or F5...FF
    return 0;
  }
  std::size_t k = 1;
  for (; k < length; ++k) {
    if (i + k >= s.size()) break;
    const auto b = static_cast<unsigned char>(s[i + k]);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) break;
  }
  if (k == length) return length;
  maximalSubpart = k;
  return 0;
}

void appendString(std::string& out, std::string_view s) {
  out.push_back('"');
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c >= 0x80) {
      std::size_t subpart = 0;
      const std::size_t length = utf8SequenceLength(s, i, subpart);
      if (length > 0) {
        out.append(s.substr(i, length));
        i += length;
      } else {
        out.append(kReplacement);
        i += subpart;
      }
      continue;
    }
    switch (c) {
      case '"':
        out.append("\\\"");
        break;
      case '\\':
        out.append("\\\\");
        break;
      case '/':
        out.append("\\/");
        break;
      case '\b':
        out.append("\\b");
        break;
      case '\f':
        out.append("\\f");
        break;
      case '\n':
        out.append("\\n");
        break;
      case '\r':
        out.append("\\r");
        break;
      case '\t':
        out.append("\\t");
        break;
      default:
        if (c < 0x20) {
          out.append("\\u00");
          out.push_back(kHex[c >> 4]);
          out.push_back(kHex[c & 0xF]);
        } else {
          out.push_back(static_cast<char>(c));
        }
    }
    ++i;
  }
  out.push_back('"');
}

template <typename Number>
void appendNumber(std::string& out, Number n) {
  char buffer[32];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, n);
  out.append(buffer, result.ptr);
}

bool append(std::string& out, const Value& value) {
  if (value.isNull()) {
    out.append("null");
  } else if (value.isBool()) {
    out.append(value.asBool() ? "true" : "false");
  } else if (value.isInt()) {
    appendNumber(out, value.asInt());
  } else if (value.isDouble()) {
    if (!std::isfinite(value.asDouble())) return false;
    appendNumber(out, value.asDouble());  // shortest form that reads back as the same double
  } else if (value.isString()) {
    appendString(out, value.asString());
  } else if (value.isArray()) {
    out.push_back('[');
    bool first = true;
    for (const Value& element : value.asArray()) {
      if (!first) out.push_back(',');
      first = false;
      if (!append(out, element)) return false;
    }
    out.push_back(']');
  } else {
    out.push_back('{');
    bool first = true;
    for (const auto& [key, element] : value.asObject()) {
      if (!first) out.push_back(',');
      first = false;
      appendString(out, key);
      out.push_back(':');
      if (!append(out, element)) return false;
    }
    out.push_back('}');
  }
  return true;
}

}  // namespace

std::optional<std::string> serialize(const Value& value) {
  std::string out;
  if (!append(out, value)) return std::nullopt;
  return out;
}

}  // namespace harkwell::json
