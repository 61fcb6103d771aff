// notify.cpp - RtNotifyEvent. SIGTERM and SIGINT become TERMINATE (exit
// class), SIGHUP becomes KERNEL_STOPPING (system class). The signal handler
// only queues the notification and wakes waiters through a futex, so it works
// on whichever thread the signal lands, including threads the C++ library
// started. Notifications that arrive while nobody waits stay queued.
#include "kernel_internal.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <sys/syscall.h>
#include <unistd.h>

namespace rtk {
namespace {

constexpr uint32_t kQueueSize = 64;
constexpr uint32_t kEmpty = 0;
constexpr uint32_t kTaken = 0xFFFFFFFFu;
constexpr uint64_t kHighTickNs = 10'000'000;
constexpr DWORD kMaxTimeoutMs = 655349;
// Longest single futex sleep. Sanitizer runtimes hold a signal back until the
// thread makes an intercepted call, which a raw futex wait is not.
constexpr uint64_t kMaxSliceNs = 100'000'000;

std::atomic<uint32_t> queue[kQueueSize];
std::atomic<uint32_t> queue_tail{0};  // producers reserve slots here
std::atomic<uint32_t> queue_head{0};  // advanced by consumers under consumer_mutex
std::atomic<uint32_t> sequence{0};    // futex word: bumped on every arrival
std::mutex consumer_mutex;

DWORD class_of(uint32_t type)
{
    return type == KERNEL_STOPPING ? RT_SYSTEM_NOTIFICATIONS : RT_EXIT_NOTIFICATIONS;
}

void post(uint32_t type)
{
    uint32_t tail = queue_tail.load();
    do {
        if (tail - queue_head.load() >= kQueueSize)
            return;  // a full queue keeps the notifications it already holds
    } while (!queue_tail.compare_exchange_weak(tail, tail + 1));
    queue[tail % kQueueSize].store(type);
    sequence.fetch_add(1);
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(&sequence), FUTEX_WAKE_PRIVATE, INT_MAX, nullptr, nullptr, 0);
}

void on_signal(int signal_number)
{
    int saved_errno = errno;
    post(signal_number == SIGHUP ? KERNEL_STOPPING : TERMINATE);
    errno = saved_errno;
}

// The oldest queued notification of a class in flags, or 0.
uint32_t take(DWORD flags)
{
    std::lock_guard lock(consumer_mutex);
    uint32_t head = queue_head.load();
    uint32_t tail = queue_tail.load();
    uint32_t found = 0;
    for (uint32_t i = head; i != tail; ++i) {
        uint32_t type = queue[i % kQueueSize].load();
        if (type == kEmpty)
            break;  // reserved by a handler that has not stored it yet
        if (type != kTaken && (class_of(type) & flags) != 0) {
            queue[i % kQueueSize].store(kTaken);
            found = type;
            break;
        }
    }
    while (head != tail && queue[head % kQueueSize].load() == kTaken) {
        queue[head % kQueueSize].store(kEmpty);
        ++head;
    }
    queue_head.store(head);
    return found;
}

}  // namespace

void arm_process()
{
    static std::once_flag once;
    std::call_once(once, [] {
        struct sigaction action = {};
        action.sa_handler = on_signal;
        action.sa_flags = SA_RESTART;
        sigemptyset(&action.sa_mask);
        sigaddset(&action.sa_mask, SIGTERM);
        sigaddset(&action.sa_mask, SIGINT);
        sigaddset(&action.sa_mask, SIGHUP);
        sigaction(SIGTERM, &action, nullptr);
        sigaction(SIGINT, &action, nullptr);
        sigaction(SIGHUP, &action, nullptr);
    });
}

}  // namespace rtk

using namespace rtk;

extern "C" BOOLEAN RtNotifyEvent(DWORD flags, DWORD milliseconds, EVENTINFO *info)
{
    arm_process();
    if (info == nullptr)
        return fail(E_BAD_ADDR, BOOLEAN{FALSE});
    if ((flags & RT_ALL_NOTIFICATIONS) == 0 || (milliseconds != WAIT_FOREVER && milliseconds > kMaxTimeoutMs))
        return fail(E_PARAM, BOOLEAN{FALSE});
    uint64_t deadline = 0;
    if (milliseconds != WAIT_FOREVER)
        deadline = (monotonic_ns() / kHighTickNs + milliseconds / 10) * kHighTickNs;

    for (;;) {
        uint32_t seen = sequence.load();
        if (uint32_t type = take(flags); type != 0) {
            info->dwNotifyType = type;
            info->dwLocation = RT_LOCAL_LOCATION;
            info->dwProcessId = static_cast<DWORD>(getpid());
            return TRUE;
        }
        uint64_t slice = kMaxSliceNs;
        if (milliseconds != WAIT_FOREVER) {
            uint64_t now = monotonic_ns();
            if (now >= deadline)
                return fail(E_TIME, BOOLEAN{FALSE});
            slice = std::min(slice, deadline - now);
        }
        timespec timeout{static_cast<time_t>(slice / 1'000'000'000ull), static_cast<long>(slice % 1'000'000'000ull)};
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&sequence), FUTEX_WAIT_PRIVATE, seen, &timeout, nullptr, 0);
    }
}

extern "C" void RtArmNotifications(void)
{
    rtk::arm_process();
}
