// autocycle.cpp - the service's clock: counts Live on every pass and, while
// the service runs and the device is connected, wakes the In and/or Out
// threads by Mode; paced by Cycle, one kernel tick, or the driver's wait.
#include "iohost.h"
#include "rt.h"

uint32_t WakeInThreads(ServiceConfig *config)
{
    uint32_t n = shared_get(config->in_thread_num);
    for (uint32_t i = 0; i < n; ++i)
        (void)ReleaseRtSemaphore(g_record.in_threads[i].wake_semaphore, 1);  // a full semaphore loses the release
    return n;
}

uint32_t WakeOutThreads(ServiceConfig *config)
{
    uint32_t n = shared_get(config->out_thread_num);
    for (uint32_t i = 0; i < n; ++i)
        (void)ReleaseRtSemaphore(g_record.out_threads[i].wake_semaphore, 1);
    return n;
}

void AutoCycleThread(void *param)
{
    auto *config = static_cast<ServiceConfig *>(param);
    RtSleepEx(1);
    for (;;) {
        IncrementLive();
        if (shared_get(config->run) != 0 && shared_get(config->connected) != 0) {
            uint8_t mode = shared_get(config->mode);
            if (mode == SERVICE_MODE_CYCLED) {
                WakeInThreads(config);
                WakeOutThreads(config);
            } else if (mode == SERVICE_MODE_OUT_TRIGGERED) {
                WakeInThreads(config);
            }
            uint32_t code = 0;
            if (config->use_wait == 1 && g_record.entry.HiWait != nullptr) {
                if (DriverCalls.wait(&g_record, &code) == 0)
                    continue;  // the driver's wait paces the service
                SetConnected(0, code);
            }
        }
        if (config->use_kernel_tick == 1)
            knRtSleep(1);
        else
            RtSleepEx(config->cycle);
    }
}
