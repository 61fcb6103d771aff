// monotonic.h - the clock of the master's cycle grid and of the terminals:
// CLOCK_MONOTONIC in nanoseconds, and a sleep to an absolute point on it.
#pragma once

#include <cerrno>
#include <cstdint>
#include <ctime>

namespace ecatsim {

inline int64_t now_ns()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

inline void sleep_until(int64_t deadline_ns)
{
    timespec ts{static_cast<time_t>(deadline_ns / 1000000000), static_cast<long>(deadline_ns % 1000000000)};
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

}  // namespace ecatsim
