// futex.h - waiting on a 32-bit word of the shared store. The store is
// mapped by several processes, so the calls are the shared (not private)
// futex operations.
#pragma once

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <linux/futex.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace ko {

inline void futex_wake(std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
}

// Sleeps while *word == seen, at most timeout_ns (negative: no limit).
// false when a signal ended the wait.
inline bool futex_wait(std::atomic<uint32_t> *word, uint32_t seen, long long timeout_ns)
{
    timespec timeout{static_cast<time_t>(timeout_ns / 1000000000), static_cast<long>(timeout_ns % 1000000000)};
    long r = syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAIT, seen, timeout_ns < 0 ? nullptr : &timeout,
                     nullptr, 0);
    return !(r != 0 && errno == EINTR);
}

}  // namespace ko
