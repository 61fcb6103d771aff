// ecatlink.cpp - the EtherCAT driver: the container's eight entry points
// over the EtherCAT libraries "hiecat.rsl" (Init, Open, Close, Read, Write)
// and "ehapi.rsl" (EhWaitForCyclic). It binds them when it is loaded, turns
// the NodeName address and the WAIT_ESM setting into option strings with
// "DBG" lines around Init and Open, folds their codes into the driver status
// with the threshold 0x20000000, and reads the connection state word for
// the connection check.
//
// Decisions beyond forwarding:
// - When a lower library cannot be loaded, the load line names "hiecat.rsl"
//   whichever failed; a second line names the library that is missing and
//   where it was looked for.
// - HiWait with no connection (0) or a connection whose handle word is 0
//   answers 256 with api_status 0xFFFFFFFF and reads nothing through it.
// - Service names are bounded by the node config (17 characters), so the
//   tag names always fit their 52-byte fields; the formatting is bounded
//   anyway.
#include "driver_api.h"
#include "function_binding.h"
#include "ecatsim.h"
#include "kohgapi.h"
#include "log_options.h"
#include "rt.h"
#include "service_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <utility>

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr uint32_t kErrorThreshold = 0x20000000;
constexpr size_t kTagNameSize = 52;
constexpr uint32_t kAddressSize = 513;
constexpr uint32_t kStateWordAddress = 0x20400;
constexpr const char *kSource = "ecatlink";
constexpr const char *kHiecat = "hiecat.rsl";

// The numbers the driver's log lines end in (",ecatlink,NNNNN"): fixed, as
// operators search the node log for them and tests pin them.
enum LogLine : int {
    kInitConfig = 137,
    kInitStatus = 144,
    kInitNoConfig = 148,
    kOpenTarget = 171,
    kOpenTargetStatus = 177,
    kOpenNoConfig = 181,
};
constexpr const char *kEhapi = "ehapi.rsl";

struct Lower {
    RTHANDLE hiecat;
    RTHANDLE ehapi;
    EcatInitFn init;
    EcatOpenFn open;
    EcatCloseFn close;
    EcatReadFn read;
    EcatWriteFn write;
    EhWaitForCyclicFn wait;
};
Lower lower;

char node_name_tag[kTagNameSize];
char wait_esm_tag[kTagNameSize];

// Connection codes of the state word's bits, in the order they are tested.
struct StateBit {
    uint32_t mask;
    uint32_t code;
};
constexpr StateBit kStateBits[] = {
    {0x08, 0xFFFF0008u}, {0x04, 0xFFFF0004u}, {0x02, 0xFFFF0002u}, {0x10, 0xFFFF0010u},
    {0x20, 0xFFFF0020u}, {0x40, 0xFFFF0040u}, {0x80, 0xFFFF0080u},
};

uint32_t mapped(uint32_t api_status)
{
    return HiMapStatus(api_status, kErrorThreshold);
}

void bind_lower()
{
    lower.hiecat = LoadRtLibrary(kHiecat);
    lower.ehapi = LoadRtLibrary(kEhapi);
    if (lower.hiecat == 0 || lower.ehapi == 0) {
        std::printf("Load HiLevelApi RSL Frailed(%s\n", kHiecat);
        for (auto [name, module] : {std::pair{kHiecat, lower.hiecat}, std::pair{kEhapi, lower.ehapi}})
            if (module == 0)
                std::printf("E$ECATLINK: %s could not be loaded (looked for in %s)\n", name, RtLibrarySearchPath());
        return;
    }
    const FunctionBinding bindings[] = {
        {lower.hiecat, "Init", FunctionSlot(lower.init), 363, 0x80010000u},
        {lower.hiecat, "Open", FunctionSlot(lower.open), 364, 0x80020000u},
        {lower.hiecat, "Close", FunctionSlot(lower.close), 365, 0x80030000u},
        {lower.hiecat, "Read", FunctionSlot(lower.read), 366, 0x80040000u},
        {lower.hiecat, "Write", FunctionSlot(lower.write), 367, 0x80050000u},
        {lower.ehapi, "EhWaitForCyclic", FunctionSlot(lower.wait), 369, 0x80100000u},
    };
    BindFunctions("ECATLINK", bindings, std::size(bindings));
}

// The open steps, shared by HiOpen and HiReConnect.
uint32_t open_connection(uintptr_t init_context, uintptr_t *connection, uint32_t timeout, uint32_t *api_status)
{
    if (lower.open == nullptr)
        return HiNoFunction(api_status);
    char *options = nullptr;
    uint8_t wait_esm = 0;
    if (KoTagRead(wait_esm_tag, &wait_esm, 1) == 0 && wait_esm == 1)
        OptionAppend(&options, "WAIT_ESM");
    if (options != nullptr)
        LogPrint(KoServiceName, "DBG", "HiOpen Target[%s],%s,%05d", options, kSource, kOpenTarget);
    *api_status = lower.open(init_context, options, connection, timeout);
    if (options != nullptr) {
        LogPrint(KoServiceName, "DBG", "HiOpen Target[%s], Timeout{%d], Status[%08xH],%s,%05d", options,
                 static_cast<int>(timeout), *api_status, kSource, kOpenTargetStatus);
        std::free(options);
    } else {
        LogPrint(KoServiceName, "DBG", "HiOpen Config = NULL, Timeout{%d], Status[%xH],%s,%05d",
                 static_cast<int>(timeout), *api_status, kSource, kOpenNoConfig);
    }
    return mapped(*api_status);
}

}  // namespace

EXPORT BOOLEAN RslMain(RTHANDLE, DWORD reason, LPVOID)
{
    if (reason == RSL_PROCESS_ATTACH)
        bind_lower();
    return TRUE;
}

EXPORT uint32_t HiInit(const char *driver_name, uintptr_t *init_context, uint32_t timeout, uint32_t *api_status)
{
    std::snprintf(node_name_tag, sizeof node_name_tag, "SERVICE.%s.NodeName", KoServiceName);
    std::snprintf(wait_esm_tag, sizeof wait_esm_tag, "SERVICE.%s.WAIT_ESM", KoServiceName);
    if (lower.init == nullptr)
        return HiNoFunction(api_status);
    char *options = nullptr;
    if (char *address = static_cast<char *>(std::malloc(kAddressSize)); address != nullptr) {
        if (KoTagGetProperty(node_name_tag, "Address", address, kAddressSize) == 0 && address[0] != '\0')
            OptionAppendPair(&options, "node_name=", address);
        std::free(address);
    }
    if (options != nullptr)
        LogPrint(KoServiceName, "DBG", "HiInit Config[%s],%s,%05d", options, kSource, kInitConfig);
    *api_status = lower.init(driver_name, options, init_context, timeout);
    if (options != nullptr) {
        LogPrint(KoServiceName, "DBG", "HiInit Status[%08xH],%s,%05d", *api_status, kSource, kInitStatus);
        std::free(options);
    } else {
        LogPrint(KoServiceName, "DBG", "HiInit Config = NULL, Status[%xH],%s,%05d", *api_status, kSource, kInitNoConfig);
    }
    return mapped(*api_status);
}

EXPORT uint32_t HiOpen(uintptr_t init_context, uintptr_t *connection, uint32_t timeout, uint32_t *api_status)
{
    return open_connection(init_context, connection, timeout, api_status);
}

EXPORT uint32_t HiClose(uintptr_t connection, uint32_t *api_status)
{
    return HiCallLower(lower.close, kErrorThreshold, api_status, connection);
}

EXPORT uint32_t HiRead(uintptr_t connection, uint32_t, uint32_t address, uint32_t length, void *buffer, uint32_t unit,
                       uint32_t timeout, uint32_t *api_status)
{
    return HiCallLower(lower.read, kErrorThreshold, api_status, connection, address, buffer, length, unit, timeout);
}

EXPORT uint32_t HiWrite(uintptr_t connection, uint32_t, uint32_t address, uint32_t length, const void *buffer,
                        uint32_t timeout, uint32_t *api_status)
{
    return HiCallLower(lower.write, kErrorThreshold, api_status, connection, address, buffer, length, timeout);
}

EXPORT uint32_t HiReConnect(ServiceRecord *record, uint32_t timeout, uint32_t *api_status)
{
    if (record == nullptr)
        return HI_STATUS_ERROR;
    uintptr_t connection = __atomic_load_n(&record->connection, __ATOMIC_ACQUIRE);
    if (connection != 0)
        *api_status = lower.close != nullptr ? lower.close(connection) : HI_API_STATUS_NO_FUNCTION;
    if (record->init_context == 0)
        return HI_STATUS_ERROR;
    // The cycles read the connection meanwhile: it changes in one store.
    uint32_t status = open_connection(record->init_context, &connection, timeout, api_status);
    __atomic_store_n(&record->connection, connection, __ATOMIC_RELEASE);
    return status;
}

EXPORT uint32_t HiConnectChk(ServiceRecord *record, uint32_t timeout, uint32_t *code)
{
    if (record == nullptr)
        return 0;
    uintptr_t connection = __atomic_load_n(&record->connection, __ATOMIC_ACQUIRE);
    if (connection == 0)
        return 0;
    if (lower.read == nullptr) {
        *code = HI_API_STATUS_NO_FUNCTION;
        return 0;
    }
    uint32_t state_word = 0;
    *code = lower.read(connection, kStateWordAddress, &state_word, 4, 4, timeout);
    if (*code != 0)
        return 0;
    for (const StateBit &bit : kStateBits)
        if ((state_word & bit.mask) != 0) {
            *code = bit.code;
            return 0;
        }
    return 1;
}

EXPORT uint32_t HiWait(uintptr_t connection, uint32_t wait_timeout, uint32_t *api_status)
{
    if (lower.wait == nullptr || connection == 0)
        return HiNoFunction(api_status);
    uint32_t handle = reinterpret_cast<const uint32_t *>(connection)[1];
    if (handle == 0)
        return HiNoFunction(api_status);
    *api_status = lower.wait(handle, wait_timeout);
    return mapped(*api_status);
}
