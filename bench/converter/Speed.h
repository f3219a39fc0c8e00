// SPDX-License-Identifier: MIT
// The speed section of the converter benchmark.
#pragma once

#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <tuple>

namespace bench {

// One benchmark per converter, input rate (48000, 44100) and buffer size (1024, 4800 frames),
// each reporting a counter "x_realtime": seconds of audio converted per second of CPU time.
void registerSpeedBenchmarks();

// The console report, plus a side-by-side table of the median "x_realtime" of each benchmark.
class SpeedTable : public benchmark::ConsoleReporter {
 public:
  void ReportRuns(const std::vector<Run>& runs) override;
  // Prints the table; true when ours runs at least 4000 times real time and within 10% of
  // libsoxr called directly in every configuration.
  bool print(std::FILE* out) const;

 private:
  std::map<std::string, double> medians_;  // by benchmark name
};

}  // namespace bench
