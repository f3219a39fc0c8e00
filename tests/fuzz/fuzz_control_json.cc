// SPDX-License-Identifier: MIT
// The control-message writer on any message text: its output is always one valid UTF-8 JSON
// object that reads back with the same type and, where the text was valid UTF-8, the same
// message.
#include <cstdint>
#include <cstdlib>
#include <string>
#include <variant>

#include "HarkwellCore/Json.h"
#include "HarkwellCore/JsonParse.h"

namespace {

bool validUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    std::size_t n = c < 0x80 ? 1 : (c >> 5) == 6 ? 2 : (c >> 4) == 14 ? 3 : (c >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return false;
    std::uint32_t cp = n == 1 ? c : c & (0x7F >> n);
    for (std::size_t k = 1; k < n; ++k) {
      const auto d = static_cast<unsigned char>(s[i + k]);
      if ((d >> 6) != 2) return false;
      cp = (cp << 6) | (d & 0x3F);
    }
    if ((n == 2 && cp < 0x80) || (n == 3 && cp < 0x800) || (n == 4 && cp < 0x10000) ||
        cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += n;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  const harkwell::Value message(
      harkwell::Value::Object{{"type", harkwell::Value("error")}, {"msg", harkwell::Value(text)}});
  const auto json = harkwell::json::serialize(message);
  if (!json) std::abort();
  if (!validUtf8(*json)) std::abort();
  const auto parsed = harkwell::json::parse(*json);
  const auto* value = std::get_if<harkwell::Value>(&parsed);
  if (value == nullptr || !value->isObject()) std::abort();
  const auto& object = value->asObject();
  if (object.size() != 2 || object[0].first != "type" || object[1].first != "msg" ||
      !object[1].second.isString())
    std::abort();
  if (validUtf8(text) && object[1].second.asString() != text) std::abort();
  return 0;
}
