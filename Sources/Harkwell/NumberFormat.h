// SPDX-License-Identifier: MIT
// How numbers appear inside diagnostic lines.
#pragma once

#include <string>

namespace harkwell {

// A double as the shortest decimal that reads back as the same value, always with at least one
// digit after the point: 16000.0, 44100.0, 0.25, 1.25, -0.5. Not-a-number and the infinities
// print as "nan", "inf" and "-inf".
std::string formatDouble(double value);

}  // namespace harkwell
