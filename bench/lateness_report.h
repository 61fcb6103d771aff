// lateness_report.h - wake-up lateness as percentiles, and cyclictest's
// own at the same interval, for the benches that set a cycle beside it.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

struct Percentiles {
    double median, p99, max;
};

// From counts per microsecond.
inline Percentiles percentiles(const std::vector<uint64_t> &counts)
{
    uint64_t total = 0;
    for (uint64_t c : counts)
        total += c;
    Percentiles p{0, 0, 0};
    uint64_t seen = 0;
    bool median = false, p99 = false;
    for (size_t us = 0; us < counts.size(); ++us) {
        if (counts[us] == 0)
            continue;
        seen += counts[us];
        if (!median && seen * 2 >= total) {
            p.median = double(us);
            median = true;
        }
        if (!p99 && seen * 100 >= total * 99) {
            p.p99 = double(us);
            p99 = true;
        }
        p.max = double(us);
    }
    return p;
}

// cyclictest's histogram ("usec count" lines) at the same interval; its p99, or -1.
inline double run_cyclictest(unsigned interval_us, bool fifo)
{
    unsigned loops = 3000000 / interval_us;
    std::string command = "cyclictest -q -t1 -i " + std::to_string(interval_us) + " -l " + std::to_string(loops) +
                          " -h 20000 " + (fifo ? "-m -p 80" : "--laptop") + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return -1;
    std::vector<uint64_t> counts(20001);
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        unsigned us = 0;
        unsigned long count = 0;
        if (line[0] != '#' && std::sscanf(line, "%u %lu", &us, &count) == 2 && us < counts.size())
            counts[us] += count;
    }
    if (pclose(pipe) != 0) {
        std::printf("cyclictest -i %u: not available (apt-get install rt-tests)\n", interval_us);
        return -1;
    }
    Percentiles p = percentiles(counts);
    std::printf("%-28s median %6.0f us  p99 %6.0f us  max %6.0f us\n",
                ("cyclictest -i " + std::to_string(interval_us)).c_str(), p.median, p.p99, p.max);
    std::fflush(stdout);
    return p.p99;
}


// Runs the pace child (which prints a line with "p99 N us"), passes its
// output on, then cyclictest at the same period, and prints the ratio of the
// two p99s with its verdict (goal: at most 1.5). False when the child failed.
inline bool pace_beside_cyclictest(const std::string &child_command, unsigned period_us, bool fifo)
{
    FILE *child = popen(child_command.c_str(), "r");
    char line[256] = {};
    double p99 = -1;
    while (child != nullptr && std::fgets(line, sizeof line, child) != nullptr) {
        std::fputs(line, stdout);
        if (const char *at = std::strstr(line, "p99"))
            p99 = std::atof(at + 3);
    }
    if (child == nullptr || pclose(child) != 0)
        return false;
    double reference = run_cyclictest(period_us, fifo);
    if (reference >= 0 && p99 >= 0) {
        double floor = reference < 1.0 ? 1.0 : reference;
        std::printf("  p99 %.0f us against %.0f us: %.2f times (goal at most 1.5) %s\n", p99, reference, p99 / floor,
                    p99 <= 1.5 * floor ? "met" : "NOT MET");
    }
    std::fflush(stdout);
    return true;
}
