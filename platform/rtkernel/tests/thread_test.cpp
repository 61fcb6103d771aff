// Threads and the priority ceiling; the last error per thread.
#include "rt.h"

#include "child_process.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Started {
    std::atomic<int> ran{0};
    std::atomic<int> priority{-1};
    std::atomic<int> stack_ok{0};
};

void note_start(LPVOID param)
{
    auto *s = static_cast<Started *>(param);
    s->priority = GetRtThreadPriority(GetRtThreadHandles(THIS_THREAD));
    volatile char big[48 * 1024];  // more than an 8 KiB RTOS stack holds
    big[0] = 1;
    big[sizeof big - 1] = 1;
    s->stack_ok = big[0] + big[sizeof big - 1];
    s->ran = 1;
}

void wait_for(const std::atomic<int> &flag)
{
    for (int i = 0; i < 1000 && flag.load() == 0; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
}

TEST(Thread, RunsWithItsParameterOnASmallRequestedStack)
{
    Started started;
    RTHANDLE thread = CreateRtThread(150, note_start, 8192, &started);
    ASSERT_NE(thread, BAD_RTHANDLE);
    wait_for(started.ran);
    EXPECT_EQ(started.ran.load(), 1);
    EXPECT_EQ(started.priority.load(), 150);
    EXPECT_EQ(started.stack_ok.load(), 2);
}

TEST(Thread, PriorityZeroTakesTheCeiling)
{
    Started started;
    ASSERT_NE(CreateRtThread(0, note_start, 8192, &started), BAD_RTHANDLE);
    wait_for(started.ran);
    EXPECT_EQ(started.priority.load(), 129);
}

TEST(Thread, CeilingLimitsPrioritiesUntilRaised)
{
    Started started;
    EXPECT_EQ(CreateRtThread(128, note_start, 8192, &started), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_LIMIT);
    EXPECT_NE(CreateRtThread(129, note_start, 8192, &started), BAD_RTHANDLE);
    wait_for(started.ran);

    ASSERT_TRUE(SetRtProcessMaxPriority(NULL_RTHANDLE, 0));
    Started urgent;
    EXPECT_NE(CreateRtThread(1, note_start, 8192, &urgent), BAD_RTHANDLE);
    wait_for(urgent.ran);
    EXPECT_EQ(urgent.priority.load(), 1);

    // The ceiling is only ever raised.
    EXPECT_FALSE(SetRtProcessMaxPriority(NULL_RTHANDLE, 100));
    EXPECT_EQ(GetLastRtError(), E_LIMIT);
}

TEST(Thread, SetCeilingArguments)
{
    EXPECT_TRUE(SetRtProcessMaxPriority(GetRtThreadHandles(THIS_PROCESS), 129));  // equal passes
    EXPECT_FALSE(SetRtProcessMaxPriority(NULL_RTHANDLE, 255));
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_FALSE(SetRtProcessMaxPriority(GetRtThreadHandles(ROOT_PROCESS), 10));
    EXPECT_EQ(GetLastRtError(), E_CONTEXT);
    EXPECT_FALSE(SetRtProcessMaxPriority(0x5555, 10));
    EXPECT_EQ(GetLastRtError(), E_EXIST);
}

TEST(Thread, RefusesBadArguments)
{
    Started started;
    struct Row {
        BYTE priority;
        RT_THREAD_ENTRY entry;
        DWORD stack;
        DWORD status;
    } rows[] = {
        {150, note_start, 0, E_PARAM},
        {255, note_start, 8192, E_PARAM},
        {150, nullptr, 8192, E_BAD_ADDR},
    };
    for (const Row &r : rows) {
        SetLastRtError(0);
        EXPECT_EQ(CreateRtThread(r.priority, r.entry, r.stack, &started), BAD_RTHANDLE);
        EXPECT_EQ(GetLastRtError(), r.status);
    }
}

TEST(Thread, HandlesOfThreadProcessAndRoot)
{
    RTHANDLE self = GetRtThreadHandles(THIS_THREAD);
    RTHANDLE process = GetRtThreadHandles(THIS_PROCESS);
    RTHANDLE root = GetRtThreadHandles(ROOT_PROCESS);
    EXPECT_NE(self, NULL_RTHANDLE);
    EXPECT_NE(process, NULL_RTHANDLE);
    EXPECT_NE(root, NULL_RTHANDLE);
    EXPECT_NE(process, root);
    EXPECT_EQ(GetRtThreadHandles(THIS_THREAD), self);
    EXPECT_EQ(GetRtThreadHandles(2), NULL_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_PARAM);
}

TEST(LastError, IsPerThreadAndKeptAcrossSuccess)
{
    SetLastRtError(0x12345);
    EXPECT_EQ(GetLastRtError(), 0x2345u) << "only 16 bits are kept";
    RTHANDLE sem = CreateRtSemaphore(1, 1, FIFO_QUEUING);
    ASSERT_NE(sem, BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), 0x2345u) << "a successful call must not reset it";
    DWORD other = 99;
    std::thread([&] { other = GetLastRtError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_STREQ(GetRtErrorText(E_LIMIT), "E_LIMIT");
}

}  // namespace

// Under RT_SCHED=fifo the threads of the layer share one CPU unless told
// otherwise; without it they share one only when RT_CPU names it.
TEST(Thread, RealTimeThreadsShareOneCpu)
{
    auto placement = [](std::vector<std::string> env) {
        auto child = testnode::Child::program({RTK_PROBE, "placement"}, env);
        std::string cpus = child.read_line();
        std::string process = child.read_line();
        EXPECT_EQ(child.wait(), 0);
        return std::make_pair(cpus, std::stoi(process.substr(8)));
    };
    auto [free_cpus, count] = placement({"RT_SCHED="});
    auto last = " " + free_cpus.substr(free_cpus.rfind(' ') + 1);
    auto first = free_cpus.substr(5, free_cpus.find(' ', 5) - 5);  // after "cpus "
    EXPECT_EQ(std::count(free_cpus.begin(), free_cpus.end(), ' '), count) << "SCHED_OTHER threads are not placed";
    EXPECT_EQ(placement({"RT_SCHED=fifo", "RT_CPU="}).first, "cpus" + last) << "the last CPU by default";
    EXPECT_EQ(placement({"RT_SCHED=fifo", "RT_CPU=" + first}).first, "cpus " + first);
    EXPECT_EQ(placement({"RT_SCHED=fifo", "RT_CPU=any"}).first, free_cpus);
    EXPECT_EQ(placement({"RT_SCHED=fifo", "RT_CPU=100000"}).first, "cpus" + last) << "no such CPU: the default";
    EXPECT_EQ(placement({"RT_SCHED=", "RT_CPU=" + first}).first, "cpus " + first) << "named, under SCHED_OTHER too";
    EXPECT_EQ(placement({"RT_SCHED=", "RT_CPU=100000"}).first, free_cpus);
}
