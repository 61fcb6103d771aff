// sysinfo.cpp - CopyRtSystemInfo and GetRtNodeInfo. The cycle statistics call
// CopyRtSystemInfo on every measured cycle, so the counter rate is calibrated
// once per process and cached.
#include "kernel_internal.h"

#include <cstddef>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unistd.h>

static_assert(sizeof(SYSINFO) == 256);
static_assert(offsetof(SYSINFO, NucleusTickInterval) == 57);
static_assert(offsetof(SYSINFO, KernelTickRatio) == 59);
static_assert(offsetof(SYSINFO, MajorVersion) == 64);
static_assert(offsetof(SYSINFO, BuildNumber) == 66);
static_assert(offsetof(SYSINFO, PentiumTicksPerUsec) == 70);
static_assert(offsetof(SYSINFO, LogicalCPUId) == 77);
static_assert(offsetof(SYSINFO, NumProcs) == 79);
static_assert(sizeof(NODE_INFO) == 88);
static_assert(offsetof(NODE_INFO, szNodeName) == 4);
static_assert(offsetof(NODE_INFO, NodeId) == 68);
static_assert(offsetof(NODE_INFO, NetId) == 72);

namespace {

uint64_t raw_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC_RAW, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1'000'000'000ull + static_cast<uint64_t>(ts.tv_nsec);
}

// Counts of RtTimeStampCounter per microsecond, over a 20 ms window.
DWORD calibrate_counter_mhz()
{
    constexpr uint64_t kWindowNs = 20'000'000;
    uint64_t t0 = raw_ns();
    uint64_t c0 = RtTimeStampCounter();
    uint64_t t1;
    do {
        t1 = raw_ns();
    } while (t1 - t0 < kWindowNs);
    uint64_t c1 = RtTimeStampCounter();
    double mhz = static_cast<double>(c1 - c0) * 1000.0 / static_cast<double>(t1 - t0);
    DWORD rounded = static_cast<DWORD>(mhz + 0.5);
    return rounded == 0 ? 1 : rounded;
}

const SYSINFO &system_info()
{
    static SYSINFO info;
    static std::once_flag once;
    std::call_once(once, [] {
        std::memset(&info, 0, sizeof info);
        info.NucleusTickInterval = 10;
        info.KernelTickRatio = static_cast<WORD>(10000 / rtk::settings().tick_us);
        info.MajorVersion = 7;
        info.MinorVersion = 1;
        info.PentiumTicksPerUsec = calibrate_counter_mhz();
        long cpus = sysconf(_SC_NPROCESSORS_ONLN);
        info.NumProcs = static_cast<BYTE>(cpus < 1 ? 1 : (cpus > 255 ? 255 : cpus));
    });
    return info;
}

}  // namespace

extern "C" BOOLEAN CopyRtSystemInfo(SYSINFO *info)
{
    if (info == nullptr)
        return rtk::fail(E_BAD_ADDR, BOOLEAN{FALSE});
    std::memcpy(info, &system_info(), sizeof *info);
    return TRUE;
}

extern "C" BOOLEAN GetRtNodeInfo(DWORD location, NODE_INFO *info)
{
    if (info == nullptr)
        return rtk::fail(E_BAD_ADDR, BOOLEAN{FALSE});
    if (location != THIS_LOCATION && location != RT_LOCAL_LOCATION)
        return rtk::fail(E_INVALID_ADDRESS, BOOLEAN{FALSE});
    std::memset(info, 0, sizeof *info);
    info->Location = RT_LOCAL_LOCATION;
    std::strncpy(info->szNodeName, rtk::settings().node_name.c_str(), sizeof info->szNodeName - 1);
    info->NodeId = 1;
    return TRUE;
}
