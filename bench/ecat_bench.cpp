// The EtherCAT driver and the simulated master:
//  calls    HiRead / HiWrite through ecatlink beside the direct Read / Write
//           of hiecat.rsl, same run (goal: at most 5 ns more per call);
//  pace P   the master's cycle thread at a P us period: how late each
//           wake-up comes after its deadline (median, p99, max) and the
//           cycles lost, beside cyclictest at the same interval under the
//           same conditions (goal: p99 within 1.5 times cyclictest's);
//  latency  an output written after a cycle wait, counted in bus cycles
//           until the wired input shows it, as a service with UseWait 1
//           writes and reads once per pass (goal: p99 at most 2 cycles plus
//           the pass).
// Every part runs in a process of its own: one master per process, and no
// master running while cyclictest measures.
#include "kohgapi.h"
#include "driver_api.h"
#include "ecatsim.h"
#include "master.h"
#include "rt.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

struct Percentiles {
    double median, p99, max;
};

// From counts per microsecond.
Percentiles percentiles(const std::vector<uint64_t> &counts)
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

std::string node_dir()
{
    char dir[] = "/tmp/iohecat-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        std::exit(1);
    setenv("RT_NODE_DIR", dir, 1);
    return dir;
}

template <typename Fn>
Fn entry(RTHANDLE module, const char *name)
{
    return reinterpret_cast<Fn>(GetRtProcAddress(module, name));
}

// The master started and operational, on a bus of that period.
uintptr_t start_master(uint32_t period_us, EcatReadFn *read = nullptr, EcatWriteFn *write = nullptr)
{
    std::string dir = node_dir();
    KoServiceBind("ECATBENCH");
    std::ofstream(dir + "/bench.toml") << "period_us = " << period_us
                                       << "\n[[terminal]]\nname = \"DI\"\ntype = \"EL1809\"\nwired_to = \"DO\"\n"
                                          "[[terminal]]\nname = \"DO\"\ntype = \"EL2809\"\n";
    std::ofstream(dir + "/node.toml") << "[[ethercat]]\nname = \"bench\"\nbus = \"bench.toml\"\n";
    RTHANDLE hiecat = LoadRtLibrary("hiecat.rsl");
    auto init = entry<EcatInitFn>(hiecat, "Init");
    auto open = entry<EcatOpenFn>(hiecat, "Open");
    if (init == nullptr || open == nullptr)
        std::exit(1);
    if (read != nullptr)
        *read = entry<EcatReadFn>(hiecat, "Read");
    if (write != nullptr)
        *write = entry<EcatWriteFn>(hiecat, "Write");
    uintptr_t context = 0, connection = 0;
    if (init("bench", "node_name=bench", &context, 0) != 0 || open(context, "WAIT_ESM", &connection, 5000) != 0)
        std::exit(1);
    return connection;
}

struct Calls {
    EcatReadFn read = nullptr;
    EcatWriteFn write = nullptr;
    HiReadFn hi_read = nullptr;
    HiWriteFn hi_write = nullptr;
    uintptr_t connection = 0;
} calls;

void Direct_Read(benchmark::State &state)
{
    uint16_t value;
    for (auto _ : state)
        benchmark::DoNotOptimize(calls.read(calls.connection, 0, &value, 2, 8, 0));
}
BENCHMARK(Direct_Read);

void Ecatlink_HiRead(benchmark::State &state)
{
    uint16_t value;
    uint32_t api_status;
    for (auto _ : state)
        benchmark::DoNotOptimize(calls.hi_read(calls.connection, 0, 0, 2, &value, 8, 0, &api_status));
}
BENCHMARK(Ecatlink_HiRead);

void Direct_Write(benchmark::State &state)
{
    uint16_t value = 0x5A;
    for (auto _ : state)
        benchmark::DoNotOptimize(calls.write(calls.connection, 0, &value, 2, 0));
}
BENCHMARK(Direct_Write);

void Ecatlink_HiWrite(benchmark::State &state)
{
    uint16_t value = 0x5A;
    uint32_t api_status;
    for (auto _ : state)
        benchmark::DoNotOptimize(calls.hi_write(calls.connection, 0, 0, 2, &value, 0, &api_status));
}
BENCHMARK(Ecatlink_HiWrite);

int run_calls(int argc, char **argv)
{
    calls.connection = start_master(1000, &calls.read, &calls.write);
    RTHANDLE driver = LoadRtLibrary("ecatlink.rsl");
    calls.hi_read = entry<HiReadFn>(driver, "HiRead");
    calls.hi_write = entry<HiWriteFn>(driver, "HiWrite");
    if (calls.read == nullptr || calls.hi_read == nullptr || calls.write == nullptr || calls.hi_write == nullptr)
        return 1;
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

int run_pace(uint32_t period_us)
{
    uintptr_t connection = start_master(period_us);
    uint32_t lost_before = 0;
    ecatsim::Master *master = ecatsim::Master::running();
    master->read(ECATSIM_REG_LOST, &lost_before, 4);
    std::vector<uint32_t> before(ecatsim::Master::kLatenessBuckets), after(ecatsim::Master::kLatenessBuckets);
    master->lateness(before.data());
    usleep(3000000);
    master->lateness(after.data());
    uint32_t lost = 0;
    master->read(ECATSIM_REG_LOST, &lost, 4);
    std::vector<uint64_t> counts(after.size());
    uint64_t cycles = 0;
    for (size_t i = 0; i < counts.size(); ++i)
        cycles += counts[i] = after[i] - before[i];
    Percentiles p = percentiles(counts);
    std::printf("%-28s median %6.0f us  p99 %6.0f us  max %6.0f us  lost %u of %llu\n",
                ("ecatsim, period " + std::to_string(period_us) + " us").c_str(), p.median, p.p99, p.max,
                lost - lost_before, static_cast<unsigned long long>(cycles));
    (void)connection;
    std::fflush(stdout);
    std::system(("rm -rf " + std::string(std::getenv("RT_NODE_DIR"))).c_str());
    _exit(0);
}

// cyclictest's histogram ("usec count" lines) at the same interval; its p99, or -1.
double run_cyclictest(unsigned interval_us, bool fifo)
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

int run_latency()
{
    EcatReadFn read = nullptr;
    EcatWriteFn write = nullptr;
    uintptr_t connection = start_master(1000, &read, &write);
    RTHANDLE ehapi = LoadRtLibrary("ehapi.rsl");
    auto wait = entry<EhWaitForCyclicFn>(ehapi, "EhWaitForCyclic");
    std::vector<uint64_t> cycles(64);
    for (uint16_t value = 1; value <= 1000; ++value) {
        wait(ecatsim::kMasterHandle, 1000);
        write(connection, 0, &value, 2, 0);
        uint16_t seen = 0;
        size_t waited = 0;
        while (seen != value && waited < cycles.size() - 1) {
            wait(ecatsim::kMasterHandle, 1000);
            ++waited;
            read(connection, 0, &seen, 2, 2, 0);
        }
        ++cycles[waited];
    }
    Percentiles p = percentiles(cycles);
    std::printf("output -> wired input, bus cycles after the write: median %.0f  p99 %.0f  max %.0f (goal p99 <= 2) %s\n",
                p.median, p.p99, p.max, p.p99 <= 2 ? "met" : "NOT MET");
    std::fflush(stdout);
    std::system(("rm -rf " + std::string(std::getenv("RT_NODE_DIR"))).c_str());
    _exit(0);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("usage: %s [calls [benchmark flags] | pace PERIOD_US | latency]\n", argv[0]);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "calls") == 0)
        return run_calls(argc - 1, argv + 1);
    if (argc == 3 && std::strcmp(argv[1], "pace") == 0)
        return run_pace(static_cast<uint32_t>(std::atoi(argv[2])));
    if (argc == 2 && std::strcmp(argv[1], "latency") == 0)
        return run_latency();
    const char *sched = std::getenv("RT_SCHED");
    bool fifo = sched != nullptr && std::strcmp(sched, "fifo") == 0;
    std::string self = argv[0];
    std::printf("EtherCAT calls: ecatlink against hiecat.rsl's own Read/Write (goal: at most 5 ns more)\n");
    std::fflush(stdout);
    if (std::system((self + " calls --benchmark_min_time=0.2").c_str()) != 0)
        return 1;
    std::printf("simulated master: wake-up lateness after each cycle deadline (%s, %ld CPUs)\n",
                fifo ? "RT_SCHED=fifo against cyclictest -m -p 80" : "SCHED_OTHER against cyclictest --laptop",
                sysconf(_SC_NPROCESSORS_ONLN));
    std::fflush(stdout);
    for (unsigned period : {1000u, 250u}) {
        FILE *child = popen((self + " pace " + std::to_string(period)).c_str(), "r");
        char line[256] = {};
        double p99 = -1;
        while (child != nullptr && std::fgets(line, sizeof line, child) != nullptr) {
            std::fputs(line, stdout);
            if (const char *at = std::strstr(line, "p99"))
                p99 = std::atof(at + 3);
        }
        if (child == nullptr || pclose(child) != 0)
            return 1;
        double reference = run_cyclictest(period, fifo);
        if (reference >= 0 && p99 >= 0)
            std::printf("  p99 %.0f us against %.0f us: %.2f times (goal at most 1.5) %s\n", p99, reference,
                        p99 / std::max(reference, 1.0), p99 <= 1.5 * std::max(reference, 1.0) ? "met" : "NOT MET");
        std::fflush(stdout);
    }
    return std::system((self + " latency").c_str()) == 0 ? 0 : 1;
}
