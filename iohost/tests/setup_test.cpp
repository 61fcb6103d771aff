// Set-up: configuration defaults, ranges and write-back with their log
// lines; statistics tags; threads and catalog names; the driver's init.
#include "service_harness.h"

#include "kohgapi.h"
#include "rt.h"
#include "test_node.h"

#include <csignal>
#include <gtest/gtest.h>
#include <vector>

namespace {

using harness::get;
using harness::log_has;
using harness::await_log;

TEST(Setup, DefaultsAreWrittenBackAndLogged)
{
    harness::Service service;
    ASSERT_TRUE(service.started());
    struct Row {
        const char *key;
        uint32_t value;
        const char *line;
    } rows[] = {
        {"Mode", 2, "DBG SERVICE.TEST.Mode [2],korecode,00983"},
        {"Cycle", 1, "DBG SERVICE.TEST.Cycle [1],korecode,00993"},
        {"InPriority", 148, "DBG SERVICE.TEST.InPriority [148],korecode,01003"},
        {"OutPriority", 149, "DBG SERVICE.TEST.OutPriority [149],korecode,01013"},
        {"InThreadNum", 1, "DBG SERVICE.TEST.InThreadNum [1],korecode,01023"},
        {"OutThreadNum", 1, "DBG SERVICE.TEST.OutThreadNum [1],korecode,01033"},
        {"ExecuteReConnect", 0, "DBG SERVICE.TEST.ExecuteReConnect [0],korecode,01044"},
        {"ConnectChkCycle", 1000, "DBG SERVICE.TEST.ConnectChkCycle [1000],korecode,01054"},
        {"Measure", 0, "DBG SERVICE.TEST.Measure [0],korecode,01064"},
        {"ReConnectCount", 10000, "DBG SERVICE.TEST.ReConnectCount [10000],korecode,01074"},
        {"OutputDifferent", 0, "DBG SERVICE.TEST.OutputDifferent [0],korecode,01084"},
        {"Timeout", 600000, "DBG SERVICE.TEST.Timeout [600000],korecode,01094"},
        {"WaitTimeout", 0xFFFFFFFF, "DBG SERVICE.TEST.WaitTimeout [-1],korecode,01104"},
        {"UseWait", 0, "DBG SERVICE.TEST.UseWait [0],korecode,01114"},
        {"UseKernelTick", 0, "DBG SERVICE.TEST.UseKernelTick [0],korecode,01125"},
    };
    std::vector<std::string> lines = harness::log_lines();
    size_t at = 0;
    for (const Row &r : rows) {
        std::string tag = std::string("SERVICE.TEST.") + r.key;
        EXPECT_TRUE(harness::exists(tag)) << tag;
        EXPECT_EQ(get(tag), r.value) << tag;
        // In key order.
        while (at < lines.size() && lines[at] != r.line)
            ++at;
        EXPECT_LT(at, lines.size()) << "missing or out of order: " << r.line;
    }
    EXPECT_TRUE(await_log("OPE SERVICE.TEST.Status Change. 0 > 1,korecode,00195"));
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Setup, OutOfRangeSettingsAreReplacedByTheirDefaults)
{
    struct Row {
        const char *key;
        uint32_t size;
        uint32_t stored;
        uint32_t after;
    } rows[] = {
        {"Mode", 1, 0, 2},         {"Cycle", 4, 0, 1},         {"InPriority", 1, 255, 148},
        {"OutPriority", 1, 254, 254}, {"InThreadNum", 1, 33, 1}, {"OutThreadNum", 1, 0, 0},
        {"ConnectChkCycle", 4, 0, 1000}, {"Measure", 1, 7, 7},    {"ReConnectCount", 4, 0, 0},
    };
    for (const Row &r : rows)
        harness::set(std::string("SERVICE.TEST.") + r.key, r.stored, r.size);
    harness::Service service;
    ASSERT_TRUE(service.started());
    for (const Row &r : rows)
        EXPECT_EQ(get(std::string("SERVICE.TEST.") + r.key), r.after) << r.key;
    EXPECT_TRUE(await_log("DBG SERVICE.TEST.OutThreadNum [0],korecode,01033"));
    EXPECT_FALSE(harness::exists("SERVICE.TEST.OutThread00_Cnt")) << "0 Out threads: no statistics tags";
    EXPECT_TRUE(harness::exists("SERVICE.TEST.InThread00_Cnt"));
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Setup, NoServiceThreadsButPacingAndCheckRun)
{
    harness::set("SERVICE.TEST.InThreadNum", 0, 1);
    harness::set("SERVICE.TEST.OutThreadNum", 0, 1);
    harness::Service service;
    ASSERT_TRUE(service.started());
    EXPECT_FALSE(harness::exists("SERVICE.TEST.InThread00_Cnt"));
    EXPECT_FALSE(harness::exists("SERVICE.TEST.OutThread00_Cnt"));
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(harness::eventually([] { return harness::exists("TESTDRV.Catalog.ConChk"); }));
    EXPECT_EQ(get("TESTDRV.Catalog.AutoCycle") & 0xFF, 1u);
    EXPECT_EQ(get("TESTDRV.Catalog.ConChk") & 0xFF, 1u);
    EXPECT_EQ(get("TESTDRV.Catalog.InServ00") & 0xFF, 0u);
    uint32_t live = get("SERVICE.TEST.Live");
    EXPECT_TRUE(harness::eventually([&] { return get("SERVICE.TEST.Live") > live + 5; })) << "AutoCycle runs";
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Setup, ThirtyTwoThreadsEachWayWithTagsAndCatalogNames)
{
    harness::set("SERVICE.TEST.InThreadNum", 32, 1);
    harness::set("SERVICE.TEST.OutThreadNum", 32, 1);
    harness::Service service;
    ASSERT_TRUE(service.started());
    for (const char *suffix : {"Cnt", "Time", "TimeMin", "TimeMax", "LastError", "KoreLastError"}) {
        for (const char *direction : {"In", "Out"}) {
            std::string tag = std::string("SERVICE.TEST.") + direction + "Thread31_" + suffix;
            uint32_t type = 0;
            KoTagGetProperty(tag.c_str(), "Type", &type, 4);
            bool is_time = std::string(suffix).rfind("Time", 0) == 0;
            EXPECT_EQ(type, is_time ? 10u : 7u) << tag;
        }
    }
    EXPECT_TRUE(harness::exists("SERVICE.TEST.Connected"));
    EXPECT_TRUE(harness::exists("SERVICE.TEST.ConnectLastError"));

    std::vector<RT_ROOT_ENTRY> root(64);
    DWORD n = EnumerateRtRootCatalog(root.data(), 64);
    bool cataloged = false;
    for (DWORD i = 0; i < n; ++i)
        cataloged = cataloged || (std::string(root[i].name) == "KOSCTEST" && root[i].pid == service.pid());
    EXPECT_TRUE(cataloged) << "KOSCTEST in the root directory";

    ASSERT_TRUE(service.send(EM_SERVICE_RUN));  // the driver's open looks the thread names up
    ASSERT_TRUE(harness::eventually([] { return harness::exists("TESTDRV.Catalog.ConChk"); }));
    for (const char *name : testdriver::kCatalogNames)
        EXPECT_EQ(get(std::string("TESTDRV.Catalog.") + name) & 0xFF, 1u) << name;
    EXPECT_EQ(service.end(SIGTERM), 0);
    n = EnumerateRtRootCatalog(root.data(), 64);
    for (DWORD i = 0; i < n; ++i)
        EXPECT_NE(std::string(root[i].name), "KOSCTEST") << "the catalog entry goes with the service";
}

TEST(Setup, InitGetsTheDriverNameAndItsFailureIsReported)
{
    harness::set("TESTDRV.HiInit.Status", 256);
    harness::set("TESTDRV.HiInit.Api", 0x77);
    harness::Service service("test_driver.rsl", "CAN_2");
    ASSERT_TRUE(harness::eventually([] { return get("SERVICE.CAN_2.Status") == 1; }));
    auto calls = harness::drain_calls();
    ASSERT_GE(calls.size(), 1u);
    EXPECT_EQ(calls[0].entry, testdriver::HiInit);
    EXPECT_STREQ(calls[0].text, "CAN") << "driver name: the service name up to its first _";
    EXPECT_EQ(calls[0].timeout, 600000u);
    std::vector<std::string> lines = harness::log_lines("CAN_2");
    std::vector<std::string> init;
    for (const std::string &l : lines)
        if (l.find("userfunc,000") != std::string::npos)
            init.push_back(l);
    ASSERT_EQ(init.size(), 3u);
    EXPECT_EQ(init[0], "OPE CB_INIT Start... ,userfunc,00030");
    EXPECT_EQ(init[1], "ERR Init Failure. Status[100H] API Status[77H],userfunc,00040");
    EXPECT_EQ(init[2], "OPE CB_INIT End. ,userfunc,00056");
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Setup, InitWarningIsNotAFailure)
{
    harness::set("TESTDRV.HiInit.Status", 1);
    harness::Service service;
    ASSERT_TRUE(service.started());
    EXPECT_FALSE(harness::log_has("ERR Init Failure. Status[100H] API Status[0H],userfunc,00040"));
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    EXPECT_TRUE(harness::eventually([] { return get("SERVICE.TEST.Connected") == 1; }));
    EXPECT_TRUE(harness::eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 0; }));
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Setup, TheLongestServiceNameFormsEveryTagName)
{
    const std::string name = "SERVICE_NAME_17CH";  // names of 18 and more are refused at start
    testnode::write_node_config("[[service]]\nname = \"" + name + "\"\nsettings = { InThreadNum = 32, OutThreadNum = 32 }\n");
    harness::Service service("test_driver.rsl", name);
    ASSERT_TRUE(harness::eventually([&] { return get("SERVICE." + name + ".Status") == 1; }));
    for (const char *suffix : {"_Time", "_TimeMin", "_TimeMax", "_KoreLastError"})
        EXPECT_TRUE(harness::exists("SERVICE." + name + ".OutThread31" + suffix)) << suffix;
    EXPECT_TRUE(harness::exists("SERVICE." + name + ".ConnectLastError"));
    EXPECT_EQ(service.end(SIGTERM), 0);
    EXPECT_EQ(service.console(), "[LOG] : End " + name + " Service") << "no warning before the end line";
}

}  // namespace
