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

// Runs the benchmarks with the command line's flags and then the bench's own
// (flags given later win), and returns what they measured.
inline Collector run_benchmarks(int argc, char **argv, std::vector<std::string> flags)
{
    std::vector<char *> args(argv, argv + argc);
    for (std::string &flag : flags)
        args.push_back(flag.data());
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    Collector collector;
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();
    return collector;
}
