// time.cpp - RtSleep, RtSleepEx and knRtSleep. Every sleep ends on an
// absolute boundary of a tick grid on CLOCK_MONOTONIC, so all processes of
// the node share one tick phase, as threads on one kernel tick do.
#include "kernel_internal.h"

#include <cerrno>
#include <ctime>
#include <sched.h>
#include <unistd.h>

namespace rtk {
namespace {

constexpr uint64_t kHighTickNs = 10'000'000;
constexpr DWORD kMaxHighLevelMs = 655349;

uint64_t low_tick_ns()
{
    return static_cast<uint64_t>(settings().tick_us) * 1000;
}

}  // namespace

uint64_t monotonic_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

void sleep_ticks(uint64_t period_ns, uint64_t ticks)
{
    uint64_t target = (monotonic_ns() / period_ns + ticks) * period_ns;
    timespec ts;
    ts.tv_sec = static_cast<time_t>(target / 1'000'000'000ull);
    ts.tv_nsec = static_cast<long>(target % 1'000'000'000ull);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace rtk

using namespace rtk;

extern "C" uint64_t rtk_monotonic_ns(void)
{
    return monotonic_ns();
}

extern "C" BOOLEAN RtSleepEx(DWORD milliseconds)
{
    if (milliseconds == 0xFFFFFFFFu)
        return fail(E_PARAM, BOOLEAN{FALSE});
    if (milliseconds == NO_WAIT)
        return TRUE;
    uint64_t tick = low_tick_ns();
    uint64_t ticks = (static_cast<uint64_t>(milliseconds) * 1'000'000ull + tick - 1) / tick;
    sleep_ticks(tick, ticks);
    return TRUE;
}

extern "C" BOOLEAN RtSleep(DWORD milliseconds)
{
    if (milliseconds > kMaxHighLevelMs)
        return fail(E_PARAM, BOOLEAN{FALSE});
    if (milliseconds < 10) {
        sched_yield();
        return TRUE;
    }
    sleep_ticks(kHighTickNs, milliseconds / 10);
    return TRUE;
}

extern "C" void knRtSleep(DWORD kernel_ticks)
{
    if (kernel_ticks == KN_DONT_WAIT) {
        sched_yield();
        return;
    }
    if (kernel_ticks == KN_WAIT_FOREVER) {
        for (;;)
            pause();
    }
    sleep_ticks(low_tick_ns(), kernel_ticks);
}
