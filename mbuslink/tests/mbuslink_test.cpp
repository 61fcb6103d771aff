// The Modbus driver over a stand-in Modbus library: binding and its console
// lines, the options handed at HiInit, the status mapping, reconnection and
// the connection check. Each test runs in a process of its own (the loader
// reads RT_LIBRARY_PATH once per process).
#include "driver_api.h"
#include "fake_modbus.h"
#include "kohgapi.h"
#include "loaded_driver.h"
#include "rt.h"
#include "service_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

struct Driver : testnode::LoadedDriver {
    FakeModbus *fake = nullptr;  // null when the lower library is missing
};

using testnode::rsl_entry;

// Loads the driver with the Modbus library found in lower_dir (none when empty).
Driver load(const std::string &lower_dir)
{
    setenv("RT_LIBRARY_PATH", lower_dir.c_str(), 1);
    Driver d;
    static_cast<testnode::LoadedDriver &>(d) = testnode::load_driver(MBUSLINK_PATH);
    EXPECT_NE(d.module, 0) << "the driver loads whatever its lower library does";
    EXPECT_EQ(d.wait, nullptr) << "the container never waits on this driver";
    if (!lower_dir.empty())
        if (RTHANDLE lower = LoadRtLibrary("hiMODBUSapi.rsl"); lower != 0)
            d.fake = rsl_entry<FakeModbusStateFn>(lower, "FakeModbusState")();
    return d;
}

TEST(Mbuslink, LowerCodesMapWithTheThreshold0xFF10)
{
    Driver d = load(FAKE_FULL_DIR);
    ASSERT_NE(d.fake, nullptr);
    EXPECT_EQ(d.console, "");
    struct Row {
        uint32_t code, result;
    } rows[] = {{0, 0}, {1, 1}, {0xFF0F, 1}, {0xFF10, 256}, {0x10000, 256}, {0xFFFFFFFF, 256}};
    uint8_t buffer[8] = {};
    for (const Row &r : rows) {
        d.fake->answer = r.code;
        uint32_t api_status = 0x5A5A5A5A;
        EXPECT_EQ(d.read(7, 3, 400001, 2, buffer, 8, 100, &api_status), r.result) << std::hex << r.code;
        EXPECT_EQ(api_status, r.code) << "passed on unchanged";
        api_status = 0x5A5A5A5A;
        EXPECT_EQ(d.write(7, 3, 400001, 2, buffer, 100, &api_status), r.result);
        EXPECT_EQ(api_status, r.code);
        api_status = 0x5A5A5A5A;
        EXPECT_EQ(d.close(7, &api_status), r.result);
        EXPECT_EQ(api_status, r.code);
    }
    // Read and write keep the argument order and drop only the thread number.
    d.fake->answer = 0;
    uint32_t api_status;
    d.read(0x1234, 9, 300010, 4, buffer, 8, 250, &api_status);
    EXPECT_EQ(d.fake->connection, 0x1234u);
    EXPECT_EQ(d.fake->address, 300010u);
    EXPECT_EQ(d.fake->length, 4u);
    EXPECT_EQ(d.fake->buffer, buffer);
    EXPECT_EQ(d.fake->unit, 8u);
    EXPECT_EQ(d.fake->timeout, 250u);
    d.fake->next_connection = 0x77;
    uintptr_t connection = 0;
    EXPECT_EQ(d.open(0x99, &connection, 10, &api_status), 0u);
    EXPECT_EQ(connection, 0x77u);
    EXPECT_EQ(d.fake->open_zero, 0u) << "the open's first argument is 0";
}

struct InitCase {
    const char *what;
    void (*tags)();
    const char *host;
    uint8_t is_master;
    uint32_t timeout;
};

void set_address(const char *text)
{
    KoTagCreateEx("SERVICE.MB.NodeName", KO_TYPE_U8, nullptr, nullptr);
    KoTagSetProperty("SERVICE.MB.NodeName", "Address", text);  // property names compare without case
}

TEST(Mbuslink, InitHandsTheServiceSettingsInTheOptionsRecord)
{
    Driver d = load(FAKE_FULL_DIR);
    ASSERT_NE(d.fake, nullptr);
    KoServiceBind("MB");
    const InitCase cases[] = {
        {"no tags", [] {}, "local", 0, 5000},
        {"empty address", [] { set_address(""); }, "", 0, 5000},
        {"address of 14", [] { set_address("192.168.100.20"); }, "192.168.100.20", 0, 5000},
        {"address of 15 is not cut into another device", [] { set_address("192.168.100.200"); }, "", 0, 5000},
        {"IsMaster 2 and Timeout 0",
         [] {
             uint8_t is_master = 2;
             uint32_t timeout = 0;
             KoTagWrite("SERVICE.MB.IsMaster", &is_master, 1);
             KoTagWrite("SERVICE.MB.Timeout", &timeout, 4);
         },
         "", 2, 0},
    };
    for (const InitCase &c : cases) {
        c.tags();
        d.fake->answer = 0;
        std::memset(&d.fake->options, 0xEE, sizeof d.fake->options);
        uintptr_t init_context = 0xC0FFEE;
        uint32_t api_status = 1;
        EXPECT_EQ(d.init("MB", &init_context, 0, &api_status), 0u) << c.what;
        EXPECT_EQ(api_status, 0u);
        EXPECT_EQ(init_context, 0xC0FFEEu) << "init_context is never written";
        const ModbusOptions &o = d.fake->options;
        EXPECT_STREQ(o.host, c.host) << c.what;
        EXPECT_EQ(o.host[15], 0) << c.what;
        EXPECT_EQ(o.is_master, c.is_master) << c.what;
        EXPECT_EQ(o.timeout, c.timeout) << c.what;
        EXPECT_EQ(o.reserved[0] | o.reserved[1] | o.reserved[2], 0) << c.what;
    }
    d.fake->answer = 0xFF10;
    uint32_t api_status = 0;
    EXPECT_EQ(d.init("MB", nullptr, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFF10u);
}

TEST(Mbuslink, ReconnectClosesWhatIsOpenThenOpens)
{
    Driver d = load(FAKE_FULL_DIR);
    ASSERT_NE(d.fake, nullptr);
    uint32_t api_status = 0x5A5A5A5A;
    EXPECT_EQ(d.reconnect(nullptr, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0x5A5A5A5Au) << "a null record writes nothing";
    EXPECT_EQ(d.fake->calls[kOpen] + d.fake->calls[kClose], 0u);

    static ServiceRecord record;  // as large as the container's
    record.connection = 0;
    d.fake->next_connection = 0x42;
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 0u);
    EXPECT_EQ(d.fake->calls[kClose], 0u) << "nothing was open";
    EXPECT_EQ(record.connection, 0x42u);

    d.fake->next_connection = 0x43;
    d.fake->answer = 5;  // a transient failure of both the close and the open
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 1u);
    EXPECT_EQ(d.fake->calls[kClose], 1u);
    EXPECT_EQ(d.fake->connection, 0x42u) << "the old connection was closed";
    EXPECT_EQ(d.fake->calls[kOpen], 2u) << "a failed close does not stop the open";
    EXPECT_EQ(api_status, 5u);

    uint32_t code = 0x5A5A5A5A;
    EXPECT_EQ(d.connect_chk(nullptr, 0, &code), 1u);
    EXPECT_EQ(code, 0u);
}

TEST(Mbuslink, AMissingLowerLibraryIsReportedAndEveryCallFails)
{
    Driver d = load("");
    EXPECT_EQ(d.console, "Load HiLevelApi RSL Frailed(hiMODBUSapi.rsl\n");
    uint32_t api_status = 0;
    uintptr_t connection = 0;
    uint8_t buffer[8] = {};
    EXPECT_EQ(d.init("MB", nullptr, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.open(0, &connection, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.read(1, 0, 1, 2, buffer, 8, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.write(1, 0, 1, 2, buffer, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.close(1, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    uint32_t code = 7;
    EXPECT_EQ(d.connect_chk(nullptr, 0, &code), 1u) << "still connected";
    EXPECT_EQ(code, 0u);
}

TEST(Mbuslink, AMissingLowerFunctionIsReportedAndOnlyItsCallFails)
{
    Driver d = load(FAKE_PARTIAL_DIR);
    ASSERT_NE(d.fake, nullptr);
    RTHANDLE lower = LoadRtLibrary("hiMODBUSapi.rsl");
    ASSERT_EQ(GetRtProcAddress(lower, "HiMODBUSRead"), nullptr);
    char expected[128];
    std::snprintf(expected, sizeof expected, "E$MBUSLINK[00233] GetRtProcAddress( HiMODBUSRead ) failed. Status[%08Xh]\n",
                  0x80040000u | (GetLastRtError() & 0xFFFFu));
    EXPECT_EQ(d.console, expected);
    uint8_t buffer[8] = {};
    uint32_t api_status = 0;
    EXPECT_EQ(d.read(1, 0, 1, 2, buffer, 8, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    EXPECT_EQ(d.write(1, 0, 1, 2, buffer, 0, &api_status), 0u);
    EXPECT_EQ(api_status, 0u);
}

}  // namespace
