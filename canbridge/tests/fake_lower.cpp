// fake_lower.cpp - the CAN driver's lower libraries for its tests (see
// fake_lower.h). FAKE_ECATLINK builds the driver entry points,
// FAKE_EHAPI the master interface; FAKE_WITHOUT_<name> leaves one out.
#include "fake_lower.h"

#include "ecatsim.h"
#include "service_record.h"

#include <chrono>
#include <cstring>
#include <ctime>
#include <thread>

#define EXPORT extern "C" __attribute__((visibility("default")))

#ifdef FAKE_EHAPI
namespace {
FakeEhapi master;
constexpr uint32_t kHandle = 0x4242;
}  // namespace

EXPORT FakeEhapi *FakeEhapiState()
{
    return &master;
}

EXPORT uint32_t EhGetEhNodeStatus(const char *node_name, uint32_t)
{
    std::strncpy(master.node_name, node_name, sizeof master.node_name - 1);
    return master.high_bits | master.node_status;
}

EXPORT uint32_t EhOpen(const char *, uint32_t *status)
{
    ++master.open_calls;
    *status = master.high_bits;
    return kHandle;
}

EXPORT uint32_t EhClose(uint32_t)
{
    return 0;
}

EXPORT uint32_t EhFindSlave(uint32_t handle, EhSlaveSearch *s)
{
    if (handle != kHandle || s->size != 88 || s->vendor != 2 || s->product_code != 0x1A5F3052 ||
        s->index >= master.gateway_count)
        return master.high_bits | EH_E_NOT_FOUND;
    const FakeGateway &g = master.gateways[s->index];
    s->in_offset = g.in_offset;
    s->in_size = g.in_size;
    s->out_offset = g.out_offset;
    s->out_size = g.out_size;
    s->slave_index = g.slave_index;
    return master.high_bits;
}

EXPORT uint32_t EhGetViosInAddress(uint32_t, uintptr_t *base, uint32_t *size)
{
    *base = reinterpret_cast<uintptr_t>(master.in);
    *size = sizeof master.in;
    return master.high_bits;
}

EXPORT uint32_t EhGetViosOutAddress(uint32_t, uintptr_t *base, uint32_t *size)
{
    *base = reinterpret_cast<uintptr_t>(master.out);
    *size = sizeof master.out;
    return master.high_bits;
}

EXPORT uint32_t EhGetState(uint32_t, uint16_t *reserved, uint16_t *state)
{
    *reserved = 0;
    *state = __atomic_load_n(&master.state, __ATOMIC_ACQUIRE);
    return master.high_bits;
}

EXPORT uint32_t EhReadOD(uint32_t, uint32_t, uint16_t, uint8_t, void *, uint32_t)
{
    return EH_E_NOT_SUPPORTED;
}

EXPORT uint32_t EhWriteOD(uint32_t, uint32_t, uint16_t, uint8_t, const void *, uint32_t)
{
    return EH_E_NOT_SUPPORTED;
}

// One return per cycle the test released; a cancel releases with 5.
EXPORT uint32_t EhWaitForCyclic(uint32_t, uint32_t)
{
    auto now_ns = [] {
        timespec ts{};
        clock_gettime(CLOCK_MONOTONIC, &ts);
        return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
    };
    if (uint64_t started = master.pass_started_ns.load(); started != 0)
        master.last_pass_ns.store(now_ns() - started);
    uint32_t mine = master.waits.fetch_add(1);
    for (uint32_t spins = 0;; ++spins) {
        if (master.cancel_pending.exchange(false))
            return master.high_bits | EH_E_CANCELLED;
        if (master.released.load() > mine) {
            master.pass_started_ns.store(now_ns());
            return master.high_bits;
        }
        // A quick hand-over first (the bench times passes), then a calm wait.
        if (spins < 20000)
            std::this_thread::yield();
        else
            std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
}

EXPORT uint32_t EhCancelWaitForCyclic(uint32_t, uint16_t thread)
{
    ++master.cancels;
    master.cancelled_thread = thread;
    master.cancel_pending = true;
    return 0;
}
#endif

#ifdef FAKE_ECATLINK
namespace {
FakeEcatlink driver;

uint32_t called(int index, uint32_t *api_status)
{
    ++driver.calls[index];
    *api_status = 0;
    return driver.answer.load();
}
}  // namespace

EXPORT FakeEcatlink *FakeEcatlinkState()
{
    return &driver;
}

EXPORT uint32_t HiInit(const char *, uintptr_t *, uint32_t, uint32_t *api_status)
{
    return called(0, api_status);
}
EXPORT uint32_t HiOpen(uintptr_t, uintptr_t *, uint32_t, uint32_t *api_status)
{
    return called(1, api_status);
}
EXPORT uint32_t HiClose(uintptr_t, uint32_t *api_status)
{
    return called(2, api_status);
}
EXPORT uint32_t HiRead(uintptr_t, uint32_t, uint32_t, uint32_t, void *, uint32_t, uint32_t, uint32_t *api_status)
{
    return called(3, api_status);
}
EXPORT uint32_t HiWrite(uintptr_t, uint32_t, uint32_t, uint32_t, const void *, uint32_t, uint32_t *api_status)
{
    return called(4, api_status);
}
EXPORT uint32_t HiReConnect(ServiceRecord *, uint32_t, uint32_t *api_status)
{
    return called(5, api_status);
}
#ifndef FAKE_WITHOUT_HiConnectChk
EXPORT uint32_t HiConnectChk(ServiceRecord *, uint32_t, uint32_t *code)
{
    ++driver.calls[6];
    *code = 0;
    return driver.connect_result.load();
}
#endif
EXPORT uint32_t HiWait(uintptr_t, uint32_t, uint32_t *api_status)
{
    return called(7, api_status);
}
#endif
