// SPDX-License-Identifier: MIT
// The quality section of the converter benchmark.
#pragma once

#include <cstdio>

namespace bench {

// Measures and prints the quality table for 48000 Hz and 44100 Hz input; true when every
// figure meets its target.
bool runQuality(std::FILE* out);

}  // namespace bench
