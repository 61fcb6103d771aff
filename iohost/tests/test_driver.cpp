// test_driver.cpp - a driver for the container's tests, steered through tags
// of the node (see test_driver.h). It records every call it receives. It is
// also the smallest complete driver: copy it to start a new one.
// Build variants leave entry points out: TD_NO_<NAME> for a mandatory one,
// TD_NO_OPTIONAL for HiReConnect, HiConnectChk and HiWait.
#include "test_driver.h"

#include "driver_api.h"
#include "kohgapi.h"
#include "rt.h"
#include "service_record.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

using namespace testdriver;

const char *kEntryNames[] = {"", "HiInit", "HiOpen", "HiClose", "HiRead", "HiWrite", "HiReConnect", "HiConnectChk",
                             "HiWait"};
std::atomic<uint32_t> counts[9];
std::atomic<uint32_t> opens{0};
uint32_t memory_entry = 0;
uint32_t calls_entry = 0;

uint32_t setting(const std::string &name, uint32_t fallback)
{
    uint32_t value = fallback;
    return KoTagRead(name.c_str(), &value, 4) == KO_OK ? value : fallback;
}

std::string key(Entry e, const char *what)
{
    return std::string("TESTDRV.") + kEntryNames[e] + "." + what;
}

// Counts the call and returns the status the tests asked for, with its api_status.
void make_tags();

uint32_t answer(Entry e, uint32_t *api_status, uint32_t address = 0xFFFFFFFFu)
{
    make_tags();
    uint32_t count = counts[e].fetch_add(1) + 1;
    KoTagWrite(key(e, "Count").c_str(), &count, 4);
    uint32_t fail_address = setting(key(e, "FailAddress"), 0xFFFFFFFFu);
    if (fail_address != 0xFFFFFFFFu && fail_address != address)
        return 0;
    uint32_t status = setting(key(e, "Status"), 0);
    if (api_status != nullptr)
        *api_status = setting(key(e, "Api"), 0);
    return status;
}

// The driver's tags are made at its first call, not at load: a container
// that refuses to start touches no tag.
void make_tags()
{
    static std::once_flag once;
    std::call_once(once, [] {
        KoTagCreateSegment("TESTDRV.Memory", KO_TYPE_SEGMENT, kMemorySize, nullptr, "test device memory", nullptr, 0,
                           &memory_entry);
        KoTagCreateFIFO("TESTDRV.Calls", sizeof(TestCall), 4096, nullptr, "calls the test driver received", nullptr,
                        0, &calls_entry);
    });
}

void record(TestCall call)
{
    make_tags();
    KoTagPutFIFO(calls_entry, &call, sizeof call, nullptr);
}

}  // namespace

#ifndef TD_NO_HIINIT
EXPORT uint32_t HiInit(const char *driver_name, uintptr_t *init_context, uint32_t timeout, uint32_t *api_status)
{
    *init_context = kInitContext;
    uint32_t status = answer(testdriver::HiInit, api_status);
    if (uint32_t delay = setting("TESTDRV.HiInit.DelayMs", 0); delay > 0)
        RtSleepEx(delay);
    TestCall call{testdriver::HiInit, 0, 0, 0, 0, timeout, status, 0, {}, {}};
    std::snprintf(call.text, sizeof call.text, "%s", driver_name);
    record(call);
    return status;
}
#endif

#ifndef TD_NO_HIOPEN
EXPORT uint32_t HiOpen(uintptr_t init_context, uintptr_t *connection, uint32_t timeout, uint32_t *api_status)
{
    for (const char *name : kCatalogNames) {
        uint8_t found = LookupRtHandle(NULL_RTHANDLE, name, NO_WAIT) != BAD_RTHANDLE ? 1 : 0;
        KoTagWrite((std::string("TESTDRV.Catalog.") + name).c_str(), &found, 1);
    }
    uint32_t status = answer(testdriver::HiOpen, api_status);
    if (status == 0)
        *connection = kFirstConnection + opens.fetch_add(1);
    record({testdriver::HiOpen, 0, 0, 0, 0, timeout, status, init_context, {}, {}});
    return status;
}
#endif

#ifndef TD_NO_HICLOSE
EXPORT uint32_t HiClose(uintptr_t connection, uint32_t *api_status)
{
    uint32_t status = answer(testdriver::HiClose, api_status);
    record({testdriver::HiClose, 0, 0, 0, 0, 0, status, connection, {}, {}});
    return status;
}
#endif

#ifndef TD_NO_HIREAD
EXPORT uint32_t HiRead(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, void *buffer,
                       uint32_t unit, uint32_t timeout, uint32_t *api_status)
{
    uint32_t status = answer(testdriver::HiRead, api_status, address);
    TestCall call{testdriver::HiRead, static_cast<uint16_t>(thread), address, length, unit, timeout, status,
                  connection, {}, {}};
    if (status == 0 && address + uint64_t{length} <= kMemorySize) {
        KoTagReadSegment(memory_entry, address, buffer, length);
        std::memcpy(call.data, buffer, length < 8 ? length : 8);
    }
    record(call);
    return status;
}
#endif

#ifndef TD_NO_HIWRITE
EXPORT uint32_t HiWrite(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, const void *buffer,
                        uint32_t timeout, uint32_t *api_status)
{
    uint32_t status = answer(testdriver::HiWrite, api_status, address);
    TestCall call{testdriver::HiWrite, static_cast<uint16_t>(thread), address, length, 0, timeout, status,
                  connection, {}, {}};
    std::memcpy(call.data, buffer, length < 8 ? length : 8);
    if (status == 0 && address + uint64_t{length} <= kMemorySize)
        KoTagWriteSegment(memory_entry, address, buffer, length);
    record(call);
    return status;
}
#endif

#ifndef TD_NO_OPTIONAL
EXPORT uint32_t HiReConnect(ServiceRecord *service, uint32_t timeout, uint32_t *api_status)
{
    uint32_t status = answer(testdriver::HiReConnect, api_status);
    record({testdriver::HiReConnect, 0, 0, 0, 0, timeout, status, service->connection, {}, {}});
    if (status == 0)  // the cycles read connection meanwhile: one whole store
        __atomic_store_n(&service->connection, kFirstConnection + opens.fetch_add(1), __ATOMIC_RELEASE);
    return status;
}

EXPORT uint32_t HiConnectChk(ServiceRecord *service, uint32_t timeout, uint32_t *code)
{
    uint32_t count = counts[testdriver::HiConnectChk].fetch_add(1) + 1;
    KoTagWrite("TESTDRV.HiConnectChk.Count", &count, 4);
    uint32_t result = setting("TESTDRV.ConnectChk.Result", 1);
    *code = setting("TESTDRV.ConnectChk.Code", 0);
    record({testdriver::HiConnectChk, 0, 0, 0, 0, timeout, result, service->init_context, {}, {}});
    return result;
}

EXPORT uint32_t HiWait(uintptr_t connection, uint32_t wait_timeout, uint32_t *api_status)
{
    RtSleepEx(setting("TESTDRV.Wait.Ms", 1));
    uint32_t status = answer(testdriver::HiWait, api_status);
    record({testdriver::HiWait, 0, 0, 0, 0, wait_timeout, status, connection, {}, {}});
    return status;
}
#endif
