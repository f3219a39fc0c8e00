// SPDX-License-Identifier: MIT
#include "Speed.h"

#include <string>
#include <vector>

#include "Engines.h"
#include "Signals.h"

namespace bench {

namespace {

constexpr double kRates[] = {48000.0, 44100.0};
constexpr std::size_t kBufferFrames[] = {1024, 4800};

std::string benchmarkName(EngineKind kind, double rate, std::size_t frames) {
  return std::string("convert/") + engineName(kind) + "/" + std::to_string(static_cast<int>(rate)) +
         "/" + std::to_string(frames);
}

void convertProgram(benchmark::State& state, EngineKind kind, double rate, std::size_t frames) {
  std::vector<float> signal = programStereo(rate, static_cast<std::size_t>(rate * 10));
  const std::size_t total = signal.size() / 2;
  auto engine = makeEngine(kind, rate);
  std::size_t pos = 0;
  std::size_t produced = 0;
  for (auto _ : state) {
    if (pos + frames > total) pos = 0;
    produced += engine->process(signal.data() + 2 * pos, frames);
    pos += frames;
  }
  benchmark::DoNotOptimize(produced);
  state.counters["x_realtime"] = benchmark::Counter(static_cast<double>(frames) / rate,
                                                    benchmark::Counter::kIsIterationInvariantRate);
}

}  // namespace

void registerSpeedBenchmarks() {
  for (double rate : kRates) {
    for (std::size_t frames : kBufferFrames) {
      for (EngineKind kind : kEngines) {
        benchmark::RegisterBenchmark(benchmarkName(kind, rate, frames).c_str(), convertProgram,
                                     kind, rate, frames)
            ->Unit(benchmark::kMicrosecond);
      }
    }
  }
}

void SpeedTable::ReportRuns(const std::vector<Run>& runs) {
  for (const Run& run : runs) {
    if (run.run_type != Run::RT_Aggregate || run.aggregate_name != "median") continue;
    const auto counter = run.counters.find("x_realtime");
    if (counter != run.counters.end()) medians_[run.run_name.function_name] = counter->second;
  }
  ConsoleReporter::ReportRuns(runs);
}

bool SpeedTable::print(std::FILE* out) const {
  std::fprintf(out,
               "\nSpeed: stereo float32 -> int16 mono 16000 Hz, median times real time "
               "(CPU time)\n| input Hz | buffer | ");
  for (EngineKind kind : kEngines) std::fprintf(out, "%s | ", engineName(kind));
  std::fprintf(out, "harkwell / soxr_direct |\n|---|---|---|---|---|---|---|\n");
  bool all = true;
  bool complete = true;
  for (double rate : kRates) {
    for (std::size_t frames : kBufferFrames) {
      std::fprintf(out, "| %.0f | %zu | ", rate, frames);
      double ours = 0.0, soxr = 0.0;
      for (EngineKind kind : kEngines) {
        const auto it = medians_.find(benchmarkName(kind, rate, frames));
        if (it == medians_.end()) {
          std::fprintf(out, "- | ");
          complete = false;
          continue;
        }
        std::fprintf(out, "%.0fx | ", it->second);
        if (kind == EngineKind::harkwell) ours = it->second;
        if (kind == EngineKind::soxrDirect) soxr = it->second;
      }
      if (ours > 0.0 && soxr > 0.0) {
        const bool ok = ours >= 4000.0 && ours >= 0.9 * soxr;
        all = all && ok;
        std::fprintf(out, "%.3f %s |\n", ours / soxr, ok ? "ok" : "FAIL");
      } else {
        std::fprintf(out, "- |\n");
      }
    }
  }
  if (!complete) {
    std::fprintf(out,
                 "(medians need --benchmark_repetitions >= 2 and no filter that hides a row)\n");
  }
  std::fprintf(out, "Speed targets (>= 4000x real time, within 10%% of soxr_direct): %s\n",
               complete ? (all ? "all met" : "NOT MET") : "not all measured");
  return all;
}

}  // namespace bench
