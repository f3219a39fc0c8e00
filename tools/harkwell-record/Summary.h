// SPDX-License-Identifier: MIT
// Text for people: the live meter lines and the summary at the end.
#pragma once

#include <string>

#include "Recording.h"

namespace harkwell::record {

// A source whose peak stays below this is reported as silent.
inline constexpr double kSilentBelowDbfs = -60.0;

// "-23.4" or "-inf".
std::string formatDbfs(double dbfs);

// One live line: name, elapsed time, RMS and peak of the window, a bar meter, frame count.
std::string formatMeterLine(const char* name, double elapsed, const Levels& window,
                            std::uint64_t frames);

// The summary table of both sources and the control messages, with a hint for each problem.
std::string formatSummary(const Recording& recording);

// Both sources carried samples with a peak above kSilentBelowDbfs.
bool bothSourcesHaveSound(const Recording& recording);

}  // namespace harkwell::record
