#pragma once

// Google Benchmark's console table, plus the throughput of each run kept by name, so a benchmark
// program can print its figures side by side with their baseline once all runs are done.

#include <benchmark/benchmark.h>

#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

class RateReporter : public benchmark::ConsoleReporter {
 public:
  // `summary` runs after the table, with a lookup of MB/s by benchmark-name prefix (0 if none ran).
  using Rate = std::function<double(const std::string& prefix)>;
  explicit RateReporter(std::function<void(const Rate&)> summary) : summary_(std::move(summary)) {}

  void ReportRuns(const std::vector<Run>& runs) override {
    ConsoleReporter::ReportRuns(runs);
    for (const Run& run : runs) {
      const auto found = run.counters.find("bytes_per_second");
      if (found != run.counters.end()) rates_[run.benchmark_name()] = found->second.value / 1048576;
    }
  }

  void Finalize() override {
    ConsoleReporter::Finalize();
    summary_([this](const std::string& prefix) {
      for (const auto& [name, value] : rates_) {
        if (name.rfind(prefix, 0) == 0) return value;
      }
      return 0.0;
    });
  }

 private:
  std::function<void(const Rate&)> summary_;
  std::map<std::string, double> rates_;
};
