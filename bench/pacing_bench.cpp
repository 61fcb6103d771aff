// Pacing of the container's AutoCycle thread: how late each release of an
// In thread comes after the tick boundary it was due on, at Cycle 1 ms
// (500 us tick) and with UseKernelTick at a 100 us tick, beside cyclictest
// run in the same job at the same interval under the same conditions
// (RT_SCHED=fifo: cyclictest -m -p 80; otherwise cyclictest --laptop).
// Each case runs in a process of its own: the tick is read once per process.
#include "iohost.h"
#include "rt.h"
#include "service.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <sched.h>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Stats {
    double median_us, p99_us, max_us;
    size_t missed, samples;
};

Stats stats_of(std::vector<double> lateness_us, double period_us)
{
    std::sort(lateness_us.begin(), lateness_us.end());
    size_t n = lateness_us.size();
    size_t missed = 0;
    for (double l : lateness_us)
        missed += l >= period_us;
    return {lateness_us[n / 2], lateness_us[std::min(n - 1, n * 99 / 100)], lateness_us.back(), missed, n};
}

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

struct Sampler {
    size_t samples;
    uint64_t grid_ns;
    uint64_t period_ns;
    std::vector<double> lateness_us;
    size_t missed = 0;  // passes that came a period or more after the one before them was due
    volatile bool done = false;
};

// Stands in for In thread 0: every release is one pass of AutoCycle.
void sample(void *param)
{
    auto *s = static_cast<Sampler *>(param);
    uint64_t last = 0;
    for (size_t i = 0; i < s->samples + 50; ++i) {
        WaitForRtSemaphore(g_record.in_threads[0].wake_semaphore, 1, WAIT_FOREVER);
        uint64_t t = now_ns();
        if (i >= 50) {  // the first passes settle
            // Within one grid step of the boundary it was due on; later passes show as missed.
            s->lateness_us.push_back(double(t % s->grid_ns) / 1000.0);
            uint64_t gap = t - last;
            if (gap >= s->period_ns + s->period_ns / 2)
                s->missed += (gap + s->period_ns / 2) / s->period_ns - 1;
        }
        last = t;
    }
    s->done = true;
}

int run_case(bool kernel_tick, size_t samples)
{
    char dir[] = "/tmp/iohpace-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    setenv("RT_NODE_DIR", dir, 1);
    ko::bind_service("PACE");
    g_config.run = 1;
    g_config.connected = 1;
    g_config.mode = 2;
    g_config.in_thread_num = 1;
    g_config.cycle = 1;
    g_config.use_kernel_tick = kernel_tick ? 1 : 0;
    g_record.in_threads[0].wake_semaphore = CreateRtSemaphore(0, 10, 0);
    SetRtProcessMaxPriority(NULL_RTHANDLE, 0);
    SYSINFO info;
    CopyRtSystemInfo(&info);
    uint64_t tick_ns = 10000000ull / info.KernelTickRatio;  // 10 ms / ticks per 10 ms
    Sampler s{samples, tick_ns, kernel_tick ? tick_ns : 1000000ull, {}};
    s.lateness_us.reserve(samples);
    if (CreateRtThread(20, sample, 65536, &s) == BAD_RTHANDLE ||
        CreateRtThread(30, AutoCycleThread, 65536, &g_config) == BAD_RTHANDLE)
        return 1;
    while (!s.done)
        usleep(10000);
    double period_us = kernel_tick ? tick_ns / 1000.0 : 1000.0;
    Stats st = stats_of(s.lateness_us, period_us);
    st.missed = s.missed;
    std::printf("%-34s median %6.1f us  p99 %6.1f us  max %7.1f us  missed %zu of %zu\n",
                kernel_tick ? "AutoCycle, UseKernelTick, 100 us" : "AutoCycle, Cycle 1 ms", st.median_us, st.p99_us,
                st.max_us, st.missed, st.samples);
    std::fflush(stdout);
    std::system(("rm -rf " + std::string(dir)).c_str());
    _exit(0);
}

// cyclictest's histogram (-h, one line per microsecond: "usec count") to stats.
void run_cyclictest(unsigned interval_us, size_t samples, bool fifo)
{
    std::string command = "cyclictest -q -t1 -i " + std::to_string(interval_us) + " -l " + std::to_string(samples) +
                          " -h 20000 " + (fifo ? "-m -p 80" : "--laptop") + " 2>/dev/null";
    FILE *pipe = popen(command.c_str(), "r");
    if (pipe == nullptr)
        return;
    std::vector<double> lateness;
    char line[256];
    while (std::fgets(line, sizeof line, pipe) != nullptr) {
        unsigned us = 0;
        unsigned long count = 0;
        if (line[0] != '#' && std::sscanf(line, "%u %lu", &us, &count) == 2)
            lateness.insert(lateness.end(), count, double(us));
    }
    if (pclose(pipe) != 0 || lateness.empty()) {
        std::printf("cyclictest -i %u: not available (apt-get install rt-tests)\n", interval_us);
        return;
    }
    Stats st = stats_of(lateness, interval_us);
    std::printf("%-34s median %6.1f us  p99 %6.1f us  max %7.1f us  missed %zu of %zu\n",
                ("cyclictest -i " + std::to_string(interval_us)).c_str(), st.median_us, st.p99_us, st.max_us,
                st.missed, st.samples);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && std::strcmp(argv[1], "cycle") == 0)
        return run_case(false, 3000);
    if (argc == 2 && std::strcmp(argv[1], "tick") == 0)
        return run_case(true, 10000);
    const char *sched = std::getenv("RT_SCHED");
    bool fifo = sched != nullptr && std::strcmp(sched, "fifo") == 0;
    std::printf("pacing: lateness of each pass after its tick boundary (%s, %ld CPUs)\n",
                fifo ? "RT_SCHED=fifo against cyclictest -m -p 80" : "SCHED_OTHER against cyclictest --laptop",
                sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);
    std::string self = argv[0];
    // Once free to use every CPU, once on one CPU: a thread woken on another,
    // idle CPU of a virtual machine pays for that CPU's wake-up from halt.
    for (bool pinned : {false, true}) {
        if (pinned) {
            long cpus = sysconf(_SC_NPROCESSORS_ONLN);
            if (cpus < 2)
                break;
            cpu_set_t one;
            CPU_ZERO(&one);
            CPU_SET(static_cast<int>(cpus - 1), &one);
            if (sched_setaffinity(0, sizeof one, &one) != 0)
                break;
            std::printf("-- all on CPU %ld (children inherit the affinity)\n", cpus - 1);
            std::fflush(stdout);
        }
        if (std::system((self + " cycle").c_str()) != 0)
            return 1;
        run_cyclictest(1000, 3000, fifo);
        if (std::system(("RT_KERNEL_TICK_US=100 " + self + " tick").c_str()) != 0)
            return 1;
        run_cyclictest(100, 10000, fifo);
    }
    return 0;
}
