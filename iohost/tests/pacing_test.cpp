// Pacing (Cycle, kernel tick, the driver's wait) and the connection check
// with reconnection.
#include "service_harness.h"

#include "kohgapi.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using harness::eventually;
using harness::get;

uint32_t live_over(int ms)
{
    uint32_t before = get("SERVICE.TEST.Live");
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
    return get("SERVICE.TEST.Live") - before;
}

struct PaceRow {
    const char *what;
    uint32_t cycle;
    uint32_t kernel_tick;
    uint32_t at_least, at_most;  // passes in 500 ms, generous both ways
};
void PrintTo(const PaceRow &r, std::ostream *out)
{
    *out << (r.kernel_tick != 0 ? "kernel_tick" : "cycle");
}
class Pace : public ::testing::TestWithParam<PaceRow> {};

TEST_P(Pace, ByCycleOrKernelTick)
{
    {
        const PaceRow &r = GetParam();
        harness::set("SERVICE.TEST.Cycle", r.cycle);
        harness::set("SERVICE.TEST.UseKernelTick", r.kernel_tick, 1);
        harness::Service service;
        ASSERT_TRUE(service.started());
        ASSERT_TRUE(eventually([] { return get("SERVICE.TEST.Live") > 1; })) << "the pacing thread runs";
        uint32_t passes = live_over(500);
        EXPECT_GE(passes, r.at_least) << r.what;
        EXPECT_LE(passes, r.at_most) << r.what;
        EXPECT_EQ(service.end(SIGTERM), 0);
    }
}
INSTANTIATE_TEST_SUITE_P(Pacing, Pace,
                         ::testing::Values(PaceRow{"Cycle 100 ms", 100, 0, 2, 7},
                                           PaceRow{"one kernel tick, Cycle ignored", 1000, 1, 50, 2000}));

// Mode 1: In thread 0 runs the clock's passes itself when it is at least as
// urgent as the Out threads, the AutoCycle thread otherwise; either way every
// pass counts Live once and runs one cycle each way.
class Clock : public ::testing::TestWithParam<uint32_t> {};

TEST_P(Clock, EveryPassCountsLiveAndRunsOneCycleEachWay)
{
    harness::set("SERVICE.TEST.Mode", 1, 1);
    harness::set("SERVICE.TEST.Cycle", 10);
    harness::set("SERVICE.TEST.InPriority", GetParam(), 1);
    harness::set("SERVICE.TEST.OutPriority", 149, 1);
    harness::Service service;
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("SERVICE.TEST.InThread00_Cnt") > 3; }));
    uint32_t live = get("SERVICE.TEST.Live"), in = get("SERVICE.TEST.InThread00_Cnt"),
             out = get("SERVICE.TEST.OutThread00_Cnt");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));  // the window measured
    uint32_t passes = get("SERVICE.TEST.Live") - live;
    EXPECT_GE(passes, 25u) << "a 10 ms clock";
    EXPECT_LE(passes, 60u);
    EXPECT_NEAR(double(get("SERVICE.TEST.InThread00_Cnt") - in), double(passes), 2.0);
    EXPECT_NEAR(double(get("SERVICE.TEST.OutThread00_Cnt") - out), double(passes), 2.0);
    EXPECT_EQ(service.end(SIGTERM), 0);
}
INSTANTIATE_TEST_SUITE_P(Pacing, Clock, ::testing::Values(148u, 150u),
                         [](const auto &info) { return info.param <= 149 ? "InThreadPaces" : "AutoCyclePaces"; });

TEST(Pacing, DriverWaitPacesTheService)
{
    harness::set("SERVICE.TEST.UseWait", 1, 1);
    harness::set("SERVICE.TEST.Cycle", 1000);
    harness::set("TESTDRV.Wait.Ms", 5);
    harness::Service service;
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("TESTDRV.HiWait.Count") > 20; })) << "paced by HiWait, not by Cycle";
    EXPECT_GT(get("SERVICE.TEST.InThread00_Cnt"), 10u);
    auto calls = harness::drain_calls();
    for (const auto &c : calls)
        if (c.entry == testdriver::HiWait) {
            EXPECT_EQ(c.timeout, 0xFFFFFFFFu) << "HiWait gets WaitTimeout";
        }

    // A failing wait reports the loss once and stops the wake-ups.
    harness::set("TESTDRV.ConnectChk.Result", 1);
    harness::set("SERVICE.TEST.ConnectChkCycle", 100000);  // no check will set it back meanwhile
    harness::set("TESTDRV.HiWait.Api", 0x31);
    harness::set("TESTDRV.HiWait.Status", 256);
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 0; }));
    // Windows, not waits: a pass in flight ends, then none may follow.
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    uint32_t cycles = get("SERVICE.TEST.InThread00_Cnt");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_EQ(get("SERVICE.TEST.InThread00_Cnt"), cycles);
    EXPECT_EQ(harness::await_log_count("DBG Connect Status[0][0x31H]\\n,korecode,00238", 1u), 1u);
    EXPECT_EQ(get("SERVICE.TEST.ConnectLastError"), 0x31u);
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Pacing, WaitWithoutHiWaitPausesByCycle)
{
    harness::set("SERVICE.TEST.UseWait", 1, 1);
    harness::set("SERVICE.TEST.Cycle", 100);
    harness::Service service("test_driver_no_optional.rsl");
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("SERVICE.TEST.Live") > 1; })) << "the pacing thread runs";
    EXPECT_LE(live_over(500), 7u);
    EXPECT_EQ(service.end(SIGTERM), 0);
}

struct CheckRow {
    const char *what;
    uint32_t execute_reconnect;
    uint32_t result;  // what HiConnectChk returns
};
void PrintTo(const CheckRow &r, std::ostream *out)
{
    *out << "execute_reconnect" << r.execute_reconnect << "_result" << r.result;
}
class ConChk : public ::testing::TestWithParam<CheckRow> {};

TEST_P(ConChk, ReportsChangesAndReconnectsAboveTheLimit)
{
    {
        const CheckRow &r = GetParam();
        harness::set("SERVICE.TEST.ConnectChkCycle", 20);
        harness::set("SERVICE.TEST.ReConnectCount", 0);
        harness::set("SERVICE.TEST.ExecuteReConnect", r.execute_reconnect, 1);
        harness::set("TESTDRV.ConnectChk.Result", 1);
        harness::Service service;
        ASSERT_TRUE(service.started());
        std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a window in which no check may come
        EXPECT_EQ(get("TESTDRV.HiConnectChk.Count"), 0u) << "no check before the open step";
        ASSERT_TRUE(service.send(EM_SERVICE_RUN));
        ASSERT_TRUE(eventually([] { return get("TESTDRV.HiConnectChk.Count") > 3; }));
        harness::drain_calls();
        harness::set("TESTDRV.ConnectChk.Code", 0x66);
        harness::set("TESTDRV.ConnectChk.Result", r.result);
        ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 0; })) << r.what;
        EXPECT_EQ(get("SERVICE.TEST.ConnectLastError"), 0x66u);
        std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the calls of a window, counted below
        auto calls = harness::drain_calls();
        size_t checks = harness::count_calls(calls, testdriver::HiConnectChk);
        size_t reconnects = harness::count_calls(calls, testdriver::HiReConnect);
        if (r.execute_reconnect != 0) {
            EXPECT_GT(reconnects, 0u) << r.what;
            EXPECT_EQ(checks, 2 * reconnects) << "each successful reconnection is checked again at once";
        } else {
            EXPECT_EQ(reconnects, 0u) << r.what;
            EXPECT_EQ(checks % 2, 0u) << "a failed check above the limit checks a second time";
        }
        EXPECT_EQ(harness::await_log_count("DBG Connect Status[0][0x66H]\\n,korecode,00238", 1u), 1u)
            << "a flag that stays the same is not reported again";
        harness::set("TESTDRV.ConnectChk.Result", 1);
        ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 1; })) << "reported back";
        EXPECT_EQ(service.end(SIGTERM), 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Pacing, ConChk,
                         ::testing::Values(CheckRow{"reconnect allowed", 1, 0}, CheckRow{"reconnect not allowed", 0, 0},
                                           CheckRow{"upper bytes without the low byte", 0, 0x100}));

}  // namespace
