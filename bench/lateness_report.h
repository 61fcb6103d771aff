// lateness_report.h - wake-up lateness as percentiles, and cyclictest's
// own at the same interval, for the benches that set a cycle beside it.
#pragma once

#include <cstdint>
#include <dirent.h>
#include <sched.h>
#include <sys/types.h>
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

// What cyclictest is given to run as the service's threads do.
struct Placement {
    int priority = 0;  // the highest real-time priority among them; 0 under SCHED_OTHER
    int cpu = -1;      // the one CPU the most urgent thread is held on; -1 when free
};

inline Placement placement_of(pid_t pid)
{
    Placement best;
    std::string tasks = "/proc/" + std::to_string(pid) + "/task";
    DIR *dir = opendir(tasks.c_str());
    if (dir == nullptr)
        return best;
    while (dirent *e = readdir(dir)) {
        sched_param sp{};
        pid_t tid = std::atoi(e->d_name);
        if (e->d_name[0] == '.' || sched_getparam(tid, &sp) != 0 || sp.sched_priority <= best.priority)
            continue;
        best.priority = sp.sched_priority;
        cpu_set_t set;
        best.cpu = -1;
        if (sched_getaffinity(tid, sizeof set, &set) == 0 && CPU_COUNT(&set) == 1)
            for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu)
                if (CPU_ISSET(cpu, &set))
                    best.cpu = cpu;
    }
    closedir(dir);
    return best;
}

// A lateness histogram: counts per microsecond, the last bucket for that
// or later, as the master keeps it.
constexpr size_t kHistogramBuckets = 2001;
using Histogram = std::vector<uint64_t>;

// cyclictest at interval_us for seconds, as placed, into the same buckets
// (its overflows into the last); false when cyclictest cannot run.
inline bool cyclictest_histogram(unsigned interval_us, double seconds, const Placement &placement, Histogram &counts)
{
    unsigned loops = static_cast<unsigned>(seconds * 1e6 / interval_us);
    std::string command = "cyclictest -q -t1 -i " + std::to_string(interval_us) + " -l " + std::to_string(loops) +
                          " -h " + std::to_string(kHistogramBuckets - 1) +
                          (placement.priority > 0 ? " -m -p " + std::to_string(placement.priority)
                                                  : std::string(" --laptop")) +
                          (placement.cpu >= 0 ? " -a " + std::to_string(placement.cpu) : std::string()) +
                          " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    counts.resize(kHistogramBuckets);
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        unsigned us = 0;
        unsigned long count = 0;
        if (std::sscanf(line, "# Histogram Overflows: %lu", &count) == 1)
            counts.back() += count;
        else if (line[0] != '#' && std::sscanf(line, "%u %lu", &us, &count) == 2 && us < kHistogramBuckets - 1)
            counts[us] += count;
    }
    return pclose(pipe) == 0;
}
