// semaphore.cpp - counting semaphores with INtime's rules: 16-bit counts, the
// maximum enforced on release, multi-unit waits, and the head of the queue
// always served first. Wait and release are on every cycle's path, so they
// allocate nothing: a waiter lives on its own stack and sleeps on a futex
// word of its own, woken after the releaser has let the mutex go.
#include "kernel_internal.h"

#include <climits>
#include <ctime>
#include <linux/futex.h>
#include <mutex>
#include <new>
#include <sys/syscall.h>
#include <unistd.h>

namespace rtk {
namespace {

constexpr DWORD kMaxTimeoutMs = 655349;
constexpr uint64_t kHighTickNs = 10'000'000;
constexpr size_t kWakeBatch = 16;

void futex_wake(std::atomic<uint32_t> *word)
{
    syscall(SYS_futex, reinterpret_cast<uint32_t *>(word), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
}

// A waiting thread, on its own stack. The releaser's last touch is the store
// to granted; it then wakes the word by address only, so the waiter may
// return at once.
struct Waiter {
    Waiter(WORD units, BYTE prio) : want(units), priority(prio) {}
    WORD want;
    BYTE priority;
    DWORD left = 0;
    Waiter *next = nullptr;
    std::atomic<uint32_t> granted{0};
};

struct Semaphore final : Object {
    Semaphore(WORD initial, WORD maximum, bool by_priority)
        : Object(ObjectType::semaphore), count(initial), max(maximum), priority_queuing(by_priority) {}
    std::mutex mutex;
    WORD count;
    const WORD max;
    const bool priority_queuing;
    Waiter *head = nullptr;

    void enqueue(Waiter *w)
    {
        Waiter **link = &head;
        // FIFO: at the tail. By priority: behind every waiter at least as urgent.
        while (*link != nullptr && (!priority_queuing || (*link)->priority <= w->priority))
            link = &(*link)->next;
        w->next = *link;
        *link = w;
    }

    void remove(Waiter *w)
    {
        for (Waiter **link = &head; *link != nullptr; link = &(*link)->next) {
            if (*link == w) {
                *link = w->next;
                return;
            }
        }
    }

    // Hands units to waiters from the head while the head's request fits.
    // Under the mutex; returns how many granted words the caller must wake
    // once it has let the mutex go (the woken thread then never blocks on it).
    size_t serve(std::atomic<uint32_t> *(&wake)[kWakeBatch])
    {
        size_t n = 0;
        while (head != nullptr && head->want <= count) {
            Waiter *w = head;
            head = w->next;
            count = static_cast<WORD>(count - w->want);
            w->left = count;
            w->granted.store(1, std::memory_order_release);
            if (n < kWakeBatch)
                wake[n++] = &w->granted;
            else
                futex_wake(&w->granted);  // rare: many waiters at once
        }
        return n;
    }
};

void wake_all(std::atomic<uint32_t> *(&wake)[kWakeBatch], size_t n)
{
    for (size_t i = 0; i < n; ++i)
        futex_wake(wake[i]);
}

}  // namespace
}  // namespace rtk

using namespace rtk;

extern "C" RTHANDLE CreateRtSemaphore(WORD initial, WORD maximum, WORD flags)
{
    if (maximum == 0 || initial > maximum || (flags != FIFO_QUEUING && flags != PRIORITY_QUEUING))
        return fail(E_PARAM, BAD_RTHANDLE);
    auto *sem = new (std::nothrow) Semaphore(initial, maximum, flags == PRIORITY_QUEUING);
    if (sem == nullptr)
        return fail(E_MEM, BAD_RTHANDLE);
    RTHANDLE handle = register_object(sem);
    if (handle == BAD_RTHANDLE) {
        delete sem;
        return fail(E_SLOT, BAD_RTHANDLE);
    }
    return handle;
}

extern "C" DWORD WaitForRtSemaphore(RTHANDLE handle, WORD count, DWORD milliseconds)
{
    auto *sem = object_as<Semaphore>(handle, ObjectType::semaphore);
    if (sem == nullptr)
        return WAIT_FAILED;
    if (count > sem->max)
        return fail(E_LIMIT, WAIT_FAILED);
    if (milliseconds != WAIT_FOREVER && milliseconds > kMaxTimeoutMs)
        return fail(E_PARAM, WAIT_FAILED);

    Waiter self(count, current_thread_priority());
    uint64_t deadline = 0;
    {
        std::lock_guard lock(sem->mutex);
        if (count == 0)
            return sem->count;
        if (sem->head == nullptr && sem->count >= count) {
            sem->count = static_cast<WORD>(sem->count - count);
            return sem->count;
        }
        // Time-outs count whole 10 ms ticks, as the kernel's high-level calls do.
        uint64_t ticks = milliseconds == WAIT_FOREVER ? 0 : milliseconds / 10;
        if (milliseconds != WAIT_FOREVER && ticks == 0)
            return fail(E_TIME, WAIT_FAILED);
        if (milliseconds != WAIT_FOREVER)
            deadline = (monotonic_ns() / kHighTickNs + ticks) * kHighTickNs;
        sem->enqueue(&self);
    }
    while (self.granted.load(std::memory_order_acquire) == 0) {
        timespec timeout{};
        timespec *timeout_arg = nullptr;
        if (milliseconds != WAIT_FOREVER) {
            uint64_t now = monotonic_ns();
            if (now >= deadline) {
                std::atomic<uint32_t> *wake[kWakeBatch];
                size_t n;
                {
                    std::lock_guard lock(sem->mutex);
                    if (self.granted.load(std::memory_order_acquire) != 0)
                        break;  // granted just now
                    sem->remove(&self);
                    n = sem->serve(wake);  // this waiter may have held the queue up
                }
                wake_all(wake, n);
                return fail(E_TIME, WAIT_FAILED);
            }
            uint64_t left = deadline - now;
            timeout = {static_cast<time_t>(left / 1'000'000'000ull), static_cast<long>(left % 1'000'000'000ull)};
            timeout_arg = &timeout;
        }
        syscall(SYS_futex, reinterpret_cast<uint32_t *>(&self.granted), FUTEX_WAIT_PRIVATE, 0, timeout_arg, nullptr,
                0);
    }
    return self.left;
}

extern "C" WORD RtSemaphoreWaiters(RTHANDLE handle)
{
    auto *sem = object_as<Semaphore>(handle, ObjectType::semaphore);
    if (sem == nullptr)
        return 0;
    std::lock_guard lock(sem->mutex);
    WORD n = 0;
    for (const Waiter *w = sem->head; w != nullptr; w = w->next)
        ++n;
    return n;
}

extern "C" BOOLEAN ReleaseRtSemaphore(RTHANDLE handle, WORD count)
{
    auto *sem = object_as<Semaphore>(handle, ObjectType::semaphore);
    if (sem == nullptr)
        return FALSE;
    std::atomic<uint32_t> *wake[kWakeBatch];
    size_t n;
    {
        std::lock_guard lock(sem->mutex);
        if (static_cast<uint32_t>(sem->count) + count > sem->max)
            return fail(E_LIMIT, BOOLEAN{FALSE});
        sem->count = static_cast<WORD>(sem->count + count);
        n = sem->serve(wake);
    }
    wake_all(wake, n);
    return TRUE;
}
