// entry_points.cpp - the CAN driver's eight entry points: each passes the
// call on to the same entry point of the EtherCAT driver. HiInit first sets
// up the CAN service and starts its CAN_COMM thread, HiClose first stops
// that thread, and HiConnectChk hands the connection flag to it.
//
// Decision: HiClose when no CAN_COMM thread was started passes the call on
// without waiting for a thread that does not exist.
#include "can_driver.h"
#include "kohgapi.h"
#include "service_record.h"

#define EXPORT extern "C" __attribute__((visibility("default")))

namespace {

constexpr DWORD kThreadStack = 8192;

void start_can_service(CanDriverState *s)
{
    FormatCanTagNames(s);
    ReadCanConfig(s);
    CreateCanStatusTags(s);
    s->thread = CreateRtThread(s->priority, CanCommThread, kThreadStack, s);
    if (s->thread != BAD_RTHANDLE)
        CatalogRtHandle(0, s->thread, "CAN_COMM");
}

}  // namespace

EXPORT uint32_t HiInit(const char *driver_name, uintptr_t *init_context, uint32_t timeout, uint32_t *api_status)
{
    if (g_can.lower.HiInit == nullptr)
        return HiNoFunction(api_status);
    start_can_service(&g_can);
    return g_can.lower.HiInit(driver_name, init_context, timeout, api_status);
}

EXPORT uint32_t HiOpen(uintptr_t init_context, uintptr_t *connection, uint32_t timeout, uint32_t *api_status)
{
    if (g_can.lower.HiOpen == nullptr)
        return HiNoFunction(api_status);
    return g_can.lower.HiOpen(init_context, connection, timeout, api_status);
}

EXPORT uint32_t HiClose(uintptr_t connection, uint32_t *api_status)
{
    if (g_can.lower.HiClose == nullptr)
        return HiNoFunction(api_status);
    if (g_can.thread != 0 && g_can.thread != BAD_RTHANDLE) {
        set_can_flag(g_can.stop_request, 1);
        while (can_flag(g_can.finished) == 0) {
            if (g_can.eh.cancel_wait != nullptr)
                g_can.eh.cancel_wait(g_can.eh_handle, g_can.thread);
            RtSleep(10);
        }
    }
    return g_can.lower.HiClose(connection, api_status);
}

EXPORT uint32_t HiRead(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, void *buffer,
                       uint32_t unit, uint32_t timeout, uint32_t *api_status)
{
    if (g_can.lower.HiRead == nullptr)
        return HiNoFunction(api_status);
    return g_can.lower.HiRead(connection, thread, address, length, buffer, unit, timeout, api_status);
}

EXPORT uint32_t HiWrite(uintptr_t connection, uint32_t thread, uint32_t address, uint32_t length, const void *buffer,
                        uint32_t timeout, uint32_t *api_status)
{
    if (g_can.lower.HiWrite == nullptr)
        return HiNoFunction(api_status);
    return g_can.lower.HiWrite(connection, thread, address, length, buffer, timeout, api_status);
}

EXPORT uint32_t HiReConnect(ServiceRecord *record, uint32_t timeout, uint32_t *api_status)
{
    if (g_can.lower.HiReConnect == nullptr)
        return HiNoFunction(api_status);
    return g_can.lower.HiReConnect(record, timeout, api_status);
}

EXPORT uint32_t HiConnectChk(ServiceRecord *record, uint32_t timeout, uint32_t *code)
{
    if (g_can.lower.HiConnectChk == nullptr) {
        *code = HI_API_STATUS_NO_FUNCTION;
        return 0;
    }
    uint32_t result = g_can.lower.HiConnectChk(record, timeout, code);
    set_can_flag(g_can.connected, static_cast<uint8_t>(result & 0xFF));
    return result;
}

EXPORT uint32_t HiWait(uintptr_t connection, uint32_t wait_timeout, uint32_t *api_status)
{
    if (g_can.lower.HiWait == nullptr)
        return HiNoFunction(api_status);
    return g_can.lower.HiWait(connection, wait_timeout, api_status);
}
