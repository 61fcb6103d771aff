// robust_mutex.h - a process-shared mutex in the tag store that survives a
// holder killed with SIGKILL: the next locker is told and takes it over.
// It inherits priority: cycle threads and tools share these locks, so a
// low-priority holder runs at the priority of the most urgent waiter
// instead of stalling a cycle behind a middle-priority thread.
// The structures it guards publish each change with their last store, so a
// taker-over finds them consistent; where a change spans more than one
// store, the taker-over sees taken_over() and finishes or undoes it.
#pragma once

#include <cerrno>
#include <pthread.h>
#include <ctime>

namespace ko {

inline void robust_mutex_init(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutexattr_setprotocol(&attr, PTHREAD_PRIO_INHERIT);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

class RobustLock {
public:
    // Waits for the lock; with until (CLOCK_REALTIME), no longer than that.
    explicit RobustLock(pthread_mutex_t *mutex, const timespec *until = nullptr) : mutex_(mutex)
    {
        int result = until == nullptr ? pthread_mutex_lock(mutex_) : pthread_mutex_timedlock(mutex_, until);
        if (result == EOWNERDEAD) {
            pthread_mutex_consistent(mutex_);
            taken_over_ = true;
        }
        held_ = result == 0 || result == EOWNERDEAD;
    }
    ~RobustLock()
    {
        if (held_)
            pthread_mutex_unlock(mutex_);
    }
    RobustLock(const RobustLock &) = delete;
    RobustLock &operator=(const RobustLock &) = delete;

    bool held() const { return held_; }
    // The previous holder died holding the lock.
    bool taken_over() const { return taken_over_; }

private:
    pthread_mutex_t *mutex_;
    bool held_ = false, taken_over_ = false;
};

}  // namespace ko
