// Kernel-layer calls that sit on every cycle: the semaphore hand-off that
// wakes a service thread, and the system information read by the statistics.
#include "rt.h"

#include <benchmark/benchmark.h>
#include <thread>

namespace {

void SemaphoreReleaseAndTake(benchmark::State &state)
{
    RTHANDLE sem = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    for (auto _ : state) {
        ReleaseRtSemaphore(sem, 1);
        benchmark::DoNotOptimize(WaitForRtSemaphore(sem, 1, WAIT_FOREVER));
    }
}
BENCHMARK(SemaphoreReleaseAndTake);

// One wake of a waiting thread and its answer, as AutoCycle wakes an In thread.
void SemaphorePingPong(benchmark::State &state)
{
    RTHANDLE ping = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    RTHANDLE pong = CreateRtSemaphore(0, 10, FIFO_QUEUING);
    std::atomic<bool> stop{false};
    std::thread peer([&] {
        while (WaitForRtSemaphore(ping, 1, WAIT_FOREVER) != WAIT_FAILED && !stop.load())
            ReleaseRtSemaphore(pong, 1);
    });
    for (auto _ : state) {
        ReleaseRtSemaphore(ping, 1);
        WaitForRtSemaphore(pong, 1, WAIT_FOREVER);
    }
    stop = true;
    ReleaseRtSemaphore(ping, 1);
    peer.join();
}
BENCHMARK(SemaphorePingPong)->UseRealTime();

void CopySystemInfo(benchmark::State &state)
{
    SYSINFO info;
    CopyRtSystemInfo(&info);  // calibration, once
    for (auto _ : state)
        benchmark::DoNotOptimize(CopyRtSystemInfo(&info));
}
BENCHMARK(CopySystemInfo);

}  // namespace

BENCHMARK_MAIN();
