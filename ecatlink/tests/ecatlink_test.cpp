// The EtherCAT driver over stand-in EtherCAT libraries: binding and its
// console lines, the option strings and their log lines, the status
// mapping, reconnection, the connection check and the cycle wait. Each test
// runs in a process of its own (the loader reads RT_LIBRARY_PATH once).
#include "driver_api.h"
#include "fake_ecat.h"
#include "kohgapi.h"
#include "loaded_driver.h"
#include "rt.h"
#include "service_record.h"
#include "test_node.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <gtest/gtest.h>
#include <string>

namespace {

using testnode::node_log;
using testnode::log_count;
using testnode::await_log_count;

struct Driver : testnode::LoadedDriver {
    FakeEcat *hiecat = nullptr;  // null when that library is missing
    FakeEcat *ehapi = nullptr;
};

using testnode::rsl_entry;

FakeEcat *fake_state(const char *library)
{
    RTHANDLE module = LoadRtLibrary(library);
    return module != 0 ? rsl_entry<FakeEcatStateFn>(module, "FakeEcatState")() : nullptr;
}

// Loads the driver with the stand-ins of one variant folder ("" for none).
Driver load(const std::string &variant)
{
    setenv("RT_LIBRARY_PATH", variant.empty() ? "" : (std::string(FAKE_ECAT_DIR) + "/" + variant).c_str(), 1);
    KoServiceBind("ECAT");
    Driver d;
    static_cast<testnode::LoadedDriver &>(d) = testnode::load_driver(ECATLINK_PATH);
    EXPECT_NE(d.module, 0) << "the driver loads whatever its lower libraries do";
    if (!variant.empty()) {
        d.hiecat = fake_state("hiecat.rsl");
        d.ehapi = fake_state("ehapi.rsl");
    }
    return d;
}

// A connection object as the lower library makes it: the second 32-bit word
// is the handle of the cycle wait.
uint32_t connection_object[4] = {0x1111, 0x77, 0, 0};
const uintptr_t kConnection = reinterpret_cast<uintptr_t>(connection_object);

struct MissingRow {
    const char *name;
    int number;
    uint32_t code_base;
};
class Missing : public ::testing::TestWithParam<MissingRow> {};

TEST_P(Missing, FunctionGivesItsConsoleLineAndOnlyItsEntryPointsFail)
{
    const MissingRow &r = GetParam();
    Driver d = load(r.name);
    char line[128];
    std::snprintf(line, sizeof line, "E$ECATLINK[%05d] GetRtProcAddress( %s ) failed. Status[%08Xh]\n", r.number,
                  r.name, r.code_base | E_EXIST);
    EXPECT_EQ(d.console, line);

    static ServiceRecord record;
    record.init_context = 0x10;
    record.connection = kConnection;
    uint8_t buffer[8] = {};
    const std::string name = r.name;
    uint32_t api_status = 0;
    auto expect = [&](const char *entry_name, bool needs, const std::function<uint32_t()> &call) {
        api_status = 0;
        uint32_t result = call();
        if (needs) {
            EXPECT_EQ(result, 256u) << entry_name << " without " << name;
            EXPECT_EQ(api_status, 0xFFFFFFFFu) << entry_name << " without " << name;
        } else {
            EXPECT_EQ(result, 0u) << entry_name << " does not need " << name;
        }
    };
    uintptr_t word = 0;
    expect("HiInit", name == "Init", [&] { return d.init("ecat", &word, 0, &api_status); });
    expect("HiOpen", name == "Open", [&] { return d.open(0x10, &word, 0, &api_status); });
    expect("HiClose", name == "Close", [&] { return d.close(kConnection, &api_status); });
    expect("HiRead", name == "Read", [&] { return d.read(kConnection, 0, 0, 1, buffer, 8, 0, &api_status); });
    expect("HiWrite", name == "Write", [&] { return d.write(kConnection, 0, 0, 1, buffer, 0, &api_status); });
    expect("HiWait", name == "EhWaitForCyclic", [&] { return d.wait(kConnection, 10, &api_status); });
    uint32_t code = 0;
    EXPECT_EQ(d.connect_chk(&record, 0, &code), name == "Read" ? 0u : 1u);
    EXPECT_EQ(code, name == "Read" ? 0xFFFFFFFFu : 0u);
}
INSTANTIATE_TEST_SUITE_P(Ecatlink, Missing,
                         ::testing::Values(MissingRow{"Init", 363, 0x80010000u}, MissingRow{"Open", 364, 0x80020000u},
                                           MissingRow{"Close", 365, 0x80030000u}, MissingRow{"Read", 366, 0x80040000u},
                                           MissingRow{"Write", 367, 0x80050000u},
                                           MissingRow{"EhWaitForCyclic", 369, 0x80100000u}),
                         [](const auto &info) { return std::string(info.param.name); });

void expect_every_entry_point_fails(const Driver &d)
{
    static ServiceRecord record;
    record.init_context = 0x10;
    record.connection = kConnection;
    uint8_t buffer[8] = {};
    uint32_t api_status = 0;
    uintptr_t word = 0;
    EXPECT_EQ(d.init("ecat", &word, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.open(0x10, &word, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.close(kConnection, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.read(kConnection, 0, 0, 1, buffer, 8, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.write(kConnection, 0, 0, 1, buffer, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.wait(kConnection, 10, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    api_status = 0;
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    uint32_t code = 0;
    EXPECT_EQ(d.connect_chk(&record, 0, &code), 0u);
    EXPECT_EQ(code, 0xFFFFFFFFu);
}

TEST(Ecatlink, WithoutTheMasterLibraryTheLoadLineNamesHiecatAndTheNextLineTheMissingFile)
{
    Driver d = load("no_ehapi");
    std::string first = "Load HiLevelApi RSL Frailed(hiecat.rsl\n";
    ASSERT_EQ(d.console.substr(0, first.size()), first);
    std::string second = d.console.substr(first.size());
    EXPECT_EQ(second.rfind("E$ECATLINK: ehapi.rsl could not be loaded (looked for in ", 0), 0u) << second;
    EXPECT_NE(second.find(std::string(FAKE_ECAT_DIR) + "/no_ehapi"), std::string::npos) << second;
    EXPECT_EQ(second.find("hiecat"), std::string::npos) << "hiecat.rsl was found: " << second;
    EXPECT_EQ(d.hiecat->calls[kInit], 0u) << "nothing is resolved";
    expect_every_entry_point_fails(d);
}

TEST(Ecatlink, WithoutEitherLibraryBothAreNamed)
{
    Driver d = load("");
    EXPECT_NE(d.console.find("Load HiLevelApi RSL Frailed(hiecat.rsl\n"), std::string::npos);
    EXPECT_NE(d.console.find("E$ECATLINK: hiecat.rsl could not be loaded"), std::string::npos) << d.console;
    EXPECT_NE(d.console.find("E$ECATLINK: ehapi.rsl could not be loaded"), std::string::npos) << d.console;
    expect_every_entry_point_fails(d);
}

TEST(Ecatlink, LowerCodesMapWithTheThreshold0x20000000)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    ASSERT_NE(d.ehapi, nullptr);
    EXPECT_EQ(d.console, "");
    struct Row {
        uint32_t code, result;
    } rows[] = {{0, 0}, {1, 1}, {0x1FFFFFFF, 1}, {0x20000000, 256}, {0x80000000, 256}, {0xFFFFFFFF, 256}};
    uint8_t buffer[8] = {};
    for (const Row &r : rows) {
        d.hiecat->answer = d.ehapi->answer = r.code;
        uint32_t api_status = 0x5A5A5A5A;
        auto check = [&](const char *what, const std::function<uint32_t()> &call) {
            api_status = 0x5A5A5A5A;
            uint32_t result = call();
            EXPECT_EQ(result, r.result) << what << " " << std::hex << r.code;
            EXPECT_EQ(api_status, r.code) << what << ": passed on unchanged";
        };
        uintptr_t word = 0;
        check("HiInit", [&] { return d.init("ecat", &word, 0, &api_status); });
        check("HiOpen", [&] { return d.open(0x10, &word, 0, &api_status); });
        check("HiClose", [&] { return d.close(kConnection, &api_status); });
        check("HiRead", [&] { return d.read(kConnection, 3, 16, 2, buffer, 8, 100, &api_status); });
        check("HiWrite", [&] { return d.write(kConnection, 3, 16, 2, buffer, 100, &api_status); });
        check("HiWait", [&] { return d.wait(kConnection, 10, &api_status); });
    }
}

TEST(Ecatlink, CallsKeepTheirArgumentsInTheLowerOrder)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    uint8_t buffer[8] = {};
    uint32_t api_status = 0;
    d.read(kConnection, 9, 0x20, 4, buffer, 8, 250, &api_status);
    EXPECT_EQ(d.hiecat->connection, kConnection);
    EXPECT_EQ(d.hiecat->address, 0x20u);
    EXPECT_EQ(d.hiecat->buffer, buffer);
    EXPECT_EQ(d.hiecat->length, 4u);
    EXPECT_EQ(d.hiecat->unit, 8u);
    EXPECT_EQ(d.hiecat->timeout, 250u);
    d.write(kConnection, 9, 0x30, 2, buffer, 300, &api_status);
    EXPECT_EQ(d.hiecat->address, 0x30u);
    EXPECT_EQ(d.hiecat->length, 2u);
    EXPECT_EQ(d.hiecat->timeout, 300u);

    d.hiecat->next_init_context = 0xC0FFEE;
    uintptr_t init_context = 0;
    d.init("ecatlink", &init_context, 700, &api_status);
    EXPECT_STREQ(d.hiecat->driver_name, "ecatlink");
    EXPECT_EQ(init_context, 0xC0FFEEu);
    EXPECT_EQ(d.hiecat->timeout, 700u);
    d.hiecat->next_connection = kConnection;
    uintptr_t connection = 0;
    d.open(0xC0FFEE, &connection, 800, &api_status);
    EXPECT_EQ(d.hiecat->init_context, 0xC0FFEEu);
    EXPECT_EQ(connection, kConnection);
    EXPECT_EQ(d.hiecat->timeout, 800u);

    EXPECT_EQ(d.wait(kConnection, 40, &api_status), 0u);
    EXPECT_EQ(d.ehapi->wait_handle, 0x77u) << "the second 32-bit word of the connection object";
    EXPECT_EQ(d.ehapi->wait_timeout, 40u);
}

TEST(Ecatlink, TheNodeNameAddressBecomesTheInitOptionWithItsLogLines)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    uintptr_t init_context = 0;
    uint32_t api_status = 0;
    d.init("ecat", &init_context, 0, &api_status);
    EXPECT_STREQ(d.hiecat->init_options, "(null)") << "no NodeName tag";
    EXPECT_EQ(await_log_count("ECAT DBG HiInit Config = NULL, Status[0H],ecatlink,00148", 1u), 1u) << node_log();

    KoTagCreateEx("SERVICE.ECAT.NodeName", KO_TYPE_U8, nullptr, nullptr);
    KoTagSetProperty("SERVICE.ECAT.NodeName", "Address", "");
    d.init("ecat", &init_context, 0, &api_status);
    EXPECT_STREQ(d.hiecat->init_options, "(null)") << "an empty address";
    EXPECT_EQ(await_log_count("HiInit Config = NULL, Status[0H],ecatlink,00148", 2u), 2u);

    KoTagSetProperty("SERVICE.ECAT.NodeName", "Address", "line1");
    d.hiecat->answer = 0x2A;
    d.init("ecat", &init_context, 0, &api_status);
    EXPECT_STREQ(d.hiecat->init_options, "node_name=line1");
    EXPECT_EQ(await_log_count("ECAT DBG HiInit Config[node_name=line1],ecatlink,00137", 1u), 1u) << node_log();
    EXPECT_EQ(await_log_count("ECAT DBG HiInit Status[0000002aH],ecatlink,00144", 1u), 1u) << node_log();
    EXPECT_EQ(await_log_count("HiInit Config = NULL", 2u), 2u) << "one line or two, never both kinds";
}

TEST(Ecatlink, WaitEsmOfExactlyOneBecomesTheOpenOptionReadAtEveryOpen)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    static ServiceRecord record;
    uintptr_t init_context = 0;
    uint32_t api_status = 0;
    d.init("ecat", &init_context, 0, &api_status);
    struct Row {
        int value;  // -1: no tag
        const char *options;
    } rows[] = {{-1, "(null)"}, {2, "(null)"}, {0, "(null)"}, {1, "WAIT_ESM"}};
    size_t null_lines = 0, option_lines = 0;
    for (const Row &r : rows) {
        if (r.value >= 0) {
            uint8_t value = static_cast<uint8_t>(r.value);
            KoTagWrite("SERVICE.ECAT.WAIT_ESM", &value, 1);
        }
        uintptr_t connection = 0;
        d.open(0x10, &connection, 250, &api_status);
        EXPECT_STREQ(d.hiecat->open_options, r.options) << "WAIT_ESM " << r.value;
        record.init_context = 0x10;
        record.connection = 0;
        d.reconnect(&record, 260, &api_status);
        EXPECT_STREQ(d.hiecat->open_options, r.options) << "WAIT_ESM " << r.value << " at a reconnection";
        (r.options[0] == '(' ? null_lines : option_lines) += 2;
    }
    EXPECT_EQ(await_log_count("ECAT DBG HiOpen Config = NULL, Timeout{250], Status[0H],ecatlink,00181", 3u), 3u) << node_log();
    EXPECT_EQ(await_log_count("HiOpen Config = NULL, Timeout{260], Status[0H],ecatlink,00181", 3u), 3u);
    EXPECT_EQ(await_log_count("ECAT DBG HiOpen Target[WAIT_ESM],ecatlink,00171", option_lines), option_lines);
    EXPECT_EQ(await_log_count("ECAT DBG HiOpen Target[WAIT_ESM], Timeout{250], Status[00000000H],ecatlink,00177", 1u), 1u);
    EXPECT_EQ(await_log_count("HiOpen Target[WAIT_ESM], Timeout{260], Status[00000000H],ecatlink,00177", 1u), 1u);
    EXPECT_EQ(await_log_count("HiOpen Config = NULL", null_lines), null_lines);
}

TEST(Ecatlink, TheConnectionCheckReadsTheStateWordInItsBitOrder)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    static ServiceRecord record;
    record.connection = kConnection;
    struct Row {
        uint32_t word;
        uint32_t flag;
        uint32_t code;
    } rows[] = {{0x00, 1, 0},           {0x01, 1, 0},           {0x100, 1, 0},          {0x0C, 0, 0xFFFF0008},
                {0x12, 0, 0xFFFF0002},  {0x04, 0, 0xFFFF0004},  {0x10, 0, 0xFFFF0010},  {0x20, 0, 0xFFFF0020},
                {0x40, 0, 0xFFFF0040},  {0x80, 0, 0xFFFF0080},  {0xFF, 0, 0xFFFF0008},  {0xF0, 0, 0xFFFF0010}};
    for (const Row &r : rows) {
        d.hiecat->state_word = r.word;
        uint32_t code = 0x5A5A5A5A;
        EXPECT_EQ(d.connect_chk(&record, 90, &code), r.flag) << std::hex << r.word;
        EXPECT_EQ(code, r.code) << std::hex << r.word;
        EXPECT_EQ(d.hiecat->address, 0x20400u);
        EXPECT_EQ(d.hiecat->length, 4u);
        EXPECT_EQ(d.hiecat->unit, 4u);
        EXPECT_EQ(d.hiecat->timeout, 90u);
    }
    d.hiecat->answer = 0x20000001;
    uint32_t code = 0;
    EXPECT_EQ(d.connect_chk(&record, 0, &code), 0u);
    EXPECT_EQ(code, 0x20000001u) << "a failed read gives its own code";

    uint32_t reads = d.hiecat->calls[kRead];
    record.connection = 0;
    code = 0x5A5A5A5A;
    EXPECT_EQ(d.connect_chk(&record, 0, &code), 0u);
    EXPECT_EQ(code, 0x5A5A5A5Au) << "no connection writes no code";
    EXPECT_EQ(d.connect_chk(nullptr, 0, &code), 0u);
    EXPECT_EQ(code, 0x5A5A5A5Au);
    EXPECT_EQ(d.hiecat->calls[kRead], reads);
}

TEST(Ecatlink, ReconnectClosesWhatIsOpenAndOpensWithTheRecordsContext)
{
    Driver d = load("full");
    ASSERT_NE(d.hiecat, nullptr);
    uint32_t api_status = 0x5A5A5A5A;
    EXPECT_EQ(d.reconnect(nullptr, 0, &api_status), 256u);
    EXPECT_EQ(api_status, 0x5A5A5A5Au) << "a null record writes nothing";

    static ServiceRecord record;
    record.connection = 0x42;
    record.init_context = 0;
    d.hiecat->answer = 0x1234;
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 256u);
    EXPECT_EQ(d.hiecat->calls[kClose], 1u);
    EXPECT_EQ(d.hiecat->connection, 0x42u);
    EXPECT_EQ(api_status, 0x1234u) << "the close's code is kept";
    EXPECT_EQ(record.connection, 0x42u) << "the connection is not cleared";
    EXPECT_EQ(d.hiecat->calls[kOpen], 0u) << "no context, no open";

    record.init_context = 0x10;
    d.hiecat->answer = 0;
    d.hiecat->next_connection = kConnection;
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 0u);
    EXPECT_EQ(d.hiecat->calls[kClose], 2u);
    EXPECT_EQ(d.hiecat->init_context, 0x10u);
    EXPECT_EQ(record.connection, kConnection);

    record.connection = 0;
    d.hiecat->answer = 0x21;  // a failed close would not stop the open; here only the open runs
    EXPECT_EQ(d.reconnect(&record, 0, &api_status), 1u);
    EXPECT_EQ(d.hiecat->calls[kClose], 2u) << "nothing open, nothing closed";
    EXPECT_EQ(api_status, 0x21u);
}

TEST(Ecatlink, WaitWithoutAConnectionReadsNothingAndFails)
{
    Driver d = load("full");
    ASSERT_NE(d.ehapi, nullptr);
    uint32_t api_status = 0;
    EXPECT_EQ(d.wait(0, 10, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    uint32_t no_handle[2] = {0x1111, 0};
    api_status = 0;
    EXPECT_EQ(d.wait(reinterpret_cast<uintptr_t>(no_handle), 10, &api_status), 256u);
    EXPECT_EQ(api_status, 0xFFFFFFFFu);
    EXPECT_EQ(d.ehapi->calls[kWait], 0u);
}

}  // namespace
