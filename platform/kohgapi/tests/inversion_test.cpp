// Priority inversion on a lock of the store: a low-priority holder, a
// middle-priority thread that spins and a high-priority waiter, all
// SCHED_FIFO on one CPU. The lock inherits priority, so the holder runs at
// the waiter's priority, finishes its short hold and hands the lock over
// while the spinner still spins; without inheritance the waiter would wait
// out the whole spin.
//
// The test's own thread stages them from that CPU at a priority above all
// three, so the order in which they first run does not depend on where the
// scheduler puts it or on what else the machine is doing.
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

// The first CPU this process may use.
cpu_set_t first_cpu()
{
    cpu_set_t allowed, cpu;
    sched_getaffinity(0, sizeof allowed, &allowed);
    CPU_ZERO(&cpu);
    for (int i = 0; i < CPU_SETSIZE; ++i)
        if (CPU_ISSET(i, &allowed)) {
            CPU_SET(i, &cpu);
            break;
        }
    return cpu;
}

// Moves the calling thread to SCHED_FIFO on that CPU and back to where it was
// when the test ends; placed() is false when this process may not do so.
class StageThread {
public:
    StageThread()
    {
        pthread_getschedparam(pthread_self(), &policy_, &param_);
        pthread_getaffinity_np(pthread_self(), sizeof cpus_, &cpus_);
        cpu_set_t cpu = first_cpu();
        sched_param top{};
        top.sched_priority = 40;
        placed_ = pthread_setaffinity_np(pthread_self(), sizeof cpu, &cpu) == 0 &&
                pthread_setschedparam(pthread_self(), SCHED_FIFO, &top) == 0;
    }
    ~StageThread()
    {
        pthread_setschedparam(pthread_self(), policy_, &param_);
        pthread_setaffinity_np(pthread_self(), sizeof cpus_, &cpus_);
    }
    bool placed() const { return placed_; }

private:
    int policy_ = SCHED_OTHER;
    sched_param param_{};
    cpu_set_t cpus_{};
    bool placed_ = false;
};

// A SCHED_FIFO thread; it inherits the staging thread's CPU.
bool start(pthread_t &thread, int priority, void *(*body)(void *), Stage &stage)
{
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setinheritsched(&attr, PTHREAD_EXPLICIT_SCHED);
    pthread_attr_setschedpolicy(&attr, SCHED_FIFO);
    sched_param param{};
    param.sched_priority = priority;
    pthread_attr_setschedparam(&attr, &param);
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
        st.held.notify_one();
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
    StageThread stager;
    if (!stager.placed())
        GTEST_SKIP() << "SCHED_FIFO threads need CAP_SYS_NICE (run as root)";
    // Above all three on the same CPU: once the holder has the lock, none of
    // them runs until every one is started and this thread waits in join.
    ASSERT_TRUE(start(low, 10, low_body, stage));
    stage.held.wait(false);
    ASSERT_TRUE(start(middle, 20, middle_body, stage));
    ASSERT_TRUE(start(high, 30, high_body, stage));
    for (pthread_t t : {high, middle, low})
        pthread_join(t, nullptr);
    EXPECT_TRUE(stage.waiter_before_spinner_done)
        << "the high-priority waiter got the lock only after the middle-priority thread's spin";
}

}  // namespace
