// sim_client.h - the simulated master's two libraries bound in a test
// process as the drivers bind them, and small helpers around them.
#pragma once

#include "ecatsim.h"
#include "kohgapi.h"
#include "rt.h"
#include "test_node.h"

#include <chrono>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>
#include <thread>

namespace {

using testnode::eventually;

template <typename Fn>
Fn entry(RTHANDLE module, const char *name)
{
    auto fn = reinterpret_cast<Fn>(GetRtProcAddress(module, name));
    EXPECT_NE(fn, nullptr) << name;
    return fn;
}

// Both libraries of one process, bound as the drivers bind them.
struct Sim {
    Sim()
    {
        RTHANDLE hiecat = LoadRtLibrary(HIECAT_PATH), ehapi = LoadRtLibrary(EHAPI_PATH);
        init = entry<EcatInitFn>(hiecat, "Init");
        open = entry<EcatOpenFn>(hiecat, "Open");
        close = entry<EcatCloseFn>(hiecat, "Close");
        read = entry<EcatReadFn>(hiecat, "Read");
        write = entry<EcatWriteFn>(hiecat, "Write");
        node_status = entry<EhGetEhNodeStatusFn>(ehapi, "EhGetEhNodeStatus");
        eh_open = entry<EhOpenFn>(ehapi, "EhOpen");
        find = entry<EhFindSlaveFn>(ehapi, "EhFindSlave");
        in_address = entry<EhGetViosInAddressFn>(ehapi, "EhGetViosInAddress");
        out_address = entry<EhGetViosOutAddressFn>(ehapi, "EhGetViosOutAddress");
        get_state = entry<EhGetStateFn>(ehapi, "EhGetState");
        wait = entry<EhWaitForCyclicFn>(ehapi, "EhWaitForCyclic");
        cancel = entry<EhCancelWaitForCyclicFn>(ehapi, "EhCancelWaitForCyclic");
    }

    // Init with options, Open (with WAIT_ESM: operational on return).
    uintptr_t start(const char *init_options = nullptr, bool wait_esm = true)
    {
        uintptr_t context = 0, connection = 0;
        EXPECT_EQ(init("ecatlink", init_options, &context, 0), ECATSIM_OK);
        EXPECT_EQ(open(context, wait_esm ? "WAIT_ESM" : nullptr, &connection, 5000), ECATSIM_OK);
        uint32_t status = 1;
        handle = eh_open("", &status);
        EXPECT_EQ(status, EH_OK);
        return connection;
    }

    uint32_t u32(uintptr_t connection, uint32_t address)
    {
        uint32_t value = 0;
        EXPECT_EQ(read(connection, address, &value, 4, 4, 0), ECATSIM_OK);
        return value;
    }

    EcatInitFn init;
    EcatOpenFn open;
    EcatCloseFn close;
    EcatReadFn read;
    EcatWriteFn write;
    EhGetEhNodeStatusFn node_status;
    EhOpenFn eh_open;
    EhFindSlaveFn find;
    EhGetViosInAddressFn in_address;
    EhGetViosOutAddressFn out_address;
    EhGetStateFn get_state;
    EhWaitForCyclicFn wait;
    EhCancelWaitForCyclicFn cancel;
    uint32_t handle = 0;
};

inline void set_switch(const std::string &tag, uint32_t value, uint32_t width)
{
    ASSERT_EQ(KoTagWrite(tag.c_str(), &value, width), KO_OK) << tag;
}

// A node config naming one master "line1" on a bus file of that text.
inline void bus_file(const std::string &text)
{
    std::ofstream(testnode::node_dir() + "/line1.toml") << text;
    testnode::write_node_config("[[ethercat]]\nname = \"line1\"\nbus = \"line1.toml\"\n");
}

inline EhSlaveSearch gateway_search(uint32_t index)
{
    EhSlaveSearch s{};
    s.size = sizeof s;
    s.index = index;
    s.vendor = 2;
    s.product_code = 0x1A5F3052;
    return s;
}

}  // namespace
