// Semaphores: the maximum, multi-unit takes, the queue rules, the errors.
#include "rt.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

// Checks every millisecond, for at most 10 s, until the condition holds.
template <typename Condition>
bool soon(Condition condition)
{
    for (int i = 0; i < 10000; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return condition();
}

// Waits until n threads are queued on the semaphore.
bool waiters_reach(RTHANDLE sem, WORD n)
{
    return soon([&] { return RtSemaphoreWaiters(sem) == n; });
}

TEST(Semaphore, EleventhReleaseOverMaximumFailsAndLeavesTen)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    ASSERT_NE(sem, BAD_RTHANDLE);
    for (int i = 0; i < 10; ++i)
        ASSERT_TRUE(ReleaseRtSemaphore(sem, 1)) << "release " << i + 1;
    SetLastRtError(0);
    EXPECT_FALSE(ReleaseRtSemaphore(sem, 1));
    EXPECT_EQ(GetLastRtError(), E_LIMIT);
    EXPECT_EQ(WaitForRtSemaphore(sem, 0, NO_WAIT), 10u);
}

TEST(Semaphore, MultiUnitReleasePastMaximumAddsNothing)
{
    RTHANDLE sem = CreateRtSemaphore(8, 10, FIFO_QUEUING);
    EXPECT_FALSE(ReleaseRtSemaphore(sem, 3));
    EXPECT_EQ(GetLastRtError(), E_LIMIT);
    EXPECT_TRUE(ReleaseRtSemaphore(sem, 2));
    EXPECT_EQ(WaitForRtSemaphore(sem, 0, NO_WAIT), 10u);
}

TEST(Semaphore, WaitReturnsUnitsLeft)
{
    RTHANDLE sem = CreateRtSemaphore(7, 10, FIFO_QUEUING);
    EXPECT_EQ(WaitForRtSemaphore(sem, 3, NO_WAIT), 4u);
    EXPECT_EQ(WaitForRtSemaphore(sem, 4, WAIT_FOREVER), 0u);
    EXPECT_EQ(WaitForRtSemaphore(sem, 1, NO_WAIT), WAIT_FAILED);
    EXPECT_EQ(GetLastRtError(), E_TIME);
}

struct BadCall {
    const char *what;
    DWORD (*call)(RTHANDLE sem);
    DWORD expected_status;
};

TEST(Semaphore, RefusesBadArguments)
{
    EXPECT_EQ(CreateRtSemaphore(11, 10, FIFO_QUEUING), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_EQ(CreateRtSemaphore(0, 0, FIFO_QUEUING), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_PARAM);
    EXPECT_EQ(CreateRtSemaphore(0, 1, 7), BAD_RTHANDLE);
    EXPECT_EQ(GetLastRtError(), E_PARAM);

    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    const BadCall calls[] = {
        {"more units than the maximum", [](RTHANDLE s) { return WaitForRtSemaphore(s, 11, NO_WAIT); }, E_LIMIT},
        {"time-out out of range", [](RTHANDLE s) { return WaitForRtSemaphore(s, 1, 655350); }, E_PARAM},
        {"unknown handle", [](RTHANDLE) { return WaitForRtSemaphore(0x7777, 1, NO_WAIT); }, E_EXIST},
        {"process handle", [](RTHANDLE) { return WaitForRtSemaphore(GetRtThreadHandles(THIS_PROCESS), 1, NO_WAIT); },
         E_TYPE},
        {"release on a process handle",
         [](RTHANDLE) { return ReleaseRtSemaphore(GetRtThreadHandles(THIS_PROCESS), 1) ? 0u : WAIT_FAILED; }, E_TYPE},
    };
    for (const BadCall &c : calls) {
        SetLastRtError(0);
        EXPECT_EQ(c.call(sem), WAIT_FAILED) << c.what;
        EXPECT_EQ(GetLastRtError(), c.expected_status) << c.what;
    }
}

TEST(Semaphore, TimedWaitExpires)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(WaitForRtSemaphore(sem, 1, 50), WAIT_FAILED);
    EXPECT_EQ(GetLastRtError(), E_TIME);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
}

TEST(Semaphore, HeadOfQueueIsServedFirst)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    std::atomic<int> big_done{0}, small_done{0};
    std::thread big([&] {
        WaitForRtSemaphore(sem, 5, WAIT_FOREVER);
        big_done = 1;
    });
    ASSERT_TRUE(waiters_reach(sem, 1));
    std::thread small([&] {
        WaitForRtSemaphore(sem, 1, WAIT_FOREVER);
        small_done = 1;
    });
    ASSERT_TRUE(waiters_reach(sem, 2));

    ASSERT_TRUE(ReleaseRtSemaphore(sem, 1));  // served (or not) within the release itself
    EXPECT_EQ(RtSemaphoreWaiters(sem), 2) << "a later small request overtook the head of the queue";
    EXPECT_EQ(small_done.load(), 0);
    EXPECT_EQ(WaitForRtSemaphore(sem, 0, NO_WAIT), 1u);

    ASSERT_TRUE(ReleaseRtSemaphore(sem, 5));  // 6 units: 5 to the head, 1 to the next
    big.join();
    small.join();
    EXPECT_EQ(big_done.load(), 1);
    EXPECT_EQ(small_done.load(), 1);
    EXPECT_EQ(WaitForRtSemaphore(sem, 0, NO_WAIT), 0u);
}

TEST(Semaphore, TimedOutHeadLetsTheNextWaiterThrough)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    std::atomic<int> small_done{0};
    std::thread big([&] { WaitForRtSemaphore(sem, 5, 1000); });  // long enough for the second to queue behind it
    ASSERT_TRUE(waiters_reach(sem, 1));
    std::thread small([&] {
        WaitForRtSemaphore(sem, 1, WAIT_FOREVER);
        small_done = 1;
    });
    ASSERT_TRUE(waiters_reach(sem, 2));
    ASSERT_TRUE(ReleaseRtSemaphore(sem, 1));
    big.join();  // times out, and must hand the unit on
    small.join();
    EXPECT_EQ(small_done.load(), 1);
}

struct PriorityWaiter {
    RTHANDLE sem;
    std::atomic<int> *order;
    std::atomic<int> served_as{0};
};

void wait_and_note(LPVOID param)
{
    auto *w = static_cast<PriorityWaiter *>(param);
    WaitForRtSemaphore(w->sem, 1, WAIT_FOREVER);
    w->served_as = ++*w->order;
}

TEST(Semaphore, PriorityQueuingServesTheMoreUrgentWaiterFirst)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, PRIORITY_QUEUING);
    std::atomic<int> order{0};
    PriorityWaiter lazy{sem, &order}, urgent{sem, &order};
    ASSERT_NE(CreateRtThread(200, wait_and_note, 65536, &lazy), BAD_RTHANDLE);
    ASSERT_TRUE(waiters_reach(sem, 1));
    ASSERT_NE(CreateRtThread(150, wait_and_note, 65536, &urgent), BAD_RTHANDLE);
    ASSERT_TRUE(waiters_reach(sem, 2));
    ASSERT_TRUE(ReleaseRtSemaphore(sem, 1));
    ASSERT_TRUE(soon([&] { return urgent.served_as.load() != 0; }));
    EXPECT_EQ(urgent.served_as.load(), 1);
    EXPECT_EQ(lazy.served_as.load(), 0);
    EXPECT_EQ(RtSemaphoreWaiters(sem), 1) << "the lazy waiter still waits";
    ASSERT_TRUE(ReleaseRtSemaphore(sem, 1));
    ASSERT_TRUE(soon([&] { return lazy.served_as.load() != 0; }));
    EXPECT_EQ(lazy.served_as.load(), 2);
}

}  // namespace
