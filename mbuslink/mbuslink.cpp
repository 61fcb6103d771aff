// mbuslink.cpp - the Modbus driver: the container's entry points over the
// Modbus library "hiMODBUSapi.rsl". It binds the library when it is loaded,
// hands it the service's three settings at HiInit, folds its codes into the
// driver status with the threshold 0xFF10, always reports connected, and
// reconnects by a close and a new open. It writes no log lines.
//
// One decision beyond forwarding: an address property of 15 characters or
// more does not fit the 15-byte bound of host, and a cut address could name
// another device; host is then left empty, so the open fails with the
// library's misuse code instead of reaching the wrong device.
#include "driver_api.h"
#include "function_binding.h"
#include "hi_modbus_api.h"
#include "kohgapi.h"
#include "rt.h"
#include "service_record.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kErrorThreshold = 0xFF10;
constexpr size_t kTagNameSize = 52;
constexpr size_t kHostBound = 15;  // terminator included
constexpr const char *kLowerLibrary = "hiMODBUSapi.rsl";

struct Lower {
    RTHANDLE module;
    HiMODBUSInitFn init;
    HiMODBUSOpenFn open;
    HiMODBUSCloseFn close;
    HiMODBUSReadFn read;
    HiMODBUSWriteFn write;
};
Lower lower;

char node_name_tag[kTagNameSize];
char is_master_tag[kTagNameSize];
char timeout_tag[kTagNameSize];

uint32_t mapped(uint32_t api_status)
{
    return HiMapStatus(api_status, kErrorThreshold);
}

void bind_lower()
{
    lower.module = LoadRtLibrary(kLowerLibrary);
    if (lower.module == 0) {
        std::printf("Load HiLevelApi RSL Frailed(%s\n", kLowerLibrary);
        return;
    }
    const FunctionBinding bindings[] = {
        {lower.module, "HiMODBUSInit", FunctionSlot(lower.init), 230, 0x80010000u},
        {lower.module, "HiMODBUSOpen", FunctionSlot(lower.open), 231, 0x80020000u},
        {lower.module, "HiMODBUSClose", FunctionSlot(lower.close), 232, 0x80030000u},
        {lower.module, "HiMODBUSRead", FunctionSlot(lower.read), 233, 0x80040000u},
        {lower.module, "HiMODBUSWrite", FunctionSlot(lower.write), 234, 0x80050000u},
    };
    BindFunctions("MBUSLINK", bindings, std::size(bindings));
}

// host from the NodeName tag's address property: the text when it fits the
// 15-byte bound, empty when it does not.
void copy_host(ModbusOptions &options, const char *address)
{
    std::memset(options.host, 0, sizeof options.host);
    size_t length = strnlen(address, kHostBound);
    if (length < kHostBound)
        std::memcpy(options.host, address, length);
}

}  // namespace

EXPORT BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID)
{
    if (reason == RSL_PROCESS_ATTACH)
        bind_lower();
    return TRUE;
}

EXPORT uint32_t HiInit(const char *, uintptr_t *, uint32_t, uint32_t *api_status)
{
    std::snprintf(node_name_tag, sizeof node_name_tag, "SERVICE.%s.NodeName", KoServiceName);
    std::snprintf(is_master_tag, sizeof is_master_tag, "SERVICE.%s.IsMaster", KoServiceName);
    std::snprintf(timeout_tag, sizeof timeout_tag, "SERVICE.%s.Timeout", KoServiceName);
    if (lower.init == nullptr)
        return HiNoFunction(api_status);
    ModbusOptions options;
    std::memset(&options, 0, sizeof options);
    copy_host(options, "local");
    options.is_master = 0;
    options.timeout = 5000;
    char address[128] = {};
    if (KoTagGetProperty(node_name_tag, "address", address, sizeof address) == 0)
        copy_host(options, address);
    uint8_t is_master = 0;
    if (KoTagRead(is_master_tag, &is_master, 1) == 0)
        options.is_master = is_master;
    uint32_t timeout = 0;
    if (KoTagRead(timeout_tag, &timeout, 4) == 0)
        options.timeout = timeout;
    *api_status = lower.init(&options);
    return mapped(*api_status);
}

EXPORT uint32_t HiOpen(uintptr_t, uintptr_t *connection, uint32_t, uint32_t *api_status)
{
    return HiCallLower(lower.open, kErrorThreshold, api_status, 0, connection);
}

EXPORT uint32_t HiClose(uintptr_t connection, uint32_t *api_status)
{
    return HiCallLower(lower.close, kErrorThreshold, api_status, connection);
}

EXPORT uint32_t HiRead(uintptr_t connection, uint32_t, uint32_t address, uint32_t length, void *buffer, uint32_t unit,
                       uint32_t timeout, uint32_t *api_status)
{
    return HiCallLower(lower.read, kErrorThreshold, api_status, connection, address, length, buffer, unit, timeout);
}

EXPORT uint32_t HiWrite(uintptr_t connection, uint32_t, uint32_t address, uint32_t length, const void *buffer,
                        uint32_t timeout, uint32_t *api_status)
{
    return HiCallLower(lower.write, kErrorThreshold, api_status, connection, address, length, buffer, timeout);
}

EXPORT uint32_t HiReConnect(ServiceRecord *record, uint32_t, uint32_t *api_status)
{
    if (record == nullptr)
        return HI_STATUS_ERROR;
    uintptr_t connection = __atomic_load_n(&record->connection, __ATOMIC_ACQUIRE);
    if (connection != 0)
        *api_status = lower.close != nullptr ? lower.close(connection) : HI_API_STATUS_NO_FUNCTION;
    if (lower.open == nullptr)
        return HiNoFunction(api_status);
    // The new connection reaches the record in one store: the cycles read it meanwhile.
    uintptr_t opened = connection;
    *api_status = lower.open(0, &opened);
    __atomic_store_n(&record->connection, opened, __ATOMIC_RELEASE);
    return mapped(*api_status);
}

EXPORT uint32_t HiConnectChk(ServiceRecord *, uint32_t, uint32_t *code)
{
    *code = 0;
    return 1;
}
