// robust_mutex.h - a process-shared mutex in the tag store that survives a
// holder killed with SIGKILL: the next locker is told and takes it over.
// The structures it guards publish each change with their last store, so a
// taker-over finds them consistent; where a change spans more than one
// store, the taker-over sees taken_over() and finishes or undoes it.
#pragma once

#include <pthread.h>

namespace ko {

void robust_mutex_init(pthread_mutex_t *mutex);

class RobustLock {
public:
    explicit RobustLock(pthread_mutex_t *mutex);
    ~RobustLock() { pthread_mutex_unlock(mutex_); }
    RobustLock(const RobustLock &) = delete;
    RobustLock &operator=(const RobustLock &) = delete;

    // The previous holder died holding the lock.
    bool taken_over() const { return taken_over_; }

private:
    pthread_mutex_t *mutex_;
    bool taken_over_ = false;
};

}  // namespace ko
