// SPDX-License-Identifier: MIT
// Converter benchmark: the quality table, then the speed comparison (Google Benchmark).
//   converter_bench                  quality, then speed: 10 repetitions in random order,
//                                    medians in a side-by-side table
//   converter_bench --quality-only   quality only; exit status 1 when a target is missed
// Other --benchmark_* options pass through to Google Benchmark.
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "Quality.h"
#include "Speed.h"

int main(int argc, char** argv) {
  bool qualityOnly = false;
  std::vector<char*> args;
  for (int i = 0; i < argc; ++i) {
    if (std::strcmp(argv[i], "--quality-only") == 0) {
      qualityOnly = true;
      continue;
    }
    args.push_back(argv[i]);
  }

  const bool qualityOk = bench::runQuality(stdout);
  std::fflush(stdout);
  if (qualityOnly) return qualityOk ? 0 : 1;

  // Defaults for a loaded machine: repetitions in random order, medians reported.
  static char repetitions[] = "--benchmark_repetitions=10";
  static char minTime[] = "--benchmark_min_time=0.2";
  static char interleaving[] = "--benchmark_enable_random_interleaving=true";
  static char aggregatesOnly[] = "--benchmark_report_aggregates_only=true";
  std::vector<char*> withDefaults{args[0]};
  for (char* flag : {repetitions, minTime, interleaving, aggregatesOnly}) {
    const auto nameLength = static_cast<std::size_t>(std::strchr(flag, '=') - flag);
    bool given = false;
    for (char* arg : args) given = given || std::strncmp(arg, flag, nameLength) == 0;
    if (!given) withDefaults.push_back(flag);
  }
  withDefaults.insert(withDefaults.end(), args.begin() + 1, args.end());
  args = std::move(withDefaults);
  int count = static_cast<int>(args.size());
  args.push_back(nullptr);
  benchmark::Initialize(&count, args.data());
  if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
  bench::registerSpeedBenchmarks();
  bench::SpeedTable table;
  benchmark::RunSpecifiedBenchmarks(&table);
  const bool speedOk = table.print(stdout);
  benchmark::Shutdown();
  return qualityOk && speedOk ? 0 : 1;
}
