// Control codes: run, pause, trigger by mode, stop; the open step and its
// failure; codes that arrive while set-up runs.
#include "service_harness.h"

#include "kohgapi.h"

#include <chrono>
#include <csignal>
#include <gtest/gtest.h>
#include <thread>

namespace {

using harness::eventually;
using harness::get;
using harness::log_has;
using harness::await_log;

uint32_t in_cycles()
{
    return get("SERVICE.TEST.InThread00_Cnt");
}

uint32_t out_cycles()
{
    return get("SERVICE.TEST.OutThread00_Cnt");
}

void settle()
{
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
}

TEST(Control, RunPauseAndStop)
{
    harness::Service service;
    ASSERT_TRUE(service.started());
    settle();
    EXPECT_EQ(in_cycles(), 0u) << "no cycle before run";
    EXPECT_FALSE(harness::exists("SERVICE.TEST.Run")) << "Run is not written before the first run";

    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return in_cycles() > 5 && out_cycles() == 0; })) << "Mode 2: only In threads cycle";
    EXPECT_EQ(get("SERVICE.TEST.Run") & 0xFF, 1u);
    EXPECT_EQ(get("SERVICE.TEST.Connected") & 0xFF, 1u);
    EXPECT_EQ(get("SERVICE.TEST.Error") & 0xFF, 0u);
    EXPECT_TRUE(await_log("DBG EM_SERVICE_RUN recieved.,korecode,00337"));
    EXPECT_TRUE(await_log("OPE CB_OPEN Start... ,userfunc,00073"));
    EXPECT_TRUE(await_log("OPE Open Success. Status[0H] API Status[0H],userfunc,00088"));
    EXPECT_TRUE(await_log("OPE CB_OPEN End. ,userfunc,00096"));
    EXPECT_TRUE(await_log("DBG Connect Status[1][0x0H]\\n,korecode,00238"));

    ASSERT_TRUE(service.send(EM_SERVICE_PAUSE));
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Run") & 0xFF) == 0; }));
    settle();
    uint32_t paused_at = in_cycles();
    uint32_t live = get("SERVICE.TEST.Live");
    settle();
    EXPECT_EQ(in_cycles(), paused_at) << "cycles go on after pause";
    EXPECT_GT(get("SERVICE.TEST.Live"), live) << "Live counts on every pass";
    EXPECT_EQ(get("SERVICE.TEST.Connected") & 0xFF, 1u) << "the driver stays open";

    ASSERT_TRUE(service.send(EM_SERVICE_STOP));
    EXPECT_EQ(service.console(), "[LOG] : End TEST Service");
    EXPECT_EQ(service.wait_exit(), 0) << "the process ends after the stop";
    EXPECT_EQ(get("SERVICE.TEST.Status") & 0xFF, 0u);
    EXPECT_EQ(get("SERVICE.TEST.Connected") & 0xFF, 0u);
    EXPECT_TRUE(await_log("DBG EM_SERVICE_STOP recieved.,korecode,00345"));
    EXPECT_TRUE(await_log("OPE CB_CLOSE End. Status[0H] API Status[0H],userfunc,00121"));
    EXPECT_TRUE(await_log("OPE SERVICE.TEST.Status Change. 1 > 0,korecode,00195"));
}

struct TriggerRow {
    uint32_t mode;
    uint32_t in_per_trigger;
    uint32_t out_per_trigger;
};
void PrintTo(const TriggerRow &r, std::ostream *out)
{
    *out << "mode" << r.mode;
}
class Trigger : public ::testing::TestWithParam<TriggerRow> {};

TEST_P(Trigger, WakesThreadsByMode)
{
    {
        const TriggerRow &r = GetParam();
        harness::set("SERVICE.TEST.Mode", r.mode, 1);
        harness::Service service;
        ASSERT_TRUE(service.started());
        ASSERT_TRUE(service.send(EM_SERVICE_RUN));
        ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 1; }));
        ASSERT_TRUE(service.send(EM_SERVICE_PAUSE));  // AutoCycle wakes nothing now
        ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Run") & 0xFF) == 0; }));
        settle();
        uint32_t in0 = in_cycles(), out0 = out_cycles();
        for (int i = 0; i < 3; ++i) {
            ASSERT_TRUE(service.send(EM_SERVICE_TRIGGER));
            settle();
        }
        EXPECT_EQ(in_cycles() - in0, 3 * r.in_per_trigger) << "mode " << r.mode;
        EXPECT_EQ(out_cycles() - out0, 3 * r.out_per_trigger) << "mode " << r.mode;
        EXPECT_EQ(service.end(SIGTERM), 0);
    }
}
INSTANTIATE_TEST_SUITE_P(Control, Trigger,
                         ::testing::Values(TriggerRow{1, 0, 0}, TriggerRow{2, 0, 1}, TriggerRow{3, 1, 1}));

TEST(Control, OpenFailureAndARepeatedRun)
{
    harness::set("TESTDRV.HiOpen.Status", 1);
    harness::set("TESTDRV.HiOpen.Api", 0x42);
    harness::Service service("test_driver_no_optional.rsl");  // no connection check to report meanwhile
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 1; }));
    EXPECT_EQ(get("SERVICE.TEST.Run") & 0xFF, 1u) << "Run stays set when the open fails";
    EXPECT_EQ(get("SERVICE.TEST.Connected") & 0xFF, 0u);
    EXPECT_EQ(get("SERVICE.TEST.ConnectLastError"), 0x42u);
    EXPECT_TRUE(await_log("ERR Open Failure. Status[1H] API Status[42H],userfunc,00082"));
    EXPECT_TRUE(await_log("ERR fnOpen error. Status[0x1H]. ErrStatus[0x42H],korecode,01145"));
    EXPECT_FALSE(log_has("OPE CB_OPEN End. ,userfunc,00096"));

    harness::set("TESTDRV.HiOpen.Status", 0);
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 1; }));
    EXPECT_TRUE(eventually([] { return (get("SERVICE.TEST.Error") & 0xFF) == 0; })) << "a later open clears the error";
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(eventually([] { return get("TESTDRV.HiOpen.Count") == 3; })) << "every run opens again";
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Control, CodesDuringSetUpRunAtItsEnd)
{
    harness::set("TESTDRV.HiInit.DelayMs", 600);  // set-up is slow
    harness::Service service;
    ASSERT_TRUE(eventually([] { return harness::exists("TESTDRV.HiInit.Count"); })) << "the driver's init runs";
    // The mailbox exists while the driver's init runs.
    ASSERT_TRUE(service.send(EM_SERVICE_PAUSE));
    ASSERT_TRUE(service.send(EM_SERVICE_TRIGGER));
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(service.send(EM_SERVICE_RUN));
    ASSERT_TRUE(service.started());
    ASSERT_TRUE(eventually([] { return (get("SERVICE.TEST.Connected") & 0xFF) == 1; }));
    settle();
    EXPECT_EQ(get("TESTDRV.HiOpen.Count"), 1u) << "run during set-up opens exactly once, at its end";
    EXPECT_EQ(get("SERVICE.TEST.Run") & 0xFF, 1u) << "the early pause was ignored";
    EXPECT_EQ(service.end(SIGTERM), 0);
}

TEST(Control, StopDuringSetUpIsCarriedOutAtItsEnd)
{
    harness::set("TESTDRV.HiInit.DelayMs", 600);
    harness::Service service;
    ASSERT_TRUE(service.send(EM_SERVICE_STOP));
    EXPECT_EQ(service.console(), "[LOG] : End TEST Service");
    EXPECT_EQ(service.wait_exit(), 0);
    EXPECT_EQ(get("TESTDRV.HiClose.Count"), 1u) << "the driver was closed after its init";
    EXPECT_EQ(get("TESTDRV.HiInit.Count"), 1u);
    EXPECT_EQ(get("SERVICE.TEST.Status") & 0xFF, 0u);
}

}  // namespace
