// robust_mutex.cpp - process-shared robust mutexes of the tag store.
#include "robust_mutex.h"

#include <cerrno>

namespace ko {

void robust_mutex_init(pthread_mutex_t *mutex)
{
    pthread_mutexattr_t attr;
    pthread_mutexattr_init(&attr);
    pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
    pthread_mutex_init(mutex, &attr);
    pthread_mutexattr_destroy(&attr);
}

RobustLock::RobustLock(pthread_mutex_t *mutex) : mutex_(mutex)
{
    if (pthread_mutex_lock(mutex_) == EOWNERDEAD) {
        pthread_mutex_consistent(mutex_);
        taken_over_ = true;
    }
}

}  // namespace ko
