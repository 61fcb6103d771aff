// Reading 10 holding registers from a libmodbus server on loopback: through
// the Modbus driver's HiRead (mbuslink -> hiMODBUSapi.rsl) beside a bare
// libmodbus client loop against the same server, in the same run. The
// driver's goal is at most 1.05 times the bare loop's time per request.
#include "driver_api.h"
#include "kohgapi.h"
#include "rt.h"
#include "service.h"

#include <benchmark/benchmark.h>
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

void Bare_ReadTenRegisters(benchmark::State &state)
{
    modbus_t *context = modbus_new_tcp("127.0.0.1", bench_port());
    modbus_set_slave(context, 255);
    if (modbus_connect(context) != 0) {
        state.SkipWithError("no server");
        return;
    }
    uint16_t registers[kRegisters];
    for (auto _ : state)
        if (modbus_read_registers(context, 0, kRegisters, registers) != kRegisters)
            state.SkipWithError("read failed");
    modbus_close(context);
    modbus_free(context);
}
BENCHMARK(Bare_ReadTenRegisters)->UseRealTime();

void Driver_HiReadTenRegisters(benchmark::State &state)
{
    RTHANDLE module = LoadRtLibrary("mbuslink.rsl");
    auto init = reinterpret_cast<HiInitFn>(GetRtProcAddress(module, "HiInit"));
    auto open = reinterpret_cast<HiOpenFn>(GetRtProcAddress(module, "HiOpen"));
    auto read = reinterpret_cast<HiReadFn>(GetRtProcAddress(module, "HiRead"));
    auto close = reinterpret_cast<HiCloseFn>(GetRtProcAddress(module, "HiClose"));
    if (init == nullptr || open == nullptr || read == nullptr || close == nullptr) {
        state.SkipWithError("mbuslink.rsl not found");
        return;
    }
    ko::bind_service("MBBENCH");
    uint8_t is_master = 1;
    KoTagWrite("SERVICE.MBBENCH.IsMaster", &is_master, 1);
    KoTagCreateEx("SERVICE.MBBENCH.NodeName", KO_TYPE_U8, nullptr, nullptr);
    KoTagSetProperty("SERVICE.MBBENCH.NodeName", "address", ("127.0.0.1:" + std::to_string(bench_port())).c_str());
    uintptr_t context = 0, connection = 0;
    uint32_t api_status = 0;
    if (init("MBBENCH", &context, 0, &api_status) != 0 || open(context, &connection, 0, &api_status) != 0) {
        state.SkipWithError("cannot open the device");
        return;
    }
    uint16_t registers[kRegisters];
    for (auto _ : state)
        if (read(connection, 0, 400001, sizeof registers, registers, sizeof registers, 0, &api_status) != 0)
            state.SkipWithError("read failed");
    close(connection, &api_status);
}
BENCHMARK(Driver_HiReadTenRegisters)->UseRealTime();

}  // namespace

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
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::system(("rm -rf " + std::string(dir)).c_str());
    return 0;
}
