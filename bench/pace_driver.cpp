// pace_driver.cpp - the pacing bench's driver: a device that answers at once
// and notes, at the first read of each In thread cycle, when that cycle
// started. Point address 0 is read once per cycle by every In thread.
#include "driver_api.h"
#include "pace_samples.h"

#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

PaceSamples *samples = nullptr;

uint64_t now_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return uint64_t(ts.tv_sec) * 1000000000ull + uint64_t(ts.tv_nsec);
}

}  // namespace

EXPORT uint32_t HiInit(const char *, uintptr_t *, uint32_t, uint32_t *api_status)
{
    const char *dir = std::getenv("RT_NODE_DIR");
    std::string path = std::string(dir != nullptr ? dir : ".") + "/" + kPaceSamplesFile;
    int fd = open(path.c_str(), O_RDWR);
    if (fd < 0) {
        *api_status = 1;
        return HI_STATUS_ERROR;
    }
    void *map = mmap(nullptr, sizeof(PaceSamples), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (map == MAP_FAILED) {
        *api_status = 2;
        return HI_STATUS_ERROR;
    }
    samples = static_cast<PaceSamples *>(map);
    return 0;
}

EXPORT uint32_t HiOpen(uintptr_t, uintptr_t *connection, uint32_t, uint32_t *)
{
    *connection = 1;
    return 0;
}

EXPORT uint32_t HiClose(uintptr_t, uint32_t *)
{
    return 0;
}

EXPORT uint32_t HiRead(uintptr_t, uint32_t thread, uint32_t address, uint32_t, void *, uint32_t, uint32_t,
                       uint32_t *)
{
    if (address != 0 || thread >= PaceSamples::kThreads)
        return 0;
    uint32_t n = samples->count[thread].load(std::memory_order_relaxed);
    if (n < PaceSamples::kMax) {
        samples->ns[thread][n] = now_ns();
        samples->count[thread].store(n + 1, std::memory_order_release);
    }
    return 0;
}

EXPORT uint32_t HiWrite(uintptr_t, uint32_t, uint32_t, uint32_t, const void *, uint32_t, uint32_t *)
{
    return 0;
}
