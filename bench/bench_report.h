// bench_report.h - Google Benchmark's console output, kept as figures too,
// so that a bench can print ratios and verdicts after the runs.
#pragma once

#include <benchmark/benchmark.h>
#include <map>
#include <string>
#include <vector>

// Every repetition's real time per iteration, in the benchmark's unit, by name.
class Collector : public benchmark::ConsoleReporter {
public:
    std::map<std::string, std::vector<double>> times;
    void ReportRuns(const std::vector<Run> &runs) override
    {
        for (const Run &run : runs)
            if (run.run_type == Run::RT_Iteration)
                times[run.benchmark_name().substr(0, run.benchmark_name().find('/'))].push_back(
                    run.GetAdjustedRealTime());
        ConsoleReporter::ReportRuns(runs);
    }
};
