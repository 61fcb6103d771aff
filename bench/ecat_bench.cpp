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
//           the pass);
//  wire     (root) over a veth pair to ecatslaves: frames per second and the
//           round trip of one frame, and the wire master's pace at 1 ms and
//           250 us beside cyclictest, as above.
// Every part runs in a process of its own: one master per process, and no
// master running while cyclictest measures.
#include "datagram.h"
#include "kohgapi.h"
#include "driver_api.h"
#include "ecatsim.h"
#include "master.h"
#include "raw_socket.h"
#include "lateness_report.h"
#include "rt.h"

#include <algorithm>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <csignal>
#include <ctime>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

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

constexpr const char *kMasterEnd = "iohbench0";
constexpr const char *kSlaveEnd = "iohbench1";

void write_bus(const std::string &path, uint32_t period_us)
{
    std::ofstream(path) << "period_us = " << period_us
                        << "\n[[terminal]]\nname = \"DI\"\ntype = \"EL1809\"\nwired_to = \"DO\"\n"
                           "[[terminal]]\nname = \"DO\"\ntype = \"EL2809\"\n";
}

// The master started and operational, on a bus of that period; with wire,
// on the veth pair's master end.
uintptr_t start_master(uint32_t period_us, EcatReadFn *read = nullptr, EcatWriteFn *write = nullptr,
                       bool wire = false)
{
    std::string dir = node_dir();
    KoServiceBind("ECATBENCH");
    write_bus(dir + "/bench.toml", period_us);
    std::ofstream(dir + "/node.toml") << "[[ethercat]]\nname = \"bench\"\nbus = \"bench.toml\"\n"
                                      << (wire ? std::string("interface = \"") + kMasterEnd + "\"\n" : "");
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
    std::system(("rm -rf " + std::string(std::getenv("RT_NODE_DIR"))).c_str());
    return 0;
}

int run_pace(uint32_t period_us, bool wire)
{
    uintptr_t connection = start_master(period_us, nullptr, nullptr, wire);
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
                ((wire ? "wire master, period " : "ecatsim, period ") + std::to_string(period_us) + " us").c_str(),
                p.median, p.p99, p.max,
                lost - lost_before, static_cast<unsigned long long>(cycles));
    (void)connection;
    std::fflush(stdout);
    std::system(("rm -rf " + std::string(std::getenv("RT_NODE_DIR"))).c_str());
    _exit(0);
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

// A veth pair with ecatslaves answering on its far end, for the wire parts.
class Cable {
public:
    Cable()
    {
        if (geteuid() != 0) {
            std::printf("wire: a veth pair needs root; the wire parts are skipped\n");
            return;
        }
        std::system((std::string("ip link del ") + kMasterEnd + " 2>/dev/null").c_str());
        std::string make = std::string("ip link add ") + kMasterEnd + " type veth peer name " + kSlaveEnd +
                           " && ip link set " + kMasterEnd + " up && ip link set " + kSlaveEnd + " up";
        if (std::system(make.c_str()) != 0)
            return;
        char dir[] = "/tmp/iohwire-XXXXXX";
        if (mkdtemp(dir) == nullptr)
            return;
        dir_ = dir;
        write_bus(dir_ + "/bench.toml", 1000);
        int ready[2];
        if (pipe(ready) != 0)
            return;
        slaves_ = fork();
        if (slaves_ == 0) {
            setenv("RT_NODE_DIR", dir_.c_str(), 1);
            dup2(ready[1], 1);
            execl(ECATSLAVES_PATH, "ecatslaves", "--interface", kSlaveEnd, "--bus", (dir_ + "/bench.toml").c_str(),
                  static_cast<char *>(nullptr));
            _exit(127);
        }
        close(ready[1]);
        char line[256] = {};
        up_ = read(ready[0], line, sizeof line - 1) > 0 && std::strstr(line, " answer on ") != nullptr;
        close(ready[0]);
    }
    ~Cable()
    {
        if (slaves_ > 0) {
            kill(slaves_, SIGTERM);
            waitpid(slaves_, nullptr, 0);
        }
        std::system((std::string("ip link del ") + kMasterEnd + " 2>/dev/null").c_str());
        if (!dir_.empty())
            std::system(("rm -rf " + dir_).c_str());
    }
    bool up() const { return up_; }

private:
    pid_t slaves_ = -1;
    std::string dir_;
    bool up_ = false;
};

int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

// Frames one after the other through the slaves: each answer before the next.
void run_round_trips()
{
    ecatwire::RawSocket socket;
    std::string error;
    if (!socket.open(kMasterEnd, error)) {
        std::printf("wire: %s\n", error.c_str());
        return;
    }
    constexpr int kFrames = 20000;
    std::vector<uint64_t> counts(20001);
    uint8_t answer[ecatwire::kMaxFrame];
    ecatwire::FrameBuilder builder;
    int lost = 0;
    int64_t start = now_ns();
    for (int i = 0; i < kFrames; ++i) {
        builder.start(socket.mac());
        builder.add(ecatwire::kBrd, static_cast<uint8_t>(i), 0, 2);
        size_t size = 0;
        const uint8_t *frame = builder.finish(size);
        int64_t sent = now_ns();
        socket.send(frame, size);
        if (socket.receive(answer, sizeof answer, 100'000'000) <= 0) {
            ++lost;
            continue;
        }
        ++counts[std::min<int64_t>((now_ns() - sent) / 1000, 20000)];
    }
    double seconds = static_cast<double>(now_ns() - start) / 1e9;
    Percentiles p = percentiles(counts);
    std::printf("veth round trip of a frame through 2 slaves: median %.0f us  p99 %.0f us  max %.0f us  "
                "(%.0f frames per second, %d lost)\n",
                p.median, p.p99, p.max, kFrames / seconds, lost);
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc >= 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("usage: %s [calls [benchmark flags] | pace PERIOD_US [wire] | latency]\n", argv[0]);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "calls") == 0)
        return run_calls(argc - 1, argv + 1);
    if ((argc == 3 || argc == 4) && std::strcmp(argv[1], "pace") == 0)
        return run_pace(static_cast<uint32_t>(std::atoi(argv[2])), argc == 4 && std::strcmp(argv[3], "wire") == 0);
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
    for (unsigned period : {1000u, 250u})
        if (!pace_beside_cyclictest(self + " pace " + std::to_string(period), period, fifo))
            return 1;
    if (std::system((self + " latency").c_str()) != 0)
        return 1;
    Cable cable;
    if (!cable.up())
        return 0;
    run_round_trips();
    std::printf("wire master: wake-up lateness after each cycle deadline, over the veth pair\n");
    std::fflush(stdout);
    for (unsigned period : {1000u, 250u})
        if (!pace_beside_cyclictest(self + " pace " + std::to_string(period) + " wire", period, fifo))
            return 1;
    return 0;
}
