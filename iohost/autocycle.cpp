// autocycle.cpp - the service's clock: counts Live on every pass and, while
// the service runs and the device is connected, wakes the In and/or Out
// threads by Mode; paced by Cycle, one kernel tick, or the driver's wait.
//
// Where only the clock could release In thread 0 (Mode 1: the trigger code
// releases nothing then), no driver wait paces the service, and the In
// threads are at least as urgent as the clock, In thread 0 runs the clock's
// passes itself: it pauses, counts Live, releases the other threads and runs
// its own cycle without a hand-over. A 1+1 service then wakes two threads
// per cycle instead of three. The pauses end on the same tick grid, so the
// period is the same; a cycle longer than a tick delays the next pass
// instead of queuing releases. The AutoCycle thread waits meanwhile and
// takes over should In thread 0 end.
#include "iohost.h"
#include "rt.h"

namespace {

RTHANDLE pacing_returned()
{
    static const RTHANDLE semaphore = CreateRtSemaphore(0, 1, 0);
    return semaphore;
}

// Releases the In threads from first on, one unit each.
uint32_t wake_in_threads_from(ServiceConfig *config, uint32_t first)
{
    uint32_t n = shared_get(config->in_thread_num);
    for (uint32_t i = first; i < n; ++i)
        (void)ReleaseRtSemaphore(g_record.in_threads[i].wake_semaphore, 1);  // a full semaphore loses the release
    return n;
}

void pause(const ServiceConfig *config)
{
    if (config->use_kernel_tick == 1)
        knRtSleep(1);
    else
        RtSleepEx(config->cycle);
}

// One pass of the clock: Live, and while the service runs connected the
// releases its Mode asks for, the In threads from first_in on; true when
// the service runs connected.
bool pass(ServiceConfig *config, uint32_t first_in)
{
    IncrementLive();
    if (shared_get(config->run) == 0 || shared_get(config->connected) == 0)
        return false;
    uint8_t mode = shared_get(config->mode);
    if (mode == SERVICE_MODE_CYCLED || mode == SERVICE_MODE_OUT_TRIGGERED)
        wake_in_threads_from(config, first_in);
    if (mode == SERVICE_MODE_CYCLED)
        WakeOutThreads(config);
    return true;
}

}  // namespace

uint32_t WakeInThreads(ServiceConfig *config)
{
    return wake_in_threads_from(config, 0);
}

uint32_t WakeOutThreads(ServiceConfig *config)
{
    uint32_t n = shared_get(config->out_thread_num);
    for (uint32_t i = 0; i < n; ++i)
        (void)ReleaseRtSemaphore(g_record.out_threads[i].wake_semaphore, 1);
    return n;
}

bool InThreadPaces(const ServiceConfig *config)
{
    bool driver_paces = config->use_wait == 1 && g_record.entry.HiWait != nullptr;
    return shared_get(config->mode) == SERVICE_MODE_CYCLED && !driver_paces && shared_get(config->in_thread_num) > 0 &&
           config->in_priority <= config->out_priority;
}

void PacedWait(ServiceConfig *config)
{
    do
        pause(config);
    while (!pass(config, 1));
}

void ReturnPacing()
{
    (void)ReleaseRtSemaphore(pacing_returned(), 1);
}

void AutoCycleThread(void *param)
{
    auto *config = static_cast<ServiceConfig *>(param);
    RtSleepEx(1);
    if (InThreadPaces(config))
        WaitForRtSemaphore(pacing_returned(), 1, WAIT_FOREVER);
    for (;;) {
        if (pass(config, 0)) {
            uint32_t code = 0;
            if (config->use_wait == 1 && g_record.entry.HiWait != nullptr) {
                if (DriverCalls.wait(&g_record, &code) == 0)
                    continue;  // the driver's wait paces the service
                SetConnected(0, code);
            }
        }
        pause(config);
    }
}
