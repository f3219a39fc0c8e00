// SPDX-License-Identifier: MIT
// The sample sequences the fake Harkwell writes, so that tests can check every sample.
#pragma once

#include <cstdint>

namespace harkwell::test {

inline std::int16_t micSample(std::int64_t n) {
  return static_cast<std::int16_t>((n * 37) % 2001 - 1000);
}
inline std::int16_t systemSample(std::int64_t n) {
  return static_cast<std::int16_t>(((n * 91) % 8001 - 4000) | 1);  // never digital silence
}

}  // namespace harkwell::test
