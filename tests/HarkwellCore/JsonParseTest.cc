// SPDX-License-Identifier: MIT
// The JSON reader for control payloads.
#include <gtest/gtest.h>

#include <ostream>
#include <variant>

#include "HarkwellCore/JsonParse.h"

namespace harkwell::json {
namespace {

struct JsonCase {
  std::string text;
  bool valid;
};

void PrintTo(const JsonCase& c, std::ostream* os) {
  *os << ::testing::PrintToString(c.text);
}

class JsonParseTest : public ::testing::TestWithParam<JsonCase> {};

TEST_P(JsonParseTest, AcceptsJsonAndRejectsTheRest) {
  const JsonCase& c = GetParam();
  const auto result = parse(c.text);
  EXPECT_EQ(std::holds_alternative<Value>(result), c.valid) << c.text;
}

INSTANTIATE_TEST_SUITE_P(
    Texts, JsonParseTest,
    ::testing::Values(JsonCase{R"({"type":"ready"})", true},
                      JsonCase{" {\"a\" : [1, -2.5e3, 0, 1E+2, true, false, null, {}, []]}\n",
                               true},
                      JsonCase{R"("\u00e9\ud83d\ude00\/\"\\\b\f\n\r\t")", true},
                      JsonCase{"\"caf\xC3\xA9 \xF0\x9F\x98\x80\"", true}, JsonCase{"", false},
                      JsonCase{"   ", false}, JsonCase{"{", false}, JsonCase{R"({"a":1,})", false},
                      JsonCase{R"({"a" 1})", false}, JsonCase{R"({a:1})", false},
                      JsonCase{"[1,]", false}, JsonCase{"01", false}, JsonCase{"1.", false},
                      JsonCase{"-", false}, JsonCase{".5", false}, JsonCase{"1e", false},
                      JsonCase{"tru", false}, JsonCase{"nul", false}, JsonCase{R"("\x")", false},
                      JsonCase{R"("\u12")", false}, JsonCase{R"("\ud800")", false},
                      JsonCase{R"("\udc00")", false}, JsonCase{"\"tab\there\"", false},
                      JsonCase{"\"unterminated", false}, JsonCase{R"({"a":1} x)", false},
                      JsonCase{R"({"a":1}{"b":2})", false},
                      JsonCase{"\"\xC0\xAF\"", false},          // overlong encoding of '/'
                      JsonCase{"\"\xED\xA0\x80\"", false},      // an encoded surrogate
                      JsonCase{"\"\xF4\x90\x80\x80\"", false},  // beyond U+10FFFF
                      JsonCase{"\"\xE2\x82\"", false},          // cut short
                      JsonCase{std::string(256, '[') + std::string(256, ']'), true},
                      JsonCase{std::string(100000, '[') + std::string(100000, ']'), false}));

TEST(JsonParseValueTest, GivesBackTheMessage) {
  const auto result = parse(R"({"type":"error","msg":"tap_start: a\/b \u00e9","n":-12,"x":1.5})");
  ASSERT_TRUE(std::holds_alternative<Value>(result));
  const Value expected(Value::Object{
      {"type", "error"}, {"msg", "tap_start: a/b \xC3\xA9"}, {"n", std::int64_t{-12}}, {"x", 1.5}});
  EXPECT_TRUE(std::get<Value>(result) == expected);
}

TEST(JsonParseValueTest, SaysWhereTheTextGoesWrong) {
  const auto result = parse(R"({"type":"ready",})");
  ASSERT_TRUE(std::holds_alternative<ParseError>(result));
  EXPECT_EQ(std::get<ParseError>(result).offset, 16u);
  EXPECT_EQ(std::get<ParseError>(result).reason, "expected a string key");
}

}  // namespace
}  // namespace harkwell::json
