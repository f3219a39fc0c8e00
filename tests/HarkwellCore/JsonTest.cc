// SPDX-License-Identifier: MIT
// Control-message JSON: compact text, escaping, and repair of bytes that are not UTF-8.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include "HarkwellCore/Json.h"

namespace harkwell {
namespace {

std::string stringJson(std::string_view s) {
  const auto text = json::serialize(Value(std::string(s)));
  return text ? *text : "<none>";
}

TEST(Json, StringEscapes) {
  struct Case {
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"plain", R"("plain")"},
      {"a\"b\\c", R"("a\"b\\c")"},
      {"a/b", R"("a\/b")"},
      {"\b\f\n\r\t", R"("\b\f\n\r\t")"},
      {std::string("\x00\x01\x1f", 3), R"("\u0000\u0001\u001f")"},
      {"\x7f", "\"\x7f\""},  // DEL needs no escape
      {"", R"("")"},
  };
  for (const Case& c : cases) EXPECT_EQ(stringJson(c.in), c.out) << c.out;
}

// Valid UTF-8 passes through as its bytes; each ill-formed sequence (its longest prefix that
// could have begun a valid character) becomes one U+FFFD.
TEST(Json, Utf8PassesThroughAndInvalidSequencesBecomeReplacementCharacters) {
  const std::string R = "\xEF\xBF\xBD";
  struct Case {
    const char* name;
    std::string in;
    std::string out;
  };
  const std::vector<Case> cases = {
      {"two-byte", "\xC3\xA9", "\xC3\xA9"},
      {"em dash", "a \xE2\x80\x94 b", "a \xE2\x80\x94 b"},
      {"four-byte", "\xF0\x9F\x8E\xA4", "\xF0\x9F\x8E\xA4"},
      {"largest code point", "\xF4\x8F\xBF\xBF", "\xF4\x8F\xBF\xBF"},
      {"lone continuation", "a\x80z", "a" + R + "z"},
      {"two continuations", "\x80\xBF", R + R},
      {"overlong C0", "\xC0\xAF", R + R},
      {"overlong E0", "\xE0\x80\xAF", R + R + R},
      {"surrogate", "\xED\xA0\x80", R + R + R},
      {"above U+10FFFF", "\xF4\x90\x80\x80", R + R + R + R},
      {"F5 lead", "\xF5\x80", R + R},
      {"FF", "\xFF", R},
      {"truncated three-byte at end", "x\xE2\x80", "x" + R},
      {"truncated four-byte before ASCII",
       "\xF0\x9F\x8E"
       "A",
       R + "A"},
      {"truncated then valid", "\xE2\x80\xC3\xA9", R + "\xC3\xA9"},
      {"lead then lead", "\xC3\xC3\xA9", R + "\xC3\xA9"},
  };
  for (const Case& c : cases) EXPECT_EQ(stringJson(c.in), "\"" + c.out + "\"") << c.name;
}

TEST(Json, KeysAreEscapedAndRepairedToo) {
  const auto text = json::serialize(Value(Value::Object{{"k/\xFF", 1}}));
  ASSERT_TRUE(text);
  EXPECT_EQ(*text, "{\"k\\/\xEF\xBF\xBD\":1}");
}

TEST(Json, CompactTextInInsertionOrder) {
  const Value message(Value::Object{
      {"type", "error"},
      {"msg", "mic_start: denied"},
      {"code", -35},
      {"big", std::int64_t{9007199254740993}},
      {"rate", 16000.0},
      {"ratio", 0.1},
      {"ok", true},
      {"no", false},
      {"nothing", nullptr},
      {"list", Value::Array{1, "two", Value::Array{}, Value::Object{}}},
      {"nested", Value::Object{{"z", 1}, {"a", 2}}},
  });
  EXPECT_EQ(json::serialize(message),
            R"({"type":"error","msg":"mic_start: denied","code":-35,"big":9007199254740993,)"
            R"("rate":16000,"ratio":0.1,"ok":true,"no":false,"nothing":null,)"
            R"("list":[1,"two",[],{}],"nested":{"z":1,"a":2}})");
}

TEST(Json, NonFiniteNumbersCannotBeSerialised) {
  for (double d : {std::numeric_limits<double>::infinity(),
                   -std::numeric_limits<double>::infinity(), std::nan("")}) {
    EXPECT_EQ(json::serialize(Value(d)), std::nullopt);
    EXPECT_EQ(json::serialize(Value(Value::Object{{"a", Value::Array{1, d}}})), std::nullopt);
  }
}

}  // namespace
}  // namespace harkwell
