#pragma once
// For benchmarks whose figure only means something beside a baseline measured in the same run:
// the usual console table, plus each benchmark's median CPU time per iteration over its
// repetitions. CPU time, because the benchmarks using it run on one thread, and on a busy machine
// the real time also counts the turns other processes had. By default every benchmark runs
// several times with the repetitions of all of them interleaved, so that the load slows a figure
// and its baseline alike; the command line can override both.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace kestrune::bench {

class SameRunTimes : public benchmark::ConsoleReporter {
 public:
  SameRunTimes() : ConsoleReporter(::isatty(STDOUT_FILENO) ? OO_ColorTabular : OO_Tabular) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      if (run.error_occurred) continue;
      const std::string name = run.run_name.str();
      if (run.run_type == Run::RT_Aggregate) {
        if (run.aggregate_name == "median") medians_[name] = run.GetAdjustedCPUTime();
      } else {
        times_[name].push_back(run.GetAdjustedCPUTime());
      }
    }
  }

  // The median CPU time per iteration of `name` (with its arguments, as "BM_X/48000"), in the
  // benchmark's time unit; 0 when it did not run.
  double median_of(const std::string& name) const {
    if (const auto found = medians_.find(name); found != medians_.end()) return found->second;
    const auto found = times_.find(name);
    if (found == times_.end() || found->second.empty()) return 0.0;
    std::vector<double> times = found->second;
    const auto middle = times.begin() + static_cast<std::ptrdiff_t>(times.size() / 2);
    std::nth_element(times.begin(), middle, times.end());
    return *middle;
  }

 private:
  std::map<std::string, double> medians_;
  std::map<std::string, std::vector<double>> times_;
};

// Runs the benchmarks with five interleaved repetitions unless the command line says otherwise;
// false when the command line holds something the library does not know.
inline bool run_benchmarks(int argc, char** argv, SameRunTimes& reporter) {
  std::vector<std::string> defaults = {"--benchmark_repetitions=5",
                                       "--benchmark_enable_random_interleaving=true",
                                       "--benchmark_report_aggregates_only=true"};
  std::vector<char*> arguments = {argv[0]};
  for (std::string& flag : defaults) arguments.push_back(flag.data());
  // Later flags win, so the caller's own come after the defaults.
  for (int i = 1; i < argc; ++i) arguments.push_back(argv[i]);
  int count = static_cast<int>(arguments.size());
  arguments.push_back(nullptr);
  benchmark::Initialize(&count, arguments.data());
  if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) return false;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  benchmark::Shutdown();
  return true;
}

}  // namespace kestrune::bench
