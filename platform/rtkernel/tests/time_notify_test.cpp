// Sleeps on the tick grid, system information, notifications, the end of
// initialisation and self-termination.
#include "child_process.h"
#include "rt.h"

#include <chrono>
#include <csignal>
#include <cstddef>
#include <gtest/gtest.h>
#include <string>
#include <unistd.h>

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::microseconds;
using std::chrono::milliseconds;

TEST(Sleep, ArgumentRules)
{
    EXPECT_FALSE(RtSleepEx(0xFFFFFFFFu));
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_FALSE(RtSleep(655350));
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_TRUE(RtSleepEx(NO_WAIT));
    EXPECT_TRUE(RtSleep(0));
}

TEST(Sleep, DurationsFollowTheirTicks)
{
    // Lower bounds only: a sleep may end late on a loaded machine, never early.
    struct Row {
        const char *what;
        void (*sleep)();
        microseconds at_least;
        microseconds at_most;  // generous
    } rows[] = {
        {"RtSleep(5) only yields", [] { RtSleep(5); }, microseconds(0), milliseconds(50)},
        {"RtSleep(25) is two 10 ms ticks", [] { RtSleep(25); }, milliseconds(10), milliseconds(100)},
        {"RtSleepEx(3) is six 500 us ticks", [] { RtSleepEx(3); }, microseconds(2500), milliseconds(60)},
        {"knRtSleep(4) is four 500 us ticks", [] { knRtSleep(4); }, microseconds(1500), milliseconds(60)},
    };
    for (const Row &r : rows) {
        auto start = Clock::now();
        r.sleep();
        auto took = Clock::now() - start;
        EXPECT_GE(took, r.at_least) << r.what;
        EXPECT_LE(took, r.at_most) << r.what;
    }
}

TEST(SystemInfo, RecordLayoutAndCounterRate)
{
    static_assert(offsetof(SYSINFO, NucleusTickInterval) == 57);
    static_assert(offsetof(SYSINFO, KernelTickRatio) == 59);
    static_assert(offsetof(SYSINFO, PentiumTicksPerUsec) == 70);
    static_assert(sizeof(NODE_INFO) == 88 && offsetof(NODE_INFO, szNodeName) == 4);

    SYSINFO info{};
    ASSERT_TRUE(CopyRtSystemInfo(&info));
    EXPECT_EQ(WORD{info.NucleusTickInterval}, 10);
    EXPECT_EQ(WORD{info.KernelTickRatio}, 20);
    ASSERT_GT(DWORD{info.PentiumTicksPerUsec}, 0u);
    SYSINFO again{};
    ASSERT_TRUE(CopyRtSystemInfo(&again));
    EXPECT_EQ(DWORD{again.PentiumTicksPerUsec}, DWORD{info.PentiumTicksPerUsec}) << "the rate is calibrated once";

    // 100 ms of counts, converted with the reported rate, within 20 %.
    uint64_t c0 = RtTimeStampCounter();
    auto t0 = Clock::now();
    usleep(100000);
    uint64_t c1 = RtTimeStampCounter();
    double measured_us = std::chrono::duration<double, std::micro>(Clock::now() - t0).count();
    double counted_us = static_cast<double>(c1 - c0) / info.PentiumTicksPerUsec;
    EXPECT_NEAR(counted_us / measured_us, 1.0, 0.2);

    EXPECT_FALSE(CopyRtSystemInfo(nullptr));
    EXPECT_EQ(GetLastRtError(), E_BAD_ADDR);
}

TEST(NodeInfo, ThisLocationGivesTheNodeName)
{
    NODE_INFO info{};
    ASSERT_TRUE(GetRtNodeInfo(THIS_LOCATION, &info));
    EXPECT_STREQ(reinterpret_cast<const char *>(&info) + 4, "testnode");
    EXPECT_FALSE(GetRtNodeInfo(0x1234, &info));
    EXPECT_EQ(GetLastRtError(), E_INVALID_ADDRESS);
    EXPECT_FALSE(GetRtNodeInfo(THIS_LOCATION, nullptr));
    EXPECT_EQ(GetLastRtError(), E_BAD_ADDR);
}

TEST(Notify, TimesOutAndRefusesBadArguments)
{
    EVENTINFO info{};
    auto start = Clock::now();
    EXPECT_FALSE(RtNotifyEvent(RT_ALL_NOTIFICATIONS, 30, &info));
    EXPECT_EQ(GetLastRtError(), E_TIME);
    EXPECT_GE(Clock::now() - start, milliseconds(20));
    EXPECT_FALSE(RtNotifyEvent(RT_ALL_NOTIFICATIONS, NO_WAIT, nullptr));
    EXPECT_EQ(GetLastRtError(), E_BAD_ADDR);
    EXPECT_FALSE(RtNotifyEvent(0, NO_WAIT, &info));
    EXPECT_EQ(GetLastRtError(), E_PARAM);
}

TEST(Notify, SignalsReachAWaitingProcess)
{
    struct Row {
        int signal_number;
        const char *expected;
    } rows[] = {{SIGTERM, "type 255"}, {SIGINT, "type 255"}, {SIGHUP, "type 230"}};
    for (const Row &r : rows) {
        auto child = testnode::Child::program({RTK_PROBE, "notify"});
        ASSERT_EQ(child.read_line(), "ready");
        kill(child.pid(), r.signal_number);
        EXPECT_EQ(child.read_line(), r.expected) << "signal " << r.signal_number;
        EXPECT_EQ(child.wait(), 0);
    }
}

TEST(Notify, ArrivalsWithoutAWaiterAreQueuedByClass)
{
    EVENTINFO info{};
    (void)RtNotifyEvent(RT_ALL_NOTIFICATIONS, NO_WAIT, &info);  // arms the handlers
    raise(SIGTERM);
    raise(SIGHUP);
    ASSERT_TRUE(RtNotifyEvent(RT_SYSTEM_NOTIFICATIONS, NO_WAIT, &info));
    EXPECT_EQ(info.dwNotifyType, KERNEL_STOPPING);
    ASSERT_TRUE(RtNotifyEvent(RT_ALL_NOTIFICATIONS, NO_WAIT, &info));
    EXPECT_EQ(info.dwNotifyType, TERMINATE);
    EXPECT_EQ(info.dwProcessId, static_cast<DWORD>(getpid()));
    EXPECT_FALSE(RtNotifyEvent(RT_ALL_NOTIFICATIONS, NO_WAIT, &info));
}

TEST(Loader, SynchronizeTellsTheLauncherAndCatalogsEndOfInit)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    auto child = testnode::Child::program({RTK_PROBE, "ready"}, {"RT_READY_FD=" + std::to_string(fds[1])});
    close(fds[1]);
    char c = 0;
    EXPECT_EQ(read(fds[0], &c, 1), 1);
    EXPECT_EQ(c, 'R');
    close(fds[0]);
    EXPECT_EQ(child.wait(), 0);

    EXPECT_TRUE(SynchronizeRtLoader());
    EXPECT_NE(LookupRtHandle(NULL_RTHANDLE, "R?END_INIT", NO_WAIT), BAD_RTHANDLE);
    EXPECT_TRUE(SynchronizeRtLoader()) << "a second call is harmless";
}

TEST(Terminate, OwnProcessReturnsAtOnceAndEndsLater)
{
    auto start = Clock::now();
    auto child = testnode::Child::program({RTK_PROBE, "terminate", "200"});
    EXPECT_EQ(child.read_line(), "returned") << "buffered console output was lost";
    EXPECT_EQ(child.wait(), 0);
    EXPECT_GE(Clock::now() - start, milliseconds(150));
    EXPECT_FALSE(TerminateRtProcess(0x3333, TRUE, 0));
    EXPECT_EQ(GetLastRtError(), E_EXIST);
}

}  // namespace
