// robust_mutex.h - a process-shared mutex in the tag store that survives a
// holder killed with SIGKILL: the next locker is told and takes it over.
// Every structure it guards is kept consistent at each store (the index or
// counter that publishes a change is written last), so taking over needs no
// repair.
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

private:
    pthread_mutex_t *mutex_;
};

}  // namespace ko
