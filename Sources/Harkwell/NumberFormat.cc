// SPDX-License-Identifier: MIT
#include "NumberFormat.h"

#include <array>
#include <charconv>
#include <cmath>
#include <string_view>

namespace harkwell {

std::string formatDouble(double value) {
  if (std::isnan(value)) return "nan";
  if (std::isinf(value)) return value < 0 ? "-inf" : "inf";
  // Fixed notation without a precision gives the shortest digits that read back exactly.
  std::array<char, 400> digits;
  auto [end, ec] =
      std::to_chars(digits.data(), digits.data() + digits.size(), value, std::chars_format::fixed);
  std::string text(digits.data(), ec == std::errc() ? end : digits.data());
  if (text.find('.') == std::string::npos) text += ".0";
  return text;
}

}  // namespace harkwell
