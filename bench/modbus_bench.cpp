// Reading 10 holding registers from a libmodbus server on loopback: through
// the Modbus driver's HiRead (mbuslink -> hiMODBUSapi.rsl) beside a bare
// libmodbus client loop against the same server, in the same run. The
// driver's goal is at most 1.05 times the bare loop's time per request.
//
// Then one In cycle of a service with 100 value points (one holding register
// each) on the same device: the driver makes one request per point (adjacent
// points are not merged), so a cycle is 100 round trips. Beside it the same
// 100 single-register requests of a bare client, and the one 100-register
// request that merging would make; the time per iteration is the cycle time.
//
// Last, the node's own server under load (modbus_server_load.cpp).
#include "bench_report.h"
#include "driver_api.h"
#include "kohgapi.h"
#include "rt.h"

#include <algorithm>
#include <map>
#include <vector>
#include <benchmark/benchmark.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <modbus.h>
#include <string>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kRegisters = 10;

int bench_port()
{
    return 1100 + getpid() % 4900;  // "127.0.0.1:PORT" fits the driver's 14-character host
}

// A libmodbus server answering one client at a time, for the whole run.
void serve(modbus_t *context, int listener)
{
    modbus_mapping_t *mapping = modbus_mapping_new(0, 0, 100, 0);
    uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
    for (;;) {
        if (modbus_tcp_accept(context, &listener) < 0)
            return;
        for (int n; (n = modbus_receive(context, query)) >= 0;)
            if (n > 0)
                modbus_reply(context, query, n, mapping);
        close(modbus_get_socket(context));
    }
}

constexpr int kPoints = 100;

// A bare libmodbus client of the bench server.
struct BareClient {
    BareClient() : context(modbus_new_tcp("127.0.0.1", bench_port()))
    {
        modbus_set_slave(context, 255);
        connected = modbus_connect(context) == 0;
    }
    ~BareClient()
    {
        modbus_close(context);
        modbus_free(context);
    }
    modbus_t *context;
    bool connected;
};

// The device opened through mbuslink, as a service would have it.
struct DriverClient {
    DriverClient()
    {
        RTHANDLE module = LoadRtLibrary("mbuslink.rsl");
        auto init = reinterpret_cast<HiInitFn>(GetRtProcAddress(module, "HiInit"));
        auto open = reinterpret_cast<HiOpenFn>(GetRtProcAddress(module, "HiOpen"));
        read = reinterpret_cast<HiReadFn>(GetRtProcAddress(module, "HiRead"));
        close = reinterpret_cast<HiCloseFn>(GetRtProcAddress(module, "HiClose"));
        if (init == nullptr || open == nullptr || read == nullptr || close == nullptr)
            return;
        KoServiceBind("MBBENCH");
        uint8_t is_master = 1;
        KoTagWrite("SERVICE.MBBENCH.IsMaster", &is_master, 1);
        KoTagCreateEx("SERVICE.MBBENCH.NodeName", KO_TYPE_U8, nullptr, nullptr);
        KoTagSetProperty("SERVICE.MBBENCH.NodeName", "address",
                         ("127.0.0.1:" + std::to_string(bench_port())).c_str());
        uintptr_t context = 0;
        uint32_t api_status = 0;
        opened = init("MBBENCH", &context, 0, &api_status) == 0 && open(context, &connection, 0, &api_status) == 0;
    }
    ~DriverClient()
    {
        uint32_t api_status = 0;
        if (opened)
            close(connection, &api_status);
    }
    HiReadFn read = nullptr;
    HiCloseFn close = nullptr;
    uintptr_t connection = 0;
    bool opened = false;
};

void Bare_ReadTenRegisters(benchmark::State &state)
{
    BareClient client;
    if (!client.connected) {
        state.SkipWithError("no server");
        return;
    }
    uint16_t registers[kRegisters];
    for (auto _ : state)
        if (modbus_read_registers(client.context, 0, kRegisters, registers) != kRegisters)
            state.SkipWithError("read failed");
}
BENCHMARK(Bare_ReadTenRegisters)->UseRealTime();

void Driver_HiReadTenRegisters(benchmark::State &state)
{
    DriverClient driver;
    if (!driver.opened) {
        state.SkipWithError("cannot open the device through mbuslink.rsl");
        return;
    }
    uint16_t registers[kRegisters];
    uint32_t api_status = 0;
    for (auto _ : state)
        if (driver.read(driver.connection, 0, 400001, sizeof registers, registers, sizeof registers, 0,
                        &api_status) != 0)
            state.SkipWithError("read failed");
}
BENCHMARK(Driver_HiReadTenRegisters)->UseRealTime();

void Driver_CycleOfHundredPoints(benchmark::State &state)
{
    DriverClient driver;
    if (!driver.opened) {
        state.SkipWithError("cannot open the device through mbuslink.rsl");
        return;
    }
    uint32_t api_status = 0;
    for (auto _ : state)
        for (uint32_t point = 0; point < kPoints; ++point) {
            uint16_t value = 0;
            if (driver.read(driver.connection, 0, 400001 + point, 2, &value, 8, 0, &api_status) != 0)
                state.SkipWithError("read failed");
        }
    state.counters["requests_per_cycle"] = kPoints;
}
BENCHMARK(Driver_CycleOfHundredPoints)->UseRealTime();

void Bare_HundredSingleRegisterRequests(benchmark::State &state)
{
    BareClient client;
    if (!client.connected) {
        state.SkipWithError("no server");
        return;
    }
    for (auto _ : state)
        for (int point = 0; point < kPoints; ++point) {
            uint16_t value = 0;
            if (modbus_read_registers(client.context, point, 1, &value) != 1)
                state.SkipWithError("read failed");
        }
    state.counters["requests_per_cycle"] = kPoints;
}
BENCHMARK(Bare_HundredSingleRegisterRequests)->UseRealTime();

void Bare_OneMergedRequest(benchmark::State &state)
{
    BareClient client;
    if (!client.connected) {
        state.SkipWithError("no server");
        return;
    }
    uint16_t registers[kPoints];
    for (auto _ : state)
        if (modbus_read_registers(client.context, 0, kPoints, registers) != kPoints)
            state.SkipWithError("read failed");
    state.counters["requests_per_cycle"] = 1;
}
BENCHMARK(Bare_OneMergedRequest)->UseRealTime();

}  // namespace

void report_server_under_load(int port);

int main(int argc, char **argv)
{
    char dir[] = "/tmp/iohbench-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return 1;
    setenv("RT_NODE_DIR", dir, 1);
    modbus_t *server = modbus_new_tcp("127.0.0.1", bench_port());
    int listener = modbus_tcp_listen(server, 4);
    if (listener < 0)
        return 1;
    std::thread(serve, server, listener).detach();
    // Repetitions in random order, so that a disturbed stretch falls on both sides alike.
    Collector collector =
        run_benchmarks(argc, argv, {"--benchmark_repetitions=5", "--benchmark_enable_random_interleaving=true"});
    std::map<std::string, double> t;  // the median of the repetitions
    for (auto &[name, runs] : collector.times) {
        std::sort(runs.begin(), runs.end());
        t[name] = runs[runs.size() / 2];
    }
    if (t.count("Driver_HiReadTenRegisters") != 0 && t.count("Bare_ReadTenRegisters") != 0) {
        double driver = t["Driver_HiReadTenRegisters"], bare = t["Bare_ReadTenRegisters"];
        double ratio = driver / bare;
        std::printf("\n10 registers (medians of 5) through HiRead %.1f us, bare libmodbus %.1f us: %.2f x, "
                    "goal <= 1.05: %s\n",
                    driver / 1000, bare / 1000, ratio, ratio <= 1.05 ? "met" : "NOT met");
    }
    if (t.count("Driver_CycleOfHundredPoints") != 0 && t.count("Bare_OneMergedRequest") != 0)
        std::printf("a cycle of 100 points %.2f ms (one request each; merged into one it would be %.3f ms)\n",
                    t["Driver_CycleOfHundredPoints"] / 1e6, t["Bare_OneMergedRequest"] / 1e6);
    report_server_under_load(bench_port() + 1);
    std::system(("rm -rf " + std::string(dir)).c_str());
    return 0;
}
