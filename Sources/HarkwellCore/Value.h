// SPDX-License-Identifier: MIT
// A small tree of values: what a control message or a platform dictionary holds.
// Objects keep their keys in insertion order.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace harkwell {

class Value {
 public:
  using Array = std::vector<Value>;
  using Object = std::vector<std::pair<std::string, Value>>;

  Value() : v_(nullptr) {}
  Value(std::nullptr_t) : v_(nullptr) {}
  Value(bool b) : v_(b) {}
  Value(int i) : v_(static_cast<std::int64_t>(i)) {}
  Value(std::int64_t i) : v_(i) {}
  Value(std::uint32_t i) : v_(static_cast<std::int64_t>(i)) {}
  Value(double d) : v_(d) {}
  Value(const char* s) : v_(std::string(s)) {}
  Value(std::string s) : v_(std::move(s)) {}
  Value(std::string_view s) : v_(std::string(s)) {}
  Value(Array a) : v_(std::move(a)) {}
  Value(Object o) : v_(std::move(o)) {}

  bool isNull() const { return std::holds_alternative<std::nullptr_t>(v_); }
  bool isBool() const { return std::holds_alternative<bool>(v_); }
  bool isInt() const { return std::holds_alternative<std::int64_t>(v_); }
  bool isDouble() const { return std::holds_alternative<double>(v_); }
  bool isString() const { return std::holds_alternative<std::string>(v_); }
  bool isArray() const { return std::holds_alternative<Array>(v_); }
  bool isObject() const { return std::holds_alternative<Object>(v_); }

  bool asBool() const { return std::get<bool>(v_); }
  std::int64_t asInt() const { return std::get<std::int64_t>(v_); }
  double asDouble() const { return std::get<double>(v_); }
  const std::string& asString() const { return std::get<std::string>(v_); }
  const Array& asArray() const { return std::get<Array>(v_); }
  const Object& asObject() const { return std::get<Object>(v_); }

  // The value under `key` when this is an object that has it; null otherwise.
  const Value* find(std::string_view key) const {
    if (!isObject()) return nullptr;
    for (const auto& [k, val] : asObject())
      if (k == key) return &val;
    return nullptr;
  }

  friend bool operator==(const Value&, const Value&) = default;

 private:
  std::variant<std::nullptr_t, bool, std::int64_t, double, std::string, Array, Object> v_;
};

}  // namespace harkwell
