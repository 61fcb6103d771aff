// Pacing of a real service beside cyclictest, in the same run and under the
// same conditions. An iohost process runs the bench's driver with 1+1 and
// with 32+32 In and Out threads (Mode 1), at Cycle 1 ms and with
// UseKernelTick at a 250 us tick; the driver notes when every In thread
// cycle starts. cyclictest then runs at the same interval, at the priority
// the service's threads were given and on their CPU when they are held on
// one (SCHED_OTHER and free without RT_SCHED=fifo).
//
// Both sides are measured alike: the gap between successive starts of one
// thread is a whole number of periods k (at least 1, the nearest); the
// period error is |gap - k * period| and k - 1 periods were missed.
// cyclictest's starts are rebuilt from its latencies (-v) and its grid,
// which skips the periods a late wake-up has passed.
#include "lateness_report.h"
#include "pace_samples.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sched.h>
#include <string>
#include <sys/mman.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

constexpr uint32_t kWarmup = 100;  // cycles left out while the service settles
constexpr double kSeconds = 6.0;   // measured per case and side
constexpr int kRounds = 3;
constexpr double kGoalRatio = 1.5;
constexpr double kGoalMissedPercent = 0.1;

struct Figures {
    double p50_us = 0, p99_us = 0, max_us = 0;
    uint64_t missed = 0, periods = 0;
    bool valid = false;
    double missed_percent() const { return periods == 0 ? 0.0 : 100.0 * double(missed) / double(periods); }
};

Figures period_figures(const std::vector<std::vector<uint64_t>> &starts, uint64_t period_ns)
{
    std::vector<double> errors;
    Figures f;
    for (const auto &row : starts) {
        for (size_t i = 1; i < row.size(); ++i) {
            double gap = double(row[i] - row[i - 1]);
            double k = std::max(1.0, std::round(gap / double(period_ns)));
            errors.push_back(std::fabs(gap - k * double(period_ns)) / 1000.0);
            f.missed += uint64_t(k) - 1;
            f.periods += uint64_t(k);
        }
    }
    if (errors.empty())
        return f;
    std::sort(errors.begin(), errors.end());
    size_t n = errors.size();
    f.p50_us = errors[n / 2];
    f.p99_us = errors[std::min(n - 1, n * 99 / 100)];
    f.max_us = errors.back();
    f.valid = true;
    return f;
}

bool meets_goal(const Figures &ours, const Figures &reference)
{
    double ratio = reference.p99_us > 0 ? ours.p99_us / reference.p99_us : 0.0;
    return ratio <= kGoalRatio && ours.missed_percent() - reference.missed_percent() <= kGoalMissedPercent;
}

struct Case {
    const char *name;
    bool kernel_tick;
    unsigned period_us;
    unsigned threads;  // In threads, and as many Out threads
};

std::string bin_dir()
{
    return std::filesystem::read_symlink("/proc/self/exe").parent_path().string();
}

std::string node_config(const Case &c)
{
    char text[1024];
    std::snprintf(text, sizeof text,
                  "[[service]]\nname = \"PACE\"\ndriver = \"pace_driver.rsl\"\n"
                  "settings = { Mode = 1, Cycle = 1, UseKernelTick = %d, InThreadNum = %u, OutThreadNum = %u }\n"
                  "[[service.input]]\ntag = \"PACE.In\"\naddress = 0\naccess = \"value\"\ntype = \"u32\"\n"
                  "[[service.output]]\ntag = \"PACE.Out\"\naddress = 0\naccess = \"value\"\ntype = \"u32\"\n",
                  c.kernel_tick ? 1 : 0, c.threads, c.threads);
    return text;
}

using Starts = std::vector<std::vector<uint64_t>>;  // one row of start times per thread

struct ServiceRun {
    Starts starts;
    Placement placement;
    std::vector<double> spread_us;  // per cycle: the last In thread's start after the first's
};

// Starts iohost in a node of its own, runs it, and adds its cycle starts to result.
bool run_service(const Case &c, uint32_t samples, ServiceRun &result)
{
    char dir[] = "/tmp/iohpace-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return false;
    std::ofstream(std::string(dir) + "/node.toml") << node_config(c);
    std::string path = std::string(dir) + "/" + kPaceSamplesFile;
    int fd = open(path.c_str(), O_RDWR | O_CREAT, 0600);
    if (fd < 0 || ftruncate(fd, sizeof(PaceSamples)) != 0)
        return false;
    auto *shared = static_cast<PaceSamples *>(
        mmap(nullptr, sizeof(PaceSamples), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
    close(fd);
    if (shared == MAP_FAILED)
        return false;

    std::string env = "RT_NODE_DIR=" + std::string(dir) + " KO_SERVICE=PACE" +
                      (c.kernel_tick ? " RT_KERNEL_TICK_US=" + std::to_string(c.period_us) : std::string());
    pid_t pid = fork();
    if (pid == 0) {
        std::string command = "exec env " + env + " " + bin_dir() + "/iohost -rsl pace_driver.rsl >/dev/null 2>&1";
        execl("/bin/sh", "sh", "-c", command.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    std::string run = "env " + env + " " + bin_dir() + "/ko ctl PACE run >/dev/null 2>&1";
    for (int i = 0; i < 100 && std::system(run.c_str()) != 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(100));

    uint32_t want = kWarmup + samples;
    auto deadline = std::chrono::steady_clock::now() +
                    std::chrono::duration<double>(3.0 * want * c.period_us / 1e6 + 10.0);
    auto lowest = [&] {
        uint32_t low = want;
        for (uint32_t t = 0; t < c.threads; ++t)
            low = std::min(low, shared->count[t].load(std::memory_order_acquire));
        return low;
    };
    while (lowest() < want && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    result.placement = placement_of(pid);
    kill(pid, SIGTERM);
    waitpid(pid, nullptr, 0);

    bool ran = lowest() >= want;
    if (ran) {
        const PaceSamples &s = *shared;
        for (uint32_t t = 0; t < c.threads; ++t)
            result.starts.emplace_back(s.ns[t] + kWarmup, s.ns[t] + want);
        for (uint32_t i = kWarmup; i < want; ++i)
            result.spread_us.push_back(double(int64_t(s.ns[c.threads - 1][i] - s.ns[0][i])) / 1000.0);
    }
    munmap(shared, sizeof(PaceSamples));
    std::filesystem::remove_all(dir);
    return ran;
}

// cyclictest's per-wake-up latencies (-v: "thread: count: latency") as start
// times, added to starts; false when cyclictest cannot run.
bool run_cyclictest(unsigned interval_us, uint32_t samples, const Placement &placement, Starts &starts_out)
{
    std::string command =
        "cyclictest -q -t1 -d0 -v -i " + std::to_string(interval_us) + " -l " + std::to_string(samples) +
        (placement.priority > 0 ? " -m -p " + std::to_string(placement.priority) : std::string(" --laptop")) +
        (placement.cpu >= 0 ? " -a " + std::to_string(placement.cpu) : std::string()) + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return false;
    std::vector<uint64_t> starts;
    uint64_t due = 0, period = uint64_t(interval_us) * 1000;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        unsigned thread = 0, count = 0;
        unsigned long latency_us = 0;
        if (std::sscanf(line, " %u: %u: %lu", &thread, &count, &latency_us) != 3)
            continue;
        uint64_t start = due + latency_us * 1000;
        starts.push_back(start);
        due += period;
        while (due <= start)  // the grid skips the periods already passed
            due += period;
    }
    if (pclose(pipe) != 0 || starts.size() < 2)
        return false;
    starts_out.push_back(std::move(starts));
    return true;
}

void print_line(const char *who, const Figures &f)
{
    std::printf("  %-22s p50 %6.1f us  p99 %6.1f us  max %7.1f us  missed %4llu of %6llu (%.2f%%)\n", who, f.p50_us,
                f.p99_us, f.max_us, static_cast<unsigned long long>(f.missed),
                static_cast<unsigned long long>(f.periods), f.missed_percent());
}

}  // namespace

int main()
{
    const char *sched = std::getenv("RT_SCHED");
    bool fifo = sched != nullptr && std::strcmp(sched, "fifo") == 0;
    std::printf("pacing: period error of each In thread's cycle starts, %s, %ld CPUs\n",
                fifo ? "RT_SCHED=fifo (cyclictest -m at the service's priority and CPU)"
                     : "SCHED_OTHER (cyclictest --laptop); the goal is set for RT_SCHED=fifo",
                sysconf(_SC_NPROCESSORS_ONLN));
    std::printf("goal at 1+1 threads: p99 <= %.1f x cyclictest's, missed <= cyclictest's + %.1f%%\n", kGoalRatio,
                kGoalMissedPercent);
    std::fflush(stdout);
    const Case cases[] = {
        {"Cycle 1 ms", false, 1000, 1},
        {"Cycle 1 ms", false, 1000, 32},
        {"UseKernelTick, 250 us tick", true, 250, 1},
        {"UseKernelTick, 250 us tick", true, 250, 32},
    };
    bool all_met = true;
    for (const Case &c : cases) {
        auto samples = static_cast<uint32_t>(kSeconds / kRounds * 1e6 / c.period_us);
        std::printf("%s, %u+%u threads:\n", c.name, c.threads, c.threads);
        std::fflush(stdout);
        // Rounds of one side then the other, so that a disturbed stretch of
        // the machine's time falls on both alike.
        ServiceRun service;
        Starts reference_starts;
        bool reference_ran = true;
        uint64_t period_ns = uint64_t(c.period_us) * 1000;
        double reference_missed_low = 100, reference_missed_high = 0;  // the machine's own spread
        int held = 0;  // rounds in which the goal held on their own
        for (int round = 0; round < kRounds; ++round) {
            size_t first_row = service.starts.size();
            if (!run_service(c, samples, service)) {
                std::printf("  iohost: the service did not run its cycles\n");
                return 1;
            }
            Starts one;
            reference_ran = reference_ran && run_cyclictest(c.period_us, samples, service.placement, one);
            if (reference_ran) {
                Figures theirs = period_figures(one, period_ns);
                Figures mine = period_figures(Starts(service.starts.begin() + long(first_row), service.starts.end()),
                                              period_ns);
                held += meets_goal(mine, theirs) ? 1 : 0;
                reference_missed_low = std::min(reference_missed_low, theirs.missed_percent());
                reference_missed_high = std::max(reference_missed_high, theirs.missed_percent());
                reference_starts.push_back(std::move(one.front()));
            }
        }
        Figures ours = period_figures(service.starts, period_ns);
        print_line("iohost In threads", ours);
        if (c.threads > 1) {
            auto &spread = service.spread_us;
            std::nth_element(spread.begin(), spread.begin() + spread.size() / 2, spread.end());
            std::printf("  %-22s the last In thread starts %.1f us after the first (median)\n", "",
                        spread[spread.size() / 2]);
        }
        if (!reference_ran) {
            std::printf("  cyclictest: not available (make bench-deps installs rt-tests)\n");
            all_met = false;
            continue;
        }
        Figures reference = period_figures(reference_starts, period_ns);
        print_line(("cyclictest -i " + std::to_string(c.period_us)).c_str(), reference);
        std::printf("  %-22s cyclictest's missed periods from round to round: %.2f%% to %.2f%%\n", "",
                    reference_missed_low, reference_missed_high);
        double ratio = reference.p99_us > 0 ? ours.p99_us / reference.p99_us : 0.0;
        double extra_missed = ours.missed_percent() - reference.missed_percent();
        bool met = meets_goal(ours, reference);
        std::printf("  p99 ratio %.2f, missed %+.2f%%: %s; held in %d of %d rounds alone\n", ratio, extra_missed,
                    c.threads > 1 ? (met ? "within the 1+1 goal" : "beyond the 1+1 goal (stated, no goal)")
                                  : (met ? "goal met" : "goal NOT met"),
                    held, kRounds);
        std::fflush(stdout);
        if (c.threads == 1)
            all_met = all_met && met;
    }
    std::printf("pacing verdict (1+1 threads, %s): %s\n", fifo ? "RT_SCHED=fifo" : "SCHED_OTHER",
                all_met ? "goal met" : "goal NOT met");
    return 0;
}
