// SPDX-License-Identifier: MIT
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>
#include <random>

#include "Harkwell/NumberFormat.h"

namespace harkwell {
namespace {

TEST(FormatDouble, WritesTheShortestDecimalWithAFractionDigit) {
  const struct {
    double value;
    const char* text;
  } cases[] = {
      {16000.0, "16000.0"},
      {44100.0, "44100.0"},
      {48000.0, "48000.0"},
      {0.25, "0.25"},
      {0.5, "0.5"},
      {0.75, "0.75"},
      {1.0, "1.0"},
      {1.25, "1.25"},
      {22050.5, "22050.5"},
      {0.1, "0.1"},
      {0.0, "0.0"},
      {-0.0, "-0.0"},
      {-0.5, "-0.5"},
      {1.0 / 3.0, "0.3333333333333333"},
      {1e21, "1000000000000000000000.0"},
      {std::numeric_limits<double>::quiet_NaN(), "nan"},
      {std::numeric_limits<double>::infinity(), "inf"},
      {-std::numeric_limits<double>::infinity(), "-inf"},
  };
  for (const auto& c : cases) EXPECT_EQ(formatDouble(c.value), c.text) << c.text;
}

TEST(FormatDouble, ReadsBackAsTheSameDouble) {
  std::mt19937_64 random(12345);
  std::uniform_real_distribution<double> rates(1.0, 400000.0);
  const double edges[] = {std::numeric_limits<double>::denorm_min(),
                          std::numeric_limits<double>::max(), 0.1 + 0.2, 44100.0 / 3.0};
  std::vector<double> values(std::begin(edges), std::end(edges));
  for (int i = 0; i < 2000; ++i) values.push_back(rates(random));
  for (double value : values) {
    const std::string text = formatDouble(value);
    EXPECT_NE(text.find('.'), std::string::npos) << text;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_EQ(std::strtod(text.c_str(), nullptr), value) << text;
  }
}

}  // namespace
}  // namespace harkwell
