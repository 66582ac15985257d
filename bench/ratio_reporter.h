#pragma once

// The console report of a benchmark program, followed by its own summary: the figures of every
// benchmark, in nanoseconds of real time per iteration, by the benchmark's name.
#include <benchmark/benchmark.h>

#include <cstdio>

#include <functional>
#include <map>
#include <string>

namespace benchsupport {

using Figures = std::map<std::string, double>;

class RatioReporter : public benchmark::ConsoleReporter {
 public:
  explicit RatioReporter(std::function<void(const Figures&)> summary)
      : ConsoleReporter(OO_Tabular), summary_(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    for (const Run& run : runs) {
      // With repetitions, their median stands for the benchmark (it is reported after them).
      const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
      if (run.run_type == Run::RT_Aggregate && !median) continue;
      figures_[run.run_name.function_name] =
          run.GetAdjustedRealTime() / benchmark::GetTimeUnitMultiplier(run.time_unit) * 1e9;
    }
    ConsoleReporter::ReportRuns(runs);
  }
  void Finalize() override {
    ConsoleReporter::Finalize();
    summary_(figures_);
  }

 private:
  std::function<void(const Figures&)> summary_;
  Figures figures_;
};

// One row of the performance report that scripts/bench.sh gathers from every benchmark program:
// a figure, the baseline measured in the same run (same unit) and their ratio, tab-separated
// behind the word "report".
inline void ReportRow(const std::string& figure, double value, const std::string& baseline,
                      double baselineValue, const std::string& unit) {
  std::printf("report\t%s\t%.1f %s\t%s\t%.1f %s\t%.2f\n", figure.c_str(), value, unit.c_str(),
              baseline.c_str(), baselineValue, unit.c_str(),
              baselineValue > 0 ? value / baselineValue : 0.0);
}

// Runs the benchmarks the command line selects, then the summary.
inline void RunBenchmarks(int& argc, char** argv, std::function<void(const Figures&)> summary) {
  benchmark::Initialize(&argc, argv);
  RatioReporter reporter(std::move(summary));
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
}

}  // namespace benchsupport
