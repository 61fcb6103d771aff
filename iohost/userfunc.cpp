// userfunc.cpp - the call steps: every call from the container to the driver
// goes through one of these, which add the settings and record words, log
// init, open and close, keep the error and connected flags, count failed
// connection checks and decide on reconnection.
#include "iohost.h"
#include "log_lines.h"
#include "log_options.h"

#include <cstring>

DriverCallTable DriverCalls;
std::atomic<uint32_t> g_output_refresh{0};
std::atomic<bool> g_reconnect_pending{false};

namespace {

constexpr uint32_t kInitFailure = HI_STATUS_ERROR;

// True when ref lies in the output table: the read is a bit group's device
// read of an Out thread, whose failure belongs to that Out thread.
bool is_output_point(const TagRef *ref)
{
    return ref != nullptr && TagRefs_Out != nullptr && ref >= TagRefs_Out && ref < TagRefs_Out + KoOutPortCount;
}

}  // namespace

uint32_t CB_INIT(ServiceRecord *record, uint32_t *api_status)
{
    LogPrint(KoServiceName, "OPE", "CB_INIT Start... ,%s,%05d", kUserfunc, userfunc_line::kInitStart);
    char driver[KO_SERVICE_NAME_SIZE];
    DriverNameFromService(driver, sizeof driver);
    uint32_t status = record->entry.HiInit(driver, &record->init_context, g_config.timeout, api_status);
    if (status == kInitFailure) {
        LogPrint(KoServiceName, "ERR", "Init Failure. Status[%xH] API Status[%xH],%s,%05d", kInitFailure, *api_status,
                 kUserfunc, userfunc_line::kInitFailure);
        g_config.error = 1;
    }
    if (record->entry.HiConnectChk != nullptr)
        record->conn_check = CB_CONCHK;
    if (record->entry.HiReConnect != nullptr)
        record->reconnect = CB_RECONNECT;
    static uint8_t driver_priority;
    driver_priority = g_config.in_priority < g_config.out_priority ? g_config.in_priority : g_config.out_priority;
    record->driver_priority_ref = &driver_priority;
    LogPrint(KoServiceName, "OPE", "CB_INIT End. ,%s,%05d", kUserfunc, userfunc_line::kInitEnd);
    return 0;
}

uint32_t CB_OPEN(ServiceRecord *record, uint32_t *api_status)
{
    LogPrint(KoServiceName, "OPE", "CB_OPEN Start... ,%s,%05d", kUserfunc, userfunc_line::kOpenStart);
    uintptr_t connection = shared_get(record->connection);
    uint32_t status = record->entry.HiOpen(record->init_context, &connection, g_config.timeout, api_status);
    shared_set(record->connection, connection);
    g_reconnect_pending.store(false);
    if (status != 0) {
        LogPrint(KoServiceName, "ERR", "Open Failure. Status[%xH] API Status[%xH],%s,%05d", status, *api_status,
                 kUserfunc, userfunc_line::kOpenFailure);
        shared_set(g_config.error, 1);
        return status;
    }
    LogPrint(KoServiceName, "OPE", "Open Success. Status[%xH] API Status[%xH],%s,%05d", 0u, *api_status, kUserfunc, userfunc_line::kOpenSuccess);
    shared_set(g_config.connected, 1);
    shared_set(g_config.error, 0);
    g_output_refresh.fetch_add(1);
    LogPrint(KoServiceName, "OPE", "CB_OPEN End. ,%s,%05d", kUserfunc, userfunc_line::kOpenEnd);
    return 0;
}

uint32_t CB_CLOSE(ServiceRecord *record, uint32_t *api_status)
{
    LogPrint(KoServiceName, "OPE", "CB_CLOSE Start... ,%s,%05d", kUserfunc, userfunc_line::kCloseStart);
    shared_set(g_config.connected, 0);
    uint32_t status = record->entry.HiClose(shared_get(record->connection), api_status);
    LogPrint(KoServiceName, "OPE", "CB_CLOSE End. Status[%xH] API Status[%xH],%s,%05d", status, *api_status,
             kUserfunc, userfunc_line::kCloseEnd);
    return 0;
}

uint32_t CB_READ(ServiceRecord *record, uint32_t thread, uint32_t, uint32_t, void *buffer, uint32_t length,
                 uint32_t unit, const TagRef *ref)
{
    uint32_t api_status = 0;
    uint32_t status = record->entry.HiRead(shared_get(record->connection), thread, ref->address, length, buffer, unit,
                                           g_config.timeout, &api_status);
    if (status != 0) {
        if (is_output_point(ref))
            SetOutLastError(static_cast<uint16_t>(thread), api_status);
        else
            SetInLastError(static_cast<uint16_t>(thread), api_status);
    }
    return status;
}

uint32_t CB_WRITE(ServiceRecord *record, uint32_t thread, uint32_t, uint32_t, const void *buffer, uint32_t length,
                  const TagRef *ref)
{
    uint32_t api_status = 0;
    uint32_t status = record->entry.HiWrite(shared_get(record->connection), thread, ref->address, length, buffer,
                                            g_config.timeout, &api_status);
    if (status != 0)
        SetOutLastError(static_cast<uint16_t>(thread), api_status);
    return status;
}

uint8_t CB_CONCHK(ServiceRecord *record, uint32_t *code)
{
    if (record->entry.HiConnectChk == nullptr)
        return 1;
    uint32_t first_code = 0;
    uint8_t flag = static_cast<uint8_t>(record->entry.HiConnectChk(record, g_config.timeout, &first_code));
    if (flag != 0) {
        g_config.connect_fail_count = 0;
        *code = first_code;
        return flag;
    }
    g_config.connect_fail_count = g_config.connect_fail_count + 1;
    if (g_config.connect_fail_count <= g_config.reconnect_count) {
        *code = first_code;
        return 0;
    }
    if (g_config.execute_reconnect != 0 && record->entry.HiReConnect != nullptr) {
        uint32_t reconnect_code = 0;
        if (record->entry.HiReConnect(record, g_config.timeout, &reconnect_code) != 0) {
            *code = first_code;
            return 0;
        }
        g_output_refresh.fetch_add(1);
    }
    uint32_t second_code = 0;
    flag = static_cast<uint8_t>(record->entry.HiConnectChk(record, g_config.timeout, &second_code));
    *code = second_code;
    return flag;
}

uint32_t CB_RECONNECT(ServiceRecord *record, uint32_t *api_status)
{
    if (g_config.execute_reconnect == 0 || record->entry.HiReConnect == nullptr)
        return 0;
    uint32_t status = record->entry.HiReConnect(record, g_config.timeout, api_status);
    if (status == 0)
        g_output_refresh.fetch_add(1);
    return status;
}

uint32_t CB_WAIT(ServiceRecord *record, uint32_t *api_status)
{
    uint32_t code = 0;
    uint32_t status = record->entry.HiWait(shared_get(record->connection), g_config.wait_timeout, &code);
    if (status != 0)
        *api_status = code;
    return status;
}

uint32_t CB_EVENT(uint32_t, uint32_t, uint32_t)
{
    return 0;
}
