// SPDX-License-Identifier: MIT
#include "HarkwellCore/JsonParse.h"

#include <charconv>
#include <cstdint>
#include <cstdlib>
#include <optional>

namespace harkwell::json {
namespace {

constexpr int kMaxDepth = 256;

class Parser {
 public:
  explicit Parser(std::string_view text) : s_(text) {}

  std::variant<Value, ParseError> run() {
    skipSpace();
    std::optional<Value> v = value(0);
    if (!v) return *error_;
    skipSpace();
    if (pos_ != s_.size()) return ParseError{pos_, "unexpected text after the JSON value"};
    return std::move(*v);
  }

 private:
  std::string_view s_;
  std::size_t pos_ = 0;
  std::optional<ParseError> error_;

  std::nullopt_t fail(std::string reason) {
    if (!error_) error_ = ParseError{pos_, std::move(reason)};
    return std::nullopt;
  }
  bool atEnd() const { return pos_ >= s_.size(); }
  char peek() const { return s_[pos_]; }
  void skipSpace() {
    while (!atEnd() && (peek() == ' ' || peek() == '\t' || peek() == '\n' || peek() == '\r'))
      ++pos_;
  }
  bool literal(std::string_view word) {
    if (s_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  std::optional<Value> value(int depth) {
    if (atEnd()) return fail("unexpected end of text");
    switch (peek()) {
      case '{':
        return object(depth + 1);
      case '[':
        return array(depth + 1);
      case '"': {
        auto str = string();
        if (!str) return std::nullopt;
        return Value(std::move(*str));
      }
      case 't':
        if (literal("true")) return Value(true);
        break;
      case 'f':
        if (literal("false")) return Value(false);
        break;
      case 'n':
        if (literal("null")) return Value(nullptr);
        break;
      default:
        if (peek() == '-' || (peek() >= '0' && peek() <= '9')) return number();
        break;
    }
    return fail("expected a JSON value");
  }

  std::optional<Value> object(int depth) {
    if (depth > kMaxDepth) return fail("nesting deeper than 256 levels");
    ++pos_;  // '{'
    Value::Object members;
    skipSpace();
    if (!atEnd() && peek() == '}') {
      ++pos_;
      return Value(std::move(members));
    }
    for (;;) {
      skipSpace();
      if (atEnd() || peek() != '"') return fail("expected a string key");
      auto key = string();
      if (!key) return std::nullopt;
      skipSpace();
      if (atEnd() || peek() != ':') return fail("expected ':' after a key");
      ++pos_;
      skipSpace();
      auto member = value(depth);
      if (!member) return std::nullopt;
      members.emplace_back(std::move(*key), std::move(*member));
      skipSpace();
      if (atEnd()) return fail("unexpected end of text inside an object");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == '}') {
        ++pos_;
        return Value(std::move(members));
      }
      return fail("expected ',' or '}' in an object");
    }
  }

  std::optional<Value> array(int depth) {
    if (depth > kMaxDepth) return fail("nesting deeper than 256 levels");
    ++pos_;  // '['
    Value::Array items;
    skipSpace();
    if (!atEnd() && peek() == ']') {
      ++pos_;
      return Value(std::move(items));
    }
    for (;;) {
      skipSpace();
      auto item = value(depth);
      if (!item) return std::nullopt;
      items.push_back(std::move(*item));
      skipSpace();
      if (atEnd()) return fail("unexpected end of text inside an array");
      if (peek() == ',') {
        ++pos_;
        continue;
      }
      if (peek() == ']') {
        ++pos_;
        return Value(std::move(items));
      }
      return fail("expected ',' or ']' in an array");
    }
  }

  std::optional<Value> number() {
    const std::size_t start = pos_;
    bool integral = true;
    if (peek() == '-') ++pos_;
    if (atEnd()) return fail("expected a digit");
    if (peek() == '0') {
      ++pos_;
    } else if (peek() >= '1' && peek() <= '9') {
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
    } else {
      return fail("expected a digit");
    }
    if (!atEnd() && peek() == '.') {
      integral = false;
      ++pos_;
      if (atEnd() || peek() < '0' || peek() > '9') return fail("expected a digit after '.'");
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
    }
    if (!atEnd() && (peek() == 'e' || peek() == 'E')) {
      integral = false;
      ++pos_;
      if (!atEnd() && (peek() == '+' || peek() == '-')) ++pos_;
      if (atEnd() || peek() < '0' || peek() > '9') return fail("expected a digit in the exponent");
      while (!atEnd() && peek() >= '0' && peek() <= '9') ++pos_;
    }
    const std::string_view text = s_.substr(start, pos_ - start);
    if (integral) {
      std::int64_t i = 0;
      const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), i);
      if (ec == std::errc() && end == text.data() + text.size()) return Value(i);
    }
    // Out of the 64-bit range or fractional: keep it as a double.
    const std::string copy(text);
    return Value(std::strtod(copy.c_str(), nullptr));
  }

  static void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
      out += static_cast<char>(cp);
    } else if (cp < 0x800) {
      out += static_cast<char>(0xC0 | (cp >> 6));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
      out += static_cast<char>(0xE0 | (cp >> 12));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (cp >> 18));
      out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (cp & 0x3F));
    }
  }

  std::optional<std::uint32_t> hex4() {
    if (s_.size() - pos_ < 4) return fail("incomplete \\u escape");
    std::uint32_t v = 0;
    for (int i = 0; i < 4; ++i) {
      const char c = s_[pos_ + static_cast<std::size_t>(i)];
      v <<= 4;
      if (c >= '0' && c <= '9') {
        v |= static_cast<std::uint32_t>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        v |= static_cast<std::uint32_t>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        v |= static_cast<std::uint32_t>(c - 'A' + 10);
      } else {
        return fail("bad hex digit in a \\u escape");
      }
    }
    pos_ += 4;
    return v;
  }

  // One UTF-8 sequence starting at pos_, appended to `out`; false when it is not valid UTF-8.
  bool utf8Sequence(std::string& out) {
    const auto b0 = static_cast<unsigned char>(peek());
    std::size_t len = 0;
    std::uint32_t cp = 0;
    std::uint32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
      len = 2, cp = b0 & 0x1Fu, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
      len = 3, cp = b0 & 0x0Fu, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
      len = 4, cp = b0 & 0x07u, min = 0x10000;
    } else {
      return false;
    }
    if (s_.size() - pos_ < len) return false;
    for (std::size_t i = 1; i < len; ++i) {
      const auto b = static_cast<unsigned char>(s_[pos_ + i]);
      if ((b & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (b & 0x3Fu);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
    out.append(s_.substr(pos_, len));
    pos_ += len;
    return true;
  }

  std::optional<std::string> string() {
    ++pos_;  // opening quote
    std::string out;
    for (;;) {
      if (atEnd()) return fail("unterminated string");
      const auto c = static_cast<unsigned char>(peek());
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c < 0x20) return fail("control character inside a string");
      if (c >= 0x80) {
        if (!utf8Sequence(out)) return fail("invalid UTF-8 inside a string");
        continue;
      }
      ++pos_;
      if (c != '\\') {
        out += static_cast<char>(c);
        continue;
      }
      if (atEnd()) return fail("unterminated escape");
      const char e = peek();
      ++pos_;
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          auto cp = hex4();
          if (!cp) return std::nullopt;
          if (*cp >= 0xD800 && *cp <= 0xDBFF) {
            if (!literal("\\u")) return fail("high surrogate without a low surrogate");
            auto low = hex4();
            if (!low) return std::nullopt;
            if (*low < 0xDC00 || *low > 0xDFFF) return fail("high surrogate without a low one");
            *cp = 0x10000 + ((*cp - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*cp >= 0xDC00 && *cp <= 0xDFFF) {
            return fail("low surrogate without a high surrogate");
          }
          appendUtf8(out, *cp);
          break;
        }
        default:
          --pos_;
          return fail("unknown escape in a string");
      }
    }
  }
};

}  // namespace

std::variant<Value, ParseError> parse(std::string_view text) {
  return Parser(text).run();
}

}  // namespace harkwell::json
