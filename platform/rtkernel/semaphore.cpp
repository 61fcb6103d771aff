// semaphore.cpp - counting semaphores with INtime's rules: 16-bit counts, the
// maximum enforced on release, multi-unit waits, and the head of the queue
// always served first. Wait and release are on every cycle's path, so they
// allocate nothing: a waiter lives on its own stack.
#include "kernel_internal.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace rtk {
namespace {

constexpr DWORD kMaxTimeoutMs = 655349;
constexpr uint64_t kHighTickNs = 10'000'000;

struct Waiter {
    Waiter(WORD units, BYTE prio) : want(units), priority(prio) {}
    WORD want;
    BYTE priority;
    bool granted = false;
    DWORD left = 0;
    std::condition_variable cv;
    Waiter *next = nullptr;
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
    void serve()
    {
        while (head != nullptr && head->want <= count) {
            Waiter *w = head;
            head = w->next;
            count = static_cast<WORD>(count - w->want);
            w->left = count;
            w->granted = true;
            w->cv.notify_one();
        }
    }
};

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

    std::unique_lock lock(sem->mutex);
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

    Waiter self(count, current_thread_priority());
    sem->enqueue(&self);
    if (milliseconds == WAIT_FOREVER) {
        self.cv.wait(lock, [&] { return self.granted; });
    } else {
        uint64_t now = monotonic_ns();
        uint64_t deadline_ns = (now / kHighTickNs + ticks) * kHighTickNs;
        auto deadline = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(deadline_ns));
        if (!self.cv.wait_until(lock, deadline, [&] { return self.granted; })) {
            sem->remove(&self);
            sem->serve();  // this waiter may have been the one holding the queue up
            return fail(E_TIME, WAIT_FAILED);
        }
    }
    return self.left;
}

extern "C" BOOLEAN ReleaseRtSemaphore(RTHANDLE handle, WORD count)
{
    auto *sem = object_as<Semaphore>(handle, ObjectType::semaphore);
    if (sem == nullptr)
        return FALSE;
    std::lock_guard lock(sem->mutex);
    if (static_cast<uint32_t>(sem->count) + count > sem->max)
        return fail(E_LIMIT, BOOLEAN{FALSE});
    sem->count = static_cast<WORD>(sem->count + count);
    sem->serve();
    return TRUE;
}
