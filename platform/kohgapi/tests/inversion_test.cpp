// Priority inversion on a lock of the store: a low-priority holder, a
// middle-priority thread that spins and a high-priority waiter, all
// SCHED_FIFO on one CPU. The lock inherits priority, so the holder runs at
// the waiter's priority, finishes its short hold and hands the lock over
// while the spinner still spins; without inheritance the waiter would wait
// out the whole spin.
#include "kohgapi.h"
#include "robust_mutex.h"
#include "store.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>

namespace {

using Clock = std::chrono::steady_clock;

void spin_for(std::chrono::milliseconds how_long)
{
    for (auto until = Clock::now() + how_long; Clock::now() < until;) {
    }
}

struct Stage {
    pthread_mutex_t *lock;
    std::atomic<bool> held{false}, spinner_done{false}, waiter_before_spinner_done{false};
};

// A SCHED_FIFO thread on CPU 0; false when this process may not make one.
bool start(pthread_t &thread, int priority, void *(*body)(void *), Stage &stage)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    sched_param param{};
    param.sched_priority = priority;
    pthread_attr_setschedparam(&attr, &param);
    cpu_set_t cpu;
    CPU_ZERO(&cpu);
    CPU_SET(0, &cpu);
    pthread_attr_setaffinity_np(&attr, sizeof cpu, &cpu);
    int error = pthread_create(&thread, &attr, body, &stage);
    pthread_attr_destroy(&attr);
    return error == 0;
}

TEST(PriorityInheritance, AWaiterOnAStoreLockIsNotHeldUpByAMiddlePriorityThread)
{
    uint32_t fifo = 0;
    ASSERT_EQ(KoTagCreateFIFO("Pi.Fifo", 14, 8, nullptr, nullptr, nullptr, 0, &fifo), KO_OK);
    ko::Store *s = ko::store();
    Stage stage;
    stage.lock = &s->at<ko::FifoArea>(ko::slot_of(s, fifo)->data)->lock;

    pthread_t low, middle, high;
    auto low_body = [](void *p) -> void * {
        auto &st = *static_cast<Stage *>(p);
        ko::RobustLock hold(st.lock);
        st.held = true;
        spin_for(std::chrono::milliseconds(20));  // a short hold, but it needs the CPU
        return nullptr;
    };
    auto middle_body = [](void *p) -> void * {
        auto &st = *static_cast<Stage *>(p);
        spin_for(std::chrono::milliseconds(400));
        st.spinner_done = true;
        return nullptr;
    };
    auto high_body = [](void *p) -> void * {
        auto &st = *static_cast<Stage *>(p);
        ko::RobustLock take(st.lock);
        st.waiter_before_spinner_done = !st.spinner_done.load();
        return nullptr;
    };
    if (!start(low, 10, low_body, stage))
        GTEST_SKIP() << "SCHED_FIFO threads need CAP_SYS_NICE (run as root)";
    while (!stage.held)
        sched_yield();
    ASSERT_TRUE(start(middle, 20, middle_body, stage));
    ASSERT_TRUE(start(high, 30, high_body, stage));
    for (pthread_t t : {high, middle, low})
        pthread_join(t, nullptr);
    EXPECT_TRUE(stage.waiter_before_spinner_done)
        << "the high-priority waiter got the lock only after the middle-priority thread's spin";
}

}  // namespace
